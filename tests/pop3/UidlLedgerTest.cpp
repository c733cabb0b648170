// The receive ledger on disk: what it reads back, what it refuses to trust,
// what it forgets, and the files a killed run left recorded but not moved.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "platform/Exception.h"
#include "pop3/MailboxReceiver.h"
#include "pop3/UidlLedger.h"
#include "support/Failure.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(UidlLedger, IsNamedAfterTheSettingsFile) {
    EXPECT_EQ(TUidlLedger::PathFor("/etc/mg/options.ini"), "/etc/mg/options.uidl");
    EXPECT_EQ(TUidlLedger::PathFor("/etc/mg/site.conf"), "/etc/mg/site.conf.uidl");
}

TEST(UidlLedger, ReadsBackWhatItWroteWithNothingElseLeftInTheFolder) {
    TempDir dir;
    const std::string path = dir.File("options.uidl");
    {
        TUidlLedger ledger(path);
        ledger.SetToday(sys_days(2026y / 12 / 9));
        ledger.MarkDone(TUidlLedger::UidlKey("a%b"), {{"/in/.mailgate-tmp/T 1.mme", "x y.txt"}});
        ledger.MarkRefused(TUidlLedger::UidlKey("r"), "Multipart message without a boundary");
        ledger.AddMessageId("<mg.0123@example.test>");
        ledger.Save();
    }
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"options.uidl"});
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(dir.Read("options.uidl"),
              "mailgate-ledger 1\n"
              "D 2026-12-09 u:a%25b\n"
              "R 2026-12-09 u:r Multipart%20message%20without%20a%20boundary\n"
              "M 2026-12-09 <mg.0123@example.test>\n"
              "S /in/.mailgate-tmp/T%201.mme x%20y.txt\n"
              "end 4\n");

    TUidlLedger again(path);
    EXPECT_EQ(again.Load(), "");
    EXPECT_EQ(again.StateOf("u:a%b"), TUidlLedger::TState::Done);
    EXPECT_EQ(again.StateOf("u:r"), TUidlLedger::TState::Refused);
    EXPECT_EQ(again.ReasonOf("u:r"), "Multipart message without a boundary");
    EXPECT_EQ(again.StateOf("u:other"), TUidlLedger::TState::Unknown);
    EXPECT_TRUE(again.HasMessageId("<mg.0123@example.test>"));
    EXPECT_EQ(again.Staged(), (std::vector<TStagedFile>{{"/in/.mailgate-tmp/T 1.mme", "x y.txt"}}));
}

TEST(UidlLedger, AMissingFileIsAnEmptyLedgerAndAnUnreadableOneRaises) {
    TempDir dir;
    TUidlLedger missing(dir.File("none.uidl"));
    EXPECT_EQ(missing.Load(), "");
    EXPECT_EQ(missing.Size(), 0u);

    fs::create_directory(dir.File("folder.uidl"));
    TUidlLedger unreadable(dir.File("folder.uidl"));
    EXPECT_EQ(FailureOf([&] { unreadable.Load(); }),
              "Unable to read " + dir.File("folder.uidl") + ": Is a directory");
}

