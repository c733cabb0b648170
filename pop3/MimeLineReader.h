#pragma once
// Reads a stream line by line through a read-ahead buffer, so that decoding
// a large attachment costs one read per 64 KiB instead of one per line.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/FileStream.h"

class TMimeLineReader {
public:
    explicit TMimeLineReader(TStream& stream, size_t chunkSize = 65536);

    // The next line without its line end (LF or CR LF); `Ended` tells whether
    // it had one. Returns false when the input is exhausted. The view stays
    // valid until the next call. Lines of any length come back whole.
    bool Next(std::string_view& line);
    bool Ended() const noexcept { return ended_; }
    // Stream position just after the last line returned.
    int64_t Position() const noexcept { return bufferStart_ + static_cast<int64_t>(next_); }

private:
    bool Fill();

    TStream& stream_;
    size_t chunkSize_;
    std::string buffer_;
    size_t next_ = 0;         // first unread byte in buffer_
    int64_t bufferStart_ = 0; // stream position of buffer_[0]
    bool exhausted_ = false;
    bool ended_ = false;
};
