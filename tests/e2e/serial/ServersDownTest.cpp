// The servers go away and come back: nothing may be lost on the way, and the
// gateway picks up by itself. These tests stop and start the shared servers,
// so they run alone (ctest label "serial").
#include "Gateway.h"

namespace e2e {
namespace {

// Runs scripts/mailservers with one command; true when it succeeded.
bool Servers(const RealServers& servers, const std::string& command) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QString::fromStdString(servers.script), {QString::fromStdString(command)});
    bool ended = p.waitForFinished(60000);
    if (!ended || p.exitCode() != 0) {
        ADD_FAILURE() << "mailservers " << command << " failed: " << p.readAll().toStdString();
        return false;
    }
    return true;
}

// Stops one server for the scope; it is started again however the test ends.
class ServerDown {
public:
    ServerDown(const RealServers& servers, std::string which)
        : servers_(servers), which_(std::move(which)) {
        stopped_ = Servers(servers_, "stop-" + which_);
    }
    ~ServerDown() { Restart(); }
    bool Stopped() const { return stopped_; }
    bool Restart() {
        if (!stopped_) {
            return true;
        }
        stopped_ = false;
        return Servers(servers_, "start-" + which_);
    }

private:
    const RealServers& servers_;
    std::string which_;
    bool stopped_ = false;
};

class ServersDown : public Gateway {
protected:
    void SetUp() override {
        Gateway::SetUp();
        if (!HasFatalFailure() && !IsSkipped() && servers_.script.empty()) {
            GTEST_FAIL() << "MAILGATE_SERVERS_SCRIPT unset: cannot stop and start the servers";
        }
    }

    // waiting.dat (holding `waiting`) in a message on the server, and
    // outgoing.txt (holding `outgoing`) in the Outbox; the latter's bytes.
    std::string WaitingAndOutgoing(const std::string& waiting, const std::string& outgoing) {
        DeliverToMailbox(MessageWithAttachment("waiting.dat", waiting));
        return PutOutboxFile("outgoing.txt", outgoing);
    }

    // That `run` ended by itself within `boundMs`, failed (exit code 1) with
    // the status `status`, and showed the error tray image.
    void ExpectGaveUp(MailgateRun& run, int boundMs, const std::string& status) {
        ASSERT_TRUE(run.Finish(boundMs)) << Transcript(run);
        ExpectNoSanitizerReport(run);
        EXPECT_EQ(run.ExitCode(), 1) << Transcript(run);
        EXPECT_TRUE(run.Said(status)) << Transcript(run);
        EXPECT_TRUE(run.Said("tray: 5")) << Transcript(run);
    }

    // After a run that received waiting.dat and sent outgoing.txt: the next
    // run brings outgoing.txt back, and the mailbox ends empty.
    void ExpectSentThenReceived(const std::string& waiting, const std::string& outgoing) {
        ExpectInboxHolds({{"waiting.dat", waiting}});
        EXPECT_TRUE(Names(outbox_).empty());
        ASSERT_TRUE(WaitForMailbox(1));
        auto receive = RunOnce();
        EXPECT_EQ(receive->ExitCode(), 0) << Transcript(*receive);
        ExpectInboxHolds({{"waiting.dat", waiting}, {"outgoing.txt", outgoing}});
        EXPECT_EQ(MailboxCount(), 0);
    }
};

TEST_F(ServersDown, SmtpServerStoppedKeepsTheFileForALaterRun) {
    std::map<std::string, std::string> files;
    files["kept.bin"] = PutOutboxFile("kept.bin", RandomBytes(300 * 1024, 4));
    {
        ServerDown smtp(servers_, "smtp");
        ASSERT_TRUE(smtp.Stopped());
        auto failed = RunOnce();
        EXPECT_EQ(failed->ExitCode(), 1) << Transcript(*failed);
        EXPECT_TRUE(failed->Said("status: Send failed! Error ")) << Transcript(*failed);
        EXPECT_TRUE(failed->Said("tray: 5")) << Transcript(*failed);
        EXPECT_EQ(Names(outbox_), std::set<std::string>{"kept.bin"});
        EXPECT_EQ(ReadFile(outbox_ + "/kept.bin"), files["kept.bin"]);
        ASSERT_TRUE(smtp.Restart());
    }
    RoundTrip(files);
}

TEST_F(ServersDown, Pop3ServerStoppedDuringARunIsWaitedForAndTheRunCompletes) {
    std::string outgoing =
        WaitingAndOutgoing("was waiting on the server\n", "goes out after the reconnect\n");

    ServerDown pop3(servers_, "pop3");
    ASSERT_TRUE(pop3.Stopped());
    MailgateRun run(config_);
    ASSERT_TRUE(run.WaitForOutput("status: Lost Connection...", 60000)) << Transcript(run);
    EXPECT_TRUE(Names(inbox_).empty());
    EXPECT_EQ(ReadFile(outbox_ + "/outgoing.txt"), outgoing);
    ASSERT_TRUE(pop3.Restart());

    ASSERT_TRUE(run.Finish()) << Transcript(run);
    ExpectNoSanitizerReport(run);
    EXPECT_EQ(run.ExitCode(), 0) << Transcript(run);
    EXPECT_TRUE(run.Said("status: Files are Sent")) << Transcript(run);
    ExpectSentThenReceived("was waiting on the server\n", outgoing);
}

TEST_F(ServersDown, Pop3ServerAwayForTheWholeRunGivesUpAndLosesNothing) {
    std::string outgoing =
        WaitingAndOutgoing("was waiting on the server\n", "waits for a cycle that logs in\n");
    {
        ServerDown pop3(servers_, "pop3");
        ASSERT_TRUE(pop3.Stopped());
        MailgateRun run(config_);
        // A script's single cycle must end on its own, within a bound.
        ASSERT_NO_FATAL_FAILURE(ExpectGaveUp(run, 120000, "status: Lost Connection..."));
        EXPECT_TRUE(Names(inbox_).empty());
        EXPECT_EQ(ReadFile(outbox_ + "/outgoing.txt"), outgoing);
        EXPECT_EQ(MailboxCount(), 1);
        ASSERT_TRUE(pop3.Restart());
    }
    auto send = RunOnce();
    EXPECT_EQ(send->ExitCode(), 0) << Transcript(*send);
    ExpectSentThenReceived("was waiting on the server\n", outgoing);
}

TEST_F(ServersDown, WrongPop3PasswordRetrievesNothingAndLosesNothing) {
    std::string outgoing = WaitingAndOutgoing("stays on the server\n", "stays in the Outbox\n");
    WriteSettings({{"Password", "not-the-password"}});

    // The cycle tries to log in again for a bounded time, then gives up.
    MailgateRun run(config_);
    ASSERT_NO_FATAL_FAILURE(ExpectGaveUp(run, 420000, "status: Wrong password or Account Name"));
    EXPECT_FALSE(run.Said("status: Receiving...")) << Transcript(run);
    EXPECT_TRUE(Names(inbox_).empty());
    EXPECT_EQ(MailboxCount(), 1);
    EXPECT_EQ(ReadFile(outbox_ + "/outgoing.txt"), outgoing);
}

} // namespace
} // namespace e2e
