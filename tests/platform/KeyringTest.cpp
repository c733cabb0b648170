// The real keyring through libsecret, on the throwaway session bus and
// keyring daemon of tests/platform/with-keyring (ctest runs it so). Run any
// other way it skips: it would read and change the keyring of whoever runs it.
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>

#include "app/HeadlessRunner.h"
#include "app/WindowFixture.h"
#include "platform/Keyring.h"

namespace {

constexpr TSecretKind Password = TSecretKind::Password;

struct RealKeyring : ::testing::Test {
    TKeyring keyring;
    void SetUp() override {
        if (std::getenv("MAILGATE_THROWAWAY_KEYRING") == nullptr) {
            GTEST_SKIP() << "not run through tests/platform/with-keyring: it would use your own "
                            "keyring";
        }
        ASSERT_TRUE(keyring.Available()) << "with-keyring started a keyring, yet none answers";
    }
};

TEST_F(RealKeyring, StoreLookUpReplaceAndClear) {
    keyring.Store("pop.round.test", "bob", Password, "s3cret-1");
    std::optional<std::string> found = keyring.Lookup("pop.round.test", "bob", Password);
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(*found == "s3cret-1");
    keyring.Store("pop.round.test", "bob", Password, "s3cret-2 with blanks and \xc3\xa9");
    EXPECT_TRUE(keyring.Read("pop.round.test", "bob", Password) ==
                "s3cret-2 with blanks and \xc3\xa9")
        << "a second store replaces the secret";
    EXPECT_TRUE(keyring.Clear("pop.round.test", "bob", Password));
    EXPECT_FALSE(keyring.Lookup("pop.round.test", "bob", Password).has_value());
    EXPECT_FALSE(keyring.Clear("pop.round.test", "bob", Password)) << "nothing left to clear";
}

TEST_F(RealKeyring, UsersServersAndKindsAreKeptApartAndAMissingOneIsSaid) {
    keyring.Store("shared.test", "alice", Password, "alice-pw");
    keyring.Store("shared.test", "bob", Password, "bob-pw");
    keyring.Store("shared.test", "bob", TSecretKind::RefreshToken, "bob-rt");
    keyring.Store("other.test", "bob", Password, "other-pw");
    EXPECT_TRUE(keyring.Read("shared.test", "alice", Password) == "alice-pw");
    EXPECT_TRUE(keyring.Read("shared.test", "bob", Password) == "bob-pw");
    EXPECT_TRUE(keyring.Read("shared.test", "bob", TSecretKind::RefreshToken) == "bob-rt");
    EXPECT_TRUE(keyring.Read("other.test", "bob", Password) == "other-pw");
    EXPECT_TRUE(keyring.Clear("shared.test", "bob", Password));
    EXPECT_TRUE(keyring.Read("shared.test", "alice", Password) == "alice-pw");
    EXPECT_TRUE(keyring.Read("shared.test", "bob", TSecretKind::RefreshToken) == "bob-rt");
    EXPECT_FALSE(keyring.Lookup("shared.test", "bob", Password).has_value());
    try {
        keyring.Read("nowhere.test", "bob", TSecretKind::RefreshToken);
        ADD_FAILURE() << "no EKeyringError";
    } catch (const EKeyringError& e) {
        EXPECT_STREQ(e.what(), "Keyring: no refresh token for user bob on server nowhere.test");
    }
}

// "Password=keyring:" read by the gateway itself, with the keyring it makes
// when nobody hands it one.
struct KeyringSetting : HeadlessFixture {
    void SetUp() override {
        if (std::getenv("MAILGATE_THROWAWAY_KEYRING") == nullptr) {
            GTEST_SKIP() << "not run through tests/platform/with-keyring";
        }
    }
};

TEST_F(KeyringSetting, TheGatewayLogsInWithThePasswordFromTheKeyring) {
    TKeyring().Store("127.0.0.1", "bob", Password, "from-the-keyring");
    dir.Write("options.ini",
              "[Account]\nHost=127.0.0.1\nUserId=bob\nPassword=keyring:\nPath=" + inbox +
                  "\nTime=0\nOutHost=smtp.example.test\nOutId=\n"
                  "Password2=\nOutPath=" +
                  outbox + "\nOutPort=2525\nInPort=" + std::to_string(pop3.Port()) +
                  "\nFromAddress=gate@example.test\n");
    std::vector<std::string> session = LoginLines(0, "bob", "from-the-keyring");
    Append(session, {"C: QUIT", "S: +OK bye"});
    THeadlessRunner& r = StartAndPollOnce(session);
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(pop3.Errors(), "");
    for (const std::string& line : console) {
        EXPECT_EQ(line.find("from-the-keyring"), std::string::npos) << "a secret was printed";
    }

    // Gone from the keyring: the next poll says so and asks no server.
    TKeyring().Clear("127.0.0.1", "bob", Password);
    const int connections = pop3.Connections();
    r.Cycle().PollTick();
    const auto statuses = Printed("status");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(),
                         "Keyring: no password for user bob on server 127.0.0.1"),
              1);
    EXPECT_EQ(pop3.Connections(), connections);
}

TEST_F(KeyringSetting, APasswordTypedInTheWindowGoesToTheKeyring) {
    std::vector<std::string> session = LoginLines(0, "carol", "typed-in-window");
    pop3.Add(session);
    TfmOptions& w = Make();
    w.FormCreate(&w);
    FillAll();
    F("UserId")->setText("carol");
    F("password")->setText("typed-in-window");
    w.btnConnectClick(&w);
    ASSERT_TRUE(w.Pop3().Connected());
    EXPECT_TRUE(TKeyring().Read("127.0.0.1", "carol", Password) == "typed-in-window");
    EXPECT_EQ(Key("Password"), "keyring:");
    EXPECT_EQ(dir.Read("options.ini").find("typed-in-window"), std::string::npos);
}

} // namespace
