#include <algorithm>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "pop3/NMUUE.h"
#include "support/RowName.h"

namespace {

struct DecodeCase {
    const char* name;
    UUMethods method;
    std::string input;
    std::string expected;
};

std::string Decode(UUMethods method, const std::string& input) {
    TNMUUProcessor processor;
    processor.Method = method;
    TMemoryStream in(input);
    TMemoryStream out;
    processor.InputStream = &in;
    processor.OutputStream = &out;
    processor.Decode();
    return out.Data();
}

std::string Repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) {
        r += s;
    }
    return r;
}

// 57 bytes encode to one 76-character line.
const std::string k57(57, 'x');
const std::string k57Line = Repeat("eHh4", 19);

class DecodeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, DecodesAsExpected) {
    EXPECT_EQ(Decode(GetParam().method, GetParam().input), GetParam().expected);
}

const DecodeCase kCases[] = {
    {"Base64FullLinesLastPadded", uuMime, k57Line + "\r\n" + k57Line + "\r\nQUI=\r\n",
     k57 + k57 + "AB"},
    {"Base64LastLineDoublePad", uuMime, k57Line + "\r\nQQ==\r\n", k57 + "A"},
    {"Base64LastGroupUnpadded", uuMime, "QUJD\r\n", "ABC"},
    {"Base64NoLineEndAtAll", uuMime, "QUJDREVG", "ABCDEF"},
    {"Base64MissingPadding", uuMime, "QUJDRA", "ABCD"},
    {"Base64SeparatorLineSkipped", uuMime, "QUJD\r\n=====\r\nREVG\r\n", "ABCDEF"},
    {"Base64LineStartingWithEqualsEnds", uuMime, "QUJD\r\n=3D\r\nREVG\r\n", "ABC"},
    {"Base64LeadingBlanksAndTabs", uuMime, "  \tQUJD\r\n\t REVG\r\n", "ABCDEF"},
    {"Base64GroupAcrossLineEnd", uuMime, "QUJDR\r\nEVG\r\n", "ABCDEF"},
    {"Base64PadSplitOverLines", uuMime, "QUJDRA\r\n==\r\n", "ABCD"},
    {"Base64StopsAfterPad", uuMime, "QQ==QUJD\r\nREVG\r\n", "A"},
    {"Base64BlankLinesIgnored", uuMime, "\r\nQUJD\r\n\r\n\r\n", "ABC"},
    {"Base64LfOnly", uuMime, "QUJD\nREVG\n", "ABCDEF"},
    {"Base64InvalidCharactersSkipped", uuMime, "QU-JD*\r\n", "ABC"},
    {"Base64LongLine", uuMime, Repeat("QUJD", 75) + "\r\n", Repeat("ABC", 75)},
    {"Base64Empty", uuMime, "", ""},
    {"Base64LoneEqualsLineSkipped", uuMime, "QUJD\r\n=\r\nREVG\r\n", "ABCDEF"},
    {"Base64TwoEqualsLineSkipped", uuMime, "QUJD\r\n==\r\nREVG\r\n", "ABCDEF"},
    {"Base64ThreeEqualsLineEnds", uuMime, "QUJD\r\n===\r\nREVG\r\n", "ABC"},
    {"Base64FourEqualsThenDataSkipped", uuMime, "QUJD\r\n====QUJD\r\nREVG\r\n", "ABCDEF"},
    {"Base64BlanksBeforeEqualsEnd", uuMime, "QUJD\r\n \t=\r\nREVG\r\n", "ABC"},
    {"UUFullAndShortLines", uuCode,
     "begin 644 f.txt\r\nM" + Repeat("86)C", 15) + "\r\n#86)C\r\n`\r\nend\r\n", Repeat("abc", 16)},
    {"UUShortLastLineExactBytes", uuCode, "begin 600 x\r\n\"86)C\r\n`\r\nend\r\n", "ab"},
    {"UUWithoutBeginLine", uuCode, "#86)C\r\n", "abc"},
    {"UUTextBeforeBeginIgnored", uuCode, "Hello there\r\nbegin 644 x\r\n#86)C\r\nend\r\n", "abc"},
    {"UUStrippedTrailingBlanksAreZero", uuCode, "begin 644 x\r\n#``\r\nend\r\n",
     std::string(3, '\0')},
    {"UUGraveEndLineSkipped", uuCode, "#86)C\r\n`\r\n", "abc"},
    {"UUNothingAfterEnd", uuCode, "begin 644 x\r\n#86)C\r\nend\r\n#86)C\r\n", "abc"},
};

INSTANTIATE_TEST_SUITE_P(Decoder, DecodeTable, ::testing::ValuesIn(kCases), RowName());

