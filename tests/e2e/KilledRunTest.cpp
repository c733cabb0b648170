// The program killed in the middle of a message: whoever reads the Inbox
// never sees a temporary or partial file, neither while the run goes on nor
// after the kill, and the next run clears away what the killed one left.
// No real servers: POP3 is scripted, and the Outbox stays empty.
#include <QByteArray>
#include <QProcess>

#include "Gateway.h"
#include "support/ScriptedPeer.h"

namespace e2e {
namespace {

constexpr int KillDeadlineMs = 30000;
constexpr int PeerDeadlineMs = 30000;
const char* const TempFolder = ".mailgate-tmp";

// A message with two attachments: a small one, then `second`.
std::string MessageWithTwoAttachments(const std::string& first, const std::string& second) {
    std::string b64 = QByteArray::fromStdString(second).toBase64().toStdString();
    std::string wrapped;
    for (std::size_t i = 0; i < b64.size(); i += 76) {
        wrapped += b64.substr(i, 76) + "\n";
    }
    return "From: sender@example.test\n"
           "To: test@example.test\n"
           "Subject: two files\n"
           "MIME-Version: 1.0\n"
           "Content-Type: multipart/mixed; boundary=\"=_two\"\n"
           "\n"
           "--=_two\n"
           "Content-Type: text/plain; charset=us-ascii\n"
           "Content-Disposition: attachment; filename=\"first.txt\"\n"
           "\n" +
           first +
           "\n"
           "--=_two\n"
           "Content-Type: application/octet-stream; name=\"second.bin\"\n"
           "Content-Transfer-Encoding: base64\n"
           "Content-Disposition: attachment; filename=\"second.bin\"\n"
           "\n" +
           wrapped + "\n--=_two--\n";
}

class KilledRun : public ::testing::Test {
protected:
    void SetUp() override {
        inbox_ = temp_.File("inbox");
        outbox_ = temp_.File("outbox");
        config_ = temp_.File("options.ini");
        fs::create_directories(inbox_);
        fs::create_directories(outbox_);
        // The SMTP peer has no scenario: a connection to it would fail the
        // run, but with an empty Outbox none is made.
        WriteFile(config_, "[Account]\n"
                           "Host=127.0.0.1\n"
                           "InPort=" +
                               std::to_string(pop3_.Port()) +
                               "\n"
                               "UserId=gate\n"
                               "Password=pop-pw\n"
                               "Path=" +
                               inbox_ +
                               "/\n"
                               "OutHost=127.0.0.1\n"
                               "OutPort=" +
                               std::to_string(smtp_.Port()) +
                               "\n"
                               "OutPath=" +
                               outbox_ +
                               "\n"
                               "FromAddress=gate@example.test\n"
                               "Time=0\n");
    }

    static std::vector<std::string> LogIn() {
        return {"S: +OK scripted POP3 ready",
                "C: CAPA",
                "S: -ERR unknown command",
                "C: USER gate",
                "S: +OK",
                "C: PASS pop-pw",
                "S: +OK",
                "C: STAT"};
    }

    // Bytes of the files in the hidden temporary folder.
    std::uintmax_t TempFolderBytes() const {
        std::uintmax_t bytes = 0;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(inbox_ + "/" + TempFolder, ec)) {
            std::error_code sizeError;
            std::uintmax_t size = e.file_size(sizeError);
            if (!sizeError) {
                bytes += size;
            }
        }
        return bytes;
    }

    // Names in the Inbox a reader would take: all but hidden ones.
    std::set<std::string> VisibleNames() const {
        std::set<std::string> names;
        for (const auto& name : Names(inbox_)) {
            if (name.empty() || name[0] != '.') {
                names.insert(name);
            }
        }
        return names;
    }

