#include <gtest/gtest.h>

#include <QTimer>
#include <atomic>
#include <future>

#include "net/AccessTokenCache.h"
#include "net/OAuth2Client.h"
#include "support/FakeHttpServer.h"

namespace {

using std::chrono::seconds;
using Reply = FakeHttpServer::Reply;

const char* const kDeviceReply =
    R"({"device_code":"dev-123","user_code":"WDJB-MJHT","verification_uri":"https://example.test/device","interval":5,"expires_in":900})";
const std::string kPending = R"({"error":"authorization_pending"})";

TOAuth2Endpoints EndpointsOf(const FakeHttpServer& server) {
    return {server.Url("/device"), server.Url("/token"), "client-1", "", "mail offline"};
}

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(DeviceSignIn, PollsAsTheServerSaysAndReturnsTheTokens) {
    FakeHttpServer server(
        {{200, kDeviceReply},
         {400, kPending},
         {400, R"({"error":"slow_down"})"},
         {400, kPending},
         {200, R"({"access_token":"at-1","refresh_token":"rt-1","expires_in":3599})"}});
    TOAuth2Client client(EndpointsOf(server));
    const TDeviceSignIn signIn = client.StartDeviceSignIn();
    EXPECT_EQ(signIn.userCode, "WDJB-MJHT");
    EXPECT_EQ(signIn.verificationUrl, "https://example.test/device");
    std::vector<long> pauses;
    const TOAuth2Tokens tokens =
        client.AwaitDeviceSignIn(signIn, [&](seconds pause) { pauses.push_back(pause.count()); });
    EXPECT_EQ(tokens.accessToken, "at-1");
    EXPECT_EQ(tokens.refreshToken, "rt-1");
    EXPECT_EQ(tokens.expiresIn, seconds(3599));
    // slow_down adds five seconds to every later wait (RFC 8628 section 3.5).
    EXPECT_EQ(pauses, (std::vector<long>{5, 5, 10, 10}));
    const std::string poll = "POST /token\ngrant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%"
                             "3Adevice_code&device_code=dev-123&client_id=client-1";
    EXPECT_EQ(server.Requests(),
              (std::vector<std::string>{"POST /device\nclient_id=client-1&scope=mail%20offline",
                                        poll, poll, poll, poll}));
}

TEST(DeviceSignIn, RefusalAndExpiryEndWithClearTexts) {
    {
        FakeHttpServer server(
            {{200, kDeviceReply},
             {400, R"({"error":"access_denied","error_description":"The user said no"})"}});
        TOAuth2Client client(EndpointsOf(server));
        const TDeviceSignIn signIn = client.StartDeviceSignIn();
        EXPECT_EQ(ErrorOf([&] { client.AwaitDeviceSignIn(signIn, [](seconds) {}); }),
                  "Sign-in refused: access_denied: The user said no");
    }
    {
        // Nobody signs in: the code runs out after its expires_in.
        std::vector<Reply> replies{
            {200,
             R"({"device_code":"d","user_code":"U","verification_url":"https://v.test","interval":"10","expires_in":30})"}};
        replies.insert(replies.end(), 5, Reply{400, kPending});
        FakeHttpServer server(replies);
        TOAuth2Client client(EndpointsOf(server));
        const TDeviceSignIn signIn = client.StartDeviceSignIn();
        EXPECT_EQ(signIn.verificationUrl, "https://v.test");
        int polls = 0;
        EXPECT_EQ(ErrorOf([&] { client.AwaitDeviceSignIn(signIn, [&](seconds) { ++polls; }); }),
                  "The sign-in code expired before it was used");
        EXPECT_EQ(polls, 3);
    }
}

TEST(DeviceSignIn, EndpointsAreHttpsOrOnThisMachine) {
    TOAuth2Client client(
        {"http://login.example.test/device", "http://login.example.test/token", "c", "", "s"});
    EXPECT_EQ(ErrorOf([&] { client.StartDeviceSignIn(); }),
              "The OAuth2 endpoint http://login.example.test/device is not https (http only for "
              "a server on this machine)");
}

TEST(DeviceSignIn, AnOversizedOrBrokenReplyIsAnError) {
    FakeHttpServer server({{200, std::string(TOAuth2Client::MaxReplyBytes + 1, ' ')},
                           {200, "not json"},
                           {200, R"({"device_code":"d"})"}});
    TOAuth2Client client(EndpointsOf(server));
    EXPECT_EQ(ErrorOf([&] { client.StartDeviceSignIn(); }),
              server.Url("/device") + " sent a reply larger than 64 KiB");
    EXPECT_EQ(ErrorOf([&] { client.StartDeviceSignIn(); }),
              server.Url("/device") + " sent no usable JSON");
    EXPECT_EQ(ErrorOf([&] { client.StartDeviceSignIn(); }),
              server.Url("/device") + " sent no user_code");
}

struct MemoryStore {
    std::string refreshToken = "rt-1";
    int saves = 0;
    TAccessTokenCache::TStore Store() {
        return {[this] { return refreshToken; },
                [this](const std::string& token) {
                    refreshToken = token;
                    ++saves;
                }};
    }
};

TEST(AccessToken, ReusedUntilItNearsExpiryThenRefreshedAndRotated) {
    FakeHttpServer server(
        {{200, R"({"access_token":"at-1","expires_in":3600})"},
         {200, R"({"access_token":"at-2","refresh_token":"rt-2","expires_in":3600})"}});
    TOAuth2Client client(EndpointsOf(server));
    MemoryStore store;
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    TAccessTokenCache cache(client, store.Store(), [&] { return now; });
    EXPECT_EQ(cache.AccessToken(), "at-1");
    now += std::chrono::minutes(50);
    EXPECT_EQ(cache.AccessToken(), "at-1");
    EXPECT_EQ(server.Requests().size(), 1u);
    now += std::chrono::minutes(9); // less than the margin left
    EXPECT_EQ(cache.AccessToken(), "at-2");
    EXPECT_EQ(store.refreshToken, "rt-2");
    EXPECT_EQ(store.saves, 1);
    EXPECT_EQ(server.Requests(),
              (std::vector<std::string>{
                  "POST /token\ngrant_type=refresh_token&refresh_token=rt-1&client_id=client-1",
                  "POST /token\ngrant_type=refresh_token&refresh_token=rt-1&client_id=client-1"}));
}

TEST(AccessToken, RefusedRefreshTokenAsksForANewSignInWithoutShowingIt) {
    FakeHttpServer server(
        {{400, R"({"error":"invalid_grant","error_description":"rt-1 revoked"})"}});
    TOAuth2Client client(EndpointsOf(server));
    MemoryStore store;
    TAccessTokenCache cache(client, store.Store());
    try {
        cache.AccessToken();
        ADD_FAILURE() << "no error";
    } catch (const ESignInExpired& e) {
        EXPECT_STREQ(e.what(), "Sign-in expired: run mailgate --sign-in");
    }
    store.refreshToken.clear();
    EXPECT_EQ(ErrorOf([&] { cache.AccessToken(); }), "Not signed in: run mailgate --sign-in");
}

} // namespace

TEST(AccessToken, TheEventLoopRunsWhileTheTokenServerIsSlowToAnswer) {
    std::promise<void> ticked;
    std::future<void> tick = ticked.get_future();
    std::atomic<bool> loopRan{false};
    FakeHttpServer server({{200, R"({"access_token":"at-1","expires_in":3600})"}});
    // The server answers only once a timer of the caller's loop has fired,
    // or after 10 s: a refresh that blocked the loop would come back without
    // the tick.
    server.BeforeEachAnswer(
        [&] { loopRan = tick.wait_for(seconds(10)) == std::future_status::ready; });
    TOAuth2Client client(EndpointsOf(server));
    QTimer::singleShot(0, [&] { ticked.set_value(); });
    EXPECT_EQ(client.Refresh("rt-1").accessToken, "at-1");
    EXPECT_TRUE(loopRan) << "the timer waited until the token server had answered";
}
