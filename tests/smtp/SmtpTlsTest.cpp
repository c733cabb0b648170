// The SMTP leg over TLS against the local Postfix of scripts/mailservers:
// STARTTLS (its STARTTLS port takes AUTH only after it) and implicit TLS,
// trusted through CaFile or a pin, and the refusals, each before any AUTH
// or MAIL FROM could be sent. ProbeCertificate shows the fingerprint the
// pin tests use.
#include "SmtpTestSupport.h"
#include "codec/Codec.h"
#include "support/RealTlsServers.h"
#include "support/RecordingRelay.h"

#include <algorithm>

namespace {

class SmtpTls : public RealSmtpFixture {
protected:
    void SetUp() override {
        RealSmtpFixture::SetUp();
        MAILGATE_NEED_TLS_SERVERS(tls);
        smtp.SetSmtpServer(tls.host);
        dir.Write("file.txt", "over TLS\r\n");
        Address(ProbeAddress(), dir.File("file.txt"));
    }

    // The next sends go to `port` with `security`.
    void Use(int port, TSecurity security) {
        smtp.SetSmtpPort(port);
        smtp.SetSecurity(security);
    }

    int SendNow(const char* what) {
        subject = UniqueSubject(what);
        message->SetSubject(subject);
        return smtp.Send(message, -1, description);
    }

    void ExpectDelivered(const char* what) {
        ASSERT_EQ(SendNow(what), 0) << description;
        std::string mail = WaitForDelivered(ProbeMaildir(servers), subject);
        EXPECT_FALSE(mail.empty()) << "not delivered: " << subject;
    }

    // Sends and expects the failure `code` described as `text`, or (`prefix`)
    // by a text that starts so.
    void ExpectRefused(const char* what, int code, const std::string& text, bool prefix = false) {
        EXPECT_EQ(SendNow(what), code);
        if (prefix) {
            EXPECT_EQ(description.rfind(text, 0), 0u) << description;
        } else {
            EXPECT_EQ(description, text);
        }
    }

    // The next sends go through a relay on this machine to the servers'
    // certificate's address, trusted through the CA file.
    void UseRelay(int relayPort, TSecurity security) {
        smtp.SetSmtpServer("127.0.0.1");
        smtp.SetCaFile(tls.caFile);
        Use(relayPort, security);
    }

    // What the client sent to `port` through a recording relay, in one send.
    std::string CapturedSend(int port, TSecurity security, const char* what) {
        RecordingRelay relay(port);
        UseRelay(relay.Port(), security);
        EXPECT_EQ(SendNow(what), 0) << description;
        // Accepted: every byte of the client has passed the relay. The
        // control keeps the connection for a next send, so it stays open.
        return relay.FromClient();
    }

    std::string Server(int port) const { return tls.host + ":" + std::to_string(port); }

