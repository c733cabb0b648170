#include "pop3/MimeLineReader.h"

#include <algorithm>
#include <cstring>

TMimeLineReader::TMimeLineReader(TStream& stream, size_t chunkSize, size_t maxPiece)
    : stream_(stream), chunkSize_(chunkSize), maxPiece_(std::max<size_t>(maxPiece, 2)),
      bufferStart_(stream.Position()) {}

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

void TMimeLineReader::Take(size_t length, size_t consumed, bool ended, bool continues,
                           std::string_view& line) {
    line = std::string_view(buffer_.data() + next_, length);
    next_ += consumed;
    startsLine_ = !continues_;
    ended_ = ended;
    continues_ = continues;
}

bool TMimeLineReader::Next(std::string_view& line) {
    size_t searchFrom = next_;
    for (;;) {
        const size_t available = buffer_.size() - next_;
        const char* start = buffer_.data() + searchFrom;
        const void* lf = std::memchr(start, '\n', buffer_.size() - searchFrom);
        if (lf != nullptr) {
            size_t end = static_cast<size_t>(static_cast<const char*>(lf) - buffer_.data());
            size_t len = end - next_;
            if (len > 0 && buffer_[end - 1] == '\r') {
                --len;
            }
            if (len <= maxPiece_) {
                Take(len, end + 1 - next_, true, false, line);
                return true;
            }
        }
        if (available >= maxPiece_) {
            // A piece of a longer line; a CR at its end stays with what follows.
            size_t take = maxPiece_;
            if (buffer_[next_ + take - 1] == '\r') {
                --take;
            }
            Take(take, take, false, true, line);
            return true;
        }
        if (!Fill()) {
            if (next_ == buffer_.size()) {
                return false;
            }
            // A last line without a line feed still counts.
            Take(buffer_.size() - next_, buffer_.size() - next_, false, false, line);
            return true;
        }
        searchFrom = next_ + available;
    }
}
