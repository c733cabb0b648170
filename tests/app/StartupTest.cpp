// Start-up, settings and the buttons of the Options window.
#include <QComboBox>
#include <QPushButton>
#include <sys/stat.h>

#include "WindowFixture.h"
#include "tray/abctray.h"

namespace {

const char* const AccountFields[] = {"Host",  "UserId",    "password", "IncPort", "OutHost",
                                     "OutId", "password2", "OutgPort", "fromaddr"};

using Startup = WindowFixture;

TEST_F(Startup, FirstRunShowsAnEmptyWindowAndPollsEveryFiveMinutes) {
    TfmOptions& w = Make(/*headless=*/false);
    w.FormCreate(&w);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.Configured());
    for (const char* name : AccountFields) {
        EXPECT_TRUE(F(name)->text().isEmpty()) << name;
        EXPECT_TRUE(F(name)->isEnabled()) << name;
    }
    EXPECT_EQ(w.IntervalBox()->currentText(), "5 min");
    EXPECT_TRUE(w.Button("btnConnect")->isEnabled());
    EXPECT_FALSE(w.Button("btnDisconnect")->isEnabled());
    EXPECT_EQ(Key("Time"), "3");
    EXPECT_TRUE(w.PollTimer().Enabled());
    EXPECT_EQ(w.PollTimer().Interval(), 300000);
    EXPECT_TRUE(w.WakeUpTimer().Enabled());
    EXPECT_EQ(pop3.Connections(), 0);
}

TEST_F(Startup, HostWithoutOutHostIsStillAFirstRun) {
    dir.Write("options.ini", "[Account]\nHost=pop.example.test\n");
    TfmOptions& w = Make();
    w.FormCreate(&w);
    EXPECT_FALSE(w.Configured());
    EXPECT_TRUE(F("Host")->text().isEmpty());
}

TEST_F(Startup, ConfiguredStartFillsTheFieldsConnectsAndLocksTheAccount) {
    dir.Write("options.ini",
              "[Account]\nHost=127.0.0.1\nUserId=bob\nPassword=pw\nPath=" + inbox +
                  "\nOutHost=smtp.example.test\nOutId=sam\nPassword2=s3\nOutPath=" + outbox +
                  "\nInPort=" + std::to_string(pop3.Port()) + "\nFromAddress=gate@example.test\n");
    pop3.Add(LoginLines(0));
    TfmOptions& w = Make();
    w.FormCreate(&w);

    EXPECT_EQ(F("Host")->text(), "127.0.0.1");
    EXPECT_EQ(F("UserId")->text(), "bob");
    EXPECT_EQ(F("password")->text(), "pw");
    EXPECT_EQ(F("path")->text().toStdString(), inbox + "/");
    EXPECT_EQ(F("OutHost")->text(), "smtp.example.test");
    EXPECT_EQ(F("OutId")->text(), "sam");
    EXPECT_EQ(F("password2")->text(), "s3");
    EXPECT_EQ(F("fromaddr")->text(), "gate@example.test");
    EXPECT_EQ(F("OutPath")->text().toStdString(), outbox);
    // A missing Time selects "5 min"; an empty OutPort is written back as 25.
    EXPECT_EQ(w.IntervalBox()->currentIndex(), 3);
    EXPECT_EQ(F("OutgPort")->text(), "25");
    EXPECT_EQ(Key("OutPort"), "25");
    EXPECT_EQ(w.Smtp().SmtpPort(), 25);
    EXPECT_EQ(w.Pop3().Port(), pop3.Port());

    ASSERT_TRUE(w.Pop3().Connected());
    for (const char* name : AccountFields) {
        EXPECT_FALSE(F(name)->isEnabled()) << name;
    }
    EXPECT_FALSE(w.Button("btnConnect")->isEnabled());
    EXPECT_TRUE(w.Button("btnDisconnect")->isEnabled());
    EXPECT_EQ(Printed("status"),
              (std::vector<std::string>{"Connecting...", "No messages waiting"}));
    EXPECT_TRUE(w.PollTimer().Enabled());
}

TEST_F(Startup, EmptyPortsAreWrittenBackAs25And110) {
    dir.Write("options.ini",
              "[Account]\nHost=no.such.host.invalid\nOutHost=x\nOutPort=\nInPort=\n");
    TfmOptions& w = Make();
    w.FormCreate(&w);
    EXPECT_EQ(Key("OutPort"), "25");
    EXPECT_EQ(Key("InPort"), "110");
    EXPECT_EQ(F("IncPort")->text(), "110");
}

