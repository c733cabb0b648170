// The control against a scripted SMTP peer on loopback: the exact commands on
// the wire, connection reuse, and the faults a real server will not produce
// on demand (closing mid-DATA, never answering).
#include "smtp/AddEmailLib_TLB.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// One scenario per connection: replies to each command by its verb, records
// what the client sent as "C: " lines (the message text as one "DATA:" entry).
// It runs on its own thread, as a real server would: libcurl waits for the
// reply to the end of the message without returning to the event loop. It
// serves one connection at a time, so the transcript reads in order.
class ScriptedSmtpPeer {
public:
    enum class Fault {
        None,
        Silent,
        CloseInData,
        CloseAfterData,
        SilentAfterFirstMail, // accepts one mail, then answers nothing more
        SilentAtSecondDataEnd // never answers the end of the second mail
    };

    // The fault of each connection in turn; the last one stays for the rest.
    explicit ScriptedSmtpPeer(std::vector<Fault> faults) : faults_(std::move(faults)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 4);
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    explicit ScriptedSmtpPeer(Fault fault = Fault::None)
        : ScriptedSmtpPeer(std::vector<Fault>{fault}) {}

    ~ScriptedSmtpPeer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    int Port() const { return port_; }
    std::vector<std::string> Transcript() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return transcript_;
    }
    std::vector<std::string> Messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    int Connections() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return connections_;
    }

private:
    void Record(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        transcript_.push_back(line);
    }

    // Waits for `fd` to be readable while the test has not ended.
    bool Readable(int fd) {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                return true;
            }
        }
        return false;
    }

    void Run() {
        while (Readable(listener_)) {
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                fault_ = faults_.at(std::min<size_t>(size_t(connections_), faults_.size() - 1));
                ++connections_;
                transcript_.push_back("connect");
            }
            Serve(fd);
            ::close(fd);
        }
    }

    void Send(int fd, const std::string& s) { (void)!::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }

    // Answers nothing more; records what still comes until the client closes
    // (and, with `noteClose`, that it closed).
    void StaySilent(int fd, bool noteClose = true) {
        while (Readable(fd)) {
            char b[4096];
            ssize_t n = ::recv(fd, b, sizeof b, 0);
            if (n <= 0) {
                if (noteClose) {
                    Record("closed by the client");
                }
                return;
            }
            Record("unexpected: " + std::string(b, size_t(n)));
        }
    }

    void Serve(int fd) {
        if (fault_ == Fault::Silent) {
            StaySilent(fd, false);
            return;
        }
        Send(fd, "220 peer ESMTP\r\n");
        std::string buffer;
        bool inData = false;
        int mails = 0;
        while (Readable(fd)) {
            char b[65536];
            ssize_t n = ::recv(fd, b, sizeof b, 0);
            if (n <= 0) {
                return;
            }
            buffer.append(b, size_t(n));
            for (;;) {
                if (inData) {
                    if (fault_ == Fault::CloseInData && buffer.size() > 1000) {
                        Record("close in DATA");
                        return;
                    }
                    size_t end = buffer.find("\r\n.\r\n");
                    if (end == std::string::npos) {
                        break;
                    }
                    std::string text = buffer.substr(0, end + 2);
                    buffer.erase(0, end + 5);
                    inData = false;
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        messages_.push_back(text);
                        transcript_.push_back("DATA: " + std::to_string(text.size()) + " bytes");
                    }
                    if (fault_ == Fault::CloseAfterData) {
                        return;
                    }
                    ++mails;
                    if (fault_ == Fault::SilentAtSecondDataEnd && mails == 2) {
                        StaySilent(fd);
                        return;
                    }
                    Send(fd, "250 2.0.0 Ok: queued\r\n");
                    if (fault_ == Fault::SilentAfterFirstMail) {
                        StaySilent(fd);
                        return;
                    }
                    continue;
                }
                size_t eol = buffer.find("\r\n");
                if (eol == std::string::npos) {
                    break;
                }
                std::string line = buffer.substr(0, eol);
                buffer.erase(0, eol + 2);
                Record("C: " + line);
                auto is = [&](const char* verb) { return line.rfind(verb, 0) == 0; };
                if (is("EHLO")) {
                    Send(fd, "250-peer\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n");
                } else if (is("AUTH")) {
                    Send(fd, "235 2.7.0 Authentication successful\r\n");
                } else if (is("DATA")) {
                    inData = true;
                    Send(fd, "354 End data with <CR><LF>.<CR><LF>\r\n");
                } else if (is("QUIT")) {
                    Send(fd, "221 2.0.0 Bye\r\n");
                    return;
                } else {
                    Send(fd, "250 2.0.0 Ok\r\n");
                }
            }
        }
    }

    std::vector<Fault> faults_;
    Fault fault_ = Fault::None; // of the connection being served
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> transcript_;
    std::vector<std::string> messages_;
    int connections_ = 0;
};

struct SmtpTranscript : ::testing::Test {
    std::unique_ptr<TSmtpMail> smtp = std::make_unique<TSmtpMail>();
    IMailMessagePtr message = CoMailMessage::Create();
    std::vector<int> statuses;
    TempDir dir;

