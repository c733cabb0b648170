#include "pop3/MimeLineReader.h"

#include <cstring>

TMimeLineReader::TMimeLineReader(TStream& stream, size_t chunkSize)
    : stream_(stream), chunkSize_(chunkSize), bufferStart_(stream.Position()) {}

bool TMimeLineReader::Fill() {
    if (exhausted_) {
        return false;
    }
    if (next_ > 0) {
        buffer_.erase(0, next_);
        bufferStart_ += static_cast<int64_t>(next_);
        next_ = 0;
    }
    size_t old = buffer_.size();
    buffer_.resize(old + chunkSize_);
    int64_t got = stream_.Read(buffer_.data() + old, static_cast<int64_t>(chunkSize_));
    buffer_.resize(old + static_cast<size_t>(got));
    if (got == 0) {
        exhausted_ = true;
    }
    return got > 0;
}

bool TMimeLineReader::Next(std::string_view& line) {
    size_t searchFrom = next_;
    for (;;) {
        const char* start = buffer_.data() + searchFrom;
        const void* lf = std::memchr(start, '\n', buffer_.size() - searchFrom);
        if (lf != nullptr) {
            size_t end = static_cast<size_t>(static_cast<const char*>(lf) - buffer_.data());
            size_t len = end - next_;
            if (len > 0 && buffer_[end - 1] == '\r') {
                --len;
            }
            line = std::string_view(buffer_.data() + next_, len);
            next_ = end + 1;
            ended_ = true;
            return true;
        }
        size_t scanned = buffer_.size() - next_;
        if (!Fill()) {
            if (next_ == buffer_.size()) {
                return false;
            }
            // A last line without a line feed still counts.
            line = std::string_view(buffer_.data() + next_, buffer_.size() - next_);
            next_ = buffer_.size();
            ended_ = false;
            return true;
        }
        searchFrom = next_ + scanned;
    }
}