    RealTlsServers tls;
    std::string subject;
    std::string description;
};

TEST_F(SmtpTls, DeliversAfterStartTlsOrOverImplicitTlsWithTheCaFile) {
    for (auto [port, security, what] :
         {std::tuple{tls.smtpStartTlsPort, TSecurity::StartTls, "starttls ca"},
          std::tuple{tls.smtpsPort, TSecurity::Tls, "smtps ca"}}) {
        SCOPED_TRACE(what);
        Use(port, security);
        smtp.SetCaFile(tls.caFile);
        ExpectDelivered(what);
    }
}

TEST_F(SmtpTls, TheOlderSmtpsSwitchStillMeansImplicitTls) {
    smtp.SetSmtpPort(tls.smtpsPort);
    smtp.SetSmtpSSL(true);
    smtp.SetCaFile(tls.caFile);
    ExpectDelivered("smtps switch");
}

TEST_F(SmtpTls, APinAloneIsTrustEnoughOnBothKindsOfPort) {
    Use(tls.smtpsPort, TSecurity::Tls);
    // Lowercase without colons: the forms the setting takes.
    std::string pin = tls.fingerprint;
    pin.erase(std::remove(pin.begin(), pin.end(), ':'), pin.end());
    std::transform(pin.begin(), pin.end(), pin.begin(),
                   [](char c) { return char(std::tolower(c)); });
    smtp.SetFingerprint(pin);
    ExpectDelivered("smtps pin");

    Use(tls.smtpStartTlsPort, TSecurity::StartTls);
    ExpectDelivered("starttls pin");
}

TEST_F(SmtpTls, APinAcceptsTheCertificateUnderANameItDoesNotCarry) {
    smtp.SetSmtpServer(tls.wrongHost);
    Use(tls.smtpsPort, TSecurity::Tls);
    smtp.SetFingerprint(tls.fingerprint);
    ExpectDelivered("pin other name");
}

TEST_F(SmtpTls, AnUntrustedCertificateIsRefusedOnBothKindsOfPort) {
    const std::string certificateOf = "TLS: the certificate of ";
    Use(tls.smtpsPort, TSecurity::Tls);
    ExpectRefused("untrusted smtps", 60,
                  certificateOf + Server(tls.smtpsPort) + " is not trusted (", true);
    Use(tls.smtpStartTlsPort, TSecurity::StartTls);
    ExpectRefused("untrusted starttls", 60,
                  certificateOf + Server(tls.smtpStartTlsPort) + " is not trusted (", true);
    EXPECT_EQ(statuses.back().second, TSmtpMail::StatusFailed);
}

TEST_F(SmtpTls, ANameTheCertificateDoesNotCarryIsRefused) {
    smtp.SetSmtpServer(tls.wrongHost);
    Use(tls.smtpsPort, TSecurity::Tls);
    smtp.SetCaFile(tls.caFile);
    ExpectRefused("wrong host", 60,
                  "TLS: the certificate of " + tls.wrongHost + ":" + std::to_string(tls.smtpsPort) +
                      " is not valid for the name " + tls.wrongHost);
}

TEST_F(SmtpTls, AWrongPinIsRefusedEvenWithTheCaFileAndNamesTheFingerprintSeen) {
    Use(tls.smtpStartTlsPort, TSecurity::StartTls);
    smtp.SetCaFile(tls.caFile);
    smtp.SetFingerprint(std::string(64, 'a'));
    ExpectRefused("wrong pin", 60,
                  "TLS: the certificate of " + Server(tls.smtpStartTlsPort) +
                      " does not match the pinned fingerprint; its fingerprint is " +
                      tls.fingerprint);
}

TEST_F(SmtpTls, AFingerprintSettingThatIsNoneIsRefusedBeforeConnecting) {
    smtp.SetSmtpPort(tls.smtpsPort);
    smtp.SetFingerprint("AB:CD");
    ExpectRefused("bad pin", TSmtpMail::ErrorBadMessage,
                  "TLS: the fingerprint setting is not a SHA-256 fingerprint (64 hex digits)");
}

TEST_F(SmtpTls, RequiredStartTlsOnAServerWithoutItIsRefused) {
    Use(tls.smtpPort, TSecurity::StartTls);
    smtp.SetCaFile(tls.caFile);
    ExpectRefused("no starttls", 64,
                  "The SMTP server " + Server(tls.smtpPort) +
                      " does not offer STARTTLS, which the security setting requires; nothing "
                      "was sent (",
                  true);
}

TEST_F(SmtpTls, AutomaticOnThisMachineStillDeliversInPlainTextWithoutAnOffer) {
    smtp.SetSmtpPort(tls.smtpPort);
    ASSERT_EQ(smtp.Security(), TSecurity::Auto);
    ExpectDelivered("auto plain loopback");
}

TEST_F(SmtpTls, AutomaticOnThisMachineUsesStartTlsWhenOfferedAndChecksIt) {
    smtp.SetSmtpPort(tls.smtpStartTlsPort);
    // The server takes AUTH only after STARTTLS: delivery proves the upgrade.
    smtp.SetCaFile(tls.caFile);
    ExpectDelivered("auto starttls loopback");

    // Offered and failing is a refusal, never a fall-back to plain text.
    smtp.SetCaFile("");
    EXPECT_EQ(SendNow("auto starttls untrusted"), 60) << description;
}

TEST_F(SmtpTls, TheProbeShowsTheCertificateOfBothKindsOfPort) {
    smtp.SetCaFile(tls.caFile);
    for (int port : {tls.smtpsPort, tls.smtpStartTlsPort}) {
        SCOPED_TRACE(port);
        Use(port, port == tls.smtpsPort ? TSecurity::Tls : TSecurity::StartTls);
        TTlsCertificateFacts facts = smtp.ProbeCertificate();
        EXPECT_EQ(facts.fingerprint, tls.fingerprint);
        EXPECT_TRUE(facts.verified) << facts.verifyError;
        EXPECT_EQ(facts.subject.find("CN=localhost"), 0u) << facts.subject;
        EXPECT_NE(std::find(facts.altNames.begin(), facts.altNames.end(), "DNS:localhost"),
                  facts.altNames.end());
        EXPECT_EQ(facts.protocol.rfind("TLSv1.", 0), 0u) << facts.protocol;
        EXPECT_FALSE(facts.cipher.empty());
        EXPECT_EQ(facts.notAfter.size(), std::string("2026-01-01 00:00:00 UTC").size());
    }
}

TEST_F(SmtpTls, TheProbeTellsWhatDoesNotVerifyWithoutRefusing) {
    Use(tls.smtpsPort, TSecurity::Tls);
    TTlsCertificateFacts untrusted = smtp.ProbeCertificate();
    EXPECT_EQ(untrusted.fingerprint, tls.fingerprint);
    EXPECT_FALSE(untrusted.verified);
    EXPECT_FALSE(untrusted.verifyError.empty());

    smtp.SetSmtpServer(tls.wrongHost);
    smtp.SetCaFile(tls.caFile);
    TTlsCertificateFacts otherName = smtp.ProbeCertificate();
    EXPECT_FALSE(otherName.verified);
    EXPECT_EQ(otherName.verifyError, "IP address mismatch");
}

TEST_F(SmtpTls, TheProbeStartsTlsOnThisMachineToo) {
    smtp.SetSmtpPort(tls.smtpStartTlsPort);
    ASSERT_EQ(smtp.Security(), TSecurity::Auto);
    EXPECT_EQ(smtp.ProbeCertificate().fingerprint, tls.fingerprint);
}

TEST_F(SmtpTls, TheProbeRaisesWhenNoSecureConnectionIsPossible) {
    smtp.SetSmtpPort(tls.smtpPort);
    try {
        smtp.ProbeCertificate();
        ADD_FAILURE() << "no exception";
    } catch (const ESmtpMailError& e) {
        EXPECT_EQ(e.Message().rfind(
                      "The SMTP server " + Server(tls.smtpPort) + " does not offer STARTTLS", 0),
                  0u)
            << e.Message();
    }
    smtp.SetSecurity(TSecurity::None);
    try {
        smtp.ProbeCertificate();
        ADD_FAILURE() << "no exception";
    } catch (const ESmtpMailError& e) {
        EXPECT_EQ(e.Message(), "The SMTP server " + Server(tls.smtpPort) +
                                   " is set to plain text (security none): there is no "
                                   "certificate to show");
    }
}

} // namespace