// Lines as the network hands them over: without their line ends (LF, or
// CR LF), the last one also when no line end follows it.
std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1) {
        size_t end = lf > start && text[lf - 1] == '\r' ? lf - 1 : lf;
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

// Base64 that arrives from the network is decoded as it comes, in pieces
// cut wherever the socket cut them: the result must not depend on the cuts.
TEST(Decoder, Base64InPiecesOfAnySizeDecodesAsFromAFile) {
    for (const DecodeCase& row : kCases) {
        if (row.method != uuMime) {
            continue;
        }
        for (size_t cut = 1; cut <= 6; ++cut) {
            TMemoryStream out;
            TNMUUProcessor::TBase64Lines lines(out);
            for (const std::string& line : LinesOf(row.input)) {
                size_t at = 0;
                do {
                    const size_t n = std::min(cut, line.size() - at);
                    lines.Add(std::string_view(line).substr(at, n), at == 0, at + n == line.size());
                    at += n;
                } while (at < line.size());
            }
            lines.Finish();
            EXPECT_EQ(out.Data(), row.expected) << row.name << " in pieces of " << cut;
        }
    }
}

TEST(Decoder, UULineYieldsExactlyTheAnnouncedBytes) {
    // "~" announces 30 bytes; the two characters present cannot carry them.
    EXPECT_EQ(Decode(uuCode, "~~~\r\n").size(), 30u);
}

TEST(Decoder, MethodMimeOnUUInputGivesGarbageNotAnError) {
    EXPECT_NO_THROW(Decode(uuMime, "begin 644 x\r\nM86)C86)C\r\n`\r\nend\r\n"));
}

TEST(Decoder, GarbageNeverCrashes) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) {
        garbage += static_cast<char>((i * 7919) & 0xFF);
    }
    EXPECT_NO_THROW(Decode(uuMime, garbage));
    EXPECT_NO_THROW(Decode(uuCode, garbage));
}

TEST(Decoder, RaisesEventsAroundDecoding) {
    TNMUUProcessor processor;
    std::string order;
    processor.OnBeginDecode = [&](TObject* sender) {
        EXPECT_EQ(sender, &processor);
        order += "begin ";
    };
    processor.OnEndDecode = [&](TObject*) { order += "end"; };
    TMemoryStream in("QUJD\r\n"), out;
    processor.InputStream = &in;
    processor.OutputStream = &out;
    processor.Decode();
    EXPECT_EQ(order, "begin end");
}

TEST(Decoder, ReadStreamLineReturnsWholeLongLines) {
    std::string longLine(300, 'Q');
    TMemoryStream in(longLine + "\r\nnext\r\nlast");
    EXPECT_EQ(TNMUUProcessor::ReadStreamLine(in), longLine);
    EXPECT_EQ(in.Position(), 302);
    EXPECT_EQ(TNMUUProcessor::ReadStreamLine(in), "next");
    EXPECT_EQ(TNMUUProcessor::ReadStreamLine(in), "last");
    EXPECT_EQ(TNMUUProcessor::ReadStreamLine(in), "");
}

TEST(Decoder, TablesAndValues) {
    EXPECT_EQ(TNMUUProcessor::Base64Table['A' - '+'], 0);
    EXPECT_EQ(TNMUUProcessor::Base64Table['z' - '+'], 51);
    EXPECT_EQ(TNMUUProcessor::Base64Table['+' - '+'], 62);
    EXPECT_EQ(TNMUUProcessor::Base64Table['/' - '+'], 63);
    EXPECT_EQ(TNMUUProcessor::Base64Table['=' - '+'], 64);
    EXPECT_EQ(TNMUUProcessor::Base64Table['-' - '+'], 127);
    EXPECT_EQ(TNMUUProcessor::UUValue('`'), 0);
    EXPECT_EQ(TNMUUProcessor::UUValue('M'), 45);
    EXPECT_EQ(TNMUUProcessor::UUValue(' '), 0);
}

TEST(Decoder, RecognisesBeginAndEndLines) {
    std::string name;
    EXPECT_TRUE(TNMUUProcessor::IsUUBeginLine("begin 644 my file.txt", &name));
    EXPECT_EQ(name, "my file.txt");
    EXPECT_FALSE(TNMUUProcessor::IsUUBeginLine("begin the story"));
    EXPECT_FALSE(TNMUUProcessor::IsUUBeginLine("begin 689 x"));
    EXPECT_TRUE(TNMUUProcessor::IsUUEndLine("end"));
    EXPECT_TRUE(TNMUUProcessor::IsUUEndLine("end  "));
    EXPECT_FALSE(TNMUUProcessor::IsUUEndLine("endless"));
}

} // namespace
