// Leaving the program: only Exit ends it, and an open session is ended with
// QUIT first.
#include <QCloseEvent>

#include "WindowFixture.h"

namespace {

using Leaving = WindowFixture;

TEST_F(Leaving, ExitSendsQuitToTheOpenSessionAndClosesTheWindow) {
    WriteSettings(pop3.Port());
    std::vector<std::string> s = LoginLines(0);
    Append(s, {"C: QUIT", "S: +OK bye"});
    pop3.Add(s);
    TfmOptions& w = Make(/*headless=*/false);
    w.FormCreate(&w);
    w.show();
    ASSERT_TRUE(w.Pop3().Connected());
    w.Exit1Click(&w);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.Pop3().Connected());
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
    EXPECT_NE(pop3.Received(0).find("QUIT\r\n"), std::string::npos);
}

TEST_F(Leaving, RefusedQuitKeepsTheProgramRunningUntilTheSecondExit) {
    WriteSettings(pop3.Port());
    std::vector<std::string> s = LoginLines(0);
    Append(s, {"C: QUIT", "S: -ERR cannot delete"});
    pop3.Add(s);
    TfmOptions& w = Make(/*headless=*/false);
    w.FormCreate(&w);
    w.show();
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

} // namespace
