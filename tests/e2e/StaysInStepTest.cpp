// The program against a POP3 server that carries out DELE only at QUIT, as
// POP3 servers do: a session that is dropped without QUIT forgets every
// deletion it made, so the next poll saves the same attachments again. Each
// scenario is the transcript of a client that stays in step; the Outbox goes
// out through the real local SMTP server in the same cycle.
#include <QByteArray>

#include "Gateway.h"
#include "support/ScriptedPeer.h"

namespace e2e {
namespace {

constexpr int PeerDeadlineMs = 30000;

// The message as a POP3 server hands it out after "+OK": CR LF line ends,
// a leading dot doubled, and the terminating line (the peer adds its CR LF).
std::string Retrieved(const std::string& message) {
    return "+OK message follows\r\n" + DotStuffed(message) + ".";
}

// A message whose one attachment is base64 written as a single line, as
// some mail programs send it.
std::string MessageWithOneLineAttachment(const std::string& fileName, const std::string& data) {
    std::string b64 = QByteArray::fromStdString(data).toBase64().toStdString();
    return "From: sender@example.test\n"
           "To: test@example.test\n"
           "Subject: one long line\n"
           "MIME-Version: 1.0\n"
           "Content-Type: multipart/mixed; boundary=\"=_one_line\"\n"
           "\n"
           "--=_one_line\n"
           "Content-Type: text/plain; charset=us-ascii\n"
           "\n"
           "The attachment is one line.\n"
           "\n"
           "--=_one_line\n"
           "Content-Type: application/octet-stream; name=\"" +
           fileName +
           "\"\n"
           "Content-Transfer-Encoding: base64\n"
           "Content-Disposition: attachment; filename=\"" +
           fileName + "\"\n\n" + b64 + "\n\n--=_one_line--\n";
}

class StaysInStep : public Gateway {
protected:
    void SetUp() override {
        Gateway::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        // POP3 from the scripted server; SMTP stays the real one.
        WriteSettings({{"Host", "127.0.0.1"},
                       {"InPort", std::to_string(pop3_.Port())},
                       {"UserId", "gate"},
                       {"Password", "pop-pw"}});
    }

    // One connection: greeting, log-in, STAT, then `rest`.
    static PeerScenario Session(std::vector<std::string> rest) {
        std::vector<std::string> script = {"S: +OK scripted POP3 ready",
                                           "C: CAPA",
                                           "S: -ERR unknown command",
                                           "C: USER gate",
                                           "S: +OK",
                                           "C: PASS pop-pw",
                                           "S: +OK logged in",
                                           "C: STAT"};
        script.insert(script.end(), rest.begin(), rest.end());
        return PeerScenario(script);
    }

    // The client's side of connection `index`, byte for byte.
    void ExpectSent(int index, const std::string& expected) {
        WaitFor([&] { return pop3_.Received(index) == expected; }, PeerDeadlineMs);
        EXPECT_EQ(pop3_.Received(index), expected) << "connection " << index;
    }

    ScriptedPeer pop3_;
};

TEST_F(StaysInStep, ALongLineIsTakenAndEveryDeletionIsCommittedBeforeTheOutboxGoesOut) {
    const std::string first = "the first attachment\r\n";
    // 52,500 bytes are 70,000 base64 characters: beyond the socket's 64 KiB
    // line cap, in one line.
    const std::string longData = RandomBytes(52500, 70000);
    const std::string third = RandomBytes(3000, 3);
    const std::string m1 = MessageWithAttachment("f1.txt", first);
    const std::string m2 = MessageWithOneLineAttachment("long.bin", longData);
    const std::string m3 = MessageWithAttachment("f3.bin", third);
    ASSERT_NE(m2.find(QByteArray::fromStdString(longData).toBase64().toStdString() + "\n"),
              std::string::npos);
    const std::string octets = std::to_string(m1.size() + m2.size() + m3.size());

    std::vector<std::string> steps = {"S: +OK 3 " + octets};
    int number = 0;
    for (const std::string* message : {&m1, &m2, &m3}) {
        const std::string n = std::to_string(++number);
        steps.insert(steps.end(),
                     {"C: RETR " + n, "S: " + Retrieved(*message), "C: DELE " + n, "S: +OK"});
    }
    steps.insert(steps.end(), {"C: QUIT", "S: +OK deleted 3"});
    pop3_.Add(Session(steps));
    // The deletions were committed by that QUIT: nothing is left.
    for (int run = 2; run <= 3; ++run) {
        pop3_.Add(Session({"S: +OK 0 0", "C: QUIT", "S: +OK"}));
    }
    PutOutboxFile("report.txt", "sent in the first cycle\r\n");

    auto run1 = RunOnce();
    EXPECT_EQ(run1->ExitCode(), 0) << Transcript(*run1);
    ExpectSent(0, "CAPA\r\nUSER gate\r\nPASS pop-pw\r\nSTAT\r\n"
                  "RETR 1\r\nDELE 1\r\nRETR 2\r\nDELE 2\r\nRETR 3\r\nDELE 3\r\nQUIT\r\n");
    // The outbox pass of the same cycle sent the file.
    EXPECT_TRUE(Names(outbox_).empty()) << Transcript(*run1);
    EXPECT_TRUE(WaitForMailbox(1)) << "mailbox holds " << MailboxCount() << " messages";

    for (int run = 2; run <= 3; ++run) {
        auto again = RunOnce();
        EXPECT_EQ(again->ExitCode(), 0) << "run " << run << "\n" << Transcript(*again);
        ExpectSent(run - 1, "CAPA\r\nUSER gate\r\nPASS pop-pw\r\nSTAT\r\nQUIT\r\n");
    }

    EXPECT_TRUE(WaitFor([&] { return pop3_.Finished(); }, PeerDeadlineMs));
    EXPECT_EQ(pop3_.Errors(), "");
    // Each attachment once, the long one byte for byte.
    ExpectInboxHolds({{"f1.txt", first}, {"long.bin", longData}, {"f3.bin", third}});
    EXPECT_EQ(MailboxCount(), 1) << "the Outbox file went out once";
}

} // namespace
} // namespace e2e
