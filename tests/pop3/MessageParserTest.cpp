#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/FuzzTargets.h"
#include "support/RowName.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Listing(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

using Names = std::vector<std::string>;

// A multipart message with boundary "b": a text part, then `parts` (each its
// header lines, blank line and body, without the boundary lines).
std::string Multipart(std::initializer_list<std::string> parts) {
    std::string m = "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\ntext\r\n";
    for (const std::string& part : parts) {
        m += "--b\r\n" + part + "\r\n";
    }
    return m + "--b--\r\n";
}

class Parser : public ::testing::Test {
protected:
    // Feeds `raw` in pieces of `pieceSize` bytes and takes it apart into inbox.
    void Process(const std::string& raw, bool parse = true, size_t pieceSize = 4096) {
        parser.AttachFilePath = inbox.Path() + "/";
        parser.Parse = parse;
        FeedMessage(parser, message, raw, pieceSize);
        parser.ProcessMessage();
    }

    TempDir inbox;
    TMailMessage message;
    TMessageParser parser{message};
};

const std::string kTextAndBase64 = "From: a@example.org\r\n"
                                   "Subject: Hello\r\n"
                                   "Content-Type: multipart/mixed; boundary=\"XX\"\r\n"
                                   "\r\n"
                                   "preamble\r\n"
                                   "--XX\r\n"
                                   "Content-Type: text/plain\r\n"
                                   "\r\n"
                                   "first line\r\n"
                                   "second line\r\n"
                                   "--XX  \r\n"
                                   "Content-Type: application/octet-stream; name=\"a.txt\"\r\n"
                                   "Content-Transfer-Encoding: base64\r\n"
                                   "\r\n"
                                   "QUJD\r\n"
                                   "--XX--\r\n"
                                   "epilogue\r\n";

TEST_F(Parser, HeaderFieldsFromFixedPositions) {
    Process("From: a@example.org\r\nSubject: Hi there\r\nMessage-ID: <1@x>\r\n"
            "Content-Type: text/plain\r\n\r\nbody\r\n");
    EXPECT_EQ(message.From, "a@example.org");
    EXPECT_EQ(message.Subject, " Hi there");
    EXPECT_EQ(message.MessageId, "<1@x>");
    EXPECT_EQ(message.ContentType, "text/plain");
    ASSERT_EQ(message.Header.Count(), 5);
    EXPECT_EQ(message.Header[4], "");
    EXPECT_EQ(parser.PartTarget, 0);
}

TEST_F(Parser, HeaderFromConnectionIsDotUnstuffedAndStopsAtTheEndLine) {
    std::vector<std::string> lines = {"Subject: x\r\n", "..Odd: header\r\n", ".\r\n", "never\r\n"};
    size_t next = 0;
    parser.ReadLine = [&] { return lines[next++]; };
    parser.BeginRetrieval();
    parser.ParseHeader(false);
    EXPECT_TRUE(parser.MessageEnded);
    EXPECT_EQ(next, 3u);
    ASSERT_EQ(message.Header.Count(), 2);
    EXPECT_EQ(message.Header[1], ".Odd: header");
    EXPECT_EQ(parser.PartTarget, 1);
}

TEST_F(Parser, ClosedConnectionDuringHeaderRaises) {
    parser.ReadLine = [] { return std::string(); };
    parser.BeginRetrieval();
    try {
        parser.ParseHeader(false);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Connection closed during retrieval");
    }
}

TEST_F(Parser, TextPartToBodyAttachmentToFileWithNote) {
    int packets = 0;
    parser.OnPacketRecvd = [&] { ++packets; };
    Process(kTextAndBase64);
    ASSERT_EQ(message.Body.Count(), 3);
    EXPECT_EQ(message.Body[0], "first line");
    EXPECT_EQ(message.Body[1], "second line");
    EXPECT_EQ(message.Body[2], "\r\nFile \"a.txt\" extracted");
    ASSERT_EQ(message.Attachments.Count(), 1);
    EXPECT_EQ(message.Attachments[0], "a.txt");
    EXPECT_EQ(inbox.Read("a.txt"), "ABC");
    EXPECT_EQ(Listing(inbox), Names{"a.txt"}); // no part files left behind
    EXPECT_EQ(parser.WrittenFiles(), Names{inbox.File("a.txt")});
    EXPECT_EQ(parser.BytesRecvd, 3);
    EXPECT_EQ(packets, 3);
    EXPECT_EQ(message.Boundary, "XX");
}

