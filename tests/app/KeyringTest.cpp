// Passwords and refresh tokens in the keyring, against a keyring in memory:
// "keyring:" in the settings is read afresh for every session, a missing
// entry stops the leg with a status that says which, a password typed in
// the window goes to the keyring (and only then out of the file), and the
// sign-in keeps its refresh token there. No secret reaches a line printed.
#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

#include "FakeKeyring.h"
#include "WindowFixture.h"
#include "app/HeadlessRunner.h"
#include "app/SignIn.h"
#include "platform/SecretFile.h"
#include "support/FakeHttpServer.h"

namespace {

constexpr TSecretKind Token = TSecretKind::RefreshToken;

struct KeyringFixture : HeadlessFixture {
    std::shared_ptr<FakeKeyring> fake = std::make_shared<FakeKeyring>();
    KeyringFixture() { keyring = fake; }

    void WriteAccount(const std::string& password, const std::string& password2,
                      const std::string& extra = "") {
        dir.Write("options.ini", "[Account]\nHost=127.0.0.1\nUserId=bob\nPassword=" + password +
                                     "\nPath=" + inbox +
                                     "\nTime=0\nOutHost=smtp.example.test\nOutId=mailer\n"
                                     "Password2=" +
                                     password2 + "\nOutPath=" + outbox +
                                     "\nOutPort=2525\nInPort=" + std::to_string(pop3.Port()) +
                                     "\nFromAddress=gate@example.test\n" + extra);
    }
    void WriteOutboxFile() {
        std::string header = "HDR";
        for (int i = 2; i <= 28; ++i) {
            header += "\tf";
        }
        dir.Write("out/x.dat", header + "\ta@x.test\tREST\n");
    }
    static std::vector<std::string> Session(const std::string& pass) {
        std::vector<std::string> lines = LoginLines(0, "bob", pass);
        Append(lines, {"C: QUIT", "S: +OK bye"});
        return lines;
    }
    // No printed line and no byte of the settings file holds `secret`.
    void ExpectNowhere(const std::string& secret) const {
        for (const std::string& line : console) {
            EXPECT_EQ(line.find(secret), std::string::npos) << "a secret was printed";
        }
        EXPECT_EQ(dir.Read("options.ini").find(secret), std::string::npos)
            << "a secret is in the settings file";
    }
    size_t Count(const std::string& kind, const std::string& text) const {
        auto lines = Printed(kind);
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
    }
};

// ------------------------------------------------------------ keyring: in the settings

using KeyringSetting = KeyringFixture;

TEST_F(KeyringSetting, EachSessionReadsBothPasswordsAfresh) {
    WriteAccount("keyring:", "keyring:");
    WriteOutboxFile();
    fake->entries[{"127.0.0.1", "bob", TSecretKind::Password}] = "kr-pop-1";
    fake->entries[{"smtp.example.test", "mailer", TSecretKind::Password}] = "kr-smtp";
    pop3.Add(Session("kr-pop-1"));
    pop3.Add(Session("kr-pop-2"));
    THeadlessRunner& r = MakeRunner();
    ASSERT_TRUE(r.Start());
    // Changed in the keyring between two sessions: the next one takes it.
    fake->entries[{"127.0.0.1", "bob", TSecretKind::Password}] = "kr-pop-2";
    r.Cycle().PollTick();
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
    ASSERT_EQ(smtp->sent.size(), 1u);
    EXPECT_TRUE(smtp->SmtpPassword() == "kr-smtp") << "SMTP password from the keyring";
    EXPECT_EQ(Key("Password"), "keyring:");
    EXPECT_EQ(Key("Password2"), "keyring:");
    EXPECT_EQ(r.Cycle().Pop3().Password(), "keyring:") << "what the keyring gave is not kept";
    EXPECT_EQ(fake->stores, 0);
    ExpectNowhere("kr-");
}

TEST_F(KeyringSetting, AMissingPop3EntryIsShownAndNoServerIsAsked) {
    WriteAccount("keyring:", "");
    fake->entries[{"127.0.0.1", "alice", TSecretKind::Password}] = "not-bobs";
    fake->entries[{"127.0.0.1", "bob", Token}] = "not-a-password";
    THeadlessRunner& r = MakeRunner();
    EXPECT_TRUE(r.Start());
    // The poll tries again once, not in a loop of reconnects.
    r.Cycle().PollTick();
    EXPECT_EQ(Count("status", "Keyring: no password for user bob on server 127.0.0.1"), 2u);
    EXPECT_EQ(pop3.Connections(), 0);
    ExpectNowhere("not-");
}

TEST_F(KeyringSetting, AnUnreachableKeyringKeepsTheOutboxForTheNextPass) {
    WriteAccount("pw", "keyring:");
    WriteOutboxFile();
    fake->refusal = "Cannot autolaunch D-Bus without X11 $DISPLAY";
    pop3.Add(Session("pw"));
    pop3.Add(Session("pw"));
    THeadlessRunner& r = MakeRunner();
    ASSERT_TRUE(r.Start());
    r.Cycle().PollTick();
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(Count("status", "Keyring unavailable: Cannot autolaunch D-Bus without X11 $DISPLAY"),
              1u);
    EXPECT_TRUE(smtp->sent.empty());
    EXPECT_TRUE(dir.Exists("out/x.dat"));
}

// ------------------------------------------------------------ the window's Connect button

struct KeyringWindow : KeyringFixture {
    TfmOptions& Typed(const std::string& password, const std::string& password2) {
        TfmOptions& w = Make();
        w.FormCreate(&w);
        FillAll();
        F("password")->setText(QString::fromStdString(password));
        F("OutId")->setText("mailer");
        F("password2")->setText(QString::fromStdString(password2));
        return w;
    }
    // Typed passwords, one log-in: the file must keep them as typed.
    void ConnectExpectingPasswordsInTheFile() {
        pop3.Add(LoginLines(0, "bob", "typed-pop"));
        TfmOptions& w = Typed("typed-pop", "typed-smtp");
        w.btnConnectClick(&w);
        ASSERT_TRUE(w.Pop3().Connected());
        EXPECT_TRUE(Key("Password") == "typed-pop");
        EXPECT_TRUE(Key("Password2") == "typed-smtp");
    }
};

TEST_F(KeyringWindow, TypedPasswordsGoToTheKeyringAndTheFileSaysKeyring) {
    std::vector<std::string> first = Session("typed-pop");
    pop3.Add(first);
    pop3.Add(Session("typed-pop"));
    TfmOptions& w = Typed("typed-pop", "typed-smtp");
    w.btnConnectClick(&w);
    ASSERT_TRUE(w.Pop3().Connected());
    EXPECT_TRUE(fake->Entry("127.0.0.1", "bob") == "typed-pop");
    EXPECT_TRUE(fake->Entry("smtp.example.test", "mailer") == "typed-smtp");
    EXPECT_EQ(Key("Password"), "keyring:");
    EXPECT_EQ(Key("Password2"), "keyring:");
    EXPECT_EQ(F("password")->text(), "keyring:");
    EXPECT_EQ(F("password2")->text(), "keyring:");
    EXPECT_EQ(fake->stores, 2);

    // The fields still say "keyring:": a new log-in reads the keyring and
    // stores nothing - least of all "keyring:" as the password.
    w.btnDisconnectClick(&w);
    w.btnConnectClick(&w);
    ASSERT_TRUE(w.Pop3().Connected());
    EXPECT_EQ(fake->stores, 2);
    EXPECT_TRUE(fake->Entry("127.0.0.1", "bob") == "typed-pop");
    EXPECT_TRUE(fake->Entry("smtp.example.test", "mailer") == "typed-smtp");
    EXPECT_EQ(Key("Password"), "keyring:");
    ExpectNowhere("typed-");
}

TEST_F(KeyringWindow, WithoutAKeyringTheFileKeepsThePasswordsAsBefore) {
    fake->available = false;
    ConnectExpectingPasswordsInTheFile();
    EXPECT_TRUE(F("password")->text() == "typed-pop");
    EXPECT_EQ(fake->stores, 0);
    EXPECT_TRUE(fake->entries.empty());
}

TEST_F(KeyringWindow, AKeyringThatRefusesLeavesThePasswordsInTheFile) {
    fake->refusal = "Cannot create an item in a locked collection";
    ConnectExpectingPasswordsInTheFile();
    const std::string said = "Keyring unavailable: Cannot create an item in a locked collection; "
                             "the password stays in the settings file";
    EXPECT_EQ(Count("error", said), 2u);
    for (const std::string& line : console) {
        EXPECT_EQ(line.find("typed-"), std::string::npos) << "a secret was printed";
    }
}

// ------------------------------------------------------------ refresh tokens

struct KeyringTokens : KeyringFixture {
    std::string tokenFile = TSignIn::TokenFile(ini, TSignIn::TLeg::In);
    void SignedIn(const FakeHttpServer& provider) {
        WriteAccount("", "",
                     "InAuth=xoauth2\nOAuthTokenUrl=" + provider.Url("/token") +
                         "\nOAuthClientId=client-1\n");
    }
    static std::string Refresh(const std::string& token) {
        return "POST /token\ngrant_type=refresh_token&refresh_token=" + token +
               "&client_id=client-1";
    }
};

TEST_F(KeyringTokens, WithoutAFileTheKeyringsTokenIsUsedAndARotatedOneGoesBackThere) {
    FakeHttpServer provider(
        {{200, R"({"access_token":"at-1","refresh_token":"rt-k2","expires_in":3600})"}});
    SignedIn(provider);
    fake->entries[{"127.0.0.1", "bob", Token}] = "rt-k1";
    PollOnceThroughSasl("XOAUTH2", std::string("user=bob\x01"
                                               "auth=Bearer at-1\x01\x01"));
    EXPECT_EQ(provider.Requests(), std::vector<std::string>{Refresh("rt-k1")});
    EXPECT_TRUE(fake->Entry("127.0.0.1", "bob", Token) == "rt-k2");
    EXPECT_FALSE(dir.Exists("options.in.token"));
    ExpectNowhere("rt-k");
}

TEST_F(KeyringTokens, AFileComesBeforeTheKeyringAndKeepsItsRotatedToken) {
    FakeHttpServer provider(
        {{200, R"({"access_token":"at-1","refresh_token":"rt-f2","expires_in":3600})"}});
    SignedIn(provider);
    WriteSecretFile(tokenFile, "rt-f1");
    fake->entries[{"127.0.0.1", "bob", Token}] = "rt-k1";
    PollOnceThroughSasl("XOAUTH2", std::string("user=bob\x01"
                                               "auth=Bearer at-1\x01\x01"));
    EXPECT_EQ(provider.Requests(), std::vector<std::string>{Refresh("rt-f1")});
    EXPECT_TRUE(ReadSecretFile(tokenFile) == "rt-f2");
    EXPECT_TRUE(fake->Entry("127.0.0.1", "bob", Token) == "rt-k1");
}

// Signed in for both legs at once, both hold one refresh token; a provider
// that rotates them refuses it once one leg used it, so the other leg's copy
// must follow - and only a copy of that very token. Kept in the keyring or
// in the files; the other leg holding the same token or another.
struct OtherLegsToken : KeyringTokens, ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(OtherLegsToken, FollowsARotationOfTheSameTokenOnly) {
    const auto [inKeyring, same] = GetParam();
    const std::string outFile = TSignIn::TokenFile(ini, TSignIn::TLeg::Out);
    FakeHttpServer provider(
        {{200, R"({"access_token":"at-1","refresh_token":"rt-s2","expires_in":3600})"}});
    SignedIn(provider);
    const std::string theirs = same ? "rt-s1" : "rt-o1";
    if (inKeyring) {
        fake->entries[{"127.0.0.1", "bob", Token}] = "rt-s1";
        fake->entries[{"smtp.example.test", "mailer", Token}] = theirs;
    } else {
        WriteSecretFile(tokenFile, "rt-s1");
        WriteSecretFile(outFile, theirs);
    }
    PollOnceThroughSasl("XOAUTH2", std::string("user=bob\x01"
                                               "auth=Bearer at-1\x01\x01"));
    const std::string outNow =
        inKeyring ? fake->Entry("smtp.example.test", "mailer", Token) : ReadSecretFile(outFile);
    EXPECT_TRUE(outNow == (same ? "rt-s2" : "rt-o1")) << "the SMTP leg's token";
}

INSTANTIATE_TEST_SUITE_P(KeyringOrFiles, OtherLegsToken,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "Keyring" : "Files") +
                                    (std::get<1>(info.param) ? "SameToken" : "OtherToken");
                         });

