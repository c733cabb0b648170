// The settings record, the reconnect policy and the headless runner: the
// pieces of the exchange that need no window.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "WindowFixture.h"
#include "app/HeadlessRunner.h"
#include "app/ReconnectPolicy.h"
#include "app/Settings.h"
#include "support/TempDir.h"

namespace {

TEST(Settings, MissingKeysReadAsUnsetAndPortsAsEmpty) {
    TempDir dir;
    dir.Write("options.ini", "[Account]\nHost=pop.test\nPassword2=s3\n");
    TSettings s = TSettings::Load(dir.File("options.ini"));
    EXPECT_EQ(s.Host, "pop.test");
    EXPECT_EQ(s.Password2, "s3");
    EXPECT_EQ(s.UserId, TSettings::Unset);
    EXPECT_EQ(s.OutHost, TSettings::Unset);
    EXPECT_EQ(s.InPort, "");
    EXPECT_EQ(s.OutPort, "");
    EXPECT_FALSE(s.IsConfigured()); // OutHost is missing
    s.OutHost = "smtp.test";
    EXPECT_TRUE(s.IsConfigured());
}

TEST(Settings, AFileThatCannotBeReadRaisesAndIsNotAFirstRun) {
    TempDir dir;
    ::mkdir(dir.File("options.ini").c_str(), 0755);
    try {
        TSettings::Load(dir.File("options.ini"));
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Unable to read " + dir.File("options.ini"), 0), 0u)
            << e.what();
    }
}

TEST(Settings, SaveWritesOnlyTheKeysNamed) {
    TempDir dir;
    dir.Write("options.ini", "[Account]\n; kept\nHost=old\nOther=x\n");
    TSettings s;
    s.Host = "new";
    s.OutPort = "2525";
    s.Save(dir.File("options.ini"), {"OutPort", "Host"});
    TSettings back = TSettings::Load(dir.File("options.ini"));
    EXPECT_EQ(back.Host, "new");
    EXPECT_EQ(back.OutPort, "2525");
    EXPECT_EQ(back.UserId, TSettings::Unset); // not written
    EXPECT_NE(dir.Read("options.ini").find("; kept"), std::string::npos);
    EXPECT_THROW(s.Save(dir.File("options.ini"), {"NoSuchKey"}), std::invalid_argument);
}

TEST(Settings, ProblemNamesTheFirstMissingValueThenABadPort) {
    // Each row changes the record of the row before.
    struct Row {
        std::string TSettings::*key;
        const char* value;
        std::optional<std::string> problem;
    };
    const Row rows[] = {
        {&TSettings::FromAddress, "", "Enter From Address"},
        {&TSettings::UserId, "", "Enter Account Name"},
        {&TSettings::UserId, "u", "Enter From Address"},
        {&TSettings::FromAddress, "f", std::nullopt},
        {&TSettings::InPort, "0", "Invalid POP3 port \"0\": enter a whole number from 1 to 65535"},
        {&TSettings::OutPort, "x", "Invalid SMTP port \"x\": enter a whole number from 1 to 65535"},
        {&TSettings::OutPort, "", "Invalid POP3 port \"0\": enter a whole number from 1 to 65535"},
        {&TSettings::InPort, "65535", std::nullopt},
    };
    TSettings s;
    for (const Row& row : rows) {
        s.*row.key = row.value;
        EXPECT_EQ(s.Problem(), row.problem) << row.value;
    }
}

TEST(Settings, IntervalAndReplyTimeOutFallBackToTheirDefaults) {
    TSettings s;
    for (const char* time : {"", "13", "-1", "x", "ERROR"}) {
        s.Time = time;
        EXPECT_EQ(s.IntervalIndex(), TSettings::DefaultInterval) << time;
    }
    s.Time = "12";
    EXPECT_EQ(TSettings::IntervalMs(s.IntervalIndex()), 86400000);
    EXPECT_EQ(TSettings::IntervalMs(-1), 0);
    s.InTimeOut = "86401";
    EXPECT_EQ(s.InTimeOutSeconds(), TSettings::DefaultInTimeOutSeconds);
    s.InTimeOut = "86400";
    EXPECT_EQ(s.InTimeOutSeconds(), 86400);
}

TEST(ReconnectPolicy, PausesDoubleUpToTheCeilingAndTheBoundEndsThem) {
    TReconnectPolicy policy;                   // 2 s, doubling, at most 60 s, given up after 300 s
    EXPECT_EQ(policy.CeilingMs(30000), 30000); // never longer than the poll interval
    EXPECT_EQ(policy.CeilingMs(0), 60000);
    int ceiling = policy.CeilingMs(300000);
    std::vector<int> pauses;
    for (int pause = policy.FirstPauseMs; pauses.size() < 7;
         pause = policy.NextPauseMs(pause, ceiling)) {
        pauses.push_back(pause);
    }
    EXPECT_EQ(pauses, (std::vector<int>{2000, 4000, 8000, 16000, 32000, 60000, 60000}));
    EXPECT_FALSE(policy.GivesUp(240000, 60000));
    EXPECT_TRUE(policy.GivesUp(240001, 60000));
    // A poll interval shorter than the first pause does not shrink it.
    EXPECT_EQ(policy.NextPauseMs(2000, policy.CeilingMs(1000)), 2000);
}

// ------------------------------------------------------------ without a window

struct Headless : HeadlessFixture {};

TEST_F(Headless, FirstRunSaysWhatIsMissingAndStopsAfterWritingTheInterval) {
    THeadlessRunner& r = MakeRunner();
    EXPECT_FALSE(r.Start());
    EXPECT_EQ(Printed("error"), std::vector<std::string>{"the settings file " + ini +
                                                         " is not configured (Host and OutHost "
                                                         "are needed)"});
    EXPECT_EQ(Printed("tray"), std::vector<std::string>{"1"});
    EXPECT_EQ(Key("Time"), "3");
    EXPECT_EQ(pop3.Connections(), 0);
}

TEST_F(Headless, StartLogsInAndAPollSendsTheOutbox) {
    WriteSettings(pop3.Port());
    std::string header = "HDR";
    for (int i = 2; i <= 28; ++i) {
        header += "\tf";
    }
    dir.Write("out/x.dat", header + "\ta@x.test\tREST\n");
    std::vector<std::string> s = LoginLines(0);
    Append(s, {"C: QUIT", "S: +OK bye"});
    pop3.Add(s); // the start-up log-in, ended by the poll
    pop3.Add(s);
    THeadlessRunner& r = MakeRunner();
    ASSERT_TRUE(r.Start());
    EXPECT_TRUE(r.Cycle().PollTimer().Enabled());
    EXPECT_EQ(r.Cycle().PollTimer().Interval(), 30000); // Time=0
    r.Cycle().PollTick();
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
    ASSERT_EQ(smtp->sent.size(), 1u);
    EXPECT_EQ(smtp->sent[0].recipients, std::vector<std::string>{"a@x.test"});
    EXPECT_EQ(Printed("status"), (std::vector<std::string>{
                                     "Connecting...", "No messages waiting", "No messages waiting",
                                     "No Messages to Get", "Sending...", "Files are Sent"}));
    EXPECT_EQ(Printed("tray"), (std::vector<std::string>{"1", "1", "1", "1", "3", "1"}));
}

TEST_F(Headless, RefusedLogInIsTriedOnceMoreWithTheValuesLoaded) {
    WriteSettings(pop3.Port());
    pop3.Add(RefusedLogInLines());
    pop3.Add(RefusedLogInLines());
    THeadlessRunner& r = MakeRunner();
    EXPECT_TRUE(r.Start()); // configured: the next poll tries again
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
    EXPECT_EQ(pop3.Connections(), 2);
    auto statuses = Printed("status");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Wrong password or Account Name"), 2);
}

} // namespace
