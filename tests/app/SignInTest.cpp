#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

#include "app/SignIn.h"
#include "platform/SecretFile.h"
#include "support/FakeHttpServer.h"
#include "support/TempDir.h"

namespace {

TEST(SignIn, DeviceSignInKeepsTheRefreshTokenForEachLegAndPrintsNoToken) {
    FakeHttpServer server(
        {{200,
          R"({"device_code":"dev-1","user_code":"ABCD-EFGH","verification_uri":"https://example.test/device","interval":5})"},
         {400, R"({"error":"authorization_pending"})"},
         {200, R"({"access_token":"at-secret","refresh_token":"rt-secret","expires_in":3600})"}});
    TempDir dir;
    const std::string settings = dir.File("options.ini");
    std::ostringstream out, err;
    const int status =
        TSignIn::Run({server.Url("/device"), server.Url("/token"), "client-1", "", "mail"}, "both",
                     settings, out, err, [](std::chrono::seconds) {});
    EXPECT_EQ(status, 0) << err.str();
    EXPECT_EQ(out.str(), "To sign in, open https://example.test/device and enter the code "
                         "ABCD-EFGH\nWaiting for the sign-in...\nSigned in; the refresh token "
                         "is kept in " +
                             dir.File("options.in.token") + " " + dir.File("options.out.token") +
                             "\n");
    for (const char* leg : {"options.in.token", "options.out.token"}) {
        EXPECT_TRUE(ReadSecretFile(dir.File(leg)) == "rt-secret") << leg;
        struct stat st {};
        ASSERT_EQ(::stat(dir.File(leg).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    EXPECT_EQ(out.str().find("secret"), std::string::npos);
}

TEST(SignIn, MissingSettingsAndFailuresEndWithAStatusAndATextOnly) {
    TempDir dir;
    const std::string settings = dir.File("options.ini");
    std::ostringstream out, err;
    EXPECT_EQ(TSignIn::Run({"https://d.test", "", "c", "", ""}, "in", settings, out, err,
                           [](std::chrono::seconds) {}),
              2);
    EXPECT_EQ(err.str(), "OAuthTokenUrl is not set in " + settings + "\n");
    err.str("");
    EXPECT_EQ(TSignIn::Run({"https://d.test", "https://t.test", "c", "", ""}, "sideways", settings,
                           out, err, [](std::chrono::seconds) {}),
              2);
    EXPECT_EQ(err.str(), "--sign-in takes in, out or both, not \"sideways\"\n");
    FakeHttpServer server(
        {{200, R"({"device_code":"d","user_code":"U","verification_uri":"https://v"})"},
         {400, R"({"error":"access_denied"})"}});
    err.str("");
    EXPECT_EQ(TSignIn::Run({server.Url("/device"), server.Url("/token"), "c", "", ""}, "out",
                           settings, out, err, [](std::chrono::seconds) {}),
              1);
    EXPECT_EQ(err.str(), "Sign-in refused: access_denied\n");
    EXPECT_TRUE(ReadSecretFile(dir.File("options.out.token")).empty());
}

} // namespace
