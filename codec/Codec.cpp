#include "codec/Codec.h"

#include <algorithm>
#include <array>

namespace codec {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> MakeValues() {
    std::array<std::uint8_t, 256> v{};
    for (auto& x : v) {
        x = Base64None;
    }
    for (int i = 0; i < 64; ++i) {
        v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    }
    v['='] = Base64Pad;
    return v;
}

constexpr std::array<std::uint8_t, 256> kValues = MakeValues();

// Four characters for three bytes; `have` of them (1..3) are real.
void AppendGroup(std::uint32_t bits, int have, std::string& out) {
    char quad[4] = {kAlphabet[bits >> 18], kAlphabet[(bits >> 12) & 63],
                    have > 1 ? kAlphabet[(bits >> 6) & 63] : '=',
                    have > 2 ? kAlphabet[bits & 63] : '='};
    out.append(quad, 4);
}

void AppendBase64(const unsigned char* data, std::size_t size, std::string& out) {
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        AppendGroup(std::uint32_t(data[i]) << 16 | std::uint32_t(data[i + 1]) << 8 | data[i + 2], 3,
                    out);
    }
    if (i < size) {
        std::uint32_t bits = std::uint32_t(data[i]) << 16;
        if (i + 1 < size) {
            bits |= std::uint32_t(data[i + 1]) << 8;
        }
        AppendGroup(bits, static_cast<int>(size - i), out);
    }
}

} // namespace

std::uint8_t Base64Value(char c) noexcept {
    return kValues[static_cast<unsigned char>(c)];
}

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    AppendBase64(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out);
    return out;
}

void AppendBase64Lines(const unsigned char* data, std::size_t size, std::string& out) {
    out.reserve(out.size() +
                static_cast<std::size_t>(Base64LinesSize(static_cast<std::int64_t>(size))));
    for (std::size_t i = 0; i < size; i += Base64LineInput) {
        AppendBase64(data + i, std::min(Base64LineInput, size - i), out);
        out += "\r\n";
    }
}

std::int64_t Base64LinesSize(std::int64_t bytes) noexcept {
    std::int64_t chars = (bytes + 2) / 3 * 4;
    std::int64_t lines = (chars + 75) / 76;
    return chars + 2 * lines;
}

std::size_t Base64Decoder::Decode(std::string_view text, char* out) noexcept {
    char* o = out;
    const char* p = text.data();
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (!ended_ && i < n) {
        if (count_ == 0) {
            // Whole groups of alphabet characters: the common case. A value
            // with either high bit set is a pad or no alphabet character.
            while (i + 4 <= n) {
                std::uint32_t a = Base64Value(p[i]), b = Base64Value(p[i + 1]),
                              c = Base64Value(p[i + 2]), d = Base64Value(p[i + 3]);
                if (((a | b | c | d) & 0xC0) != 0) {
                    break;
                }
                std::uint32_t bits = a << 18 | b << 12 | c << 6 | d;
                o[0] = static_cast<char>(bits >> 16);
                o[1] = static_cast<char>(bits >> 8);
                o[2] = static_cast<char>(bits);
                o += 3;
                i += 4;
            }
            if (i >= n) {
                break;
            }
        }
        std::uint8_t v = Base64Value(p[i++]);
        if (v < Base64Pad) {
            bits_ = bits_ << 6 | v;
            if (++count_ == 4) {
                o[0] = static_cast<char>(bits_ >> 16);
                o[1] = static_cast<char>(bits_ >> 8);
                o[2] = static_cast<char>(bits_);
                o += 3;
                bits_ = 0;
                count_ = 0;
            }
        } else if (v == Base64Pad && padEnds_) {
            ended_ = true;
        }
    }
    return static_cast<std::size_t>(o - out);
}

std::size_t Base64Decoder::Finish(char* out) noexcept {
    std::size_t n = 0;
    if (count_ == 2) {
        out[n++] = static_cast<char>(bits_ >> 4);
    } else if (count_ == 3) {
        out[n++] = static_cast<char>(bits_ >> 10);
        out[n++] = static_cast<char>(bits_ >> 2);
    }
    bits_ = 0;
    count_ = 0;
    return n;
}

void Base64Decoder::Feed(std::string_view text, std::string& out) {
    const std::size_t old = out.size();
    out.resize(old + MaxOutput(text.size()));
    out.resize(old + Decode(text, out.data() + old));
}

void Base64Decoder::Finish(std::string& out) {
    char tail[2];
    out.append(tail, Finish(tail));
}

std::string Base64Decode(std::string_view text) {
    std::string out;
    Base64Decoder decoder;
    decoder.Feed(text, out);
    decoder.Finish(out);
    return out;
}

int HexValue(char c) noexcept {
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

char HexDigit(unsigned value) noexcept {
    return "0123456789ABCDEF"[value & 15];
}

std::string HexLower(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool DecodeQuotedPrintableLine(std::string_view line, std::string& out) {
    bool soft = !line.empty() && line.back() == '=';
    if (soft) {
        line.remove_suffix(1);
    }
    for (std::size_t i = 0; i < line.size(); ++i) {
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

std::string DecodeQEncoding(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '_') {
            bytes += ' ';
        } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            bytes += static_cast<char>(HexValue(text[i + 1]) << 4 | HexValue(text[i + 2]));
            i += 2;
        } else {
            bytes += c;
        }
    }
    return bytes;
}

namespace {

// `s` with every byte from `first` to `first` + 25 moved by `shift`: ASCII
// letters only, whatever the locale says.
std::string ShiftLetters(std::string_view s, char first, int shift) {
    std::string r(s);
    for (char& c : r) {
        if (c >= first && c <= first + 25) {
            c = static_cast<char>(c + shift);
        }
    }
    return r;
}

} // namespace

std::string AsciiLower(std::string_view s) {
    return ShiftLetters(s, 'A', 'a' - 'A');
}

std::string AsciiUpper(std::string_view s) {
    return ShiftLetters(s, 'a', 'A' - 'a');
}

} // namespace codec