    ScriptedPeer pop3_;
    ScriptedPeer smtp_;
    TempDir temp_;
    std::string inbox_;
    std::string outbox_;
    std::string config_;
};

TEST_F(KilledRun, LeavesNothingVisibleInTheInboxAndTheNextRunClearsItsTemporaryFiles) {
    // Message 1 is taken whole; message 2 stops half-way through its second
    // attachment, after its first one was complete.
    const std::string big = RandomBytes(4u << 20, 1);
    const std::string second = RandomBytes(8u << 20, 2);
    const std::string m1 = MessageWithAttachment("big.bin", big);
    const std::string m2 = DotStuffed(MessageWithTwoAttachments("complete first file\n", second));
    const std::size_t lineInTheMiddle = m2.find("\r\n", m2.size() / 2) + 2;
    const std::string half = m2.substr(0, lineInTheMiddle);

    std::vector<std::string> killed = LogIn();
    for (const std::string& step :
         {"S: +OK 2 " + std::to_string(m1.size() + m2.size()), std::string("C: RETR 1"),
          "S: +OK\r\n" + DotStuffed(m1) + ".", std::string("C: DELE 1"), std::string("S: +OK"),
          std::string("C: RETR 2"), "S~ +OK\r\n" + half, std::string("HANG")}) {
        killed.push_back(step);
    }
    pop3_.Add(PeerScenario(killed));
    std::vector<std::string> next = LogIn();
    for (const char* step : {"S: +OK 0 0", "C: QUIT", "S: +OK"}) {
        next.push_back(step);
    }
    pop3_.Add(PeerScenario(next));

    QProcess process;
    process.setProgram(QStringLiteral(MAILGATE_BINARY));
    process.setArguments(
        {QStringLiteral("--once"), QStringLiteral("--config"), QString::fromStdString(config_)});
    process.start();
    ASSERT_TRUE(process.waitForStarted(KillDeadlineMs));

    // Every name a reader of the Inbox could see while the run went on. The
    // kill comes once the run is writing the second attachment of message 2,
    // or at once when anything but message 1's file shows up.
    std::set<std::string> seen;
    bool midMessage = WaitFor(
        [&] {
            std::set<std::string> now = VisibleNames();
            seen.insert(now.begin(), now.end());
            bool stranger = std::any_of(now.begin(), now.end(),
                                        [](const std::string& name) { return name != "big.bin"; });
            bool writingSecond = pop3_.Received(0).find("RETR 2\r\n") != std::string::npos &&
                                 TempFolderBytes() >= second.size() / 4;
            return stranger || writingSecond || process.state() == QProcess::NotRunning;
        },
        KillDeadlineMs);
    const bool stillRunning = process.state() != QProcess::NotRunning;
    process.kill(); // SIGKILL
    ASSERT_TRUE(process.waitForFinished(KillDeadlineMs));
    const std::string output = process.readAllStandardOutput().toStdString() +
                               process.readAllStandardError().toStdString();
    EXPECT_TRUE(midMessage) << "the run never got half-way into message 2\n" << output;
    EXPECT_TRUE(stillRunning) << "the run ended while the server still owed it data\n" << output;

    EXPECT_EQ(seen, std::set<std::string>{"big.bin"})
        << "a reader of the Inbox saw a temporary or partial file";
    EXPECT_EQ(VisibleNames(), std::set<std::string>{"big.bin"});
    for (const auto& name : Names(inbox_)) {
        EXPECT_TRUE(name == "big.bin" || name == TempFolder) << name;
    }
    EXPECT_TRUE(ReadFile(inbox_ + "/big.bin") == big) << "big.bin differs from what was sent";
    // Message 2's part files are still in the hidden folder, for the next run.
    EXPECT_GT(TempFolderBytes(), 0u);
    EXPECT_EQ(pop3_.Received(0),
              "CAPA\r\nUSER gate\r\nPASS pop-pw\r\nSTAT\r\nRETR 1\r\nDELE 1\r\nRETR 2\r\n");

    MailgateRun run(config_);
    ASSERT_TRUE(run.Finish()) << Transcript(run);
    ExpectNoSanitizerReport(run);
    EXPECT_EQ(run.ExitCode(), 0) << Transcript(run);
    EXPECT_TRUE(WaitFor([&] { return pop3_.Finished(); }, PeerDeadlineMs));
    EXPECT_EQ(pop3_.Received(1), "CAPA\r\nUSER gate\r\nPASS pop-pw\r\nSTAT\r\nQUIT\r\n");
    EXPECT_EQ(pop3_.Errors().find("connection 1:"), std::string::npos) << pop3_.Errors();
    EXPECT_EQ(smtp_.Connections(), 0);

    // The killed run's left-overs were removed at start.
    EXPECT_FALSE(fs::exists(inbox_ + "/" + TempFolder));
    EXPECT_EQ(Names(inbox_), std::set<std::string>{"big.bin"});
}

} // namespace
} // namespace e2e
