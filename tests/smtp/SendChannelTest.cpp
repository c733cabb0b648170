// Send tells its outcome through one channel: the returned code and
// description with the final status event. What an event handler raises goes
// to the application's reporting entry point and never out of Send.
#include "platform/Exception.h"
#include "platform/GuardedApplication.h"
#include "smtp/AddEmailLib_TLB.h"
#include "support/ReportedFailures.h"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// An SMTP server on loopback that accepts every mail, or refuses every
// recipient. It runs on its own thread: libcurl waits for the reply to the end
// of the message without returning to the event loop.
class SmtpPeer {
public:
    explicit SmtpPeer(bool refuseRecipients = false) : refuse_(refuseRecipients) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            throw std::runtime_error("SmtpPeer: cannot listen on 127.0.0.1");
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~SmtpPeer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    SmtpPeer(const SmtpPeer&) = delete;
    SmtpPeer& operator=(const SmtpPeer&) = delete;

    int Port() const noexcept { return port_; }
    int Accepted() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return accepted_;
    }

private:
    // Polls in short steps so that the destructor is never kept waiting.
    bool Readable(int fd) const {
        pollfd p{fd, POLLIN, 0};
        while (!stop_) {
            int r = ::poll(&p, 1, 50);
            if (r != 0) {
                return r > 0;
            }
        }
        return false;
    }
    static void Send(int fd, const char* s) {
        (void)!::send(fd, s, std::char_traits<char>::length(s), MSG_NOSIGNAL);
    }
    void Run() {
        while (Readable(listener_)) {
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                Serve(fd);
                ::close(fd);
            }
        }
    }
    void Serve(int fd) {
        Send(fd, "220 peer ESMTP\r\n");
        std::string buffer;
        bool inData = false;
        while (Readable(fd)) {
            char b[65536];
            ssize_t n = ::recv(fd, b, sizeof b, 0);
            if (n <= 0) {
                return;
            }
            buffer.append(b, size_t(n));
            for (;;) {
                if (inData) {
                    size_t end = buffer.find("\r\n.\r\n");
                    if (end == std::string::npos) {
                        break;
                    }
                    buffer.erase(0, end + 5);
                    inData = false;
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        ++accepted_;
                    }
                    Send(fd, "250 2.0.0 Ok: queued\r\n");
                    continue;
                }
                size_t eol = buffer.find("\r\n");
                if (eol == std::string::npos) {
                    break;
                }
                std::string line = buffer.substr(0, eol);
                buffer.erase(0, eol + 2);
                if (line.rfind("RCPT", 0) == 0 && refuse_) {
                    Send(fd, "550 5.1.1 No such user\r\n");
                } else if (line.rfind("DATA", 0) == 0) {
                    inData = true;
                    Send(fd, "354 End data with <CR><LF>.<CR><LF>\r\n");
                } else if (line.rfind("QUIT", 0) == 0) {
                    Send(fd, "221 2.0.0 Bye\r\n");
                    return;
                } else {
                    Send(fd, "250 2.0.0 Ok\r\n");
                }
            }
        }
    }

    bool refuse_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    int accepted_ = 0;
};

struct SendChannel : ::testing::Test {
    std::unique_ptr<TSmtpMail> smtp = std::make_unique<TSmtpMail>();
    IMailMessagePtr message = CoMailMessage::Create();
    std::vector<int> statuses;
    ReportedFailures reports;

    void SetUp() override {
        ASSERT_NE(TGuardedApplication::Instance(), nullptr);
        smtp->SetSmtpServer("127.0.0.1");
        smtp->SetSenderHostname("mailgate.test");
        smtp->SetConnectTimeout(5);
        smtp->SetTransferTimeout(5);
        IMailAddressPtr from = CoMailAddress::Create();
        from->SetAddress("gateway@example.org");
        message->SetFrom(from);
        IMailAddressPtr to = CoMailAddress::Create();
        to->SetAddress("rcpt@example.org");
        message->AddRecipient(to);
        message->SetSubject("one channel");
    }

    // Send, with whatever it raised as a test failure.
    int SendOnce(std::string& description) {
        try {
            return smtp->Send(message, -1, description);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "Send raised " << ExceptionClassName(e) << ": " << e.what();
        }
        return -1;
    }
};

