#include "platform/FileStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TFileStream::TFileStream(const std::string& fileName, Mode mode) : fileName_(fileName) {
    if (mode == fmOpenRead) {
        fd_ = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            throw EFOpenError("Cannot open file " + fileName);
        }
    } else {
        const int flags = mode == fmOpenWrite ? O_WRONLY : O_WRONLY | O_CREAT | O_TRUNC;
        fd_ = ::open(fileName.c_str(), flags | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            throw EFCreateError("Cannot create file " + fileName);
        }
    }
}

TFileStream::~TFileStream() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
    int64_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < count) {
        ssize_t n = ::read(fd_, out + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw EInOutError("Read error on " + fileName_ + ": " + std::strerror(errno));
        }
        if (n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
    int64_t done = 0;
    auto* in = static_cast<const char*>(buffer);
    while (done < count) {
        ssize_t n = ::write(fd_, in + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw EInOutError("Write error on " + fileName_ + ": " + std::strerror(errno));
        }
        done += n;
    }
    return done;
}

int64_t TFileStream::Position() const {
    return ::lseek(fd_, 0, SEEK_CUR);
}

void TFileStream::SetPosition(int64_t position) {
    ::lseek(fd_, position, SEEK_SET);
}

int64_t TFileStream::Size() const {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? st.st_size : 0;
}

void TFileStream::Flush() {
    if (::fsync(fd_) != 0) {
        throw EInOutError("Cannot flush " + fileName_ + ": " + std::strerror(errno));
    }
}

void TFileStream::StartWriteBack() noexcept {
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    int64_t n = std::clamp<int64_t>(Size() - position_, 0, count);
    if (n > 0) {
        std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
        position_ += n;
    }
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (position_ > Size()) {
        data_.resize(static_cast<size_t>(position_));
    }
    size_t pos = static_cast<size_t>(position_);
    if (pos + static_cast<size_t>(count) > data_.size()) {
        data_.resize(pos + static_cast<size_t>(count));
    }
    std::memcpy(data_.data() + pos, buffer, static_cast<size_t>(count));
    position_ += count;
    return count;
}

void TMemoryStream::SetPosition(int64_t position) {
    position_ = std::max<int64_t>(0, position);
}

std::string ReadWholeFile(const std::string& fileName) {
    TFileStream stream(fileName, TFileStream::fmOpenRead);
    std::string data;
    char chunk[65536];
    for (;;) {
        int64_t n = stream.Read(chunk, sizeof chunk);
        if (n == 0) {
            break;
        }
        data.append(chunk, static_cast<size_t>(n));
    }
    return data;
}