    void SetUp() override {
        smtp->SetSmtpServer("127.0.0.1");
        smtp->SetSenderHostname("mailgate.test");
        smtp->SetConnectTimeout(5);
        smtp->SetTransferTimeout(5);
        smtp->OnStatusChange = [this](TObject*, int, int s) { statuses.push_back(s); };
        IMailAddressPtr from = CoMailAddress::Create();
        from->SetAddress("gateway@example.org");
        message->SetFrom(from);
        message->SetSender(from);
        message->SetSubject("QX7");
        dir.Write("file.bin", std::string(200000, 'x'));
        Address("rcpt@example.org");
    }

    void Address(const std::string& recipient) {
        message->ClearRecipients();
        message->ClearAttachments();
        IMailAddressPtr to = CoMailAddress::Create();
        to->SetAddress(recipient);
        message->AddRecipient(to);
        IMailAttachmentPtr a = CoMailAttachment::Create();
        a->SetFileName(dir.File("file.bin"));
        message->AddAttachment(a);
    }
};

TEST_F(SmtpTranscript, CommandsOnTheWireAndTheConnectionIsKeptForTheNextSend) {
    ScriptedSmtpPeer peer;
    smtp->SetSmtpPort(peer.Port());
    smtp->SetSmtpUsername("user");
    smtp->SetSmtpPassword("pass");
    std::string description;
    ASSERT_EQ(smtp->Send(message, -1, description), 0) << description;
    Address("other@example.org");
    ASSERT_EQ(smtp->Send(message, -1, description), 0) << description;

    std::vector<std::string> messages = peer.Messages();
    ASSERT_EQ(messages.size(), 2u);
    // AUTH PLAIN carries base64("\0user\0pass").
    const std::vector<std::string> expected = {
        "connect",
        "C: EHLO mailgate.test",
        "C: AUTH PLAIN AHVzZXIAcGFzcw==",
        "C: MAIL FROM:<gateway@example.org>",
        "C: RCPT TO:<rcpt@example.org>",
        "C: DATA",
        "DATA: " + std::to_string(messages.at(0).size()) + " bytes",
        "C: MAIL FROM:<gateway@example.org>",
        "C: RCPT TO:<other@example.org>",
        "C: DATA",
        "DATA: " + std::to_string(messages.at(1).size()) + " bytes",
    };
    EXPECT_EQ(peer.Transcript(), expected);
    EXPECT_EQ(statuses, (std::vector<int>{1, 2, 1, 2}));

    const std::string& m = messages[0];
    EXPECT_EQ(m.rfind("From: gateway@example.org\r\nSender: gateway@example.org\r\n"
                      "To: rcpt@example.org\r\nSubject: QX7\r\nDate: ",
                      0),
              0u)
        << m.substr(0, 300);
    EXPECT_NE(m.find("\r\nMIME-Version: 1.0\r\n"), std::string::npos);
    EXPECT_NE(m.find("\r\nContent-Type: application/octet-stream;\r\n\tname=\"file.bin\"\r\n"),
              std::string::npos);
    EXPECT_NE(m.find("\r\nContent-Disposition: attachment;\r\n\tfilename=\"file.bin\"\r\n"),
              std::string::npos);
    // No line beyond the 76 characters base64 allows, none without CR.
    size_t start = 0;
    while (start < m.size()) {
        size_t eol = m.find("\r\n", start);
        ASSERT_NE(eol, std::string::npos);
        ASSERT_LE(eol - start, 998u);
        ASSERT_EQ(m.substr(start, eol - start).find('\n'), std::string::npos);
        start = eol + 2;
    }

    // Another server setting: a new connection.
    smtp->SetSmtpPassword("other");
    ASSERT_EQ(smtp->Send(message, -1, description), 0) << description;
    EXPECT_EQ(peer.Connections(), 2);
}

TEST_F(SmtpTranscript, ServerClosingDuringDataIsAFailureWithTheCurlCode) {
    ScriptedSmtpPeer peer(ScriptedSmtpPeer::Fault::CloseInData);
    smtp->SetSmtpPort(peer.Port());
    std::string description;
    int code = smtp->Send(message, -1, description);
    EXPECT_TRUE(code == 55 || code == 56) << code << " " << description << "\n"
                                          << ::testing::PrintToString(peer.Transcript());
    EXPECT_NE(description.find("broke while the message was being sent"), std::string::npos)
        << description;
    EXPECT_EQ(statuses, (std::vector<int>{1, 3}));
    EXPECT_EQ(dir.Read("file.bin"), std::string(200000, 'x'));
}

TEST_F(SmtpTranscript, ServerClosingBeforeAcceptingTheMessageIsNotASuccess) {
    ScriptedSmtpPeer peer(ScriptedSmtpPeer::Fault::CloseAfterData);
    smtp->SetSmtpPort(peer.Port());
    std::string description;
    EXPECT_NE(smtp->Send(message, -1, description), 0);
    EXPECT_FALSE(description.empty());
    EXPECT_EQ(statuses, (std::vector<int>{1, 3}));
}

