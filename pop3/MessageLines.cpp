#include "pop3/MessageLines.h"

namespace {

const char* const kConnectionClosed = "Connection closed during retrieval";
// What a kept line costs besides its text.
constexpr std::size_t kLineOverhead = 32;

} // namespace

void TMessageLines::Begin(PieceReader reader, std::size_t maxBytes) {
    reader_ = std::move(reader);
    maxBytes_ = maxBytes;
    bytes_ = 0;
    atLineStart_ = true;
    ended_ = false;
    broken_ = false;
    keep_ = nullptr;
    keepBudget_ = 0;
}

void TMessageLines::Keep(TStringList* list, std::size_t budget) {
    keep_ = list;
    keepBudget_ = budget;
}

bool TMessageLines::ReadRaw(std::string& raw, bool& endsLine) {
    if (ended_) {
        return false;
    }
    if (broken_ || !reader_) {
        broken_ = true;
        throw Exception(kConnectionClosed);
    }
    try {
        endsLine = reader_(raw, MaxPiece);
    } catch (...) {
        broken_ = true;
        throw;
    }
    if (raw.empty()) {
        broken_ = true;
        throw Exception(kConnectionClosed);
    }
    // RFC 1939 ends the message with "." CR LF; a server that ends its lines
    // with LF alone ends it with "." LF, and must not leave us waiting.
    if (atLineStart_ && endsLine && (raw == ".\r\n" || raw == ".\n")) {
        ended_ = true;
        return false;
    }
    return true;
}

bool TMessageLines::Next(TLinePiece& piece) {
    bool endsLine = false;
    if (!ReadRaw(raw_, endsLine)) {
        return false;
    }
    bytes_ += raw_.size();
    piece.first = atLineStart_;
    piece.last = endsLine;
    atLineStart_ = endsLine;
    if (bytes_ > maxBytes_) {
        throw EMessageTooLarge("Message larger than " + std::to_string(maxBytes_) + " bytes");
    }
    std::size_t begin = 0;
    std::size_t end = raw_.size();
    if (endsLine) {
        --end; // the LF
        if (end > 0 && raw_[end - 1] == '\r') {
            --end;
        }
    }
    // RFC 1939 byte-stuffing: a line that begins with "." lost its first dot.
    if (piece.first && end > 0 && raw_[0] == '.') {
        begin = 1;
    }
    piece.text.assign(raw_, begin, end - begin);
    if (keep_ != nullptr && keepBudget_ > 0) {
        std::size_t cost = piece.text.size() + (piece.first ? kLineOverhead : 0);
        if (cost <= keepBudget_) {
            keepBudget_ -= cost;
            if (piece.first) {
                keep_->Add(piece.text);
            } else if (keep_->Count() > 0) {
                keep_->Strings(keep_->Count() - 1) += piece.text;
            }
        } else {
            keepBudget_ = 0; // the copy ends at the first line that does not fit
        }
    }
    return true;
}

bool TMessageLines::SkipToEnd(std::size_t limit) {
    std::size_t skipped = 0;
    bool endsLine = false;
    while (ReadRaw(raw_, endsLine)) {
        atLineStart_ = endsLine;
        skipped += raw_.size();
        bytes_ += raw_.size();
        if (skipped > limit) {
            broken_ = true;
            return false;
        }
    }
    return true;
}
