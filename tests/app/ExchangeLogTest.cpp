// The exchange log: its lines, its file through log rotation, where the
// settings put it - and, over a whole poll cycle against the scripted POP3
// server, the events of a receive step and an outbox pass. Also the progress
// texts and how often a run without window prints them.
#include <QCryptographicHash>
#include <regex>
#include <sstream>
#include <sys/stat.h>

#include "WindowFixture.h"
#include "app/ExchangeLog.h"
#include "app/Progress.h"
#include "pop3/UidlLedger.h"

namespace {

// Each line's fields after its time stamp, which must have the ISO 8601 form.
std::vector<std::vector<std::string>> Logged(const std::string& text) {
    static const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line + '\t'); // keeps an empty last field
        for (std::string cell; std::getline(cells, cell, '\t');) {
            fields.push_back(cell);
        }
        EXPECT_TRUE(std::regex_match(fields.front(), stamp)) << line;
        lines.emplace_back(fields.begin() + 1, fields.end());
    }
    return lines;
}

std::string Sha16(const std::string& data) {
    return QCryptographicHash::hash(QByteArray::fromStdString(data), QCryptographicHash::Sha256)
        .toHex()
        .left(16)
        .toStdString();
}

TEST(ExchangeLog, LinesCarryTheEventAndItsFieldsMadeSafeAndBounded) {
    TempDir dir;
    dir.Write("a.bin", std::string("\x00\x01\x02\x03", 4));
    TExchangeLog log(dir.File("x.log"));
    const TExchangeLog::TFileFacts facts = TExchangeLog::FactsOf(dir.File("a.bin"));
    log.Received(facts, "uid-1", "<m@x>", "Anna\tSmith\r\n <anna@x>");
    log.Sent(facts, "b@x", "<mg.1@x>", "250 2.0.0 Ok: queued as 4Xy");
    log.Error("receive", std::string(1000, 'y'));
    // A cut that would split "é" (two bytes at 299 and 300) drops it whole.
    log.Skipped(4, "uid-4", "", std::string(299, 'z') + "\xC3\xA9");
    log.Refused(5, "h:abc", "<r@x>", "Message 5 is larger than 9 bytes: left on the server");

    const auto lines = Logged(dir.Read("x.log"));
    ASSERT_EQ(lines.size(), 5u) << dir.Read("x.log");
    EXPECT_EQ(lines[0],
              (std::vector<std::string>{"received", "a.bin", "4", Sha16(std::string("\0\1\2\3", 4)),
                                        "uid-1", "<m@x>", "Anna Smith   <anna@x>"}));
    EXPECT_EQ(lines[1],
              (std::vector<std::string>{"sent", "a.bin", "4", Sha16(std::string("\0\1\2\3", 4)),
                                        "b@x", "<mg.1@x>", "250 2.0.0 Ok: queued as 4Xy"}));
    EXPECT_EQ(lines[2], (std::vector<std::string>{"error", "receive", std::string(300, 'y')}));
    EXPECT_EQ(lines[3], (std::vector<std::string>{"skipped", "message 4", "uid-4", "",
                                                  std::string(299, 'z')}));
    EXPECT_EQ(lines[4],
              (std::vector<std::string>{"refused", "message 5", "h:abc", "<r@x>",
                                        "Message 5 is larger than 9 bytes: left on the server"}));
}

TEST(ExchangeLog, FileIsTheOwnersAloneAndFollowsRotation) {
    TempDir dir;
    const std::string path = dir.File("x.log");
    TExchangeLog log(path);
    log.Error("one", "1");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // What a file holds: the "what" of its one line.
    const auto only = [&](const std::string& name) {
        const auto lines = Logged(dir.Read(name));
        return lines.size() == 1 ? lines[0][1] : std::to_string(lines.size()) + " lines";
    };
    // logrotate "create": moved away, a new file at the path takes the next lines.
    ASSERT_EQ(::rename(path.c_str(), dir.File("x.log.1").c_str()), 0);
    log.Error("two", "2");
    EXPECT_EQ(only("x.log.1"), "one");
    EXPECT_EQ(only("x.log"), "two");
    // Deleted.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    log.Error("three", "3");
    EXPECT_EQ(only("x.log"), "three");
    // logrotate "copytruncate": the next line starts the emptied file, no hole before it.
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    log.Error("four", "4");
    EXPECT_EQ(dir.Read("x.log").find('\0'), std::string::npos);
    EXPECT_EQ(only("x.log"), "four");
}

