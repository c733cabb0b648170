#pragma once
// The byte codecs of mail: base64 (RFC 2045), quoted-printable (RFC 2045 and
// the "Q" form of RFC 2047), hex digits and ASCII case folding. Plain
// functions without state, except the incremental base64 decoder, which a
// reader of long parts feeds piece by piece.
//
// Error model: nothing here raises or allocates beyond the strings it
// returns or appends to. Decoders are lenient, as mail needs them to be:
// characters outside the alphabet are skipped, an invalid "=XX" escape is
// kept as written.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace codec {

// Base64Value of "=".
inline constexpr std::uint8_t Base64Pad = 64;
// Base64Value of a character outside the alphabet (above Base64Pad).
inline constexpr std::uint8_t Base64None = 127;

// 0..63 for the alphabet, Base64Pad for "=", Base64None for anything else.
[[nodiscard]] std::uint8_t Base64Value(char c) noexcept;

// Base64 of `bytes` in one line, padded.
[[nodiscard]] std::string Base64Encode(std::string_view bytes);

// Bytes of input that make one 76-character encoded line.
inline constexpr std::size_t Base64LineInput = 57;
// Appends the base64 of `size` bytes as CR LF-ended lines of at most 76
// characters. Whole lines when `size` is a multiple of Base64LineInput, so
// a long input may be encoded chunk by chunk.
void AppendBase64Lines(const unsigned char* data, std::size_t size, std::string& out);
// The size AppendBase64Lines makes of `bytes` bytes.
[[nodiscard]] std::int64_t Base64LinesSize(std::int64_t bytes) noexcept;

// Decodes base64 text given in pieces of any size: characters outside the
// alphabet (line ends, blanks, and "=" unless it ends the text) are skipped,
// and an incomplete last group gives the whole bytes it holds.
class Base64Decoder {
public:
    Base64Decoder() = default;
    // With `padEnds` the first "=" ends the encoded text, as in every
    // well-formed part: what follows it is not decoded.
    explicit Base64Decoder(bool padEnds) noexcept : padEnds_(padEnds) {}

    // Room Decode needs for a piece of `size` characters.
    [[nodiscard]] static constexpr std::size_t MaxOutput(std::size_t size) noexcept {
        return size / 4 * 3 + 3;
    }
    // Decodes `text` into `out` (MaxOutput(text.size()) bytes of room);
    // returns the bytes written.
    [[nodiscard]] std::size_t Decode(std::string_view text, char* out) noexcept;
    // The bytes of an incomplete last group (at most 2) into `out`.
    [[nodiscard]] std::size_t Finish(char* out) noexcept;
    // The same, appending to a string.
    void Feed(std::string_view text, std::string& out);
    void Finish(std::string& out);
    // A pad ended the text (only with `padEnds`).
    [[nodiscard]] bool Ended() const noexcept { return ended_; }

private:
    std::uint32_t bits_ = 0;
    int count_ = 0;
    bool padEnds_ = false;
    bool ended_ = false;
};
// All of `text` at once.
[[nodiscard]] std::string Base64Decode(std::string_view text);

// 0..15 for a hex digit of either case, -1 otherwise.
[[nodiscard]] int HexValue(char c) noexcept;
// "0".."9", "A".."F" for 0..15.
[[nodiscard]] char HexDigit(unsigned value) noexcept;
// Lower-case hex of `bytes`, two digits a byte.
[[nodiscard]] std::string HexLower(std::string_view bytes);

// One quoted-printable line without its line end, decoded and appended to
// `out`. Returns true when the line ends in a soft line break ("=").
bool DecodeQuotedPrintableLine(std::string_view line, std::string& out);
// The "Q" text of an encoded word: "_" is a blank, "=XX" a byte.
[[nodiscard]] std::string DecodeQEncoding(std::string_view text);

// ASCII letters folded; every other byte (UTF-8 included) unchanged.
[[nodiscard]] std::string AsciiLower(std::string_view s);
[[nodiscard]] std::string AsciiUpper(std::string_view s);

} // namespace codec
