// Crash safety of sending, between two mailgates on the real local servers:
// a sending mailgate is killed (SIGKILL) at random moments of its runs and
// run again until its Outbox is empty; the server may then hold some mails
// twice (a kill after the server took a mail and before its file was
// removed). A receiving mailgate extracts the mailbox, and every file
// arrives exactly once in its Inbox, with its bytes.
//
// Random kills hit the moment between the server's acceptance and the
// removal of the file only now and then, so every trial also makes that
// moment happen: one file is put back after it was sent, with its name,
// bytes and modification time, as such a kill leaves it, and is sent again.
//
// A few trials run with the other end-to-end tests; the environment
// variable MAILGATE_KILLED_SEND_TRIALS asks for more (label "long").
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "Gateway.h"

namespace e2e {
namespace {

constexpr int DefaultTrials = 3;
constexpr int FilesPerTrial = 6;
constexpr int MaxRunsPerTrial = 60;
// Runs killed in a row before one is left to finish: every trial ends.
constexpr int KillsInARow = 8;

int Trials() {
    const char* v = std::getenv("MAILGATE_KILLED_SEND_TRIALS");
    int n = v ? std::atoi(v) : 0;
    return n > 0 ? n : DefaultTrials;
}

// The sending mailgate's POP3 server: an empty mailbox that answers
// whatever a client may ask of one, so that the sending runs have nothing
// to receive and their receive step never fails.
class EmptyPop3 {
public:
    EmptyPop3() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                QObject::connect(s, &QTcpSocket::readyRead, [s] { Answer(s); });
                s->write("+OK empty mailbox\r\n");
            }
        });
    }
    int Port() const { return server_.serverPort(); }

private:
    static void Answer(QTcpSocket* s) {
        while (s->canReadLine()) {
            const QByteArray line = s->readLine().trimmed();
            const QByteArray command = line.split(' ').value(0).toUpper();
            if (command == "STAT") {
                s->write("+OK 0 0\r\n");
            } else if ((command == "LIST" || command == "UIDL") && !line.contains(' ')) {
                s->write("+OK\r\n.\r\n");
            } else if (command == "QUIT") {
                s->write("+OK bye\r\n");
                s->disconnectFromHost();
                return;
            } else if (command == "USER" || command == "PASS" || command == "NOOP" ||
                       command == "RSET") {
                s->write("+OK\r\n");
            } else {
                s->write("-ERR not here\r\n");
            }
        }
    }

    QTcpServer server_;
};

// Files waiting in the SMTP server's queue; delivery into the mailbox is
// over when there are none.
int QueuedMails() {
    const std::string dir = RealServers::Env("MAILGATE_SERVERS_DIR");
    int count = 0;
    for (const char* sub : {"maildrop", "incoming", "active", "deferred", "hold"}) {
        std::error_code ec;
        fs::recursive_directory_iterator it(dir + "/postfix/spool/" + sub, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            std::error_code typeError;
            if (it->is_regular_file(typeError)) {
                ++count;
            }
        }
    }
    return count;
}

struct Tally {
    int runs = 0;
    int killed = 0;
    int files = 0;
    int mailsTaken = 0; // by the server, repeats included
};

class KilledSend : public Gateway {
protected:
    void SetUp() override {
        Gateway::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        // The sending mailgate: its own settings file and Inbox, the
        // Outbox of the test, and the empty POP3 server. config_ stays the
        // receiving one's.
        const std::string receiving = config_;
        senderInbox_ = temp_.File("sender-inbox");
        fs::create_directories(senderInbox_);
        config_ = temp_.File("sender.ini");
        WriteSettings({{"InPort", std::to_string(pop3_.Port())}, {"Path", senderInbox_ + "/"}});
        sender_ = config_;
        config_ = receiving;
    }

