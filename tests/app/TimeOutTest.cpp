// A POP3 server that accepts and then stops answering: the reply time-out,
// the poll that follows on schedule, and the watchdog for any other wait.
#include <QElapsedTimer>

#include "WindowFixture.h"

namespace {

using TimeOut = WindowFixture;

// Bound on a test's wait for what a one-second time-out should end.
constexpr int HangDeadlineMs = 15000;

// One poll of `w` against a server that stops answering: it fails, within the
// bound, and leaves the status texts it printed.
std::vector<std::string> FailedPollStatuses(TimeOut& t, TfmOptions& w) {
    t.AbortPop3After(HangDeadlineMs);
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(w.RunOnce(), 1);
    EXPECT_LT(elapsed.elapsed(), HangDeadlineMs);
    return t.Printed("status");
}

TEST_F(TimeOut, ReplyTimeOutIsReadFromTheSettingsInSeconds) {
    WriteSettings(1, "InTimeOut=5\n");
    TfmOptions& w = Make();
    w.Cycle().ReconnectPolicy.GiveUpAfterMs = 0;
    ASSERT_EQ(w.RunOnce(), 1); // nobody listens on port 1
    EXPECT_EQ(w.Pop3().TimeOut(), 5000);
}

TEST_F(TimeOut, MissingOrUnusableReplyTimeOutIsOneMinute) {
    for (const char* extra :
         {"", "InTimeOut=0\n", "InTimeOut=-3\n", "InTimeOut=soon\n", "InTimeOut=99999999999\n"}) {
        WriteSettings(1, extra);
        TfmOptions& w = Make();
        w.Cycle().ReconnectPolicy.GiveUpAfterMs = 0;
        w.RunOnce();
        EXPECT_EQ(w.Pop3().TimeOut(), 60000) << extra;
    }
}

TEST_F(TimeOut, OnceAgainstASilentServerEndsWithTheTimeOutText) {
    WriteSettings(pop3.Port(), "InTimeOut=1\n");
    pop3.Add({"HANG"}); // accepts and never greets
    TfmOptions& w = Make();
    auto statuses = FailedPollStatuses(*this, w);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), "Connection Timed Out (POP3)");
    EXPECT_EQ(w.TrayImageIndex(), 5);
    EXPECT_FALSE(w.Pop3().Connected());
    // Dropped, not waited on again: no new log-in in this cycle.
    EXPECT_EQ(pop3.Connections(), 1);
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
}

TEST_F(TimeOut, SilenceInTheMiddleOfAMessageEndsTheSessionAndTheOutboxStillGoes) {
    WriteSettings(pop3.Port(), "InTimeOut=1\n");
    std::vector<std::string> s = LoginLines(1);
    Append(s, {"C: RETR 1", "S: +OK message follows", "S: Subject: half", "HANG"});
    pop3.Add(s);
    std::string header = "HDR";
    for (int i = 2; i <= 28; ++i) {
        header += "\tf";
    }
    dir.Write("out/x.dat", header + "\ta@x.test\tREST\n");
    TfmOptions& w = Make();
    AbortPop3After(HangDeadlineMs);
    EXPECT_EQ(w.RunOnce(), 1);
    auto statuses = Printed("status");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Connection Timed Out (POP3)"),
              statuses.end());
    EXPECT_EQ(smtp->sent.size(), 1u);
    EXPECT_EQ(pop3.Connections(), 1);
}

TEST_F(TimeOut, HeadlessPollsAgainOnScheduleAfterAHungSession) {
    WriteSettings(pop3.Port(), "InTimeOut=1\n");
    std::vector<std::string> quiet = LoginLines(0);
    Append(quiet, {"C: QUIT", "S: +OK bye"});
    pop3.Add(quiet);    // the start-up log-in, ended by the first poll
    pop3.Add({"HANG"}); // the first poll's server stops answering
    pop3.Add(quiet);    // the next poll finds it back
    TfmOptions& w = Make(/*headless=*/true);
    AbortPop3After(HangDeadlineMs);
    w.FormCreate(&w);
    ASSERT_TRUE(w.Pop3().Connected());
    // A short poll interval through the same timer.
    w.PollTimer().SetInterval(300);
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }, HangDeadlineMs + 5000));
    EXPECT_EQ(pop3.Errors(), "");
    EXPECT_EQ(pop3.Connections(), 3);
    auto statuses = Printed("status");
    auto timedOut = std::find(statuses.begin(), statuses.end(), "Connection Timed Out (POP3)");
    ASSERT_NE(timedOut, statuses.end());
    EXPECT_NE(std::find(timedOut, statuses.end(), "No Messages to Get"), statuses.end());
    EXPECT_TRUE(w.PollTimer().Enabled());
}

TEST_F(TimeOut, WatchdogStopsAPollStuckInAWaitTheTimeOutDoesNotEnd) {
    // The reply time-out is long; the watchdog's ticks come fast here.
    WriteSettings(pop3.Port(), "InTimeOut=600\n");
    pop3.Add({"HANG"});
    TfmOptions& w = Make();
    w.WakeUpTimer().SetInterval(100);
    auto statuses = FailedPollStatuses(*this, w);
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), TPollCycle::StalledText(0)),
              statuses.end())
        << (statuses.empty() ? "" : statuses.back());
    EXPECT_FALSE(w.Pop3().Connected());
    EXPECT_EQ(pop3.Connections(), 1); // no reconnect after the stop
}

} // namespace
