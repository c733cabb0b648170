// The SASL log-in: which mechanism is chosen, what each one says, and the
// exchanges a scenario file cannot hold (OAUTHBEARER names the peer's port;
// a password source). The plain exchanges are tests/data/pop3/sasl-*.txt.
#include <gtest/gtest.h>

#include <string>

#include "ScriptedPop3.h"
#include "codec/Codec.h"
#include "pop3/Pop3Sasl.h"
#include "support/Failure.h"
#include "support/WaitFor.h"

namespace {

std::set<std::string> Offered(std::initializer_list<const char*> names) {
    return {names.begin(), names.end()};
}

std::string Chosen(TAuthMethod wanted, const std::set<std::string>& offered, bool tls,
                   bool token = false) {
    try {
        auto m = TPop3Sasl::Choose(wanted, offered, tls, token, "pop.example.org");
        return m ? SaslMechanismName(*m) : "USER/PASS";
    } catch (const EAuthUnavailable& e) {
        return e.Message();
    }
}

} // namespace

TEST(Pop3SaslChoice, StrongestOfferedThatTheSecretAllows) {
    const auto all = Offered({"PLAIN", "LOGIN", "CRAM-MD5", "XOAUTH2", "OAUTHBEARER"});
    struct Row {
        const char* name;
        TAuthMethod wanted;
        std::set<std::string> offered;
        bool tls;
        bool token;
        std::string chosen;
    };
    const Row rows[] = {
        {"auto, everything", TAuthMethod::Auto, all, true, false, "CRAM-MD5"},
        {"auto, TLS: PLAIN before LOGIN", TAuthMethod::Auto, Offered({"LOGIN", "PLAIN"}), true,
         false, "PLAIN"},
        {"auto, plain text: LOGIN before PLAIN", TAuthMethod::Auto, Offered({"LOGIN", "PLAIN"}),
         false, false, "LOGIN"},
        {"auto, PLAIN alone in plain text", TAuthMethod::Auto, Offered({"PLAIN"}), false, false,
         "PLAIN"},
        {"auto, no SASL", TAuthMethod::Auto, {}, true, false, "USER/PASS"},
        {"auto, only unusable ones", TAuthMethod::Auto, Offered({"GSSAPI", "XOAUTH2"}), true, false,
         "USER/PASS"},
        {"auto, a token", TAuthMethod::Auto, all, true, true, "OAUTHBEARER"},
        {"auto, a token, XOAUTH2 only", TAuthMethod::Auto, Offered({"PLAIN", "XOAUTH2"}), true,
         true, "XOAUTH2"},
        {"auto, a token, nothing for it", TAuthMethod::Auto, Offered({"PLAIN"}), true, true,
         "The POP3 server pop.example.org offers no log-in with an access token (OAUTHBEARER "
         "or XOAUTH2); it offers SASL PLAIN"},
        {"user", TAuthMethod::User, all, true, false, "USER/PASS"},
        {"explicit, offered", TAuthMethod::XOAuth2, all, false, false, "XOAUTH2"},
        {"explicit, not offered", TAuthMethod::OAuthBearer, Offered({"PLAIN", "XOAUTH2"}), true,
         false,
         "The POP3 server pop.example.org does not offer OAUTHBEARER (InAuth=oauthbearer); it "
         "offers SASL PLAIN XOAUTH2"},
        {"explicit, no SASL",
         TAuthMethod::Login,
         {},
         true,
         false,
         "The POP3 server pop.example.org does not offer LOGIN (InAuth=login); it offers no "
         "SASL mechanism"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Chosen(row.wanted, row.offered, row.tls, row.token), row.chosen) << row.name;
    }
}

