// The POP3 client's security decisions where a test needs code of its own
// (a TLS handshake that fails, a generated CAPA reply, the certificate
// probe). The plain CAPA/STLS dialogues are scenario files (tests/data/pop3).
// Exact bytes on the wire.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedPop3.h"
#include "support/Failure.h"
#include "support/WaitFor.h"

namespace {

using Script = std::vector<std::string>;

const std::string kNoStls =
    "The POP3 server 127.0.0.1 does not offer STLS; it is required to protect the password";

struct Pop3Security : ::testing::Test, ScriptedPop3 {
    std::string Sent(int index = 0) {
        EXPECT_TRUE(WaitFor([&] { return peer.Finished(); }));
        EXPECT_EQ(peer.Errors(), "");
        return peer.Received(index);
    }
};

// A CAPA reply as a server without STLS (or a relay that removed it) sends.
const Script kCapaWithoutStls = {
    "C: CAPA", "S: +OK Capability list follows", "S: TOP", "S: USER", "S: UIDL", "S: SASL PLAIN",
    "S: ."};

Script With(Script head, const Script& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

} // namespace

// Accepted STLS, then no TLS at all: the handshake fails and nothing else
// goes out, not even QUIT in plain text.
TEST_F(Pop3Security, FailedHandshakeAfterStlsEndsTheSession) {
    pop.SetSecurity(TSecurity::Auto); // loopback: would go on in plain text without an offer
    peer.Add({"S: +OK POP3 ready", "C: CAPA", "S: +OK", "S: stls", "S: .", "C: STLS",
              "S: +OK Begin TLS negotiation", "CLOSE"});
    TTlsFailure reason = TTlsFailure::None;
    std::string text;
    try {
        pop.Connect();
    } catch (const ETlsError& e) {
        reason = e.Reason();
        text = e.Message();
    }
    EXPECT_EQ(reason, TTlsFailure::HandshakeFailed);
    EXPECT_NE(text.find("127.0.0.1:" + std::to_string(peer.Port())), std::string::npos) << text;
    EXPECT_FALSE(pop.Connected());
    EXPECT_TRUE(events.empty());
    // The client's hello, and nothing after it.
    std::string sent = Sent();
    ASSERT_GT(sent.size(), 13u);
    EXPECT_EQ(sent.substr(0, 12), "CAPA\r\nSTLS\r\n");
    EXPECT_EQ(sent[12], '\x16'); // a TLS handshake record
    EXPECT_EQ(sent.find("QUIT"), std::string::npos);
    EXPECT_EQ(sent.find("USER"), std::string::npos);
}

TEST_F(Pop3Security, EndlessCapaReplyIsCutOff) {
    Script script = {"S: +OK POP3 ready", "C: CAPA", "S: +OK"};
    for (int i = 0; i < 1100; ++i) {
        script.push_back("S: X-CAPABILITY-" + std::to_string(i));
    }
    peer.Add(script);
    EXPECT_EQ(FailureOf([&] { pop.Connect(); }),
              "The POP3 server 127.0.0.1 sent too many capabilities");
    EXPECT_FALSE(pop.Connected());
    // Dropped without QUIT, in the middle of the list: the rest of it would
    // be taken for replies.
    ASSERT_TRUE(WaitFor([&] { return peer.Finished(); }));
    EXPECT_EQ(peer.Received(0), "CAPA\r\n");
}

TEST_F(Pop3Security, ProbeWithoutStlsFailsEvenOnLoopbackAndSendsNoUser) {
    peer.Add(With(With({"S: +OK POP3 ready"}, kCapaWithoutStls), {"C: QUIT", "S: +OK"}));
    EXPECT_EQ(FailureOf([&] { pop.ProbeCertificate(); }), kNoStls);
    EXPECT_FALSE(pop.Connected());
    EXPECT_FALSE(pop.Busy());
    EXPECT_EQ(Sent(), "CAPA\r\nQUIT\r\n");
}

TEST_F(Pop3Security, ProbeOfAPlainTextSetUpDoesNotConnect) {
    pop.SetSecurity(TSecurity::None);
    EXPECT_EQ(FailureOf([&] { pop.ProbeCertificate(); }),
              "The POP3 server 127.0.0.1 is set to plain text (security none): there is no "
              "certificate to show");
    EXPECT_EQ(peer.Connections(), 0);
}