TEST_F(Parser, ExistingFilesAreNeverReplaced) {
    inbox.Write("a.txt", "old");
    inbox.Write("a_1.txt", "older");
    Process(kTextAndBase64);
    EXPECT_EQ(inbox.Read("a.txt"), "old");
    EXPECT_EQ(inbox.Read("a_1.txt"), "older");
    EXPECT_EQ(inbox.Read("a_2.txt"), "ABC");
    EXPECT_EQ(message.Attachments[0], "a_2.txt");
}

TEST_F(Parser, DotlessNameGetsNumberAtTheEnd) {
    inbox.Write("README", "old");
    Process(Multipart({"Content-Disposition: attachment; filename=README\r\n\r\nnew"}));
    EXPECT_EQ(inbox.Read("README_1"), "new");
}

TEST_F(Parser, NamesAndEncodingsDoNotCarryOverBetweenParts) {
    Process(
        Multipart({"Content-Type: text/plain; name=\"a.txt\"\r\n"
                   "Content-Transfer-Encoding: base64\r\n\r\nQUJD",
                   "Content-Type: text/plain\r\n\r\nQUJD", "Content-Type: text/html\r\n\r\n<p>"}));
    EXPECT_EQ(inbox.Read("a.txt"), "ABC");
    EXPECT_EQ(inbox.Read("text.tmp"), "QUJD");
    EXPECT_EQ(inbox.Read("text_1.tmp"), "<p>");
}

TEST_F(Parser, QuotedPrintableAndUppercaseUUAreDecoded) {
    Process(Multipart({"Content-Type: text/plain; name=q.txt\r\n"
                       "Content-Transfer-Encoding: Quoted-Printable\r\n\r\na=3Db=\r\nc",
                       "Content-Transfer-Encoding: X-UUENCODE\r\n\r\nbegin 644 u.bin\r\n"
                       "#86)C\r\n`\r\nend"}));
    EXPECT_EQ(inbox.Read("q.txt"), "a=bc");
    EXPECT_EQ(inbox.Read("u.bin"), "abc");
}

TEST_F(Parser, FileAppearsOnlyWhenComplete) {
    parser.Processor.OnEndDecode = [&](TObject*) {
        // Decoded but not yet renamed: only the hidden folder of the
        // temporary part files exists.
        EXPECT_EQ(Listing(inbox), Names{TMessageParser::TempFolderName});
    };
    Process(kTextAndBase64);
    EXPECT_EQ(Listing(inbox), Names{"a.txt"});
}

TEST_F(Parser, DecodeStartHandlerMayRenameButNotEscape) {
    std::string offered;
    parser.OnDecodeStart = [&](std::string& name) {
        offered = name;
        name = "../elsewhere.txt";
    };
    Process(kTextAndBase64);
    EXPECT_EQ(offered, "a.txt");
    EXPECT_EQ(Listing(inbox), Names{"elsewhere.txt"});
    EXPECT_EQ(message.Attachments[0], "elsewhere.txt");
}

TEST_F(Parser, FailureLeavesNoPartFiles) {
    parser.OnDecodeStart = [](std::string&) { throw Exception("handler failed"); };
    EXPECT_THROW(Process(kTextAndBase64), Exception);
    EXPECT_EQ(Listing(inbox), Names{});
}

TEST_F(Parser, AnAttachmentCalledLikeAPartFileIsNotOverwritten) {
    TMessageParser::TempFileCounter = 0;
    inbox.Write("Temp1.mme", "precious");
    Process(kTextAndBase64);
    EXPECT_EQ(inbox.Read("Temp1.mme"), "precious");
    EXPECT_EQ(inbox.Read("a.txt"), "ABC");
}

TEST_F(Parser, UnwritableFolderRaisesAndWritesNothing) {
    parser.AttachFilePath = inbox.Path() + "/missing/";
    parser.Parse = true;
    FeedMessage(parser, message, kTextAndBase64);
    try {
        parser.ProcessMessage();
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message().rfind(
                      "Cannot create file " + inbox.Path() + "/missing/.mailgate-tmp/Temp", 0),
                  0u);
    }
    EXPECT_TRUE(parser.WrittenFiles().empty());
}

