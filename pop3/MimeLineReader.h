#pragma once
// Reads a stream line by line through a read-ahead buffer, so that decoding
// a large attachment costs one read per 64 KiB instead of one per line.
//
// Errors: Next raises what the stream's Read raises (EInOutError from a file
// stream); the accessors raise nothing.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "platform/FileStream.h"

class TMimeLineReader {
public:
    // Lines longer than `maxPiece` come back in pieces of at most that many
    // bytes, so a reader never holds more than about chunkSize + maxPiece.
    explicit TMimeLineReader(TStream& stream, size_t chunkSize = 65536,
                             size_t maxPiece = std::numeric_limits<size_t>::max());

    // The next line (or piece of a long line) without its line end (LF or
    // CR LF). Returns false when the input is exhausted. The view stays valid
    // until the next call.
    bool Next(std::string_view& line);
    // The piece ended its line with a line end (a last line without one
    // does not).
    bool Ended() const noexcept { return ended_; }
    // More of the same line follows in the next piece.
    bool Continues() const noexcept { return continues_; }
    // The piece is the first (or only) one of its line.
    bool StartsLine() const noexcept { return startsLine_; }
    // Stream position just after the last piece returned.
    int64_t Position() const noexcept { return bufferStart_ + static_cast<int64_t>(next_); }

private:
    bool Fill();
    void Take(size_t length, size_t consumed, bool ended, bool continues, std::string_view& line);

    TStream& stream_;
    size_t chunkSize_;
    size_t maxPiece_;
    std::string buffer_;
    size_t next_ = 0;         // first unread byte in buffer_
    int64_t bufferStart_ = 0; // stream position of buffer_[0]
    bool exhausted_ = false;
    bool ended_ = false;
    bool continues_ = false;
    bool startsLine_ = true;
};
