// The receive step: the window's reports of the POP3 client's events, the
// bounded new attempt after a refused log-in, and a bad message that must
// not block the mailbox.
#include <filesystem>

#include "WindowFixture.h"

namespace {

class Receive : public WindowFixture {
protected:
    // Plays `script` and the closing QUIT in one cycle cut off after 15 s at
    // most; the cycle must report failure and the peer see the script played.
    void RunFailingCycle(std::vector<std::string> script) {
        Append(script, {"C: QUIT", "S: +OK bye"});
        pop3.Add(script);
        TfmOptions& w = Make();
        AbortPop3After(15000);
        EXPECT_EQ(w.RunOnce(), 1);
        ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
        EXPECT_EQ(pop3.Errors(), "");
    }
};

std::vector<std::string> TextMessage(const std::string& text) {
    return {"S: +OK message follows", "S: Subject: note", "S: ", "S: " + text, "S: ."};
}

std::vector<std::string> FileMessage(const std::string& name, const std::string& base64) {
    return {"S: +OK message follows",
            "S: MIME-Version: 1.0",
            "S: Content-Type: multipart/mixed; boundary=\"XX\"",
            "S: ",
            "S: --XX",
            "S: Content-Type: text/plain",
            "S: ",
            "S: see attachment",
            "S: --XX",
            "S: Content-Type: application/octet-stream; name=\"" + name + "\"",
            "S: Content-Transfer-Encoding: base64",
            "S: ",
            "S: " + base64,
            "S: --XX--",
            "S: ."};
}

TEST_F(Receive, MailboxOfThreeIsReportedRetrievedAndDeletedInOrder) {
    WriteSettings(pop3.Port());
    std::vector<std::string> s = LoginLines(3);
    for (int n = 1; n <= 3; ++n) {
        s.push_back("C: RETR " + std::to_string(n));
        Append(s, TextMessage("body " + std::to_string(n)));
        s.push_back("C: DELE " + std::to_string(n));
        s.push_back("S: +OK deleted");
    }
    Append(s, {"C: QUIT", "S: +OK bye"});
    pop3.Add(s);
    TfmOptions& w = Make();
    ASSERT_EQ(w.RunOnce(), 0);
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
    EXPECT_EQ(Printed("status"),
              (std::vector<std::string>{"3 messages in your mailbox", "Receiving...",
                                        "Files To Received", "Receiving...", "Files To Received",
                                        "Receiving...", "Files To Received"}));
    EXPECT_EQ(Printed("tray"),
              (std::vector<std::string>{"0", "1", "2", "0", "2", "0", "2", "0", "1"}));
}

TEST_F(Receive, EmptyMailboxSaysSoAndStillEndsTheSession) {
    WriteSettings(pop3.Port());
    std::vector<std::string> s = LoginLines(0);
    Append(s, {"C: QUIT", "S: +OK bye"});
    pop3.Add(s);
    TfmOptions& w = Make();
    ASSERT_EQ(w.RunOnce(), 0);
    EXPECT_EQ(Printed("status"),
              (std::vector<std::string>{"No messages waiting", "No Messages to Get"}));
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
}

TEST_F(Receive, WrongPasswordMakesOneNewAttemptAndLeavesTheWindowUnconnected) {
    WriteSettings(pop3.Port());
    pop3.Add(RefusedLogInLines());
    pop3.Add(RefusedLogInLines());
    TfmOptions& w = Make();
    w.FormCreate(&w);
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
    // The failing attempt and exactly one new one: no storm of log-ins.
    EXPECT_EQ(pop3.Connections(), 2);
    auto statuses = Printed("status");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Wrong password or Account Name"), 2);
    EXPECT_EQ(w.TrayImageIndex(), 5);
    EXPECT_FALSE(w.Pop3().Connected());
    EXPECT_TRUE(w.Button("btnConnect")->isEnabled());
    EXPECT_FALSE(w.Button("btnDisconnect")->isEnabled());
    EXPECT_TRUE(F("Host")->isEnabled());
}

TEST_F(Receive, NewAttemptThatSucceedsLeavesTheWindowConnected) {
    WriteSettings(pop3.Port());
    pop3.Add({"S: +OK ready", "C: CAPA", "S: -ERR unknown command", "C: USER bob", "S: +OK",
              "C: PASS pw", "S: -ERR try later", "C: QUIT", "S: +OK bye"});
    pop3.Add(LoginLines(0));
    TfmOptions& w = Make();
    w.FormCreate(&w);
    EXPECT_EQ(pop3.Connections(), 2);
    EXPECT_TRUE(w.Pop3().Connected());
    EXPECT_FALSE(w.Button("btnConnect")->isEnabled());
    EXPECT_TRUE(w.Button("btnDisconnect")->isEnabled());
}

TEST_F(Receive, ABadMessageStaysOnTheServerWhileTheOthersComeIn) {
    WriteSettings(pop3.Port());
    // Message 2's file cannot be written: a folder of its name is in the way
    // of every candidate name... so make the Inbox refuse it instead: its
    // name is long enough to pass the checks but the part is cut off.
    std::vector<std::string> s = LoginLines(3);
    s.push_back("C: RETR 1");
    Append(s, FileMessage("a.bin", "AAEC"));
    Append(s, {"C: DELE 1", "S: +OK"});
    s.push_back("C: RETR 2");
    Append(s, {"S: +OK", "S: Content-Type: multipart/mixed; boundary=\"QQ\"",
               "S: ", "S: no boundary line anywhere", "S: ."});
    s.push_back("C: RETR 3");
    Append(s, FileMessage("c.bin", "AwQF"));
    Append(s, {"C: DELE 3", "S: +OK", "C: QUIT", "S: +OK bye"});
    pop3.Add(s);
    TfmOptions& w = Make();
    EXPECT_EQ(w.RunOnce(), 1); // the bad message is an error of this cycle
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
    EXPECT_EQ(dir.Read("in/a.bin"), std::string("\x00\x01\x02", 3));
    EXPECT_EQ(dir.Read("in/c.bin"), std::string("\x03\x04\x05", 3));
    EXPECT_EQ(pop3.Received(0).find("DELE 2"), std::string::npos);
}

// ------------------------------------------------------------ session end

// An addressed Outbox file, old enough to be sent.
void DropOutboxFile(const WindowFixture& f, const std::string& name) {
    std::string line = "HDR";
    for (int i = 2; i <= 28; ++i) {
        line += "\tf" + std::to_string(i);
    }
    f.dir.Write("out/" + name, line + "\ta@x.test\tREST\n");
}

TEST_F(Receive, SessionEndsWithQuitBeforeTheOutboxPassBegins) {
    // The server carries out DELE only at QUIT; a session left open through
    // a long outbox pass would outlive its idle limit and lose them.
    WriteSettings(pop3.Port());
    std::vector<std::string> s = LoginLines(1);
    s.push_back("C: RETR 1");
    Append(s, FileMessage("a.bin", "AAEC"));
    Append(s, {"C: DELE 1", "S: +OK", "C: QUIT", "S: +OK bye"});
    pop3.Add(s);
    DropOutboxFile(*this, "x.dat");
    TfmOptions& w = Make();
    bool quitBeforeSend = false;
    smtp->duringSend = [&] {
        quitBeforeSend = pop3.Received(0).find("QUIT\r\n") != std::string::npos;
    };
    ASSERT_EQ(w.RunOnce(), 0);
    ASSERT_EQ(smtp->sent.size(), 1u);
    EXPECT_TRUE(quitBeforeSend) << pop3.Received(0);
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
    EXPECT_EQ(dir.Read("in/a.bin"), std::string("\x00\x01\x02", 3));
}

TEST_F(Receive, LostConnectionInTheReceiveStepStillSendsTheOutbox) {
    WriteSettings(pop3.Port());
    std::vector<std::string> s = LoginLines(2);
    s.push_back("C: RETR 1");
    Append(s, FileMessage("a.bin", "AAEC"));
    Append(s, {"C: DELE 1", "S: +OK", "C: RETR 2", "S: +OK message follows", "S: Subject: cut",
               "CLOSE"});
    pop3.Add(s);
    DropOutboxFile(*this, "x.dat");
    TfmOptions& w = Make();
    EXPECT_EQ(w.RunOnce(), 1);
    ASSERT_EQ(smtp->sent.size(), 1u);
    EXPECT_FALSE(dir.Exists("out/x.dat"));
    EXPECT_EQ(pop3.Connections(), 1);
}

// ------------------------------------------------------------ failing messages

TEST_F(Receive, StepStopsAfterTwentyFailedMessagesInARow) {
    // A server that claims a million messages and refuses every one.
    WriteSettings(pop3.Port());
    std::vector<std::string> s = LoginLines(1000000);
    for (int n = 1; n <= 20; ++n) {
        Append(s, {"C: RETR " + std::to_string(n), "S: -ERR no such message"});
    }
    ASSERT_NO_FATAL_FAILURE(RunFailingCycle(s));
    EXPECT_EQ(pop3.Received(0).find("RETR 21"), std::string::npos);
    auto statuses = Printed("status");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), TPollCycle::FailedInARowText), 1);
}

TEST_F(Receive, OneGoodMessageStartsTheCountOfFailuresAgain) {
    WriteSettings(pop3.Port());
    std::vector<std::string> s = LoginLines(40);
    for (int n = 1; n <= 39; ++n) {
        s.push_back("C: RETR " + std::to_string(n));
        if (n == 19) {
            Append(s, TextMessage("fine"));
            Append(s, {"C: DELE 19", "S: +OK"});
        } else {
            s.push_back("S: -ERR no such message");
        }
    }
    ASSERT_NO_FATAL_FAILURE(RunFailingCycle(s));
    // 18 failures, one message, then 20 failures: message 40 is not asked for.
    EXPECT_NE(pop3.Received(0).find("RETR 39\r\n"), std::string::npos);
    EXPECT_EQ(pop3.Received(0).find("RETR 40"), std::string::npos);
}

} // namespace