TEST(UidlLedger, ADamagedFileIsSetAsideAndReportedNeverTrusted) {
    const std::string good = "mailgate-ledger 1\nD 2026-12-09 u:a\nD 2026-12-09 u:b\nend 2\n";
    struct Case {
        const char* name;
        std::string text;
        std::string what;
    };
    const std::vector<Case> cases = {
        {"cut in a line", good.substr(0, 30), "line 2 has no line end"},
        {"end line lost", good.substr(0, good.size() - 6), "its end line is missing"},
        {"entry lost", "mailgate-ledger 1\nD 2026-12-09 u:a\nend 2\n",
         "its end line counts 2 entries, not 1"},
        {"foreign", "[Account]\nHost=x\n", "it does not begin with \"mailgate-ledger 1\""},
        {"bad date", "mailgate-ledger 1\nD 2026-13-09 u:a\nend 1\n", "line 2 cannot be read"},
        {"bad escape", "mailgate-ledger 1\nD 2026-12-09 u:%zz\nend 1\n", "line 2 cannot be read"},
        {"empty", "", "it is empty"},
        {"after end", good + "D 2026-12-09 u:c\n", "line 5 follows the end line"},
        {"long line", "mailgate-ledger 1\nD 2026-12-09 u:" + std::string(20000, 'x') + "\nend 1\n",
         "line 2 is too long"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        dir.Write("options.uidl", c.text);
        TUidlLedger ledger(dir.File("options.uidl"));
        const std::string report = ledger.Load();
        const std::vector<std::string> names = Names(dir.Path());
        ASSERT_EQ(names.size(), 1u) << c.name;
        const std::string aside = names[0];
        EXPECT_EQ(aside.rfind("options.uidl.damaged-", 0), 0u) << c.name;
        EXPECT_EQ(report, "The ledger " + dir.File("options.uidl") + " is damaged (" + c.what +
                              "); it was set aside as " + dir.File(aside) +
                              " and an empty ledger started")
            << c.name;
        EXPECT_EQ(dir.Read(aside), c.text) << c.name;
        EXPECT_EQ(ledger.Size(), 0u) << c.name;
        EXPECT_EQ(ledger.StateOf("u:a"), TUidlLedger::TState::Unknown) << c.name;
    }
}

TEST(UidlLedger, PruningDropsWhatTheServerNoLongerHoldsAndOldMessageIds) {
    TempDir dir;
    TUidlLedger ledger(dir.File("options.uidl"));
    ledger.SetToday(sys_days(2026y / 11 / 1));
    ledger.AddMessageId("<mg.old@x>");
    ledger.SetToday(sys_days(2026y / 11 / 20));
    ledger.AddMessageId("<mg.recent@x>");
    ledger.MarkDone("u:kept", {});
    ledger.MarkRefused("u:refused-kept", "too large");
    ledger.MarkDone("u:gone", {});
    ledger.MarkDone("h:digest", {});
    ledger.SetToday(sys_days(2026y / 12 / 9));

    EXPECT_TRUE(ledger.Prune("u:", {"u:kept", "u:refused-kept", "u:new"}));
    EXPECT_EQ(ledger.StateOf("u:kept"), TUidlLedger::TState::Done);
    EXPECT_EQ(ledger.StateOf("u:refused-kept"), TUidlLedger::TState::Refused);
    EXPECT_EQ(ledger.StateOf("u:gone"), TUidlLedger::TState::Unknown);
    EXPECT_EQ(ledger.StateOf("h:digest"), TUidlLedger::TState::Done);
    EXPECT_FALSE(ledger.HasMessageId("<mg.old@x>"));
    EXPECT_TRUE(ledger.HasMessageId("<mg.recent@x>"));
    EXPECT_FALSE(ledger.Prune("u:", {"u:kept", "u:refused-kept"}));
}

TEST(UidlLedger, TheHeaderDigestTellsMessagesApartByEachField) {
    const std::string base = TUidlLedger::DigestKey("<1@x>", "Mon, 7 Dec 2026", "a@x", 100);
    EXPECT_EQ(base.rfind("h:", 0), 0u);
    EXPECT_EQ(base.size(), 2u + 64u);
    EXPECT_EQ(base, TUidlLedger::DigestKey("<1@x>", "Mon, 7 Dec 2026", "a@x", 100));
    EXPECT_NE(base, TUidlLedger::DigestKey("<2@x>", "Mon, 7 Dec 2026", "a@x", 100));
    EXPECT_NE(base, TUidlLedger::DigestKey("<1@x>", "Tue, 8 Dec 2026", "a@x", 100));
    EXPECT_NE(base, TUidlLedger::DigestKey("<1@x>", "Mon, 7 Dec 2026", "b@x", 100));
    EXPECT_NE(base, TUidlLedger::DigestKey("<1@x>", "Mon, 7 Dec 2026", "a@x", 101));
    // Fields do not run into each other.
    EXPECT_NE(TUidlLedger::DigestKey("ab", "", "", 1), TUidlLedger::DigestKey("a", "b", "", 1));
}

TEST(UidlLedger, RollForwardMovesRecordedFilesInOnceAndForgetsThem) {
    TempDir dir;
    fs::create_directories(dir.File("in/.mailgate-tmp"));
    dir.Write("in/.mailgate-tmp/Temp1.mme", "first");
    dir.Write("in/taken.txt", "someone else's");
    dir.Write("in/.mailgate-tmp/Temp2.mme", "second");
    // Killed between the link into the Inbox and the removal of the
    // temporary name: both names hold the file.
    dir.Write("in/.mailgate-tmp/Temp4.mme", "fourth");
    fs::create_hard_link(dir.File("in/.mailgate-tmp/Temp4.mme"), dir.File("in/four.txt"));
    TUidlLedger ledger(dir.File("options.uidl"));
    ledger.MarkDone("u:a", {{dir.File("in/.mailgate-tmp/Temp1.mme"), "one.txt"},
                            {dir.File("in/.mailgate-tmp/Temp2.mme"), "taken.txt"},
                            // Moved in before the interruption.
                            {dir.File("in/.mailgate-tmp/Temp3.mme"), "three.txt"},
                            {dir.File("in/.mailgate-tmp/Temp4.mme"), "four.txt"}});
    ledger.Save();

    TUidlLedger reloaded(dir.File("options.uidl"));
    ASSERT_EQ(reloaded.Load(), "");
    TMailboxReceiver::RollForward(reloaded);
    EXPECT_EQ(dir.Read("in/one.txt"), "first");
    EXPECT_EQ(dir.Read("in/taken.txt"), "someone else's");
    EXPECT_EQ(dir.Read("in/taken_1.txt"), "second");
    EXPECT_FALSE(dir.Exists("in/three.txt"));
    EXPECT_EQ(dir.Read("in/four.txt"), "fourth");
    EXPECT_EQ(Names(dir.File("in")),
              (std::vector<std::string>{".mailgate-tmp", "four.txt", "one.txt", "taken.txt",
                                        "taken_1.txt"}));
    EXPECT_TRUE(Names(dir.File("in/.mailgate-tmp")).empty());
    EXPECT_TRUE(reloaded.Staged().empty());
    TUidlLedger saved(dir.File("options.uidl"));
    ASSERT_EQ(saved.Load(), "");
    EXPECT_TRUE(saved.Staged().empty());
    EXPECT_EQ(saved.StateOf("u:a"), TUidlLedger::TState::Done);
}

} // namespace
