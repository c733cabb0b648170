// Leaving the program: only Exit ends it, and an open session is ended with
// QUIT first.
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QTimer>

#include "WindowFixture.h"

namespace {

struct Leaving : WindowFixture {
    // A shown window whose start-up session answers QUIT with `quitReply`.
    TfmOptions& ShownWithSession(const std::string& quitReply) {
        WriteSettings(pop3.Port());
        std::vector<std::string> s = LoginLines(0);
        Append(s, {"C: QUIT", "S: " + quitReply});
        pop3.Add(s);
        TfmOptions& w = Make(/*headless=*/false);
        w.FormCreate(&w);
        w.show();
        return w;
    }
};

TEST_F(Leaving, ExitSendsQuitToTheOpenSessionAndClosesTheWindow) {
    TfmOptions& w = ShownWithSession("+OK bye");
    ASSERT_TRUE(w.Pop3().Connected());
    w.Exit1Click(&w);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.Pop3().Connected());
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
    EXPECT_NE(pop3.Received(0).find("QUIT\r\n"), std::string::npos);
}

TEST_F(Leaving, RefusedQuitKeepsTheProgramRunningUntilTheSecondExit) {
    TfmOptions& w = ShownWithSession("-ERR cannot delete");
    w.Exit2Click(&w);
    EXPECT_TRUE(w.isVisible()); // reported; the window stays
    EXPECT_FALSE(w.Pop3().Connected());
    w.Exit2Click(&w);
    EXPECT_FALSE(w.isVisible());
}

TEST_F(Leaving, CloseFromTheWindowSystemOnlyPutsTheWindowAway) {
    WriteSettings(pop3.Port());
    pop3.Add(LoginLines(0));
    TfmOptions& w = Make(/*headless=*/false);
    w.FormCreate(&w);
    w.show();
    // A close that does not come from Exit (the close box) leaves the
    // program and its polling running.
    QCloseEvent close;
    QCoreApplication::sendEvent(&w, &close);
    EXPECT_FALSE(close.isAccepted());
    EXPECT_TRUE(w.Pop3().Connected());
    EXPECT_TRUE(w.PollTimer().Enabled());
}

TEST_F(Leaving, ExitWhileAPollWaitsOnASilentServerEndsThePollAndTheProgram) {
    WriteSettings(pop3.Port(), "InTimeOut=2\n");
    std::vector<std::string> s = LoginLines(0);
    Append(s, {"C: QUIT", "S: +OK bye"});
    pop3.Add(s); // the start-up session, ended by the poll
    std::vector<std::string> poll = LoginLines(1);
    Append(poll, {"C: RETR 1", "HANG"}); // the poll's server stops answering
    pop3.Add(poll);
    std::string header = "HDR";
    for (int i = 2; i <= 28; ++i) {
        header += "\tf";
    }
    dir.Write("out/x.dat", header + "\ta@x.test\tREST\n");
    TfmOptions& w = Make(/*headless=*/false);
    w.FormCreate(&w);
    w.show();
    AbortPop3After(15000);
    QTimer::singleShot(300, &w, [&w] { w.Exit1Click(&w); });
    QElapsedTimer elapsed;
    elapsed.start();
    w.Timer1Timer(&w);
    EXPECT_LT(elapsed.elapsed(), 15000);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.Pop3().Connected());
    // Leaving: nothing new is started after the Exit.
    EXPECT_TRUE(smtp->sent.empty());
    EXPECT_EQ(pop3.Connections(), 2);
}

TEST_F(Leaving, QuitAtExitWaitsNoLongerThanTheReplyTimeOut) {
    WriteSettings(pop3.Port(), "InTimeOut=1\n");
    std::vector<std::string> s = LoginLines(0);
    s.push_back("HANG"); // the QUIT gets no answer
    pop3.Add(s);
    TfmOptions& w = Make(/*headless=*/false);
    w.FormCreate(&w);
    w.show();
    ASSERT_TRUE(w.Pop3().Connected());
    AbortPop3After(15000);
    QElapsedTimer elapsed;
    elapsed.start();
    w.Exit1Click(&w);
    EXPECT_LT(elapsed.elapsed(), 15000);
    EXPECT_FALSE(w.isVisible()); // one Exit is enough
    EXPECT_FALSE(w.Pop3().Connected());
    EXPECT_EQ(w.StatusText(), "Connection Timed Out (POP3)");
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_NE(pop3.Received(0).find("QUIT\r\n"), std::string::npos);
}

} // namespace
