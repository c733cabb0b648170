// The POP3 client over TLS against the real Dovecot that scripts/mailservers
// starts: STLS on one port, POP3S on another, a certificate for localhost and
// 127.0.0.1 from a throwaway CA. Log-ins only (STAT): nothing is retrieved or
// deleted, so other tests may use the same mailbox meanwhile. A recording
// relay shows what crosses the wire.
#include <atomic>
#include <cctype>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "pop3/NMpop3.h"
#include "support/Failure.h"
#include "support/Loopback.h"
#include "support/RealTlsServers.h"
#include "support/RecordingRelay.h"
#include "support/WaitFor.h"

namespace {

void Configure(TNMPOP3& pop, const RealTlsServers& servers, int port, TSecurity security) {
    pop.SetHost(servers.host);
    pop.SetPort(port);
    pop.SetSecurity(security);
    pop.SetUserID(servers.user);
    pop.SetPassword(servers.password);
    pop.SetTimeOut(20000);
}

// Logs in, reads the count and quits; raises what Connect raises.
void LogInAndQuit(TNMPOP3& pop) {
    pop.Connect();
    EXPECT_TRUE(pop.MailCountValid());
    EXPECT_TRUE(pop.TlsActive());
    pop.Disconnect();
}

// A client for the servers, configured for the test's route; the test skips
// without the servers.
class NMpop3TlsDovecot : public ::testing::Test {
protected:
    void SetUp() override { MAILGATE_NEED_TLS_SERVERS(servers); }

    void Use(int port, TSecurity security) { Configure(pop, servers, port, security); }

    // Connects, expecting the refusal `reason`; its text.
    std::string RefusalText(TTlsFailure reason) {
        TTlsFailure seen = TTlsFailure::None;
        std::string text = NothingRaised;
        try {
            pop.Connect();
        } catch (const ETlsError& e) {
            seen = e.Reason();
            text = e.Message();
        }
        EXPECT_EQ(seen, reason);
        return text;
    }

    // What the client sent through a relay to `target` in one log-in.
    std::string CapturedLogIn(int target, TSecurity security) {
        RecordingRelay relay(target);
        TNMPOP3 client;
        Configure(client, servers, relay.Port(), security);
        client.SetCaFile(servers.caFile);
        client.Connect();
        EXPECT_TRUE(client.MailCountValid());
        client.Disconnect();
        EXPECT_TRUE(WaitFor([&] { return relay.Finished(); }, 20000));
        return relay.FromClient();
    }

    const RealTlsServers servers;
    TNMPOP3 pop;
};

} // namespace

// --- Verified sessions ----------------------------------------------------------

TEST_F(NMpop3TlsDovecot, LogsInWithTheCaFileOverStlsAutoOrPop3s) {
    for (auto [port, security, what] :
         {std::tuple{servers.pop3StlsPort, TSecurity::StartTls, "STLS"},
          std::tuple{servers.pop3StlsPort, TSecurity::Auto, "Auto takes the offered STLS"},
          std::tuple{servers.pop3sPort, TSecurity::Tls, "POP3S"}}) {
        SCOPED_TRACE(what);
        TNMPOP3 client;
        Configure(client, servers, port, security);
        client.SetCaFile(servers.caFile);
        LogInAndQuit(client);
    }
}

