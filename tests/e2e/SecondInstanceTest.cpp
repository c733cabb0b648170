// Two gateways on one settings file: the second `mailgate --once` exits at
// once with status 3 and says why, while the first goes on; once the first
// is gone (killed), the next run works. No real servers: the first run's POP3
// server is scripted and never answers.
#include "Gateway.h"
#include "support/ScriptedPeer.h"

namespace e2e {
namespace {

constexpr int StartDeadlineMs = 30000;

class SecondInstance : public ::testing::Test {
protected:
    void SetUp() override {
        inbox_ = temp_.File("inbox");
        outbox_ = temp_.File("outbox");
        config_ = temp_.File("options.ini");
        fs::create_directories(inbox_);
        fs::create_directories(outbox_);
        WriteFile(config_, "[Account]\n"
                           "Host=127.0.0.1\n"
                           "InPort=" +
                               std::to_string(pop3_.Port()) +
                               "\n"
                               "UserId=gate\n"
                               "Password=pop-pw\n"
                               "Path=" +
                               inbox_ +
                               "/\n"
                               "OutHost=127.0.0.1\n"
                               "OutPort=1\n"
                               "OutPath=" +
                               outbox_ +
                               "\n"
                               "FromAddress=gate@example.test\n"
                               "Time=0\n");
    }

    ScriptedPeer pop3_;
    TempDir temp_;
    std::string inbox_;
    std::string outbox_;
    std::string config_;
};

TEST_F(SecondInstance, IsRefusedWithStatus3WhileTheFirstRunsAndStartsOnceItIsGone) {
    pop3_.Add({"HANG"}); // the first run waits on its server
    pop3_.Add({"S: +OK ready", "C: CAPA", "S: -ERR", "C: USER gate", "S: +OK", "C: PASS pop-pw",
               "S: +OK", "C: STAT", "S: +OK 0 0", "C: QUIT", "S: +OK"});

    auto first = std::make_unique<MailgateRun>(config_);
    ASSERT_TRUE(WaitFor([&] { return pop3_.Connections() >= 1; }, StartDeadlineMs))
        << "the first run never reached its server";

    MailgateRun second(config_);
    ASSERT_TRUE(second.Finish()) << Transcript(second);
    EXPECT_EQ(second.ExitCode(), 3) << Transcript(second);
    EXPECT_EQ(second.Errors(), "Another mailgate is running with " + config_ + "\n");
    EXPECT_EQ(second.Output(), "") << "the refused run must not start a cycle";
    EXPECT_EQ(pop3_.Connections(), 1) << "the refused run must not reach the server";

    // The same settings by another name of the file are refused too.
    MailgateRun relative(temp_.Path() + "/inbox/../options.ini");
    ASSERT_TRUE(relative.Finish()) << Transcript(relative);
    EXPECT_EQ(relative.ExitCode(), 3) << Transcript(relative);

    first.reset(); // SIGKILL: the system drops its lock
    MailgateRun third(config_);
    ASSERT_TRUE(third.Finish()) << Transcript(third);
    EXPECT_EQ(third.ExitCode(), 0) << Transcript(third);
    ExpectNoSanitizerReport(third);
    EXPECT_TRUE(WaitFor([&] { return pop3_.Finished(); }));
    EXPECT_EQ(pop3_.Received(1), "CAPA\r\nUSER gate\r\nPASS pop-pw\r\nSTAT\r\nQUIT\r\n");
}

} // namespace
} // namespace e2e
