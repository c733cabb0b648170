// InAuth, OutAuth and the password commands as the settings file gives
// them: checked like every other value, and applied to both legs - the
// POP3 log-in takes its password from PasswordCommand at every session, the
// SMTP control from PasswordCommand2 before a pass sends, and neither value
// ever reaches the settings file or a status line.
#include <gtest/gtest.h>

#include "WindowFixture.h"
#include "app/HeadlessRunner.h"
#include "app/Settings.h"
#include "codec/Codec.h"

namespace {

TEST(AuthSettings, ProblemNamesABadLogInWordOrCommandLine) {
    struct Row {
        const char* name;
        std::string TSettings::*key;
        std::string value;
        std::optional<std::string> problem;
    };
    const std::string inHelp =
        "\": enter auto, user, plain, login, cram-md5, xoauth2 or oauthbearer";
    const std::string outHelp = "\": enter auto, plain, login, cram-md5, xoauth2 or oauthbearer";
    const Row rows[] = {
        {"empty is auto", &TSettings::InAuth, "", std::nullopt},
        {"case and blanks", &TSettings::InAuth, " CRAM-MD5 ", std::nullopt},
        {"user for POP3", &TSettings::InAuth, "user", std::nullopt},
        {"unknown in", &TSettings::InAuth, "md5", "Invalid InAuth \"md5" + inHelp},
        {"user is no SMTP method", &TSettings::OutAuth, "user", "Invalid OutAuth \"user" + outHelp},
        {"xoauth2 out", &TSettings::OutAuth, "XOAUTH2", std::nullopt},
        {"command", &TSettings::PasswordCommand, "pass show 'mail/pop3'", std::nullopt},
        {"open quote, not shown", &TSettings::PasswordCommand, "echo 'hunter2",
         "Invalid PasswordCommand: a single quote is not closed"},
        {"trailing backslash", &TSettings::PasswordCommand2, "echo x\\",
         "Invalid PasswordCommand2: it ends in a backslash"},
    };
    for (const Row& row : rows) {
        TSettings s;
        s.Host = s.UserId = s.Password = s.Path = s.OutHost = s.OutPath = s.FromAddress = "x";
        s.*row.key = row.value;
        EXPECT_EQ(s.Problem(), row.problem) << row.name;
    }
    // A command stands in for the password.
    TSettings s;
    s.Host = s.UserId = s.Path = s.OutHost = s.OutPath = s.FromAddress = "x";
    s.Password = "";
    EXPECT_EQ(s.Problem(), "Enter Password");
    s.PasswordCommand = "pass show mail";
    EXPECT_EQ(s.Problem(), std::nullopt);
}

struct PasswordCommands : HeadlessFixture {
    void WriteOutboxFile() {
        std::string header = "HDR";
        for (int i = 2; i <= 28; ++i) {
            header += "\tf";
        }
        dir.Write("out/x.dat", header + "\ta@x.test\tREST\n");
    }
};

TEST_F(PasswordCommands, EachSessionTakesThePasswordsFromTheCommands) {
    WriteSettings(pop3.Port(), "InAuth=plain\nPasswordCommand=printf pop-from-cmd\n"
                               "PasswordCommand2=printf smtp-from-cmd\n");
    WriteOutboxFile();
    THeadlessRunner& r = PollOnceThroughSasl("PLAIN", std::string("\0bob\0pop-from-cmd", 17));
    ASSERT_EQ(smtp->sent.size(), 1u);
    EXPECT_TRUE(smtp->SmtpPassword() == "smtp-from-cmd") << "SMTP password from PasswordCommand2";
    EXPECT_TRUE(Key("Password") == "pw") << "the settings file keeps its own value";
    EXPECT_TRUE(r.Cycle().Pop3().Password() == "pw") << "the command's value is not kept";
}

TEST_F(PasswordCommands, AFailingPop3CommandIsShownAndNoServerIsAsked) {
    WriteSettings(pop3.Port(), "PasswordCommand=false\n");
    THeadlessRunner& r = MakeRunner();
    EXPECT_TRUE(r.Start());
    // The poll tries again once, not in a loop of reconnects.
    r.Cycle().PollTick();
    const std::string failed = "Password command for POP3 failed: exit 1";
    auto statuses = Printed("status");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), failed), 2);
    EXPECT_EQ(pop3.Connections(), 0);
}

TEST_F(PasswordCommands, AFailingSmtpCommandKeepsTheOutboxForTheNextPass) {
    WriteSettings(pop3.Port(), "PasswordCommand2=sh -c 'echo no key >&2; exit 4'\n");
    WriteOutboxFile();
    std::vector<std::string> session = LoginLines(0);
    Append(session, {"C: QUIT", "S: +OK bye"});
    StartAndPollOnce(session);
    ASSERT_FALSE(HasFailure());
    auto statuses = Printed("status");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(),
                         "Password command for SMTP failed: exit 4: no key"),
              1);
    EXPECT_TRUE(smtp->sent.empty());
    EXPECT_TRUE(dir.Exists("out/x.dat"));
}

} // namespace