TEST(Pop3SaslMechanisms, ResponsesAreExact) {
    // RFC 2195's own example.
    TPop3Sasl cram(TAuthMethod::CramMd5, {"tim", "tanstaaftanstaaf", "h", 110});
    EXPECT_FALSE(cram.InitialResponse().has_value());
    EXPECT_EQ(cram.Respond("<1896.697170952@postoffice.reston.mci.net>").response,
              "tim b913a602c7eda7a495b4e6e7334d3890");
    EXPECT_THROW(cram.Respond("again"), ESaslProtocolError);

    // RFC 7628: "," and "=" of the user escaped, host and port named.
    TPop3Sasl bearer(TAuthMethod::OAuthBearer, {"a,b=c", "tok", "pop.example.org", 995});
    EXPECT_EQ(*bearer.InitialResponse(), "n,a=a=2Cb=3Dc,\x01host=pop.example.org\x01port=995\x01"
                                         "auth=Bearer tok\x01\x01");
    // Not sent on the AUTH line: the first challenge asks for it; the next
    // one is the error report, answered with a lone 0x01; then no more.
    EXPECT_EQ(bearer.Respond("").response, *bearer.InitialResponse());
    TPop3Sasl::TAnswer report = bearer.Respond(R"({"status":"invalid_token"})");
    EXPECT_TRUE(report.errorReport);
    EXPECT_EQ(report.response, "\x01");
    EXPECT_THROW(bearer.Respond("{}"), ESaslProtocolError);
}

TEST(Pop3SaslMechanisms, ErrorStatusIsSafeToShow) {
    EXPECT_EQ(TPop3Sasl::ErrorStatus(R"({"status":"401","schemes":"bearer"})"), "401");
    EXPECT_EQ(TPop3Sasl::ErrorStatus(R"({"status":400})"), "400");
    EXPECT_EQ(TPop3Sasl::ErrorStatus(R"({"status":"invalid_token"})"), "invalid_token");
    EXPECT_EQ(TPop3Sasl::ErrorStatus(R"({"status":"401\r\n-ERR forged"})"), "401");
    EXPECT_EQ(TPop3Sasl::ErrorStatus(R"({"status":")" + std::string(100, '4') + "\"}"),
              std::string(32, '4'));
    EXPECT_EQ(TPop3Sasl::ErrorStatus("not json"), "");
    EXPECT_EQ(TPop3Sasl::ErrorStatus(R"({"scope":"x"})"), "");
}

namespace {

struct Pop3SaslSession : ::testing::Test, ScriptedPop3 {
    std::string Sent(int index = 0) {
        EXPECT_TRUE(WaitFor([&] { return peer.Finished(); }));
        EXPECT_EQ(peer.Errors(), "");
        return peer.Received(index);
    }
};

} // namespace

TEST_F(Pop3SaslSession, OAuthBearerErrorReportIsAnsweredAndItsStatusShown) {
    pop.SetAuth(TAuthMethod::OAuthBearer);
    const std::string initial =
        codec::Base64Encode("n,a=bob,\x01host=127.0.0.1\x01port=" + std::to_string(peer.Port()) +
                            "\x01" + "auth=Bearer secret\x01\x01");
    const std::string report = codec::Base64Encode(R"({"status":"invalid_token"})");
    peer.Add({"S: +OK POP3 ready", "C: CAPA", "S: +OK", "S: SASL OAUTHBEARER", "S: .",
              "C: AUTH OAUTHBEARER " + initial, "S: + " + report,
              "C: AQ==", "S: -ERR [AUTH] Authentication failed", "C: QUIT", "S: +OK"});
    EXPECT_EQ(FailureOf([&] { pop.Connect(); }),
              "POP3 log-in with OAUTHBEARER refused: status invalid_token; the server said "
              "\"-ERR [AUTH] Authentication failed\"");
    Sent();
}

TEST_F(Pop3SaslSession, PasswordSourceIsAskedForEverySessionAndNotKept) {
    pop.SetPassword("");
    int asked = 0;
    pop.SetPasswordSource([&] { return "fresh" + std::to_string(++asked); });
    for (int session = 1; session <= 2; ++session) {
        peer.Add({"S: +OK POP3 ready", "C: CAPA", "S: +OK", "S: SASL PLAIN", "S: .",
                  "C: AUTH PLAIN " + codec::Base64Encode(std::string("\0bob\0fresh", 10) +
                                                         std::to_string(session)),
                  "S: +OK", "C: STAT", "S: +OK 0 0", "C: QUIT", "S: +OK"});
        pop.Connect();
        pop.Disconnect();
    }
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(pop.Password(), "");
    Sent(1);

    // What the source raises ends Connect before anything is sent.
    pop.SetPasswordSource([]() -> std::string { throw Exception("no secret today"); });
    EXPECT_EQ(FailureOf([&] { pop.Connect(); }), "no secret today");
    EXPECT_EQ(peer.Connections(), 2);
    EXPECT_FALSE(pop.Busy());
}