// ------------------------------------------------------------ --sign-in

struct KeyringSignIn : ::testing::Test {
    TempDir dir;
    std::string settings = dir.File("options.ini");
    FakeKeyring fake;
    TSignIn::TKeyringUse use{fake, {"pop.test", "bob"}, {"smtp.test", "mailer"}};
    std::ostringstream out, err;

    int SignIn(const std::string& legs) {
        FakeHttpServer server(
            {{200, R"({"device_code":"d","user_code":"U","verification_uri":"https://v"})"},
             {200, R"({"access_token":"at-secret","refresh_token":"rt-secret"})"}});
        return TSignIn::Run(
            {server.Url("/device"), server.Url("/token"), "c", "", ""}, legs, settings, out, err,
            [](std::chrono::seconds) {}, &use);
    }
    std::string Signed() const {
        const std::string text = out.str();
        return text.substr(text.find("Signed in"));
    }
};

TEST_F(KeyringSignIn, TheTokenGoesToTheKeyringAndAnOldFileIsRemoved) {
    WriteSecretFile(dir.File("options.in.token"), "rt-old");
    ASSERT_EQ(SignIn("both"), 0) << err.str();
    EXPECT_TRUE(fake.Entry("pop.test", "bob", Token) == "rt-secret");
    EXPECT_TRUE(fake.Entry("smtp.test", "mailer", Token) == "rt-secret");
    EXPECT_FALSE(dir.Exists("options.in.token")) << "a file would be read before the keyring";
    EXPECT_FALSE(dir.Exists("options.out.token"));
    EXPECT_EQ(Signed(), "Signed in; the refresh token is kept in the keyring (user bob on server "
                        "pop.test) the keyring (user mailer on server smtp.test)\n");
    EXPECT_EQ(out.str().find("secret"), std::string::npos);
}

TEST_F(KeyringSignIn, WithoutAKeyringThatTakesItTheTokenGoesToTheFile) {
    fake.available = false;
    ASSERT_EQ(SignIn("in"), 0) << err.str();
    EXPECT_TRUE(ReadSecretFile(dir.File("options.in.token")) == "rt-secret");
    EXPECT_EQ(Signed(),
              "Signed in; the refresh token is kept in " + dir.File("options.in.token") + "\n");
    fake.available = true;
    use.out.user = TSettings::Unset; // a leg that names no account
    ASSERT_EQ(SignIn("out"), 0) << err.str();
    EXPECT_TRUE(ReadSecretFile(dir.File("options.out.token")) == "rt-secret");
    EXPECT_EQ(fake.stores, 0);
    fake.refusal = "the prompt was dismissed";
    ::unlink(dir.File("options.in.token").c_str());
    ASSERT_EQ(SignIn("in"), 0) << err.str();
    EXPECT_TRUE(ReadSecretFile(dir.File("options.in.token")) == "rt-secret");
    EXPECT_EQ(err.str(),
              "Keyring unavailable: the prompt was dismissed; the refresh token goes to a file\n");
}

} // namespace