    // Runs the sending mailgate again and again, each run killed after a
    // random time, until the Outbox is empty.
    void SendWithKills(std::mt19937& random, Tally& tally) {
        int fullRunMs = 2000; // a guess until a run was seen to its end
        int inARow = 0;
        for (int run = 0; run < MaxRunsPerTrial && !Names(outbox_).empty(); ++run) {
            const bool spare = inARow >= KillsInARow;
            const int killAfterMs =
                spare ? RunDeadlineMs
                      : std::uniform_int_distribution<int>(0, fullRunMs * 6 / 5)(random);
            QElapsedTimer clock;
            clock.start();
            MailgateRun sending(sender_);
            const bool ended = sending.Finish(killAfterMs); // a SIGKILL when it did not
            ++tally.runs;
            if (ended) {
                inARow = 0;
                fullRunMs = std::max(200, static_cast<int>(clock.elapsed()));
                EXPECT_EQ(sending.ExitCode(), 0) << Transcript(sending);
                ExpectNoSanitizerReport(sending);
            } else {
                ++inARow;
                ++tally.killed;
            }
        }
        ASSERT_TRUE(Names(outbox_).empty())
            << "the Outbox still holds files after " << MaxRunsPerTrial << " runs";
    }

    // All the server took is in the mailbox; returns how many mails.
    int WaitForDelivery(int atLeast) const {
        WaitFor([&] { return QueuedMails() == 0 && MailboxCount() >= atLeast; },
                DeliveryDeadlineMs);
        return MailboxCount();
    }

    EmptyPop3 pop3_;
    std::string sender_;
    std::string senderInbox_;
};

TEST_F(KilledSend, EveryFileArrivesExactlyOnceThoughTheServerTookSomeTwice) {
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    Tally tally;
    const int trials = Trials();
    for (int trial = 0; trial < trials && !HasFailure(); ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        std::map<std::string, std::string> files;
        for (int i = 0; i < FilesPerTrial; ++i) {
            const std::string name =
                "t" + std::to_string(trial) + "-f" + std::to_string(i) + ".bin";
            const size_t size = std::uniform_int_distribution<size_t>(1, 600 * 1024)(random);
            files[name] = PutOutboxFile(name, RandomBytes(size, static_cast<unsigned>(random())));
        }
        // The file a kill "after the server took it" leaves behind.
        auto repeated = files.begin();
        std::advance(repeated, std::uniform_int_distribution<int>(0, FilesPerTrial - 1)(random));
        const std::string repeatedPath = outbox_ + "/" + repeated->first;
        struct stat before {};
        ASSERT_EQ(::stat(repeatedPath.c_str(), &before), 0);

        SendWithKills(random, tally);
        ASSERT_FALSE(HasFatalFailure());

        WriteFile(repeatedPath, repeated->second);
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, repeatedPath.c_str(), times, 0), 0);
        SendWithKills(random, tally);
        ASSERT_FALSE(HasFatalFailure());

        const int mails = WaitForDelivery(FilesPerTrial + 1);
        EXPECT_GE(mails, FilesPerTrial + 1) << "the server did not take every file and the repeat";
        tally.files += FilesPerTrial;
        tally.mailsTaken += mails;

        auto receive = RunOnce();
        EXPECT_EQ(receive->ExitCode(), 0) << Transcript(*receive);
        // Every file once, with its bytes: no "_1" copy of a repeat, none lost.
        ExpectInboxHolds(files);
        EXPECT_EQ(MailboxCount(), 0) << "the repeats must be deleted on the server too";
        EXPECT_TRUE(Names(senderInbox_).empty());

        for (const auto& [name, data] : files) {
            fs::remove(inbox_ + "/" + name);
        }
    }
    std::printf("[ killed send ] %d trials, %d files, %d sending runs (%d killed), "
                "%d mails taken by the server (%d repeats)\n",
                trials, tally.files, tally.runs, tally.killed, tally.mailsTaken,
                tally.mailsTaken - tally.files);
}

} // namespace
} // namespace e2e
