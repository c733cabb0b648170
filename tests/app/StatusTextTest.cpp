// What the status line says about a session that did not go as planned.
#include "WindowFixture.h"

using StatusText = WindowFixture;

TEST_F(StatusText, ARefusedStatClaimsNoCountOnlyTheServersRefusal) {
    WriteSettings(pop3.Port());
    pop3.Add({"S: +OK ready", "C: CAPA", "S: -ERR unknown command", "C: USER bob", "S: +OK",
              "C: PASS pw", "S: +OK", "C: STAT", "S: -ERR mailbox in use", "C: QUIT",
              "S: +OK bye"});
    TfmOptions& w = Make();
    EXPECT_EQ(w.RunOnce(), 1);
    auto statuses = Printed("status");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "No messages waiting"), 0);
    EXPECT_EQ(std::count_if(statuses.begin(), statuses.end(),
                            [](const std::string& s) {
                                return s.find("messages in your mailbox") != std::string::npos;
                            }),
              0);
    auto errors = Printed("error");
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front().rfind("Exception: -ERR mailbox in use", 0), 0u) << errors.front();
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
}
