// The program's signals, raised in this process against a window (and the
// scripted POP3 server): SIGUSR1 polls now but never inside a running poll,
// SIGHUP reads the settings again before the next poll, SIGTERM and SIGINT
// end the program - the running poll stops at its next step, or is cut when
// it does not end in time.
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <filesystem>

#include "WindowFixture.h"
#include "app/SignalReactions.h"
#include "support/RowName.h"

namespace {

struct Signals : WindowFixture {
    int quits = 0;
    int forces = 0;
    std::unique_ptr<TSignalReactions> reactions;

    TSignalReactions& React(int abortAfterMs = 60000) {
        TSignalReactions::TExit exit;
        exit.Quit = [this] { ++quits; };
        exit.Force = [this] { ++forces; };
        exit.AbortAfterMs = abortAfterMs;
        exit.ForceAfterMs = 120000;
        reactions = std::make_unique<TSignalReactions>(window->Cycle(), exit);
        return *reactions;
    }

    // The fixture's settings with the poll interval (an entry of
    // TSettings::IntervalNames) and other keys set.
    void WriteSettingsWith(int pop3Port, int interval,
                           const std::vector<std::pair<const char*, std::string>>& keys = {}) {
        WriteSettings(pop3Port);
        TSettings::Write(ini, "Time", std::to_string(interval));
        for (const auto& [key, value] : keys) {
            TSettings::Write(ini, key, value);
        }
    }

    bool PrintedStatus(const std::string& text) const {
        const auto status = Printed("status");
        return std::find(status.begin(), status.end(), text) != status.end();
    }

    // Raises `signalNumber` once the POP3 server has read `line`.
    void RaiseAfter(const std::string& line, int connection, int signalNumber) {
        auto* poll = new QTimer(window.get());
        QObject::connect(poll, &QTimer::timeout, [this, poll, line, connection, signalNumber] {
            if (pop3.Received(connection).find(line) != std::string::npos) {
                poll->stop();
                std::raise(signalNumber);
            }
        });
        poll->start(5);
    }

    std::string OutboxFile(const std::string& name) {
        std::string header = "HDR";
        for (int i = 2; i <= 28; ++i) {
            header += "\tf";
        }
        dir.Write("out/" + name, header + "\ta@x.test\tREST\n");
        return outbox + "/" + name;
    }
};

std::vector<std::string> EmptyPoll() {
    std::vector<std::string> s = LoginLines(0);
    Append(s, {"C: QUIT", "S: +OK bye"});
    return s;
}

TEST_F(Signals, UsrOnePollsNowEndingTheIdleSessionFirst) {
    WriteSettingsWith(pop3.Port(), 12); // 24 hours: no poll by the timer
    pop3.Add(EmptyPoll());              // the start-up session
    pop3.Add(EmptyPoll());              // the poll
    Make().FormCreate(window.get());
    React();
    std::raise(SIGUSR1);
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
    EXPECT_EQ(pop3.Connections(), 2);
    EXPECT_TRUE(PrintedStatus("No Messages to Get"));
    EXPECT_TRUE(window->PollTimer().Enabled());
    EXPECT_EQ(quits, 0);
}

TEST_F(Signals, DuringASendUsrOneDoesNothingAndTermFinishesThatFileOnly) {
    WriteSettingsWith(pop3.Port(), 12);
    pop3.Add(EmptyPoll());
    pop3.Add(EmptyPoll());
    const std::string first = OutboxFile("a.dat");
    const std::string second = OutboxFile("b.dat");
    Make().FormCreate(window.get());
    TSignalReactions& r = React();
    smtp->duringSend = [&] {
        std::raise(SIGUSR1);
        std::raise(SIGTERM);
        // Called back in this order, from inside the send.
        ASSERT_TRUE(WaitFor([&] { return quits == 1; }));
    };
    std::raise(SIGUSR1);
    ASSERT_TRUE(WaitFor([&] { return r.Terminating() && !window->Cycle().Busy(); }));
    EXPECT_EQ(smtp->sent.size(), 1u);
    EXPECT_EQ(::access(first.c_str(), F_OK) == 0, false) << "the file sent stays";
    EXPECT_EQ(::access(second.c_str(), F_OK), 0) << "a file was begun after SIGTERM";
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Connections(), 2) << "SIGUSR1 started a poll inside the poll";
    EXPECT_EQ(forces, 0);
}

TEST_F(Signals, HupReadsTheSettingsAgainAndTheNextPollUsesThem) {
    WriteSettingsWith(pop3.Port(), 12);
    ScriptedPeer other;
    pop3.Add(EmptyPoll()); // the start-up session, ended by the reload
    other.Add(EmptyPoll());
    Make().FormCreate(window.get());
    React();
    WriteSettingsWith(other.Port(), 10); // 6 hours
    std::raise(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return PrintedStatus(TPollCycle::ReloadedText); }));
    EXPECT_EQ(window->PollTimer().Interval(), TSettings::IntervalMs(10));
    EXPECT_TRUE(window->PollTimer().Enabled());
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_NE(pop3.Received(0).find("QUIT\r\n"), std::string::npos);
    EXPECT_EQ(Key("Time"), "10") << "the file was written back";
    std::raise(SIGUSR1);
    ASSERT_TRUE(WaitFor([&] { return other.Finished(); }));
    EXPECT_EQ(other.Errors(), "");
}

