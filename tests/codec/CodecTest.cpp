// Table tests of the byte codecs: each row a named input and the exact output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/Codec.h"

namespace {

struct Row {
    const char* name;
    std::string input;
    std::string expected;
};

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s += static_cast<char>(v);
    }
    return s;
}

TEST(Base64, EncodesPaddedGroups) {
    const std::vector<Row> rows = {
        {"empty", "", ""},
        {"one byte", "f", "Zg=="},
        {"two bytes", "fo", "Zm8="},
        {"three bytes", "foo", "Zm9v"},
        {"four bytes", "foob", "Zm9vYg=="},
        {"high bytes", Bytes({0xFF, 0xFE, 0xFD}), "//79"},
        {"NUL bytes", Bytes({0, 0, 0, 0}), "AAAAAA=="},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(codec::Base64Encode(r.input), r.expected) << r.name;
    }
}

TEST(Base64, DecodesLenientlyAsMailNeedsIt) {
    const std::vector<Row> rows = {
        {"padded", "Zm9vYg==", "foob"},
        {"unpadded two", "Zm9vYg", "foob"},
        {"unpadded three", "Zm9vYmE", "fooba"},
        {"line ends inside", "Zm9v\r\nYmFy\r\n", "foobar"},
        {"blanks and dashes", " Zm 9v-YmFy\t", "foobar"},
        {"lone trailing char", "Zm9vY", "foo"},
        {"high bytes", "//79", Bytes({0xFF, 0xFE, 0xFD})},
        {"nothing valid", "!!!", ""},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(codec::Base64Decode(r.input), r.expected) << r.name;
    }
}

TEST(Base64, DecoderFedInPiecesGivesTheSameBytes) {
    const std::string encoded = codec::Base64Encode("The quick brown fox jumps over the lazy dog");
    for (std::size_t piece = 1; piece <= 7; ++piece) {
        codec::Base64Decoder decoder;
        std::string out;
        for (std::size_t i = 0; i < encoded.size(); i += piece) {
            decoder.Feed(std::string_view(encoded).substr(i, piece), out);
        }
        decoder.Finish(out);
        EXPECT_EQ(out, "The quick brown fox jumps over the lazy dog") << "pieces of " << piece;
    }
}

TEST(Base64, DecoderWhosePadEndsTheTextIgnoresWhatFollows) {
    const std::vector<Row> rows = {
        {"pad then more groups", "QQ==QUJD", "A"},
        {"single pad", "QUI=REVG", "AB"},
        {"pad in a later piece", "QUJD|R|A=|=QUJD", "ABCD"},
        {"no pad", "QU|JDREVG", "ABCDEF"},
    };
    for (const Row& r : rows) {
        codec::Base64Decoder decoder(true);
        std::string out;
        std::size_t start = 0;
        for (std::size_t bar; (bar = r.input.find('|', start)) != std::string::npos;
             start = bar + 1) {
            decoder.Feed(std::string_view(r.input).substr(start, bar - start), out);
        }
        decoder.Feed(std::string_view(r.input).substr(start), out);
        decoder.Finish(out);
        EXPECT_EQ(out, r.expected) << r.name;
        EXPECT_EQ(decoder.Ended(), r.input.find('=') != std::string::npos) << r.name;
    }
}

TEST(Base64, LinesAre76CharactersAndSizeIsPredicted) {
    for (std::size_t size : {0u, 1u, 56u, 57u, 58u, 114u, 1000u}) {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            data[i] = static_cast<char>(i * 7);
        }
        std::string out;
        codec::AppendBase64Lines(reinterpret_cast<const unsigned char*>(data.data()), size, out);
        EXPECT_EQ(static_cast<std::int64_t>(out.size()), codec::Base64LinesSize(size)) << size;
        EXPECT_EQ(codec::Base64Decode(out), data) << size;
        std::size_t start = 0;
        while (start < out.size()) {
            std::size_t end = out.find("\r\n", start);
            ASSERT_NE(end, std::string::npos);
            EXPECT_LE(end - start, 76u);
            start = end + 2;
        }
    }
}

TEST(Hex, DigitsOfEitherCase) {
    EXPECT_EQ(codec::HexValue('0'), 0);
    EXPECT_EQ(codec::HexValue('9'), 9);
    EXPECT_EQ(codec::HexValue('a'), 10);
    EXPECT_EQ(codec::HexValue('F'), 15);
    EXPECT_EQ(codec::HexValue('g'), -1);
    EXPECT_EQ(codec::HexValue('G'), -1);
    EXPECT_EQ(codec::HexValue(' '), -1);
    EXPECT_EQ(codec::HexDigit(11), 'B');
    EXPECT_EQ(codec::HexLower(Bytes({0x00, 0xAB, 0xFF})), "00abff");
}

TEST(QuotedPrintable, LinesAndSoftBreaks) {
    struct QpRow {
        const char* name;
        std::string line;
        std::string expected;
        bool soft;
    };
    const std::vector<QpRow> rows = {
        {"plain", "abc", "abc", false},
        {"escape", "a=3Db", "a=b", false},
        {"lower-case escape", "=c3=a9", "\xc3\xa9", false},
        {"soft break", "abc=", "abc", true},
        {"invalid escape kept", "a=ZZb", "a=ZZb", false},
        {"escape cut at the end kept", "a=4", "a=4", false},
    };
    for (const QpRow& r : rows) {
        std::string out;
        EXPECT_EQ(codec::DecodeQuotedPrintableLine(r.line, out), r.soft) << r.name;
        EXPECT_EQ(out, r.expected) << r.name;
    }
    EXPECT_EQ(codec::DecodeQEncoding("caf=C3=A9_au_lait"), "caf\xc3\xa9 au lait");
}

TEST(AsciiCase, FoldsLettersOnly) {
    EXPECT_EQ(codec::AsciiLower("Content-TYPE: \xC3\x84"), "content-type: \xC3\x84");
    EXPECT_EQ(codec::AsciiUpper("subject:"), "SUBJECT:");
}

} // namespace
