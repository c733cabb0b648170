// The outbox pass, the recipient convention and the poll cycle around them.
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <utime.h>

#include "WindowFixture.h"
#include "smtp/MessageIdentity.h"

namespace {

// A header line whose field 29 is `field29`, followed by a tab and more.
std::string HeaderLine(const std::string& field29, int fieldsBefore = 28) {
    std::string line = "HDR";
    for (int i = 2; i <= fieldsBefore; ++i) {
        line += "\tf" + std::to_string(i);
    }
    return line + "\t" + field29 + "\tREST";
}

struct FindRecipientCase {
    const char* name;
    std::string content;
    std::string expected;
};

class FindRecipientTable : public WindowFixture,
                           public ::testing::WithParamInterface<FindRecipientCase> {};

TEST_P(FindRecipientTable, ReadsField29OfTheLastLeadingHeaderLine) {
    dir.Write("out/file", GetParam().content);
    EXPECT_EQ(TOutbox::FindRecipient(outbox + "/file"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindRecipientTable,
    ::testing::Values(
        FindRecipientCase{"AddressFollowedByTab", HeaderLine("a@x.test") + "\r\nbody\r\n",
                          "a@x.test"},
        FindRecipientCase{"DisplayNameCut", HeaderLine("a@x.test|Anna Smith") + "\n", "a@x.test"},
        FindRecipientCase{"Exactly28TabsIsNoRecipient",
                          [] {
                              std::string l = "HDR";
                              for (int i = 2; i <= 29; ++i) {
                                  l += "\tf" + std::to_string(i);
                              }
                              return l + "\n";
                          }(),
                          ""},
        FindRecipientCase{"FirstLineWithoutHDR", "plain\n" + HeaderLine("a@x.test") + "\n", ""},
        FindRecipientCase{"LastHeaderLineDecides",
                          HeaderLine("a@x.test") + "\n" + HeaderLine("b@x.test") + "\nx\n",
                          "b@x.test"},
        FindRecipientCase{"LastHeaderLineWithFewerFieldsEmptiesIt",
                          HeaderLine("a@x.test") + "\nHDR\tshort\n", ""},
        FindRecipientCase{"HDRInTheMiddleOfAField",
                          "xxHDRxx" + HeaderLine("c@x.test").substr(3) + "\n", "c@x.test"},
        FindRecipientCase{"HeaderRunEndsAtFirstOtherLine",
                          HeaderLine("a@x.test") + "\nbody\n" + HeaderLine("b@x.test") + "\n",
                          "a@x.test"},
        FindRecipientCase{"EmptyFile", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ the pass

struct Outbox : WindowFixture {
    // A file old enough to be sent.
    void Drop(const std::string& name, const std::string& content) {
        dir.Write("out/" + name, content);
        Age("out/" + name);
    }
    void Age(const std::string& relative) {
        utimbuf old{std::time(nullptr) - 60, std::time(nullptr) - 60};
        ::utime(dir.File(relative).c_str(), &old);
    }
    // A cycle's POP3 session with an empty mailbox.
    void ExpectCycle() {
        std::vector<std::string> s = LoginLines(0);
        Append(s, {"C: QUIT", "S: +OK bye"});
        pop3.Add(s);
    }
    // Starts the window and polls once, with the send results `results`:
    // sessions for the start-up, the poll and the repeat cycle after a
    // failed send.
    TfmOptions& PollWithARepeat(std::deque<RecordingSmtp::Result> results) {
        ExpectCycle(); // the start-up log-in, ended by the poll
        ExpectCycle(); // the poll
        ExpectCycle(); // the repeat cycle after the pause
        TfmOptions& w = Make();
        smtp->results = std::move(results);
        w.FormCreate(&w);
        w.Timer1Timer(&w);
        return w;
    }
};

TEST_F(Outbox, SendsEachAddressedFileInNameOrderAndDeletesIt) {
    WriteSettings(pop3.Port());
    Drop("b.dat", HeaderLine("b@x.test") + "\nB");
    Drop("A.dat", HeaderLine("a@x.test|Anna") + "\nA");
    Drop("c.dat", HeaderLine("c@x.test") + "\nC");
    Drop("norecipient.dat", "no header\n");
    Drop(".hidden", HeaderLine("h@x.test") + "\n");
    ::mkdir(dir.File("out/folder").c_str(), 0755);
    ExpectCycle();
    TfmOptions& w = Make();
    ASSERT_EQ(w.RunOnce(), 0);

    ASSERT_EQ(smtp->sent.size(), 3u);
    EXPECT_EQ(smtp->sent[0].recipients, std::vector<std::string>{"a@x.test"});
    EXPECT_EQ(smtp->sent[0].attachments, std::vector<std::string>{outbox + "/A.dat"});
    EXPECT_EQ(smtp->sent[0].content, HeaderLine("a@x.test|Anna") + "\nA");
    EXPECT_EQ(smtp->sent[0].from, "gate@example.test");
    EXPECT_EQ(smtp->sent[1].recipients, std::vector<std::string>{"b@x.test"});
    EXPECT_EQ(smtp->sent[2].recipients, std::vector<std::string>{"c@x.test"});
    for (const auto& s : smtp->sent) {
        EXPECT_EQ(s.attachments.size(), 1u); // one message per file, nothing carried over
    }
    EXPECT_FALSE(dir.Exists("out/A.dat"));
    EXPECT_FALSE(dir.Exists("out/b.dat"));
    EXPECT_TRUE(dir.Exists("out/norecipient.dat"));
    EXPECT_TRUE(dir.Exists("out/.hidden"));
    EXPECT_EQ(Printed("status").back(), "Files are Sent");
    EXPECT_EQ(Printed("tray").back(), "1");
}

TEST_F(Outbox, EmptyOutboxChangesNoStatus) {
    WriteSettings(pop3.Port());
    ExpectCycle();
    TfmOptions& w = Make();
    ASSERT_EQ(w.RunOnce(), 0);
    EXPECT_EQ(Printed("status"),
              (std::vector<std::string>{"No messages waiting", "No Messages to Get"}));
    EXPECT_TRUE(smtp->sent.empty());
}

TEST_F(Outbox, FailedSendKeepsTheFileAndOneRepeatCycleSendsIt) {
    WriteSettings(pop3.Port());
    Drop("a.dat", HeaderLine("a@x.test") + "\n");
    TfmOptions& w = PollWithARepeat({{550, "5.1.1 mailbox unavailable", false}, {0, "", false}});
    ASSERT_EQ(smtp->sent.size(), 2u);
    EXPECT_FALSE(dir.Exists("out/a.dat"));
    auto statuses = Printed("status");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(),
                        "Send failed! Error 550: 5.1.1 mailbox unavailable"),
              statuses.end());
    EXPECT_EQ(statuses.back(), "Files are Sent");
    EXPECT_TRUE(w.PollTimer().Enabled());
}

TEST_F(Outbox, EachFileCarriesItsOwnIdentityTheSameAtEverySending) {
    WriteSettings(pop3.Port());
    Drop("a.dat", HeaderLine("a@x.test") + "\n");
    Drop("b.dat", HeaderLine("a@x.test") + "\n");
    const std::string idA = MailgateMessageId(outbox + "/a.dat", "gate@example.test");
    const std::string idB = MailgateMessageId(outbox + "/b.dat", "gate@example.test");
    PollWithARepeat({{451, "4.3.0 try again", false}, {0, "", false}});
    // a.dat failed, b.dat went, a.dat went in the repeat cycle.
    ASSERT_EQ(smtp->sent.size(), 3u);
    EXPECT_EQ(smtp->sent[0].attachments, std::vector<std::string>{outbox + "/a.dat"});
    EXPECT_EQ(smtp->sent[0].messageId, idA);
    EXPECT_EQ(smtp->sent[1].attachments, std::vector<std::string>{outbox + "/b.dat"});
    EXPECT_EQ(smtp->sent[1].messageId, idB);
    EXPECT_EQ(smtp->sent[2].attachments, std::vector<std::string>{outbox + "/a.dat"});
    EXPECT_EQ(smtp->sent[2].messageId, idA);
    EXPECT_NE(idA, idB);
    EXPECT_FALSE(dir.Exists("out/a.dat"));
}

TEST_F(Outbox, SendThatRaisesCountsAsFailedAndKeepsTheFile) {
    WriteSettings(pop3.Port());
    Drop("a.dat", HeaderLine("a@x.test") + "\n");
    ExpectCycle();
    TfmOptions& w = Make();
    smtp->results = {{0, "", true}};
    EXPECT_EQ(w.RunOnce(), 1);
    EXPECT_TRUE(dir.Exists("out/a.dat"));
    EXPECT_EQ(smtp->sent.size(), 1u); // no repeat in --once mode
    EXPECT_EQ(w.TrayImageIndex(), 1);
    auto statuses = Printed("status");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(),
                        "Send failed! Error -1: connection to the SMTP server lost"),
              statuses.end());
}

TEST_F(Outbox, RefusedSmtpSecurityEndsThePassWithTheReasonAndKeepsEveryFile) {
    // Whatever the security refusal, it holds for every file: one attempt,
    // the reason in the status line and the output, no pause, no repeat.
    const std::string reason =
        "TLS: the certificate of smtp.example.test:2525 is not trusted (self-signed certificate)";
    for (int code : {35, 60, 64}) {
        SCOPED_TRACE(code);
        console.clear();
        WriteSettings(pop3.Port());
        Drop("a.dat", HeaderLine("a@x.test") + "\n");
        Drop("b.dat", HeaderLine("b@x.test") + "\n");
        ExpectCycle();
        TfmOptions& w = Make();
        smtp->results = {{code, reason, false}, {0, "", false}};
        EXPECT_EQ(w.RunOnce(), 1);
        EXPECT_EQ(smtp->sent.size(), 1u);
        EXPECT_TRUE(dir.Exists("out/a.dat"));
        EXPECT_TRUE(dir.Exists("out/b.dat"));
        auto statuses = Printed("status");
        ASSERT_FALSE(statuses.empty());
        EXPECT_EQ(statuses.back(), reason);
        auto errors = Printed("error");
        EXPECT_NE(std::find(errors.begin(), errors.end(), "ETlsError: " + reason), errors.end());
        ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
        window.reset();
    }
}

TEST_F(Outbox, FileTakenAwayDuringThePassIsSkippedSilently) {
    WriteSettings(pop3.Port());
    Drop("a.dat", HeaderLine("a@x.test") + "\n");
    Drop("b.dat", HeaderLine("b@x.test") + "\n");
    ExpectCycle();
    TfmOptions& w = Make();
    // While a.dat is sent, another program takes b.dat away.
    smtp->duringSend = [&] { std::filesystem::remove(dir.File("out/b.dat")); };
    ASSERT_EQ(w.RunOnce(), 0);
    EXPECT_EQ(smtp->sent.size(), 1u);
}

TEST_F(Outbox, FileStillBeingWrittenWaitsForTheNextPass) {
    WriteSettings(pop3.Port());
    dir.Write("out/fresh.dat", HeaderLine("a@x.test") + "\n"); // just written
    ExpectCycle();
    TfmOptions& w = Make();
    w.Cycle().Outbox().SettleMs = 2000;
    // Its producer goes on appending while the pass looks at it.
    QTimer producer;
    QObject::connect(&producer, &QTimer::timeout,
                     [&] { std::ofstream(dir.File("out/fresh.dat"), std::ios::app) << "more\n"; });
    producer.start(100);
    ASSERT_EQ(w.RunOnce(), 0);
    EXPECT_TRUE(smtp->sent.empty());
    EXPECT_TRUE(dir.Exists("out/fresh.dat"));
}

TEST_F(Outbox, FileThatStoppedChangingGoesInTheSamePass) {
    WriteSettings(pop3.Port());
    dir.Write("out/fresh.dat", HeaderLine("a@x.test") + "\n"); // just written, then left
    ExpectCycle();
    TfmOptions& w = Make();
    w.Cycle().Outbox().SettleMs = 300;
    ASSERT_EQ(w.RunOnce(), 0);
    ASSERT_EQ(smtp->sent.size(), 1u);
    EXPECT_FALSE(dir.Exists("out/fresh.dat"));
}

TEST_F(Outbox, FileDatedInTheFutureIsSentOnceItStopsChanging) {
    WriteSettings(pop3.Port());
    dir.Write("out/future.dat", HeaderLine("a@x.test") + "\n");
    // Clock skew on a share, or a file unpacked with its dates.
    utimbuf ahead{std::time(nullptr) + 86400, std::time(nullptr) + 86400};
    ::utime(dir.File("out/future.dat").c_str(), &ahead);
    ExpectCycle();
    TfmOptions& w = Make();
    w.Cycle().Outbox().SettleMs = 300;
    ASSERT_EQ(w.RunOnce(), 0);
    ASSERT_EQ(smtp->sent.size(), 1u);
    EXPECT_EQ(smtp->sent[0].recipients, std::vector<std::string>{"a@x.test"});
    EXPECT_FALSE(dir.Exists("out/future.dat"));
}

TEST_F(Outbox, MissingOutboxIsAnErrorButTheSessionStillEnds) {
    WriteSettings(pop3.Port());
    std::filesystem::remove_all(outbox);
    ExpectCycle();
    TfmOptions& w = Make();
    EXPECT_EQ(w.RunOnce(), 1);
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_NE(pop3.Received(0).find("QUIT\r\n"), std::string::npos);
    EXPECT_EQ(pop3.Errors(), "");
}

// ------------------------------------------------------------ the cycle

TEST_F(Outbox, LostConnectionIsShownAndTheCycleGoesOnOnceTheServerAnswers) {
    WriteSettings(pop3.Port());
    pop3.Add({"CLOSE"}); // the server is away...
    pop3.Add({"CLOSE"});
    ExpectCycle(); // ...and back
    Drop("a.dat", HeaderLine("a@x.test") + "\n");
    TfmOptions& w = Make();
    ASSERT_EQ(w.RunOnce(), 0);
    auto statuses = Printed("status");
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[0], "Lost Connection...");
    EXPECT_EQ(Printed("tray")[0], "5");
    EXPECT_EQ(smtp->sent.size(), 1u); // receiving still comes before sending
    EXPECT_EQ(pop3.Connections(), 3);
}

TEST_F(Outbox, ReconnectGivesUpAfterItsBoundAndKeepsTheOutbox) {
    WriteSettings(pop3.Port());
    Drop("a.dat", HeaderLine("a@x.test") + "\n");
    for (int i = 0; i < 40; ++i) {
        pop3.Add({"CLOSE"});
    }
    TfmOptions& w = Make();
    EXPECT_EQ(w.RunOnce(), 1);
    EXPECT_TRUE(smtp->sent.empty());
    EXPECT_TRUE(dir.Exists("out/a.dat"));
    // Attempts pause and grow: a handful in the bound, not a storm.
    EXPECT_LT(pop3.Connections(), 20);
}

TEST_F(Outbox, SmtpStatusChangesAreShown) {
    TfmOptions& w = Make();
    w.objSmtpMailStatusChange(&w.Smtp(), 1, 0);
    EXPECT_EQ(w.StatusText(), "Queued");
    w.objSmtpMailStatusChange(&w.Smtp(), 1, 1);
    EXPECT_EQ(w.StatusText(), "Sending...");
    EXPECT_EQ(w.TrayImageIndex(), 3);
    w.objSmtpMailStatusChange(&w.Smtp(), 1, 2);
    EXPECT_EQ(w.StatusText(), "Sent successfully!");
    w.objSmtpMailStatusChange(&w.Smtp(), 1, 4);
    EXPECT_EQ(w.StatusText(), "Canceled");
    w.objSmtpMailStatusChange(&w.Smtp(), 1, 9);
    EXPECT_EQ(w.StatusText(), "Canceled");
}

} // namespace

namespace {

TEST_F(Outbox, PollTickDuringARunningCycleDoesNotEndItsSession) {
    WriteSettings(pop3.Port());
    Drop("a.dat", HeaderLine("a@x.test") + "\n");
    ExpectCycle();
    TfmOptions& w = Make();
    // A tick while the send waits in the event loop, as when the watchdog
    // switched the poll timer on during a long cycle.
    smtp->duringSend = [&] { w.Timer1Timer(&w); };
    ASSERT_EQ(w.RunOnce(), 0);
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Connections(), 1);
    EXPECT_EQ(pop3.Errors(), "");
    EXPECT_EQ(smtp->sent.size(), 1u);
}

} // namespace