TEST_F(Signals, HupDuringAPollIsAppliedWhenThePollHasEnded) {
    WriteSettingsWith(pop3.Port(), 12);
    pop3.Add(EmptyPoll());
    pop3.Add(EmptyPoll());
    OutboxFile("a.dat");
    Make().FormCreate(window.get());
    React();
    smtp->duringSend = [&] {
        WriteSettingsWith(pop3.Port(), 10);
        std::raise(SIGHUP);
        ASSERT_TRUE(WaitFor([&] { return PrintedStatus(TPollCycle::ReloadLaterText); }));
        EXPECT_EQ(window->PollTimer().Interval(), TSettings::IntervalMs(12));
    };
    std::raise(SIGUSR1);
    ASSERT_TRUE(WaitFor([&] { return PrintedStatus(TPollCycle::ReloadedText); }));
    const auto status = Printed("status");
    const auto sent = std::find(status.begin(), status.end(), "Files are Sent");
    const auto reloaded = std::find(status.begin(), status.end(), TPollCycle::ReloadedText);
    EXPECT_LT(sent, reloaded) << "read again inside the poll";
    EXPECT_EQ(window->PollTimer().Interval(), TSettings::IntervalMs(10));
}

TEST_F(Signals, HupWithABadFileKeepsTheSettingsInUse) {
    WriteSettingsWith(pop3.Port(), 12);
    pop3.Add(LoginLines(0));
    Make().FormCreate(window.get());
    React();
    WriteSettingsWith(pop3.Port(), 10, {{"OutPort", "99999"}});
    std::raise(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return !Printed("error").empty(); }));
    EXPECT_NE(Printed("error").back().find("settings not reloaded: Invalid SMTP port"),
              std::string::npos)
        << Printed("error").back();
    EXPECT_EQ(window->PollTimer().Interval(), TSettings::IntervalMs(12));
    EXPECT_TRUE(window->Pop3().Connected()) << "the session in use was ended";
}

TEST_F(Signals, TermWhenIdleEndsTheSessionWithQuit) {
    WriteSettingsWith(pop3.Port(), 12);
    pop3.Add(EmptyPoll());
    Make().FormCreate(window.get());
    TSignalReactions& r = React();
    std::raise(SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return quits == 1; }));
    EXPECT_TRUE(r.Terminating());
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_NE(pop3.Received(0).find("QUIT\r\n"), std::string::npos);
    EXPECT_FALSE(window->Pop3().Connected());
    // Nothing polls once leaving was asked for.
    std::raise(SIGUSR1);
    std::raise(SIGINT);
    ASSERT_TRUE(WaitFor([&] { return !window->Pop3().Busy(); }));
    EXPECT_EQ(pop3.Connections(), 1);
}

struct CutRow {
    const char* name;
    int abortAfterMs;
    std::vector<int> signalNumbers;
};

class SignalsCut : public Signals, public ::testing::WithParamInterface<CutRow> {};

TEST_P(SignalsCut, ARetrievalThatDoesNotEndIsCutWithoutAPartialFileOrDeletion) {
    WriteSettingsWith(pop3.Port(), 12, {{"InTimeOut", "60"}});
    pop3.Add(EmptyPoll());
    std::vector<std::string> poll = LoginLines(1);
    Append(poll, {"C: RETR 1", "S: +OK", "S: From: a@x.test", "S: Subject: slow",
                  "S: ", "S: the first line of many", "HANG"});
    pop3.Add(poll);
    Make().FormCreate(window.get());
    AbortPop3After(20000);
    TSignalReactions& r = React(GetParam().abortAfterMs);
    for (int signalNumber : GetParam().signalNumbers) {
        RaiseAfter("RETR 1", 1, signalNumber);
    }
    QElapsedTimer elapsed;
    elapsed.start();
    window->Timer1Timer(window.get());
    EXPECT_LT(elapsed.elapsed(), 15000);
    EXPECT_TRUE(r.Terminating());
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(forces, 0);
    EXPECT_FALSE(window->Pop3().Connected());
    for (const std::string& name : {std::string("QUIT"), std::string("DELE")}) {
        EXPECT_EQ(pop3.Received(1).find(name), std::string::npos) << name << " was sent";
    }
    std::vector<std::string> visible;
    for (const auto& e : std::filesystem::directory_iterator(inbox)) {
        if (e.path().filename().string()[0] != '.') {
            visible.push_back(e.path().filename().string());
        }
    }
    EXPECT_TRUE(visible.empty()) << visible.front();
    EXPECT_TRUE(smtp->sent.empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, SignalsCut,
                         ::testing::Values(CutRow{"AfterTheGrace", 200, {SIGTERM}},
                                           CutRow{"AtTheSecondSignal", 60000, {SIGTERM, SIGINT}}),
                         RowName());

} // namespace