TEST_F(NMpop3TlsDovecot, Pop3sWithThePinAndNoCaFileLogsIn) {
    Use(servers.pop3sPort, TSecurity::Tls);
    // Any form the setting takes: lower case, no colons.
    std::string pin;
    for (char c : servers.fingerprint) {
        if (c != ':') {
            pin += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    pop.SetFingerprint(pin);
    LogInAndQuit(pop);
}

// --- Refusals: no log-in, the connection dropped ------------------------------

TEST_F(NMpop3TlsDovecot, UntrustedCertificateIsRefused) {
    Use(servers.pop3sPort, TSecurity::Tls);
    std::string text = RefusalText(TTlsFailure::NotTrusted);
    EXPECT_EQ(text.rfind("TLS: the certificate of " + servers.host + ":" +
                             std::to_string(servers.pop3sPort) + " is not trusted (",
                         0),
              0u)
        << text;
    EXPECT_FALSE(pop.Connected());
}

TEST_F(NMpop3TlsDovecot, UntrustedCertificateAfterStlsIsRefused) {
    Use(servers.pop3StlsPort, TSecurity::StartTls);
    RefusalText(TTlsFailure::NotTrusted);
    EXPECT_FALSE(pop.Connected());
}

TEST_F(NMpop3TlsDovecot, NameTheCertificateDoesNotCarryIsRefused) {
    Use(servers.pop3sPort, TSecurity::Tls);
    pop.SetHost(servers.wrongHost);
    pop.SetCaFile(servers.caFile);
    EXPECT_EQ(RefusalText(TTlsFailure::HostNameMismatch),
              "TLS: the certificate of " + servers.wrongHost + ":" +
                  std::to_string(servers.pop3sPort) + " is not valid for the name " +
                  servers.wrongHost);
}

TEST_F(NMpop3TlsDovecot, WrongPinIsRefusedNamingTheOneSeen) {
    Use(servers.pop3sPort, TSecurity::Tls);
    pop.SetCaFile(servers.caFile); // a pin counts even where the CA would do
    pop.SetFingerprint(std::string(64, 'a'));
    EXPECT_EQ(RefusalText(TTlsFailure::FingerprintMismatch),
              "TLS: the certificate of " + servers.host + ":" + std::to_string(servers.pop3sPort) +
                  " does not match the pinned fingerprint; its fingerprint is " +
                  servers.fingerprint);
}

TEST_F(NMpop3TlsDovecot, StlsRequiredOnThePlainPortIsRefused) {
    Use(servers.pop3Port, TSecurity::StartTls);
    pop.SetCaFile(servers.caFile);
    EXPECT_EQ(FailureOf([&] { pop.Connect(); }),
              "The POP3 server " + servers.host +
                  " does not offer STLS; it is required to protect the password");
    EXPECT_FALSE(pop.Connected());
}

// --- The certificate shown ----------------------------------------------------

TEST_F(NMpop3TlsDovecot, ProbeShowsAnUntrustedCertificateWithItsFingerprint) {
    Use(servers.pop3sPort, TSecurity::Tls);
    TTlsCertificateFacts facts = pop.ProbeCertificate();
    EXPECT_FALSE(facts.verified);
    EXPECT_FALSE(facts.verifyError.empty());
    EXPECT_EQ(facts.fingerprint, servers.fingerprint);
    EXPECT_FALSE(pop.Connected());

    // The fingerprint shown is the one a pin takes.
    pop.SetFingerprint(facts.fingerprint);
    LogInAndQuit(pop);
}

TEST_F(NMpop3TlsDovecot, ProbeAfterStlsVerifiesWithTheCaFile) {
    RecordingRelay relay(servers.pop3StlsPort);
    Use(relay.Port(), TSecurity::Auto);
    pop.SetCaFile(servers.caFile);
    TTlsCertificateFacts facts = pop.ProbeCertificate();
    EXPECT_TRUE(facts.verified) << facts.verifyError;
    EXPECT_EQ(facts.fingerprint, servers.fingerprint);
    EXPECT_FALSE(facts.protocol.empty());
    EXPECT_TRUE(WaitFor([&] { return relay.Finished(); }, 20000));
    const std::string sent = relay.FromClient();
    EXPECT_EQ(sent.rfind("CAPA\r\nSTLS\r\n", 0), 0u);
    EXPECT_EQ(sent.find("USER"), std::string::npos);
}

// --- The wire -----------------------------------------------------------------

TEST_F(NMpop3TlsDovecot, PasswordNeverCrossesTheWireInClearText) {
    // The relay records what it carries: in plain text the password shows.
    std::string plain = CapturedLogIn(servers.pop3Port, TSecurity::None);
    EXPECT_NE(plain.find("PASS " + servers.password), std::string::npos);

    std::string stls = CapturedLogIn(servers.pop3StlsPort, TSecurity::StartTls);
    EXPECT_EQ(stls.rfind("CAPA\r\nSTLS\r\n", 0), 0u);
    EXPECT_EQ(stls.find(servers.password), std::string::npos);
    EXPECT_EQ(stls.find("USER"), std::string::npos);

    std::string tls = CapturedLogIn(servers.pop3sPort, TSecurity::Tls);
    EXPECT_EQ(tls.find(servers.password), std::string::npos);
    EXPECT_EQ(tls.find("CAPA"), std::string::npos);
}
