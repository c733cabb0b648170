#include "excreport/ExcMemMap.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

TMMFileStream::TMMFileStream(const std::string& fileName, const std::string& mappingName, Mode mode)
    : mode_(mode), fileName_(fileName), mappingName_(mappingName) {
    if (mode == fmOpenWrite) {
        throw EMMFileError("Invalid file mode: fmOpenWrite");
    }
    // Mapping names are kernel object names on the original platform, where
    // "\" is not allowed; kept for the statistics and messages.
    std::replace(mappingName_.begin(), mappingName_.end(), '\\', '_');
    fd_ = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        throw EMMFileError("Can't open file " + fileName + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        int error = errno != 0 ? errno : EINVAL;
        ::close(fd_);
        fd_ = -1;
        throw EMMFileError("Can't create file mapping for " + fileName + ": " +
                           std::strerror(S_ISREG(st.st_mode) ? error : EINVAL));
    }
    size_ = st.st_size;
    long page = ::sysconf(_SC_PAGESIZE);
    granularity_ = page > 0 ? page : 4096;
}

TMMFileStream::~TMMFileStream() {
    Unmap();
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int64_t TMMFileStream::Seek(int64_t offset, int origin) {
    switch (origin) {
    case soFromBeginning:
        position_ = offset;
        break;
    case soFromCurrent:
        position_ += offset;
        break;
    default:
        position_ = size_ + offset;
        break;
    }
    if (position_ < 0) {
        position_ = 0;
    }
    return position_;
}

const uint8_t* TMMFileStream::ViewAt(int64_t position, int64_t length) {
    if (position < 0 || length < 0 || position > size_ || length > size_ - position) {
        return nullptr;
    }
    if (length == 0) {
        length = 1;
        if (position >= size_) {
            return nullptr;
        }
    }
    if (view_ != nullptr && position >= viewStart_ && position + length <= viewStart_ + viewSize_) {
        return view_ + (position - viewStart_);
    }
    Unmap();
    int64_t start = position / granularity_ * granularity_;
    int64_t wanted =
        (position + length - start + granularity_ - 1) / granularity_ * granularity_ + granularity_;
    int64_t size = std::min(wanted, size_ - start);
    void* view = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd_, start);
    if (view == MAP_FAILED) {
        throw EMMFileError(std::string("Can't create file view: ") + std::strerror(errno));
    }
    view_ = static_cast<uint8_t*>(view);
    viewStart_ = start;
    viewSize_ = size;
    maxViewSize_ = std::max(maxViewSize_, size);
    ++viewCount_;
    return view_ + (position - viewStart_);
}

void TMMFileStream::Unmap() noexcept {
    if (view_ != nullptr) {
        ::munmap(view_, static_cast<size_t>(viewSize_));
        view_ = nullptr;
        viewStart_ = 0;
        viewSize_ = 0;
    }
}

int64_t TMMFileStream::Read(void* buffer, int64_t count) {
    if (count <= 0 || position_ >= size_) {
        return 0;
    }
    int64_t n = std::min(count, size_ - position_);
    const uint8_t* p = ViewAt(position_, n);
    if (p == nullptr) {
        return 0;
    }
    std::memcpy(buffer, p, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int64_t TMMFileStream::Write(const void*, int64_t count) {
    position_ += count;
    return count;
}

bool TMMFileStream::ReadWord(uint16_t& value) {
    uint8_t b[2];
    if (Read(b, 2) != 2) {
        return false;
    }
    value = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
}

bool TMMFileStream::ReadDWord(uint32_t& value) {
    uint8_t b[4];
    if (Read(b, 4) != 4) {
        return false;
    }
    value = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
            (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return true;
}