TEST(ExchangeLog, AFileThatCannotBeWrittenIsToldOnceAndNothingRaised) {
    TempDir dir;
    TExchangeLog log(dir.File("no-such-folder/x.log"));
    std::vector<std::string> told;
    log.OnWriteFailed = [&](const std::string& text) { told.push_back(text); };
    log.Error("one", "1");
    log.Error("two", "2");
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], "Cannot write the exchange log " + dir.File("no-such-folder/x.log") +
                           ": No such file or directory");
    ::mkdir(dir.File("no-such-folder").c_str(), 0700);
    log.Error("three", "3");
    EXPECT_EQ(Logged(dir.Read("no-such-folder/x.log")).size(), 1u);
}

TEST(ExchangeLog, SettingsNameTheTarget) {
    TempDir dir;
    const std::string ini = dir.File("options.ini");
    const auto target = [&](const std::string& line) {
        dir.Write("options.ini", "[Account]\nHost=h\n" + line);
        return TSettings::Load(ini).LogTarget(ini);
    };
    EXPECT_EQ(target(""), dir.File("options.log"));
    EXPECT_EQ(target("LogFile=\n"), "");
    EXPECT_EQ(target("LogFile=syslog\n"), "syslog");
    EXPECT_EQ(target("LogFile=logs/gate.log\n"), dir.File("logs/gate.log"));
    EXPECT_EQ(target("LogFile=/var/log/gate.log\n"), "/var/log/gate.log");

    // Off: nothing is written anywhere.
    TExchangeLog off(target("LogFile=\n"));
    EXPECT_FALSE(off.Enabled());
    off.Error("one", "1");
    EXPECT_FALSE(dir.Exists("options.log"));
}

// ------------------------------------------------------------ a whole cycle

class ExchangeLogCycle : public WindowFixture {};

std::vector<std::string> Message(const std::vector<std::string>& header,
                                 const std::vector<std::string>& body) {
    std::vector<std::string> lines = {"S: +OK message follows"};
    for (const std::string& line : header) {
        lines.push_back("S: " + line);
    }
    lines.push_back("S: ");
    for (const std::string& line : body) {
        lines.push_back("S: " + line);
    }
    lines.push_back("S: .");
    return lines;
}