TEST_F(Parser, FirstPartThatIsAnAttachmentBecomesAFile) {
    Process("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
            "Content-Disposition: attachment; filename=first.txt\r\n\r\ndata\r\n"
            "--b\r\n\r\ntext\r\n--b--\r\n");
    EXPECT_EQ(inbox.Read("first.txt"), "data");
    EXPECT_EQ(inbox.Read("text.tmp"), "text");
}

TEST_F(Parser, ParseFalseKeepsSinglePartAsBodyButSplitsMultipart) {
    Process("Content-Type: text/plain; name=x.txt\r\n\r\none\r\ntwo\r\n", false);
    EXPECT_EQ(message.Body.Items(), message.RawBody.Items());
    EXPECT_EQ(Listing(inbox), Names{});
    TMailMessage other;
    TMessageParser second(other);
    second.AttachFilePath = inbox.Path() + "/";
    FeedMessage(second, other, kTextAndBase64);
    second.ProcessMessage();
    EXPECT_EQ(Listing(inbox), Names{"a.txt"});
}

TEST_F(Parser, SinglePartTextStaysInBody) {
    Process("Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
            "a=3Db\r\n");
    EXPECT_EQ(message.Body.Items(), Names{"a=3Db"});
    EXPECT_EQ(Listing(inbox), Names{});
}

TEST_F(Parser, SinglePartBase64BodyIsShownDecoded) {
    Process("Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\n"
            "bGluZSAxCmxpbmUgMgo=\r\n");
    EXPECT_EQ(message.Body.Items(), (Names{"line 1", "line 2"}));
    EXPECT_EQ(inbox.Read("text.tmp"), "line 1\nline 2\n");
}

TEST_F(Parser, EmptySinglePartBase64IsNoError) {
    Process("Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\n");
    EXPECT_EQ(message.Body.Count(), 0);
    EXPECT_EQ(Listing(inbox), Names{});
}

TEST_F(Parser, SinglePartUUWithBeginLineIsAFile) {
    Process("Content-Type: text/plain\r\nContent-Transfer-Encoding: x-uue\r\n\r\n"
            "begin 644 ../up.bin\r\n#86)C\r\n`\r\nend\r\n");
    EXPECT_EQ(inbox.Read("up.bin"), "abc");
}

TEST_F(Parser, HeaderThatRunsIntoABoundaryIsAnEmptyPart) {
    Process(
        Multipart({"Content-Type: text/plain", "Content-Type: text/plain; name=n.txt\r\n\r\nx"}));
    EXPECT_EQ(Listing(inbox), Names{"n.txt"});
}

TEST(LastPos, FindsTheLastOccurrence) {
    EXPECT_EQ(TMessageParser::LastPos(".", "a.b.c"), 4);
    EXPECT_EQ(TMessageParser::LastPos(".", "abc"), 0);
    EXPECT_EQ(TMessageParser::LastPos("ab", "abab"), 3);
}

} // namespace

