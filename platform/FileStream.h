#pragma once
// Seekable byte streams: a file stream with the runtime's texts ("Cannot open
// file %s", "Cannot create file %s") and an in-memory stream.
#include <cstdint>
#include <string>

#include "platform/Exception.h"

class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to `count` bytes; returns how many were read (0 at the end).
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Writes all `count` bytes or raises.
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Position() const = 0;
    virtual void SetPosition(int64_t position) = 0;
    virtual int64_t Size() const = 0;

    void WriteString(const std::string& s) { Write(s.data(), static_cast<int64_t>(s.size())); }
};

class TFileStream : public TStream {
public:
    enum Mode { fmOpenRead, fmCreate, fmOpenWrite };
    // fmOpenRead opens an existing file (EFOpenError "Cannot open file <name>");
    // fmCreate creates or truncates one with mode 0644 less the umask
    // (EFCreateError "Cannot create file <name>"); fmOpenWrite writes an
    // existing file from its start without truncating it (EFCreateError as
    // fmCreate): for a file just created empty, where a truncation would
    // only make ext4 write the file out when it is closed.
    TFileStream(const std::string& fileName, Mode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Position() const override;
    void SetPosition(int64_t position) override;
    int64_t Size() const override;

    // Forces the written bytes to the disk (EInOutError on failure).
    void Flush();
    // Starts writing the file's data out without waiting for it; a later
    // Flush (or fsync) then waits less. Never raises: whatever fails shows
    // again at that Flush.
    void StartWriteBack() noexcept;
    const std::string& FileName() const noexcept { return fileName_; }
    int Handle() const noexcept { return fd_; }

private:
    std::string fileName_;
    int fd_ = -1;
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string data) : data_(std::move(data)) {}
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Position() const override { return position_; }
    void SetPosition(int64_t position) override;
    int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
    const std::string& Data() const noexcept { return data_; }
    void Clear() noexcept {
        data_.clear();
        position_ = 0;
    }

private:
    std::string data_;
    int64_t position_ = 0;
};

// The whole file as bytes (EFOpenError when it cannot be opened or read).
std::string ReadWholeFile(const std::string& fileName);
