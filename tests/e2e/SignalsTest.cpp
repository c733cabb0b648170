// `mailgate --headless` and its signals, against the local servers: SIGUSR1
// polls now, SIGHUP reads a changed settings file before the next poll, and
// SIGTERM in the middle of a slow 20 MiB retrieval ends the program within
// 10 s with status 0, leaving no partial file in the Inbox and the message
// either whole in the Inbox or still on the server.
#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <csignal>

#include "Gateway.h"

namespace e2e {
namespace {

// A relay to the POP3 server that passes what the server sends at a slow,
// steady rate, so that a retrieval is still running when the test acts.
class SlowProxy {
public:
    SlowProxy(quint16 upstreamPort, qint64 bytesPerTick)
        : upstreamPort_(upstreamPort), bytesPerTick_(bytesPerTick) {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] { Accept(); });
    }
    quint16 Port() const { return server_.serverPort(); }
    qint64 PassedDown() const { return passed_; }

private:
    void Accept() {
        while (QTcpSocket* client = server_.nextPendingConnection()) {
            auto* upstream = new QTcpSocket(&server_);
            auto* pending = new QByteArray;
            auto* pace = new QTimer(upstream);
            QObject::connect(upstream, &QObject::destroyed, [pending] { delete pending; });
            QObject::connect(client, &QTcpSocket::readyRead,
                             [client, upstream] { upstream->write(client->readAll()); });
            QObject::connect(upstream, &QTcpSocket::readyRead,
                             [upstream, pending] { pending->append(upstream->readAll()); });
            QObject::connect(pace, &QTimer::timeout, [this, client, pending] {
                if (client->state() != QAbstractSocket::ConnectedState || pending->isEmpty()) {
                    return;
                }
                const qint64 n = std::min<qint64>(bytesPerTick_, pending->size());
                client->write(pending->constData(), n);
                pending->remove(0, n);
                passed_ += n;
            });
            QObject::connect(client, &QTcpSocket::disconnected,
                             [upstream] { upstream->disconnectFromHost(); });
            pace->start(20);
            upstream->connectToHost(QHostAddress::LocalHost, upstreamPort_);
        }
    }

    QTcpServer server_;
    quint16 upstreamPort_;
    qint64 bytesPerTick_;
    qint64 passed_ = 0;
};

// `mailgate --headless` as a child process.
class HeadlessRun : public MailgateRun {
public:
    explicit HeadlessRun(const std::string& configPath) : MailgateRun(configPath, "--headless") {}

    // SIGUSR1 asks for a poll only when none runs (the log-in at start is
    // one): it is sent again until `polled` holds.
    bool PollUntil(const std::function<bool()>& polled, int ms) {
        QElapsedTimer sinceSignal;
        return WaitFor(
            [&] {
                Drain();
                if (polled()) {
                    return true;
                }
                if (!sinceSignal.isValid() || sinceSignal.elapsed() > 1000) {
                    Signal(SIGUSR1);
                    sinceSignal.start();
                }
                return false;
            },
            ms);
    }
    std::string Transcript() const { return e2e::Transcript(*this); }
};

// Regular files a reader of the Inbox sees (hidden names apart).
std::set<std::string> Visible(const std::string& folder) {
    std::set<std::string> names;
    for (const std::string& name : Names(folder)) {
        if (!name.empty() && name[0] != '.') {
            names.insert(name);
        }
    }
    return names;
}

constexpr int ExitDeadlineMs = 10000;
const std::string Once = "12"; // 24 hours: no poll by the timer during a test

using Signals = Gateway;

TEST_F(Signals, UsrOnePollsAndHupTakesEffectAtTheNextPoll) {
    WriteSettings({{"Time", Once}});
    HeadlessRun run(config_);
    // The reactions are in place before the first line is printed.
    ASSERT_TRUE(run.WaitForOutput("status: Connecting...")) << run.Transcript();

    const std::string first = RandomBytes(5000, 1);
    DeliverToMailbox(MessageWithAttachment("first.bin", first));
    ASSERT_TRUE(
        run.PollUntil([&] { return Visible(inbox_).count("first.bin") == 1; }, DeliveryDeadlineMs))
        << run.Transcript();
    ASSERT_TRUE(WaitFor([&] { return MailboxCount() == 0; }, DeliveryDeadlineMs));

    const std::string inbox2 = temp_.File("inbox2");
    fs::create_directories(inbox2);
    WriteSettings({{"Time", Once}, {"Path", inbox2 + "/"}});
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.WaitForOutput("status: The settings file was read again")) << run.Transcript();
    const std::string second = RandomBytes(7000, 2);
    DeliverToMailbox(MessageWithAttachment("second.bin", second));
    ASSERT_TRUE(
        run.PollUntil([&] { return Visible(inbox2).count("second.bin") == 1; }, DeliveryDeadlineMs))
        << run.Transcript();
    EXPECT_TRUE(ReadFile(inbox2 + "/second.bin") == second);
    EXPECT_EQ(Visible(inbox_), std::set<std::string>{"first.bin"});

    QElapsedTimer elapsed;
    elapsed.start();
    run.Signal(SIGTERM);
    ASSERT_TRUE(run.Finish(RunDeadlineMs)) << run.Transcript();
    EXPECT_LT(elapsed.elapsed(), ExitDeadlineMs);
    EXPECT_EQ(run.ExitCode(), 0) << run.Transcript();
}

TEST_F(Signals, TermDuringASlowRetrievalEndsSoonWithoutLosingTheMessage) {
    const std::string data = RandomBytes(20 * 1024 * 1024, 3);
    DeliverToMailbox(MessageWithAttachment("big.bin", data));
    SlowProxy proxy(servers_.pop3Port, 16 * 1024); // 800 KiB/s: some 35 s for the message
    WriteSettings({{"Time", Once}, {"InPort", std::to_string(proxy.Port())}});
    HeadlessRun run(config_);
    ASSERT_TRUE(run.WaitForOutput("status: Connecting...")) << run.Transcript();
    ASSERT_TRUE(run.PollUntil([&] { return proxy.PassedDown() > 2 * 1024 * 1024; }, RunDeadlineMs))
        << run.Transcript();

    QElapsedTimer elapsed;
    elapsed.start();
    run.Signal(SIGTERM);
    ASSERT_TRUE(run.Finish(RunDeadlineMs)) << run.Transcript();
    EXPECT_LT(elapsed.elapsed(), ExitDeadlineMs) << run.Transcript();
    EXPECT_EQ(run.ExitCode(), 0) << run.Transcript();
    const std::set<std::string> visible = Visible(inbox_);
    EXPECT_TRUE(visible.empty() || visible == std::set<std::string>{"big.bin"});
    if (visible.empty()) {
        EXPECT_EQ(MailboxCount(), 1) << "the message is neither in the Inbox nor on the server";
    } else {
        EXPECT_TRUE(ReadFile(inbox_ + "/big.bin") == data) << "a partial file in the Inbox";
    }

    // Nothing lost: the next run brings it whole.
    WriteSettings({{"Time", Once}});
    auto again = RunOnce();
    EXPECT_EQ(again->ExitCode(), 0) << Transcript(*again);
    EXPECT_EQ(Visible(inbox_), std::set<std::string>{"big.bin"});
    EXPECT_TRUE(ReadFile(inbox_ + "/big.bin") == data);
    EXPECT_EQ(MailboxCount(), 0);
}

} // namespace
} // namespace e2e
