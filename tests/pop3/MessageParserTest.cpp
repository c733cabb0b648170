#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/FuzzTargets.h"
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

class Parser : public ::testing::Test {
protected:
    void Process(const std::string& raw, bool parse = true) {
        parser.AttachFilePath = inbox.Path() + "/";
        parser.Parse = parse;
        FeedMessage(parser, message, raw);
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
    Process("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\ntext\r\n"
            "--b\r\nContent-Disposition: attachment; filename=README\r\n\r\nnew\r\n--b--\r\n");
    EXPECT_EQ(inbox.Read("README_1"), "new");
}

TEST_F(Parser, NamesAndEncodingsDoNotCarryOverBetweenParts) {
    Process("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\ntext\r\n"
            "--b\r\nContent-Type: text/plain; name=\"a.txt\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\nQUJD\r\n"
            "--b\r\nContent-Type: text/plain\r\n\r\nQUJD\r\n"
            "--b\r\nContent-Type: text/html\r\n\r\n<p>\r\n--b--\r\n");
    EXPECT_EQ(inbox.Read("a.txt"), "ABC");
    EXPECT_EQ(inbox.Read("text.tmp"), "QUJD");
    EXPECT_EQ(inbox.Read("text_1.tmp"), "<p>");
}

TEST_F(Parser, QuotedPrintableAndUppercaseUUAreDecoded) {
    Process("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\ntext\r\n"
            "--b\r\nContent-Type: text/plain; name=q.txt\r\n"
            "Content-Transfer-Encoding: Quoted-Printable\r\n\r\na=3Db=\r\nc\r\n"
            "--b\r\nContent-Transfer-Encoding: X-UUENCODE\r\n\r\nbegin 644 u.bin\r\n"
            "#86)C\r\n`\r\nend\r\n--b--\r\n");
    EXPECT_EQ(inbox.Read("q.txt"), "a=bc");
    EXPECT_EQ(inbox.Read("u.bin"), "abc");
}

TEST_F(Parser, FileAppearsOnlyWhenComplete) {
    parser.Processor.OnEndDecode = [&](TObject*) {
        // Decoded but not yet renamed: only temporary part files exist.
        for (const auto& name : Listing(inbox)) {
            EXPECT_EQ(name.rfind("Temp", 0), 0u) << name;
        }
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
        EXPECT_EQ(e.Message().rfind("Cannot create file " + inbox.Path() + "/missing/Temp", 0), 0u);
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
    Process("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\ntext\r\n"
            "--b\r\nContent-Type: text/plain\r\n--b\r\nContent-Type: text/plain; name=n.txt\r\n"
            "\r\nx\r\n--b--\r\n");
    EXPECT_EQ(Listing(inbox), Names{"n.txt"});
}

TEST(LastPos, FindsTheLastOccurrence) {
    EXPECT_EQ(TMessageParser::LastPos(".", "a.b.c"), 4);
    EXPECT_EQ(TMessageParser::LastPos(".", "abc"), 0);
    EXPECT_EQ(TMessageParser::LastPos("ab", "abab"), 3);
}

} // namespace