TEST_F(SendChannel, FailingStatusHandlersAreReportedAndTheMailIsSent) {
    SmtpPeer peer;
    smtp->SetSmtpPort(peer.Port());
    smtp->OnStatusChange = [&](TObject*, int, int status) {
        statuses.push_back(status);
        throw Exception("status handler failed at " + std::to_string(status));
    };
    std::string description = "left over";
    EXPECT_EQ(SendOnce(description), 0) << description;
    EXPECT_EQ(description, "");
    EXPECT_EQ(peer.Accepted(), 1);
    EXPECT_EQ(statuses, (std::vector<int>{TSmtpMail::StatusSending, TSmtpMail::StatusSent}));
    EXPECT_EQ(reports.texts, (std::vector<std::string>{"Exception: status handler failed at 1",
                                                       "Exception: status handler failed at 2"}));
}

TEST_F(SendChannel, AFailingHandlerOfTheFailedEventLeavesTheRefusalAsTheOutcome) {
    SmtpPeer peer(true);
    smtp->SetSmtpPort(peer.Port());
    int number = 0;
    smtp->OnStatusChange = [&](TObject*, int n, int status) {
        number = n;
        statuses.push_back(status);
        if (status == TSmtpMail::StatusFailed) {
            throw Exception("failed event handler failed");
        }
    };
    std::string description;
    EXPECT_EQ(SendOnce(description), 550);
    EXPECT_EQ(description.rfind("The SMTP server 127.0.0.1:" + std::to_string(peer.Port()) +
                                    " refused the recipient <rcpt@example.org>",
                                0),
              0u)
        << description;
    EXPECT_EQ(statuses, (std::vector<int>{TSmtpMail::StatusSending, TSmtpMail::StatusFailed}));
    EXPECT_EQ(smtp->GetErrorCode(number), 550);
    EXPECT_EQ(smtp->GetErrorText(number), description);
    EXPECT_EQ(reports.texts, (std::vector<std::string>{"Exception: failed event handler failed"}));
}

TEST_F(SendChannel, AFailingProgressHandlerEndsTheSendAsAbortedAndIsReported) {
    SmtpPeer peer;
    smtp->SetSmtpPort(peer.Port());
    smtp->OnStatusChange = [&](TObject*, int, int status) { statuses.push_back(status); };
    int progressCalls = 0;
    smtp->OnProgress = [&](TObject*, int, int64_t, int64_t) {
        ++progressCalls;
        throw Exception("progress handler failed");
    };
    std::string description;
    EXPECT_EQ(SendOnce(description), TSmtpMail::ErrorAborted);
    EXPECT_EQ(description, "Sending was aborted by the OnProgress handler");
    EXPECT_EQ(statuses, (std::vector<int>{TSmtpMail::StatusSending, TSmtpMail::StatusFailed}));
    EXPECT_EQ(progressCalls, 1);
    EXPECT_EQ(reports.texts, (std::vector<std::string>{"Exception: progress handler failed"}));
    EXPECT_EQ(peer.Accepted(), 0);

    // The control is free, and the next message goes.
    smtp->OnProgress = nullptr;
    EXPECT_EQ(SendOnce(description), 0) << description;
    EXPECT_EQ(peer.Accepted(), 1);
    EXPECT_EQ(reports.texts.size(), 1u);
}

TEST_F(SendChannel, AStatusHandlerThatClosesTheControlEndsTheSendUntouched) {
    SmtpPeer peer;
    smtp->SetSmtpPort(peer.Port());
    smtp->OnStatusChange = [&](TObject*, int, int status) {
        statuses.push_back(status);
        smtp.reset();
    };
    TSmtpMail* raw = smtp.get();
    std::string description;
    EXPECT_EQ(raw->Send(message, -1, description), TSmtpMail::ErrorAborted);
    EXPECT_EQ(description, "The SMTP control was closed before sending");
    EXPECT_EQ(statuses, (std::vector<int>{TSmtpMail::StatusSending}));
    EXPECT_EQ(peer.Accepted(), 0);
    EXPECT_TRUE(reports.texts.empty());
}

} // namespace