namespace {

// --- Parts arrive in pieces -----------------------------------------------------

struct PieceCase {
    const char* name;
    size_t pieceSize;
    std::string message;
    std::string file;     // name of the one file expected
    std::string contents; // its bytes
};

std::string Repeat(const std::string& s, size_t times) {
    std::string r;
    for (size_t i = 0; i < times; ++i) {
        r += s;
    }
    return r;
}

std::string OneAttachment(const std::string& encoding, const std::string& body) {
    return Multipart({"Content-Disposition: attachment; filename=f.bin\r\n"
                      "Content-Transfer-Encoding: " +
                      encoding + "\r\n\r\n" + body});
}

const PieceCase kPieceCases[] = {
    {"Base64LineOf70000Characters", 4096, OneAttachment("base64", Repeat("QUJD", 17500)), "f.bin",
     Repeat("ABC", 17500)},
    {"Base64LineInSmallPieces", 8, OneAttachment("base64", Repeat("QUJD", 10)), "f.bin",
     Repeat("ABC", 10)},
    {"QuotedPrintableEscapesCutBetweenPieces", 8,
     OneAttachment("quoted-printable", "a=3Db=3Dc=3Dd=\r\ne=41=42=43=44"), "f.bin", "a=b=c=deABCD"},
    {"PlainLineLongerThanAPiece", 64, OneAttachment("7bit", Repeat("x", 1000) + "\r\nend"), "f.bin",
     Repeat("x", 1000) + "\r\nend"},
    {"CrBeforeLfStaysTogether", 8, OneAttachment("7bit", "abcdefg\r\nhijklmnopq"), "f.bin",
     "abcdefg\r\nhijklmnopq"},
    {"DottedLinesInPieces", 8, OneAttachment("7bit", "..\r\n.x.y.z.w.v.u"), "f.bin",
     "..\r\n.x.y.z.w.v.u"},
};

class Pieces : public Parser, public ::testing::WithParamInterface<PieceCase> {};

TEST_P(Pieces, FileHoldsTheDecodedPart) {
    const PieceCase& c = GetParam();
    Process(c.message, true, c.pieceSize);
    EXPECT_EQ(Listing(inbox), Names{c.file});
    EXPECT_TRUE(inbox.Read(c.file) == c.contents) << inbox.Read(c.file).substr(0, 80);
}

INSTANTIATE_TEST_SUITE_P(Parser, Pieces, ::testing::ValuesIn(kPieceCases), RowName());

// --- An unnamed first part that is not text -------------------------------------

struct FirstPartCase {
    const char* name;
    std::string header; // of the first part
    std::string body;
    Names files;
};

const FirstPartCase kFirstPartCases[] = {
    {"PdfBecomesAttachmentPdf",
     "Content-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n",
     "JVBERi0=",
     {"attachment.pdf", "text.tmp"}},
    {"JpegBecomesAttachmentJpg",
     "Content-Type: image/jpeg\r\nContent-Transfer-Encoding: base64\r\n",
     "/9j/",
     {"attachment.jpg", "text.tmp"}},
    {"WordBecomesAttachmentDoc",
     "Content-Type: application/msword\r\n",
     "doc",
     {"attachment.doc", "text.tmp"}},
    {"UnknownTypeBecomesAttachmentBin",
     "Content-Type: application/x-whatever\r\n",
     "data",
     {"attachment.bin", "text.tmp"}},
    {"OctetStreamBecomesAttachmentBin",
     "Content-Type: application/octet-stream\r\n",
     "data",
     {"attachment.bin", "text.tmp"}},
    {"TextStaysTheMessageText", "Content-Type: text/plain\r\n", "hello", {"text.tmp"}},
    {"NoTypeIsText", "", "hello", {"text.tmp"}},
    {"EmptyNonTextPartMakesNoFile", "Content-Type: application/pdf\r\n", "", {"text.tmp"}},
};

class FirstPart : public Parser, public ::testing::WithParamInterface<FirstPartCase> {};

TEST_P(FirstPart, IsSavedUnlessItIsText) {
    const FirstPartCase& c = GetParam();
    Process("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n" + c.header + "\r\n" +
            c.body + "\r\n--b\r\nContent-Type: text/plain\r\n\r\nsecond\r\n--b--\r\n");
    EXPECT_EQ(Listing(inbox), c.files);
}

INSTANTIATE_TEST_SUITE_P(Parser, FirstPart, ::testing::ValuesIn(kFirstPartCases), RowName());

} // namespace

TEST_F(Parser, UnnamedNonTextSinglePartIsSavedByItsType) {
    Process(
        "Content-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n");
    EXPECT_EQ(Listing(inbox), Names{"attachment.pdf"});
    EXPECT_EQ(inbox.Read("attachment.pdf"), "%PDF-");
}

TEST_F(Parser, AttachmentNamedLikeAPartFileKeepsItsName) {
    TMessageParser::TempFileCounter = 0;
    Process(Multipart({"Content-Disposition: attachment; filename=Temp1.mme\r\n"
                       "Content-Transfer-Encoding: base64\r\n\r\nQUJD"}));
    EXPECT_EQ(Listing(inbox), Names{"Temp1.mme"});
    EXPECT_EQ(inbox.Read("Temp1.mme"), "ABC");
}