TEST_F(SmtpTranscript, RefusedConnectionAndUnknownHostGiveCurlCodes) {
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    int port = closed.serverPort();
    closed.close();
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
    ScriptedSmtpPeer peer(ScriptedSmtpPeer::Fault::Silent);
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

// Without a limit of our own, a send that waits on a server that stopped
// answering never returns; this ends it as a failure the test can see.
struct SendGuard {
    explicit SendGuard(std::unique_ptr<TSmtpMail>& smtp) {
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [&smtp] { smtp.reset(); });
        timer.start(20000);
    }
    QTimer timer;
};

TEST_F(SmtpTranscript, AMailWhoseEndIsNeverAnsweredFailsAndTheNextOneGoesOnANewConnection) {
    ScriptedSmtpPeer peer(
        {ScriptedSmtpPeer::Fault::SilentAtSecondDataEnd, ScriptedSmtpPeer::Fault::None});
    smtp->SetSmtpPort(peer.Port());
    smtp->SetConnectTimeout(1);
    smtp->SetTransferTimeout(1);
    SendGuard guard(smtp);
    std::string description;
    ASSERT_EQ(smtp->Send(message, -1, description), 0) << description;
    ASSERT_EQ(smtp->Send(message, -1, description), 28) << description;
    EXPECT_EQ(description.rfind("The SMTP server 127.0.0.1:" + std::to_string(peer.Port()) +
                                    " did not answer in time (",
                                0),
              0u)
        << description;
    ASSERT_NE(smtp, nullptr) << "the send after the silent one never ended";
    ASSERT_EQ(smtp->Send(message, -1, description), 0) << description;

    ASSERT_NE(smtp, nullptr);
    std::vector<std::string> messages = peer.Messages();
    ASSERT_EQ(messages.size(), 3u);
    auto data = [&](size_t i) { return "DATA: " + std::to_string(messages[i].size()) + " bytes"; };
    const std::vector<std::string> mail = {"C: MAIL FROM:<gateway@example.org>",
                                           "C: RCPT TO:<rcpt@example.org>", "C: DATA"};
    std::vector<std::string> expected = {"connect", "C: EHLO mailgate.test"};
    expected.insert(expected.end(), mail.begin(), mail.end());
    expected.push_back(data(0));
    expected.insert(expected.end(), mail.begin(), mail.end());
    expected.push_back(data(1));
    // Cut off without a word: a QUIT would only wait for the same silence.
    expected.push_back("closed by the client");
    expected.insert(expected.end(), {"connect", "C: EHLO mailgate.test"});
    expected.insert(expected.end(), mail.begin(), mail.end());
    expected.push_back(data(2));
    EXPECT_EQ(peer.Transcript(), expected);
    EXPECT_EQ(statuses, (std::vector<int>{1, 2, 1, 3, 1, 2}));
}

TEST_F(SmtpTranscript, AKeptConnectionWhoseServerFellSilentIsGivenUpAndReplaced) {
    ScriptedSmtpPeer peer(
        {ScriptedSmtpPeer::Fault::SilentAfterFirstMail, ScriptedSmtpPeer::Fault::None});
    smtp->SetSmtpPort(peer.Port());
    smtp->SetConnectTimeout(1);
    smtp->SetTransferTimeout(1);
    SendGuard guard(smtp);
    std::string description;
    ASSERT_EQ(smtp->Send(message, -1, description), 0) << description;
    ASSERT_EQ(smtp->Send(message, -1, description), 28) << description;
    EXPECT_NE(description.find(" did not answer in time ("), std::string::npos) << description;
    ASSERT_NE(smtp, nullptr) << "the send on the silent connection never ended";
    ASSERT_EQ(smtp->Send(message, -1, description), 0) << description;
    ASSERT_NE(smtp, nullptr);

    // Whatever the client said on the silent connection, it ended it before
    // the third mail, which went on a connection of its own.
    std::vector<std::string> transcript = peer.Transcript();
    ASSERT_GE(transcript.size(), 9u) << ::testing::PrintToString(transcript);
    EXPECT_EQ(transcript[6], "unexpected: MAIL FROM:<gateway@example.org>\r\n");
    const std::vector<std::string> tail(transcript.end() - 7, transcript.end());
    EXPECT_EQ(tail,
              (std::vector<std::string>{
                  "closed by the client", "connect", "C: EHLO mailgate.test",
                  "C: MAIL FROM:<gateway@example.org>", "C: RCPT TO:<rcpt@example.org>", "C: DATA",
                  "DATA: " + std::to_string(peer.Messages()[1].size()) + " bytes"}));
    EXPECT_EQ(peer.Connections(), 2);
    EXPECT_EQ(statuses, (std::vector<int>{1, 2, 1, 3, 1, 2}));
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
    ScriptedSmtpPeer peer;
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
    ScriptedSmtpPeer peer;
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
    ScriptedSmtpPeer peer(ScriptedSmtpPeer::Fault::Silent);
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
    EXPECT_TRUE(WaitFor([&] { return peer.Connections() == 1; }, 2000));
    EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"connect"}));
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