// --- The wire -----------------------------------------------------------------

namespace {

// The forms a password takes in an SMTP log-in: as it is, and base64 of
// AUTH LOGIN and AUTH PLAIN.
std::vector<std::string> PasswordForms(const RealTlsServers& tls) {
    return {tls.password, codec::Base64Encode(tls.password),
            codec::Base64Encode(std::string(1, '\0') + tls.user + '\0' + tls.password)};
}

} // namespace

TEST_F(SmtpTls, ThePasswordNeverCrossesTheWireInClearText) {
    // In plain text the log-in shows: the capture sees what it should.
    const std::string plain = CapturedSend(tls.smtpPort, TSecurity::None, "wire plain");
    EXPECT_NE(plain.find("AUTH "), std::string::npos);

    for (auto [port, security, what] :
         {std::tuple{tls.smtpStartTlsPort, TSecurity::Auto, "wire auto"},
          std::tuple{tls.smtpStartTlsPort, TSecurity::StartTls, "wire starttls"},
          std::tuple{tls.smtpsPort, TSecurity::Tls, "wire tls"}}) {
        SCOPED_TRACE(what);
        const std::string sent = CapturedSend(port, security, what);
        EXPECT_EQ(sent.find("AUTH"), std::string::npos);
        EXPECT_EQ(sent.find("MAIL FROM"), std::string::npos);
        int forms = 0;
        for (const std::string& form : PasswordForms(tls)) {
            forms += sent.find(form) != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(forms, 0) << "a form of the password crossed the wire in clear text";
        if (security != TSecurity::Tls) {
            EXPECT_EQ(sent.rfind("EHLO ", 0), 0u);
            EXPECT_NE(sent.find("\r\nSTARTTLS\r\n"), std::string::npos);
        }
    }
}
