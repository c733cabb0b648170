// The control against a scripted SMTP server on loopback where a test needs
// code of its own: timers, handlers, a control destroyed or failing while it
// sends, no server at all. The plain dialogues are scenario files
// (tests/data/smtp), run by SmtpScenarioTest.cpp.
#include "SmtpTestSupport.h"

#include <QElapsedTimer>
#include <QTimer>
#include <new>

#include "support/Loopback.h"
#include "support/ScriptedPeer.h"

namespace {

struct SmtpTranscript : ::testing::Test, LoopbackSmtp {};

// A server that takes one mail (and the QUIT of the control that goes).
PeerScenario OneMail() {
    return ScenarioFile::Load(MAILGATE_TEST_DATA "/smtp/one-mail.txt").connections.at(0);
}

TEST_F(SmtpTranscript, RefusedConnectionAndUnknownHostGiveCurlCodes) {
    const int port = ClosedPort();
    smtp->SetSmtpPort(port);
    std::string description;
    EXPECT_EQ(smtp->Send(message, -1, description), 7);
    EXPECT_NE(
        description.find("Cannot connect to the SMTP server 127.0.0.1:" + std::to_string(port)),
        std::string::npos)
        << description;

    smtp->SetSmtpServer("no-such-host.invalid");
    EXPECT_EQ(smtp->Send(message, -1, description), 6);
    EXPECT_NE(description.find("Unknown SMTP server host \"no-such-host.invalid\""),
              std::string::npos)
        << description;
    EXPECT_EQ(statuses, (std::vector<int>{1, 3, 1, 3}));
}

TEST_F(SmtpTranscript, SilentServerTimesOutWhileTimersKeepRunning) {
    ScriptedPeer peer;
    peer.Add({"HANG"});
    smtp->SetSmtpPort(peer.Port());
    smtp->SetConnectTimeout(1);
    smtp->SetTransferTimeout(1);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(20);
    QElapsedTimer clock;
    clock.start();
    std::string description;
    EXPECT_EQ(smtp->Send(message, -1, description), 28) << description;
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_GE(ticks, 10) << "the event loop stood still while sending";
}

// A transfer that raises what the real one raises only when memory runs out.
class TransferRaisingOnce : public TSmtpMail {
protected:
    int Transfer(int messageNumber, const IMailMessagePtr& message, std::string& text,
                 std::exception_ptr& handlerError) override {
        if (!raised_) {
            raised_ = true;
            throw std::bad_alloc();
        }
        return TSmtpMail::Transfer(messageNumber, message, text, handlerError);
    }

private:
    bool raised_ = false;
};

TEST_F(SmtpTranscript, AnUnexpectedErrorWhileSendingDoesNotLeaveTheControlBusy) {
    ScriptedPeer peer;
    peer.Add(OneMail());
    smtp = std::make_unique<TransferRaisingOnce>();
    smtp->SetSmtpServer("127.0.0.1");
    smtp->SetSmtpPort(peer.Port());
    smtp->SetSenderHostname("mailgate.test");
    int number = 0;
    smtp->OnStatusChange = [&](TObject*, int n, int s) {
        number = n;
        statuses.push_back(s);
    };
    std::string description;
    EXPECT_THROW(smtp->Send(message, -1, description), std::bad_alloc);
    const int failed = number;
    EXPECT_EQ(smtp->Send(message, -1, description), 0) << description;
    EXPECT_EQ(statuses, (std::vector<int>{1, 1, 2}));
    EXPECT_EQ(smtp->GetErrorCode(failed), TSmtpMail::ErrorAborted);
    EXPECT_EQ(smtp->GetErrorText(failed), "Sending failed: std::bad_alloc");
}

TEST_F(SmtpTranscript, BadMessagesFailWithoutConnecting) {
    smtp->SetSmtpPort(1);
    std::string description;
    EXPECT_EQ(smtp->Send(nullptr, -1, description), TSmtpMail::ErrorBadMessage);
    message->ClearRecipients();
    EXPECT_EQ(smtp->Send(message, -1, description), TSmtpMail::ErrorBadMessage);
    EXPECT_EQ(description, "The message has no recipient");
    for (const char* bad : {"", "ERROR", "a b@example.org", "a@example.org\r\nRCPT TO:<x@y>",
                            "<a@example.org", "@example.org"}) {
        Address(bad);
        EXPECT_EQ(smtp->Send(message, -1, description), TSmtpMail::ErrorBadMessage) << bad;
        EXPECT_NE(description.find("is not a mail address"), std::string::npos) << description;
    }
    Address("rcpt@example.org");
    smtp->SetSmtpServer("host/with/slashes");
    EXPECT_EQ(smtp->Send(message, -1, description), TSmtpMail::ErrorBadMessage);
}

TEST_F(SmtpTranscript, SendFromAHandlerWhileSendingIsRefusedAsBusy) {
    ScriptedPeer peer;
    peer.Add(OneMail());
    smtp->SetSmtpPort(peer.Port());
    int innerCode = -1;
    std::string innerDescription;
    smtp->OnProgress = [&](TObject*, int, int64_t, int64_t) {
        if (innerCode == -1) {
            innerCode = smtp->Send(message, -1, innerDescription);
        }
    };
    std::string description;
    EXPECT_EQ(smtp->Send(message, -1, description), 0) << description;
    EXPECT_EQ(innerCode, TSmtpMail::ErrorBusy);
    EXPECT_NE(innerDescription.find("busy"), std::string::npos);
}

TEST_F(SmtpTranscript, ControlDestroyedWhileSendingEndsTheSendSafely) {
    ScriptedPeer peer;
    peer.Add({"HANG"});
    smtp->SetSmtpPort(peer.Port());
    QTimer::singleShot(100, [this] { smtp.reset(); });
    TSmtpMail* raw = smtp.get();
    std::string description;
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(raw->Send(message, -1, description), TSmtpMail::ErrorAborted);
    EXPECT_EQ(smtp, nullptr);
    EXPECT_LT(clock.elapsed(), 2000);
    // Nothing more reached the server: above all no end-of-message mark that
    // would have it accept a cut-off message.
    EXPECT_TRUE(WaitFor([&] { return peer.Finished(); }, 2000));
    EXPECT_EQ(peer.Connections(), 1);
    EXPECT_EQ(peer.Received(0), "");
}

TEST_F(SmtpTranscript, LastReplyIsTheServersVerdictOnTheMessage) {
    ScriptedPeer peer;
    peer.Add({"S: 220 peer ESMTP", "C: EHLO mailgate.test", "S: 250-peer", "S: 250 AUTH PLAIN",
              "C: AUTH PLAIN AHVzZXIAcGFzcw==", "S: 235 2.7.0 Authentication successful",
              "C: MAIL FROM:<gateway@example.org>", "S: 250 2.0.0 Ok",
              "C: RCPT TO:<rcpt@example.org>", "S: 250 2.0.0 Ok", "C: DATA",
              "S: 354 End data with <CR><LF>.<CR><LF>", "C: <data>",
              "S: 250 2.0.0 Ok: queued as 4Xy", "C: MAIL FROM:<gateway@example.org>",
              "S: 250 2.0.0 Ok", "C: RCPT TO:<rcpt@example.org>", "S: 550 5.1.1 no such user"});
    smtp->SetSmtpPort(peer.Port());
    smtp->SetSmtpUsername("user");
    smtp->SetSmtpPassword("pass");
    std::string description;
    ASSERT_EQ(smtp->Send(message, -1, description), 0) << description;
    EXPECT_EQ(smtp->LastReply(), "250 2.0.0 Ok: queued as 4Xy");
    // A send that failed has no verdict to tell.
    EXPECT_EQ(smtp->Send(message, -1, description), 550) << description;
    EXPECT_EQ(smtp->LastReply(), "");
    ASSERT_TRUE(WaitFor([&] { return peer.Finished(); }));
    EXPECT_EQ(peer.Errors(), "");
}

TEST_F(SmtpTranscript, ErrorLookupsByMessageNumber) {
    EXPECT_THROW(smtp->GetErrorCode(1), ESmtpMailError);
    std::string description;
    smtp->SetSmtpPort(1);
    message->ClearRecipients();
    int number = 0;
    smtp->OnStatusChange = [&](TObject*, int n, int) { number = n; };
    smtp->Send(message, -1, description);
    EXPECT_EQ(smtp->GetErrorCode(number), TSmtpMail::ErrorBadMessage);
    EXPECT_EQ(smtp->GetErrorText(number), description);
    EXPECT_THROW(smtp->GetErrorText(number + 1), ESmtpMailError);
}

TEST(SmtpObjects, SettingsAndTheirLimits) {
    IMailMessagePtr m = CoMailMessage::Create();
    m->SetPriority(3);
    m->SetBodyFormat(0);
    m->SetReadReceipt(0);
    m->SetSubject("QX7");
    EXPECT_EQ(m->GetPriority(), 3);
    EXPECT_EQ(m->GetSubject(), "QX7");
    EXPECT_THROW(m->SetPriority(0), ESmtpMailError);
    EXPECT_THROW(m->SetBodyFormat(2), ESmtpMailError);
    EXPECT_THROW(m->SetReadReceipt(-1), ESmtpMailError);
    EXPECT_THROW(m->SetSubject("a\r\nBcc: x@y"), ESmtpMailError);
    EXPECT_THROW(m->AddRecipient(nullptr), ESmtpMailError);
    EXPECT_THROW(m->SetFrom(nullptr), ESmtpMailError);

    IMailAddressPtr a = CoMailAddress::Create();
    a->SetAddress("ERROR"); // the placeholder of an unconfigured start
    m->SetFrom(a);
    m->SetSender(a);
    EXPECT_EQ(m->GetFrom()->GetAddress(), "ERROR");
    EXPECT_EQ(m->GetFrom(), m->GetSender()); // shared, not copied

    TSmtpMail smtp;
    EXPECT_EQ(smtp.SmtpPort(), 25);
    EXPECT_EQ(smtp.MaxThreads(), 1);
    EXPECT_FALSE(smtp.SmtpSSL());
    EXPECT_FALSE(smtp.SmtpSPA());
    EXPECT_EQ(smtp.ConnectTimeout(), 30);
    smtp.SetSmtpServer("mail.example.org");
    smtp.SetSmtpUsername("u");
    smtp.SetSmtpPassword("p");
    EXPECT_EQ(smtp.SmtpServer(), "mail.example.org");
    EXPECT_EQ(smtp.SmtpUsername(), "u");
    EXPECT_EQ(smtp.SmtpPassword(), "p");
    EXPECT_THROW(smtp.SetSmtpPort(0), ESmtpMailError);
    EXPECT_THROW(smtp.SetSmtpPort(65536), ESmtpMailError);
    EXPECT_THROW(smtp.SetConnectTimeout(0), ESmtpMailError);
}

} // namespace
