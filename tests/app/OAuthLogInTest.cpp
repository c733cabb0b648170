// A leg whose InAuth is xoauth2 logs in with an access token made from the
// refresh token its sign-in left beside the settings: one refresh serves
// every session until the token nears its end, and a refresh token the
// provider no longer takes stops the exchange with a status that says what
// to do.
#include <gtest/gtest.h>

#include "WindowFixture.h"
#include "app/HeadlessRunner.h"
#include "app/SignIn.h"
#include "codec/Codec.h"
#include "platform/SecretFile.h"
#include "support/FakeHttpServer.h"

namespace {

struct OAuthLogIn : HeadlessFixture {
    void SignedIn(const FakeHttpServer& provider) {
        WriteSettings(pop3.Port(), "InAuth=xoauth2\nPassword=\nOAuthTokenUrl=" +
                                       provider.Url("/token") + "\nOAuthClientId=client-1\n");
        WriteSecretFile(TSignIn::TokenFile(ini, TSignIn::TLeg::In), "rt-1");
    }
};

TEST_F(OAuthLogIn, EverySessionUsesTheAccessTokenOneRefreshGave) {
    FakeHttpServer provider({{200, R"({"access_token":"at-1","expires_in":3600})"}});
    SignedIn(provider);
    PollOnceThroughSasl("XOAUTH2", std::string("user=bob\x01"
                                               "auth=Bearer at-1\x01\x01"));
    EXPECT_EQ(provider.Requests(),
              std::vector<std::string>{"POST /token\ngrant_type=refresh_token&refresh_token=rt-1&"
                                       "client_id=client-1"});
}

TEST_F(OAuthLogIn, AnExpiredSignInIsShownAndNoServerIsAsked) {
    FakeHttpServer provider(
        {{400, R"({"error":"invalid_grant"})"}, {400, R"({"error":"invalid_grant"})"}});
    SignedIn(provider);
    THeadlessRunner& r = MakeRunner();
    EXPECT_TRUE(r.Start());
    r.Cycle().PollTick();
    auto statuses = Printed("status");
    EXPECT_EQ(
        std::count(statuses.begin(), statuses.end(), "Sign-in expired: run mailgate --sign-in"), 2);
    EXPECT_EQ(pop3.Connections(), 0);
    for (const std::string& line : console) {
        EXPECT_EQ(line.find("rt-1"), std::string::npos) << "a token was printed";
    }
}

} // namespace
