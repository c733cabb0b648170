#pragma once
// A read-only file stream that reads through memory-mapped views, so that
// the debug information of a large executable is read without copying it.
// Views are mapped on demand around the bytes asked for and dropped again by
// Unmap() after each lookup.
#include <cstdint>
#include <string>

#include "platform/Exception.h"

MAILGATE_EXCEPTION(EMMFileError, Exception);

class TMMFileStream {
public:
    enum Mode { fmOpenRead = 0, fmOpenWrite = 1, fmOpenReadWrite = 2 };
    enum Origin { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

    // Raises EMMFileError "Invalid file mode: fmOpenWrite", "Can't open file
    // <name>: <error>" or "Can't create file mapping for <name>: <error>".
    TMMFileStream(const std::string& fileName, const std::string& mappingName, Mode mode);
    ~TMMFileStream();
    TMMFileStream(const TMMFileStream&) = delete;
    TMMFileStream& operator=(const TMMFileStream&) = delete;

    int64_t Seek(int64_t offset, int origin);
    // Copies up to `count` bytes from the position; returns how many (fewer
    // at the file end). Raises "Can't create file view: <error>".
    int64_t Read(void* buffer, int64_t count);
    // Writing is not possible on this stream; it only moves the position.
    int64_t Write(const void* buffer, int64_t count);
    // Little-endian integers; false at the file end.
    bool ReadByte(uint8_t& value) { return Read(&value, 1) == 1; }
    bool ReadWord(uint16_t& value);
    bool ReadDWord(uint32_t& value);
    // A pointer to `length` bytes at `position`, valid until the next access
    // or Unmap(); null when they lie beyond the file end.
    const uint8_t* ViewAt(int64_t position, int64_t length);
    void Unmap() noexcept;

    int64_t Position() const noexcept { return position_; }
    int64_t Size() const noexcept { return size_; }
    const std::string& MappingName() const noexcept { return mappingName_; }
    int64_t MaxViewSize() const noexcept { return maxViewSize_; }
    int ViewCount() const noexcept { return viewCount_; }

private:
    int fd_ = -1;
    Mode mode_;
    int64_t size_ = 0;
    int64_t position_ = 0;
    std::string fileName_;
    std::string mappingName_;
    uint8_t* view_ = nullptr;
    int64_t viewStart_ = 0;
    int64_t viewSize_ = 0;
    int64_t granularity_ = 4096;
    int64_t maxViewSize_ = 0;
    int viewCount_ = 0;
};