TEST_F(Startup, ServerThatCannotBeReachedLeavesTheWindowUnconnectedAndPolling) {
    // Nobody listens on the peer's port once it is gone.
    int deadPort;
    {
        ScriptedPeer gone;
        deadPort = gone.Port();
    }
    WriteSettings(deadPort);
    TfmOptions& w = Make();
    w.FormCreate(&w);
    EXPECT_FALSE(w.Pop3().Connected());
    EXPECT_TRUE(w.Button("btnConnect")->isEnabled());
    EXPECT_EQ(Printed("status").front(), "Connecting...");
    EXPECT_EQ(w.TrayImageIndex(), 5);
    // The failed connect's event put the window into the not-connected state,
    // which stops the poll timer; the watchdog brings polling back.
    EXPECT_TRUE(w.WakeUpTimer().Enabled());
    w.wakeuptimerTimer(&w);
    EXPECT_TRUE(w.PollTimer().Enabled());
}

TEST_F(Startup, TimeOutOfRangeOrNotANumberSelectsFiveMinutes) {
    for (const char* value : {"13", "-1", "x"}) {
        WriteSettings(1, "");
        dir.Write("options.ini", dir.Read("options.ini") + "");
        TProfileFile(ini).WriteString("Account", "Time", value);
        TProfileFile(ini).WriteString("Account", "Host", "no.such.host.invalid");
        TfmOptions& w = Make();
        w.FormCreate(&w);
        EXPECT_EQ(w.IntervalBox()->currentIndex(), 3) << value;
        EXPECT_EQ(w.PollTimer().Interval(), 300000) << value;
        EXPECT_EQ(Key("Time"), "3") << value;
    }
}

TEST_F(Startup, APortThatIsNotANumberIsRefusedWithAClearText) {
    WriteSettings(1);
    TProfileFile(ini).WriteString("Account", "InPort", "11o");
    TfmOptions& w = Make();
    w.FormCreate(&w);
    EXPECT_EQ(w.StatusText(), "Invalid POP3 port \"11o\": enter a whole number from 1 to 65535");
    EXPECT_FALSE(w.Pop3().Connected());
    EXPECT_TRUE(w.PollTimer().Enabled());
}

TEST_F(Startup, IntervalFortyFiveMinutesIsWrittenAndApplied) {
    TfmOptions& w = Make();
    w.FormCreate(&w);
    w.IntervalBox()->setCurrentIndex(7);
    w.timecomboboxChange(&w);
    EXPECT_EQ(Key("Time"), "7");
    EXPECT_EQ(w.PollTimer().Interval(), 2700000);
    EXPECT_TRUE(w.PollTimer().Enabled());
}

// ------------------------------------------------------------ Connect button

using ConnectButton = WindowFixture;

TEST_F(ConnectButton, ChecksTheFieldsInOrderAndWritesNothingOnFailure) {
    TfmOptions& w = Make();
    w.FormCreate(&w);
    const std::string before = dir.Read("options.ini");
    const std::pair<const char*, const char*> order[] = {
        {"Host", "Enter Incoming Mail Server (POP3)"},
        {"UserId", "Enter Account Name"},
        {"password", "Enter Password"},
        {"path", "Enter Path for Inbox Folder"},
        {"OutHost", "Enter Outgoing Mail Server (SMTP)"},
        {"OutPath", "Enter Path for Outbox Folder"},
        {"fromaddr", "Enter From Address"},
    };
    for (size_t missing = 0; missing < std::size(order); ++missing) {
        FillAll();
        F(order[missing].first)->clear();
        w.btnConnectClick(&w);
        EXPECT_EQ(w.StatusText(), order[missing].second);
    }
    FillAll();
    F("OutgPort")->setText("70000");
    w.btnConnectClick(&w);
    EXPECT_EQ(w.StatusText(), "Invalid SMTP port \"70000\": enter a whole number from 1 to 65535");
    EXPECT_EQ(dir.Read("options.ini"), before);
    EXPECT_EQ(pop3.Connections(), 0);
}

TEST_F(ConnectButton, SavesTheSettingsLogsInAndFillsEmptyPorts) {
    std::vector<std::string> script = LoginLines(0);
    pop3.Add(script);
    TfmOptions& w = Make();
    w.FormCreate(&w);
    FillAll();
    w.btnConnectClick(&w);
    ASSERT_TRUE(w.Pop3().Connected());
    EXPECT_EQ(F("OutgPort")->text(), "25");
    EXPECT_EQ(Key("OutPort"), "25");
    EXPECT_EQ(Key("InPort"), std::to_string(pop3.Port()));
    EXPECT_EQ(Key("Host"), "127.0.0.1");
    EXPECT_EQ(Key("Path"), inbox + "/");
    EXPECT_EQ(Key("OutPath"), outbox);
    EXPECT_EQ(Key("FromAddress"), "gate@example.test");
    EXPECT_EQ(Key("Password2"), "");
    EXPECT_EQ(w.StatusText(), "No Messages to Get");
    EXPECT_EQ(w.TrayImageIndex(), 1);
    EXPECT_FALSE(F("password2")->isEnabled());
    struct stat st {};
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // it holds both passwords
}

