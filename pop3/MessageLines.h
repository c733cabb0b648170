#pragma once
// The lines of one retrieved message as they come from the connection, in
// pieces of bounded size: a line of any length never has to be held whole.
// Undoes the POP3 byte-stuffing, recognises the terminating "." line and
// counts the message's bytes against its cap.
//
// Errors: Next and SkipToEnd raise Exception "Connection closed during
// retrieval" when the connection ends before the terminating line,
// EMessageTooLarge when the message passes its cap (the rest stays unread),
// and pass on whatever the piece reader raises (time-out, cancel, socket
// error). After a closed connection or a reader failure the rest of the
// message cannot be read any more: Broken() tells.
#include <cstddef>
#include <functional>
#include <string>

#include "platform/Exception.h"
#include "platform/StringList.h"

// A message that is refused after (or while) it was read: the reader can
// still read it to its end, so the session stays in step.
MAILGATE_EXCEPTION(EMessageRefused, Exception);
MAILGATE_EXCEPTION(EMessageTooLarge, EMessageRefused);

// One piece of a message line: the line's text without its line end, the
// first piece without the stuffing dot.
struct TLinePiece {
    std::string text;
    bool first = true; // begins its line
    bool last = true;  // ends its line

    bool WholeLine() const noexcept { return first && last; }
};

class TMessageLines {
public:
    // Fills Piece with at most MaxPiece bytes of the current line, its line
    // end included when it ends the line (the result then is true); an empty
    // Piece when the connection has ended. TPowersock::ReadLnPiece fits.
    using PieceReader = std::function<bool(std::string& Piece, std::size_t MaxPiece)>;

    // Longest piece asked of the reader.
    static constexpr std::size_t MaxPiece = 65536;

    // Starts a message: `maxBytes` bounds the bytes read through Next.
    // Raises nothing.
    void Begin(PieceReader reader, std::size_t maxBytes);
    // The next piece, or false once the terminating line has been read.
    bool Next(TLinePiece& piece);
    // Reads and drops the rest of the message, at most `limit` more bytes.
    // True when the terminating line was reached, false at the limit.
    // Raises as Next does, EMessageTooLarge excepted.
    bool SkipToEnd(std::size_t limit);

    // Keeps a copy of the lines that follow (without line ends) in `list`,
    // up to about `budget` bytes; nullptr stops keeping. Raises nothing.
    void Keep(TStringList* list, std::size_t budget);

    bool Ended() const noexcept { return ended_; }
    bool Broken() const noexcept { return broken_; }
    std::size_t Bytes() const noexcept { return bytes_; }

private:
    // One raw piece, line end included; false at the terminating line.
    bool ReadRaw(std::string& raw, bool& endsLine);

    PieceReader reader_;
    std::size_t maxBytes_ = 0;
    std::size_t bytes_ = 0;
    bool atLineStart_ = true;
    bool ended_ = false;
    bool broken_ = false;
    std::string raw_;
    TStringList* keep_ = nullptr;
    std::size_t keepBudget_ = 0;
};
