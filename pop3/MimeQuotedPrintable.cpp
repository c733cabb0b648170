#include "pop3/MimeQuotedPrintable.h"

#include "pop3/MimeLineReader.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

} // namespace

bool DecodeQuotedPrintableLine(std::string_view line, std::string& out) {
    bool soft = !line.empty() && line.back() == '=';
    if (soft) {
        line.remove_suffix(1);
    }
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '=' && i + 2 < line.size()) {
            int hi = HexValue(line[i + 1]);
            int lo = HexValue(line[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi << 4 | lo));
                i += 2;
                continue;
            }
        }
        out.push_back(c);
    }
    return soft;
}

void DecodeQuotedPrintable(TStream& input, TStream& output) {
    TMimeLineReader reader(input);
    std::string decoded;
    std::string_view line;
    while (reader.Next(line)) {
        bool soft = DecodeQuotedPrintableLine(line, decoded);
        if (!soft && reader.Ended()) {
            decoded += "\r\n";
        }
        if (decoded.size() >= 65536) {
            output.Write(decoded.data(), static_cast<int64_t>(decoded.size()));
            decoded.clear();
        }
    }
    output.Write(decoded.data(), static_cast<int64_t>(decoded.size()));
}
