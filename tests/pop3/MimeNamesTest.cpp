#include <gtest/gtest.h>

#include "pop3/MimeHeader.h"
#include "pop3/MimeNames.h"
#include "pop3/MimeQuotedPrintable.h"
#include "support/RowName.h"

namespace {

// A row of a table of text in, text out.
struct TextCase {
    const char* name;
    std::string input;
    std::string expected;
};

class SafeNames : public ::testing::TestWithParam<TextCase> {};

TEST_P(SafeNames, ReducesToAPlainName) {
    EXPECT_EQ(SafeFileName(GetParam().input), GetParam().expected);
}

const TextCase kNames[] = {
    {"Plain", "a.txt", "a.txt"},
    {"ParentFolders", "../../x", "x"},
    {"Absolute", "/etc/passwd", "passwd"},
    {"WindowsPath", "C:\\x\\y.txt", "y.txt"},
    {"MixedSeparators", "a/b\\..\\c.doc", "c.doc"},
    {"Dot", ".", "text.tmp"},
    {"DotDot", "..", "text.tmp"},
    {"TrailingSeparator", "folder/", "text.tmp"},
    {"Empty", "", "text.tmp"},
    {"LeadingDotsHideNothing", "..bashrc", "bashrc"},
    {"ControlCharacters", "a\tb\r\n\x01.txt", "ab.txt"},
    {"Utf8Kept", "Größe.pdf", "Größe.pdf"},
    {"BlanksAroundTrimmed", "  a b.txt ", "a b.txt"},
    {"LongNameKeepsExtension", std::string(300, 'n') + ".pdf", std::string(251, 'n') + ".pdf"},
    {"LongNameWithoutDot", std::string(300, 'n'), std::string(255, 'n')},
};

INSTANTIATE_TEST_SUITE_P(Names, SafeNames, ::testing::ValuesIn(kNames), RowName());

TEST(UniqueNames, NumberBeforeTheExtensionOrAtTheEnd) {
    EXPECT_EQ(UniqueCandidate("a.txt", 0), "a.txt");
    EXPECT_EQ(UniqueCandidate("a.txt", 2), "a_2.txt");
    EXPECT_EQ(UniqueCandidate("archive.tar.gz", 1), "archive.tar_1.gz");
    EXPECT_EQ(UniqueCandidate("README", 1), "README_1");
    EXPECT_EQ(UniqueCandidate(std::string(251, 'n') + ".pdf", 12).size(), 255u);
    EXPECT_EQ(UniqueCandidate(std::string(251, 'n') + ".pdf", 12).substr(247), "n_12.pdf");
}

TEST(UniqueNames, CuttingNeverSplitsAUtf8Character) {
    std::string name;
    for (int i = 0; i < 200; ++i) {
        name += "\xc3\xa4"; // ä
    }
    std::string safe = SafeFileName(name + ".txt");
    EXPECT_LE(safe.size(), 255u);
    EXPECT_EQ(safe.substr(safe.size() - 4), ".txt");
    EXPECT_EQ((safe.size() - 4) % 2, 0u);
}

class EncodedWords : public ::testing::TestWithParam<TextCase> {};

TEST_P(EncodedWords, Decode) {
    EXPECT_EQ(DecodeEncodedWords(GetParam().input), GetParam().expected);
}

const TextCase kWords[] = {
    {"Base64Utf8", "=?UTF-8?B?w6TDtsO8LnR4dA==?=", "äöü.txt"},
    {"QLatin1", "=?iso-8859-1?Q?Gr=FC=DFe_2.txt?=", "Grüße 2.txt"},
    {"AdjacentWordsJoin", "=?utf-8?q?a?= =?utf-8?q?b?=", "ab"},
    {"TextAroundKept", "x =?utf-8?q?a?= y", "x a y"},
    {"NotAWord", "=?broken", "=?broken"},
    {"UnknownEncodingKept", "=?utf-8?X?abc?=", "=?utf-8?X?abc?="},
    {"Plain", "plain.txt", "plain.txt"},
};

INSTANTIATE_TEST_SUITE_P(Rfc2047, EncodedWords, ::testing::ValuesIn(kWords), RowName());

struct HeaderCase {
    const char* name;
    std::vector<std::string> lines;
    std::string fileName;
};

class HeaderNames : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderNames, FindTheFileName) {
    TMimeHeader header;
    for (const auto& line : GetParam().lines) {
        header.AddLine(line);
    }
    EXPECT_EQ(header.FileName(), GetParam().fileName);
}