TEST_F(ConnectButton, DisconnectUnlocksTheFieldsAndStopsOnlyThePollTimer) {
    pop3.Add([] {
        auto s = LoginLines(0);
        Append(s, {"C: QUIT", "S: +OK bye"});
        return s;
    }());
    TfmOptions& w = Make();
    w.FormCreate(&w);
    FillAll();
    w.btnConnectClick(&w);
    w.btnDisconnectClick(&w);
    EXPECT_FALSE(w.Pop3().Connected());
    EXPECT_EQ(w.StatusText(), "Disconnected");
    EXPECT_EQ(w.TrayImageIndex(), 5);
    EXPECT_FALSE(w.PollTimer().Enabled());
    EXPECT_TRUE(w.WakeUpTimer().Enabled());
    EXPECT_TRUE(F("Host")->isEnabled());
    // The watchdog switches polling back on.
    w.wakeuptimerTimer(&w);
    EXPECT_TRUE(w.PollTimer().Enabled());
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
}

// ------------------------------------------------------------ Browse buttons

TEST_F(Startup, BrowseWritesPathWithSeparatorAndOutPathAsChosen) {
    TfmOptions& w = Make();
    w.FormCreate(&w);
    dialog->choice = "/data/inbox";
    w.btnBrowseClick(&w);
    EXPECT_EQ(F("path")->text(), "/data/inbox");
    EXPECT_EQ(Key("Path"), "/data/inbox/");
    EXPECT_EQ(w.Pop3().AttachFilePath(), "/data/inbox/");

    dialog->choice = "/data/outbox";
    w.btnBrouse2Click(&w);
    EXPECT_EQ(F("OutPath")->text(), "/data/outbox");
    EXPECT_EQ(Key("OutPath"), "/data/outbox");

    dialog->accept = false;
    dialog->choice = "/elsewhere";
    w.btnBrowseClick(&w);
    EXPECT_EQ(Key("Path"), "/data/inbox/");
}

// ------------------------------------------------------------ unusual starts

TEST_F(Startup, InvalidSmtpPortDoesNotStopAValidPop3PortFromBeingApplied) {
    WriteSettings(pop3.Port());
    TProfileFile(ini).WriteString("Account", "OutPort", "25x");
    TfmOptions& w = Make();
    w.FormCreate(&w);
    EXPECT_EQ(w.StatusText(), "Invalid SMTP port \"25x\": enter a whole number from 1 to 65535");
    EXPECT_EQ(w.Pop3().Port(), pop3.Port());
}

TEST_F(Startup, ConfiguredStartWithoutANotificationAreaShowsTheWindowMinimised) {
    WriteSettings(pop3.Port());
    pop3.Add(LoginLines(0));
    TfmOptions& w = Make(/*headless=*/false);
    w.FormCreate(&w);
    ASSERT_NE(w.TrayIcon(), nullptr);
    ASSERT_TRUE(w.TrayIcon()->WaitingForTray()) << "this test needs a platform without a tray";
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.isMinimized());
}

// A settings file that exists but cannot be read: a folder in its place (the
// tests run as root, who may read any regular file).
struct UnreadableSettings : WindowFixture {
    UnreadableSettings() { ::mkdir(ini.c_str(), 0755); }
    std::string Prefix() const { return "Unable to read " + ini + ": "; }
    bool SaidNotConfigured() const {
        for (const auto& line : console) {
            if (line.find("not configured") != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(UnreadableSettings, StartUpReportsItAndWritesNothing) {
    TfmOptions& w = Make();
    w.FormCreate(&w);
    EXPECT_FALSE(w.Configured());
    EXPECT_EQ(w.StatusText().rfind(Prefix(), 0), 0u) << w.StatusText();
    EXPECT_EQ(w.SettingsError(), w.StatusText());
    EXPECT_FALSE(SaidNotConfigured());
    // No first-run write of the interval, no poll with nothing to poll.
    EXPECT_FALSE(w.PollTimer().Enabled());
    w.Timer1Timer(&w);
    EXPECT_EQ(pop3.Connections(), 0);
    struct stat st {};
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(UnreadableSettings, ConnectButtonRefusesToOverwriteIt) {
    TfmOptions& w = Make();
    w.FormCreate(&w);
    FillAll();
    w.btnConnectClick(&w);
    EXPECT_EQ(w.StatusText().rfind(Prefix(), 0), 0u) << w.StatusText();
    EXPECT_EQ(pop3.Connections(), 0);
}

TEST_F(UnreadableSettings, OnceEndsWithStatusTwoAndSaysWhy) {
    TfmOptions& w = Make();
    EXPECT_EQ(w.RunOnce(), 2);
    auto statuses = Printed("status");
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].rfind(Prefix(), 0), 0u) << statuses[0];
    EXPECT_FALSE(SaidNotConfigured());
}

} // namespace
