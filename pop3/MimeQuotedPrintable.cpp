#include "pop3/MimeQuotedPrintable.h"

#include "codec/Codec.h"
#include "pop3/MimeLineReader.h"

void DecodeQuotedPrintable(TStream& input, TStream& output) {
    // A line of any length is decoded in pieces; an escape cut by the end of
    // a piece waits for the rest of it.
    constexpr size_t kMaxPiece = 65536;
    TMimeLineReader reader(input, 65536, kMaxPiece);
    std::string decoded;
    std::string carry;
    std::string_view line;
    while (reader.Next(line)) {
        std::string_view text = line;
        if (!carry.empty()) {
            carry.append(line);
            text = carry;
        }
        if (reader.Continues()) {
            size_t keep = text.size();
            size_t tail = text.size() >= 2 ? text.size() - 2 : 0;
            size_t eq = text.find('=', tail);
            if (eq != std::string_view::npos) {
                keep = eq;
            }
            codec::DecodeQuotedPrintableLine(text.substr(0, keep), decoded);
            carry = std::string(text.substr(keep));
        } else {
            bool soft = codec::DecodeQuotedPrintableLine(text, decoded);
            carry.clear();
            if (!soft && reader.Ended()) {
                decoded += "\r\n";
            }
        }
        if (decoded.size() >= 65536) {
            output.Write(decoded.data(), static_cast<int64_t>(decoded.size()));
            decoded.clear();
        }
    }
    output.Write(decoded.data(), static_cast<int64_t>(decoded.size()));
}