TEST_F(ExchangeLogCycle, ReceiveAndSendAreLoggedWithTheirFieldsAndNoSecret) {
    dir.Write("options.ini", "[Account]\nHost=127.0.0.1\nInPort=" + std::to_string(pop3.Port()) +
                                 "\nUserId=bob\nPassword=Pop3-Secret-7\nPath=" + inbox +
                                 "/\nTime=0\nOutHost=smtp.example.test\nOutPort=2525\n"
                                 "OutId=gate\nPassword2=Smtp-Secret-9\nOutPath=" +
                                 outbox + "\nFromAddress=gate@example.test\n");
    {
        TUidlLedger ledger(TUidlLedger::PathFor(ini));
        ledger.MarkDone(TUidlLedger::UidlKey("uid-1"), {});
        ledger.Save();
    }
    std::vector<std::string> s = {
        "S: +OK ready", "C: CAPA",     "S: +OK",        "S: UIDL",
        "S: .",         "C: USER bob", "S: +OK",        "C: PASS Pop3-Secret-7",
        "S: +OK",       "C: STAT",     "S: +OK 3 9000", "C: UIDL",
        "S: +OK",       "S: 1 uid-1",  "S: 2 uid-2",    "S: 3 uid-3",
        "S: .",         "C: DELE 1",   "S: +OK",        "C: RETR 2"};
    Append(s, Message({"Message-ID: <m2@example.test>", "From: Anna Smith <anna@example.test>",
                       "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"XX\""},
                      {"--XX", "Content-Type: application/octet-stream; name=\"report.bin\"",
                       "Content-Transfer-Encoding: base64", "", "AAECAw==", "--XX--"}));
    Append(s, {"C: DELE 2", "S: +OK", "C: RETR 3"});
    Append(s, Message({"Message-ID: <m3@example.test>", "From: big@example.test"},
                      std::vector<std::string>(100, std::string(60, 'x'))));
    Append(s, {"C: QUIT", "S: +OK bye"});
    pop3.Add(s);
    // The next poll: the refused message is not fetched, nor logged again.
    pop3.Add({"S: +OK ready", "C: CAPA", "S: +OK", "S: UIDL", "S: .", "C: USER bob", "S: +OK",
              "C: PASS Pop3-Secret-7", "S: +OK", "C: STAT", "S: +OK 1 6200", "C: UIDL", "S: +OK",
              "S: 1 uid-3", "S: .", "C: QUIT", "S: +OK bye"});
    std::string header = "HDR";
    for (int i = 2; i <= 28; ++i) {
        header += "\tf" + std::to_string(i);
    }
    const std::string outboxFile = header + "\ta@x.test\tREST\nbody\n";
    dir.Write("out/x.dat", outboxFile);

    TfmOptions& w = Make();
    w.Pop3().SetMaxMessageBytes(2000);
    EXPECT_EQ(w.RunOnce(), 1); // the refused message is an error of the cycle
    ASSERT_EQ(smtp->sent.size(), 1u);

    const auto lines = Logged(dir.Read("options.log"));
    ASSERT_EQ(lines.size(), 4u) << dir.Read("options.log");
    EXPECT_EQ(lines[0],
              (std::vector<std::string>{"skipped", "message 1", "uid-1", "",
                                        "Message 1 is in the ledger: deleted without extracting it "
                                        "again"}));
    EXPECT_EQ(lines[1], (std::vector<std::string>{
                            "received", "report.bin", "4", Sha16(std::string("\0\1\2\3", 4)),
                            "uid-2", "<m2@example.test>", "Anna Smith <anna@example.test>"}));
    const std::vector<std::string>& refused = lines[2];
    ASSERT_EQ(refused.size(), 5u) << dir.Read("options.log");
    EXPECT_EQ(std::vector<std::string>(refused.begin(), refused.begin() + 4),
              (std::vector<std::string>{"refused", "message 3", "uid-3", "<m3@example.test>"}));
    EXPECT_NE(refused[4].find("larger than 2000 bytes"), std::string::npos) << refused[4];
    EXPECT_EQ(lines[3], (std::vector<std::string>{
                            "sent", "x.dat", std::to_string(outboxFile.size()), Sha16(outboxFile),
                            "a@x.test", smtp->sent[0].messageId, "250 2.0.0 Ok: queued as 4Xy"}));

    EXPECT_EQ(w.RunOnce(), 0);
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
    const std::string text = dir.Read("options.log");
    EXPECT_EQ(Logged(text).size(), 4u) << text;
    for (const char* secret : {"Pop3-Secret-7", "Smtp-Secret-9"}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << "a password is in the log";
    }
}

// ------------------------------------------------------------ progress

TEST(Progress, TextsSayHowFarEachLegIs) {
    using TLeg = TExchangeProgress::TLeg;
    EXPECT_EQ(ProgressText({TLeg::Receiving, 37, 200, 13002342}), "Receiving 37 of 200 (12.4 MiB)");
    EXPECT_EQ(ProgressText({TLeg::Receiving, 1, 1, 0}), "Receiving 1 of 1 (0.0 MiB)");
    EXPECT_EQ(ProgressText({TLeg::Sending, 3, 10, 0}), "Sending 3 of 10");
}

TEST(Progress, HeadlessPrintsAtMostOneLinePerInterval) {
    std::vector<std::string> printed;
    TConsoleLog console([&](const std::string& line) { printed.push_back(line); });
    auto now = std::chrono::steady_clock::time_point{};
    TProgressLines lines(console, [&] { return now; });
    TExchangeProgress p{TExchangeProgress::TLeg::Receiving, 0, 100, 0};
    // A message every 400 ms for 12 s: lines at 5 s and at 10 s only.
    for (int i = 1; i <= 30; ++i) {
        p.done = i;
        lines.Progress(p);
        now += std::chrono::milliseconds(400);
    }
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_NE(printed[0].find(" progress: Receiving 14 of 100 (0.0 MiB)"), std::string::npos)
        << printed[0];
    EXPECT_NE(printed[1].find(" progress: Receiving 27 of 100"), std::string::npos) << printed[1];

    // A new exchange starts its interval anew: a short one prints nothing.
    lines.Ended();
    now += std::chrono::seconds(60);
    lines.Progress({TExchangeProgress::TLeg::Sending, 1, 2, 0});
    now += std::chrono::seconds(1);
    lines.Progress({TExchangeProgress::TLeg::Sending, 2, 2, 0});
    EXPECT_EQ(printed.size(), 2u);
}

} // namespace