const HeaderCase kHeaders[] = {
    {"QuotedName", {"Content-Type: application/pdf; name=\"a b.pdf\""}, "a b.pdf"},
    {"UnquotedName", {"Content-Type: application/octet-stream; name=b.bin"}, "b.bin"},
    {"FilenameWinsOverName",
     {"Content-Type: text/plain; name=\"n.txt\"",
      "Content-Disposition: attachment; filename=f.txt"},
     "f.txt"},
    {"ContinuationLine",
     {"Content-Disposition: attachment;", "\tfilename=\"cont.txt\""},
     "cont.txt"},
    {"Rfc2231Single", {"Content-Disposition: attachment; filename*=UTF-8''%E2%82%AC.txt"}, "€.txt"},
    {"Rfc2231Sections",
     {"Content-Disposition: attachment;", " filename*0*=utf-8''a%C3%A4;", " filename*1=b.txt"},
     "aäb.txt"},
    {"Rfc2047InQuotes", {"Content-Type: text/plain; name=\"=?utf-8?B?w6Q=?=.txt\""}, "ä.txt"},
    {"SemicolonInsideQuotes", {"Content-Type: text/plain; name=\"a;b.txt\"; x=1"}, "a;b.txt"},
    {"EscapedQuote", {"Content-Type: text/plain; name=\"a\\\"b.txt\""}, "a\"b.txt"},
    {"NoName", {"Content-Type: text/plain; charset=us-ascii"}, ""},
    {"NameInOtherFieldIgnored", {"X-Original-Name: name=\"x.txt\""}, ""},
    {"UnterminatedQuote", {"Content-Type: text/plain; name=\"open.txt"}, "open.txt"},
};

INSTANTIATE_TEST_SUITE_P(Parameters, HeaderNames, ::testing::ValuesIn(kHeaders), RowName());

TEST(HeaderFields, BoundaryQuotedOrTokenUpToSemicolon) {
    TMimeHeader quoted;
    quoted.AddLine("Content-Type: multipart/mixed; boundary=\"==a b;c==\"; charset=x");
    EXPECT_EQ(quoted.Boundary(), "==a b;c==");
    EXPECT_TRUE(quoted.IsMultipart());
    TMimeHeader token;
    token.AddLine("Content-Type: Multipart/Mixed;");
    token.AddLine("  boundary=abc123;report-type=x");
    EXPECT_EQ(token.Boundary(), "abc123");
    EXPECT_TRUE(token.IsMultipart());
}

TEST(HeaderFields, DispositionAndEncoding) {
    TMimeHeader header;
    header.AddLine("content-disposition: ATTACHMENT");
    header.AddLine("Content-Transfer-Encoding:   Base64  ");
    EXPECT_EQ(header.Disposition(), "attachment");
    EXPECT_TRUE(header.NamesFile());
    EXPECT_EQ(header.TransferEncoding(), "Base64");
}

struct QpCase {
    const char* name;
    std::string line;
    std::string decoded;
    bool soft;
};

class QuotedPrintableLines : public ::testing::TestWithParam<QpCase> {};

TEST_P(QuotedPrintableLines, Decode) {
    std::string out;
    EXPECT_EQ(DecodeQuotedPrintableLine(GetParam().line, out), GetParam().soft);
    EXPECT_EQ(out, GetParam().decoded);
}

const QpCase kQp[] = {
    {"Hex", "a=3Db=C3=BC", "a=b\xc3\xbc", false}, {"LowerHex", "=c3=bc", "\xc3\xbc", false},
    {"SoftBreak", "abc=", "abc", true},           {"InvalidEscapeKept", "=4x=", "=4x", true},
    {"EqualsNearEnd", "a=4", "a=4", false},       {"TrailingBlanksKept", "a  ", "a  ", false},
};

INSTANTIATE_TEST_SUITE_P(QuotedPrintable, QuotedPrintableLines, ::testing::ValuesIn(kQp),
                         RowName());

TEST(QuotedPrintable, HardBreaksBecomeCrLfSoftOnesVanish) {
    TMemoryStream in("one=\r\ntwo\r\nthree"), out;
    DecodeQuotedPrintable(in, out);
    EXPECT_EQ(out.Data(), "onetwo\r\nthree");
}

} // namespace