TEST_F(Parser, NestingOf16IsTakenApartAndOf17Refused) {
    auto nested = [](int depth) {
        std::string m = "Content-Type: multipart/mixed; boundary=b1\r\n\r\n";
        for (int level = 2; level <= depth; ++level) {
            m += "--b" + std::to_string(level - 1) +
                 "\r\nContent-Type: multipart/mixed; boundary=b" + std::to_string(level) +
                 "\r\n\r\n";
        }
        m += "--b" + std::to_string(depth) + "\r\nContent-Type: application/pdf\r\n\r\npdf\r\n";
        for (int level = depth; level >= 1; --level) {
            m += "--b" + std::to_string(level) + "--\r\n";
        }
        return m;
    };
    Process(nested(16));
    EXPECT_EQ(Listing(inbox), Names{"attachment.pdf"});
    TMailMessage other;
    TMessageParser deeper(other);
    deeper.AttachFilePath = inbox.Path() + "/";
    FeedMessage(deeper, other, nested(17));
    try {
        deeper.ProcessMessage();
        FAIL() << "no exception";
    } catch (const EMessageRefused& e) {
        EXPECT_EQ(e.Message(), "Message nested more than 16 levels deep: left on the server");
    }
    EXPECT_TRUE(deeper.WrittenFiles().empty());
    EXPECT_EQ(Listing(inbox), Names{"attachment.pdf"});
}

TEST_F(Parser, TextKeptInMemoryIsBounded) {
    const std::string line(1000, 't');
    Process("Content-Type: text/plain\r\n\r\n" + Repeat(line + "\r\n", 3000));
    size_t kept = 0;
    for (const std::string& l : message.Body) {
        kept += l.size();
    }
    EXPECT_GT(kept, 0u);
    EXPECT_LE(kept, TMessageParser::MaxKeptText);
    EXPECT_LT(message.RawBody.Count(), 3000);
    EXPECT_EQ(message.Body[0], line);
}

TEST_F(Parser, HeaderBeyondItsBoundIsRefused) {
    const std::string huge = "X-Filler: " + std::string(TMessageParser::MaxHeaderBytes, 'h');
    parser.AttachFilePath = inbox.Path() + "/";
    try {
        FeedMessage(parser, message, huge + "\r\n\r\nbody\r\n");
        FAIL() << "no exception";
    } catch (const EMessageRefused& e) {
        EXPECT_EQ(e.Message(), "Message header larger than 1048576 bytes: left on the server");
    }
    EXPECT_LT(message.Header.Count(), 2);
    EXPECT_TRUE(parser.SkipToEnd(1u << 30));
    EXPECT_TRUE(parser.MessageEnded);
}

TEST_F(Parser, CannotCreateFileSaysWhy) {
    parser.AttachFilePath = inbox.Path() + "/missing/";
    FeedMessage(parser, message, kTextAndBase64);
    try {
        parser.ProcessMessage();
        FAIL() << "no exception";
    } catch (const EFCreateError& e) {
        const std::string reason = ": No such file or directory";
        ASSERT_GT(e.Message().size(), reason.size());
        EXPECT_EQ(e.Message().substr(e.Message().size() - reason.size()), reason);
    }
}

TEST_F(Parser, LeftoversOfAnInterruptedRunAreRemoved) {
    const std::string hidden = inbox.File(TMessageParser::TempFolderName);
    fs::create_directory(hidden);
    inbox.Write(std::string(TMessageParser::TempFolderName) + "/Temp7.mme", "half a part");
    inbox.Write(std::string(TMessageParser::TempFolderName) + "/Temp8.mme", "");
    inbox.Write("kept.txt", "a finished file");
    TMessageParser::RemoveLeftovers(inbox.Path());
    EXPECT_EQ(Listing(inbox), Names{"kept.txt"});
    TMessageParser::RemoveLeftovers(inbox.Path() + "/"); // nothing left: nothing happens
    EXPECT_EQ(Listing(inbox), Names{"kept.txt"});
}

TEST_F(Parser, SameNameAgainAndAgainTakesTheNextFreeSuffix) {
    parser.AttachFilePath = inbox.Path() + "/";
    for (int i = 0; i < 5; ++i) {
        TMailMessage m;
        FeedMessage(parser, m, kTextAndBase64);
        parser.ProcessMessage();
    }
    EXPECT_EQ(Listing(inbox), (Names{"a.txt", "a_1.txt", "a_2.txt", "a_3.txt", "a_4.txt"}));
    // A name that became free again is used again.
    fs::remove(inbox.File("a.txt"));
    FeedMessage(parser, message, kTextAndBase64);
    parser.ProcessMessage();
    EXPECT_EQ(message.Attachments[0], "a.txt");
    FeedMessage(parser, message, kTextAndBase64);
    parser.ProcessMessage();
    EXPECT_EQ(message.Attachments[0], "a_5.txt");
}
