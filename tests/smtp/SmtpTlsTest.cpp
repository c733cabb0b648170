// The SMTP leg over TLS against the local Postfix of scripts/mailservers:
// STARTTLS (its STARTTLS port takes AUTH only after it) and implicit TLS,
// trusted through CaFile or a pin, and the refusals, each before any AUTH
// or MAIL FROM could be sent. ProbeCertificate shows the fingerprint the
// pin tests use.
#include "SmtpTestSupport.h"

#include <algorithm>

namespace {

struct TlsServers {
    std::string host = RealServers::Env("MAILGATE_TLS_HOST");
    std::string wrongHost = RealServers::Env("MAILGATE_TLS_WRONG_HOST");
    std::string caFile = RealServers::Env("MAILGATE_CA_FILE");
    std::string fingerprint = RealServers::Env("MAILGATE_TLS_FINGERPRINT");
    int plainPort = std::atoi(RealServers::Env("MAILGATE_SMTP_PORT").c_str());
    int startTlsPort = std::atoi(RealServers::Env("MAILGATE_SMTP_STARTTLS_PORT").c_str());
    int smtpsPort = std::atoi(RealServers::Env("MAILGATE_SMTPS_PORT").c_str());

    bool Complete() const {
        return !host.empty() && !wrongHost.empty() && !caFile.empty() && !fingerprint.empty() &&
               plainPort != 0 && startTlsPort != 0 && smtpsPort != 0;
    }
};

#define MAILGATE_NEED_TLS_SERVERS(tls)                                                             \
    do {                                                                                           \
        if (!(tls).Complete()) {                                                                   \
            if (RealServers::Required())                                                           \
                FAIL() << "real mail servers with TLS required but MAILGATE_TLS_HOST, "            \
                          "MAILGATE_CA_FILE, MAILGATE_SMTP_STARTTLS_PORT ... unset";               \
            GTEST_SKIP() << "no real mail servers with TLS (run scripts/mailservers start)";       \
        }                                                                                          \
    } while (0)

class SmtpTls : public RealSmtpFixture {
protected:
    void SetUp() override {
        RealSmtpFixture::SetUp();
        if (!tls.Complete()) {
            return;
        }
        smtp.SetSmtpServer(tls.host);
        dir.Write("file.txt", "over TLS\r\n");
        Address(ProbeAddress(), dir.File("file.txt"));
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

    std::string Server(int port) const { return tls.host + ":" + std::to_string(port); }

    TlsServers tls;
    std::string subject;
    std::string description;
};

TEST_F(SmtpTls, DeliversAfterStartTlsWithTheCaFile) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.startTlsPort);
    smtp.SetSecurity(TSecurity::StartTls);
    smtp.SetCaFile(tls.caFile);
    ExpectDelivered("starttls ca");
}

TEST_F(SmtpTls, DeliversOverImplicitTlsWithTheCaFile) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.smtpsPort);
    smtp.SetSecurity(TSecurity::Tls);
    smtp.SetCaFile(tls.caFile);
    ExpectDelivered("smtps ca");
}

TEST_F(SmtpTls, TheOlderSmtpsSwitchStillMeansImplicitTls) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.smtpsPort);
    smtp.SetSmtpSSL(true);
    smtp.SetCaFile(tls.caFile);
    ExpectDelivered("smtps switch");
}

TEST_F(SmtpTls, APinAloneIsTrustEnoughOnBothKindsOfPort) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.smtpsPort);
    smtp.SetSecurity(TSecurity::Tls);
    // Lowercase without colons: the forms the setting takes.
    std::string pin = tls.fingerprint;
    pin.erase(std::remove(pin.begin(), pin.end(), ':'), pin.end());
    std::transform(pin.begin(), pin.end(), pin.begin(),
                   [](char c) { return char(std::tolower(c)); });
    smtp.SetFingerprint(pin);
    ExpectDelivered("smtps pin");

    smtp.SetSmtpPort(tls.startTlsPort);
    smtp.SetSecurity(TSecurity::StartTls);
    ExpectDelivered("starttls pin");
}

TEST_F(SmtpTls, APinAcceptsTheCertificateUnderANameItDoesNotCarry) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpServer(tls.wrongHost);
    smtp.SetSmtpPort(tls.smtpsPort);
    smtp.SetSecurity(TSecurity::Tls);
    smtp.SetFingerprint(tls.fingerprint);
    ExpectDelivered("pin other name");
}

TEST_F(SmtpTls, AnUntrustedCertificateIsRefusedOnBothKindsOfPort) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.smtpsPort);
    smtp.SetSecurity(TSecurity::Tls);
    EXPECT_EQ(SendNow("untrusted smtps"), 60);
    EXPECT_EQ(description.rfind(
                  "TLS: the certificate of " + Server(tls.smtpsPort) + " is not trusted (", 0),
              0u)
        << description;

    smtp.SetSmtpPort(tls.startTlsPort);
    smtp.SetSecurity(TSecurity::StartTls);
    EXPECT_EQ(SendNow("untrusted starttls"), 60);
    EXPECT_EQ(description.rfind(
                  "TLS: the certificate of " + Server(tls.startTlsPort) + " is not trusted (", 0),
              0u)
        << description;
    EXPECT_EQ(statuses.back().second, TSmtpMail::StatusFailed);
}

TEST_F(SmtpTls, ANameTheCertificateDoesNotCarryIsRefused) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpServer(tls.wrongHost);
    smtp.SetSmtpPort(tls.smtpsPort);
    smtp.SetSecurity(TSecurity::Tls);
    smtp.SetCaFile(tls.caFile);
    EXPECT_EQ(SendNow("wrong host"), 60);
    EXPECT_EQ(description, "TLS: the certificate of " + tls.wrongHost + ":" +
                               std::to_string(tls.smtpsPort) + " is not valid for the name " +
                               tls.wrongHost);
}

TEST_F(SmtpTls, AWrongPinIsRefusedEvenWithTheCaFileAndNamesTheFingerprintSeen) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.startTlsPort);
    smtp.SetSecurity(TSecurity::StartTls);
    smtp.SetCaFile(tls.caFile);
    smtp.SetFingerprint(std::string(64, 'a'));
    EXPECT_EQ(SendNow("wrong pin"), 60);
    EXPECT_EQ(description, "TLS: the certificate of " + Server(tls.startTlsPort) +
                               " does not match the pinned fingerprint; its fingerprint is " +
                               tls.fingerprint);
}

TEST_F(SmtpTls, AFingerprintSettingThatIsNoneIsRefusedBeforeConnecting) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.smtpsPort);
    smtp.SetFingerprint("AB:CD");
    EXPECT_EQ(SendNow("bad pin"), TSmtpMail::ErrorBadMessage);
    EXPECT_EQ(description,
              "TLS: the fingerprint setting is not a SHA-256 fingerprint (64 hex digits)");
}

TEST_F(SmtpTls, RequiredStartTlsOnAServerWithoutItIsRefused) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.plainPort);
    smtp.SetSecurity(TSecurity::StartTls);
    smtp.SetCaFile(tls.caFile);
    EXPECT_EQ(SendNow("no starttls"), 64);
    EXPECT_EQ(description.rfind("The SMTP server " + Server(tls.plainPort) +
                                    " does not offer STARTTLS, which the security setting "
                                    "requires; nothing was sent (",
                                0),
              0u)
        << description;
}

TEST_F(SmtpTls, AutomaticOnThisMachineStillDeliversInPlainTextWithoutAnOffer) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.plainPort);
    ASSERT_EQ(smtp.Security(), TSecurity::Auto);
    ExpectDelivered("auto plain loopback");
}

TEST_F(SmtpTls, AutomaticOnThisMachineUsesStartTlsWhenOfferedAndChecksIt) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.startTlsPort);
    // The server takes AUTH only after STARTTLS: delivery proves the upgrade.
    smtp.SetCaFile(tls.caFile);
    ExpectDelivered("auto starttls loopback");

    // Offered and failing is a refusal, never a fall-back to plain text.
    smtp.SetCaFile("");
    EXPECT_EQ(SendNow("auto starttls untrusted"), 60) << description;
}

TEST_F(SmtpTls, TheProbeShowsTheCertificateOfBothKindsOfPort) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetCaFile(tls.caFile);
    for (int port : {tls.smtpsPort, tls.startTlsPort}) {
        SCOPED_TRACE(port);
        smtp.SetSmtpPort(port);
        smtp.SetSecurity(port == tls.smtpsPort ? TSecurity::Tls : TSecurity::StartTls);
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
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.smtpsPort);
    smtp.SetSecurity(TSecurity::Tls);
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
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.startTlsPort);
    ASSERT_EQ(smtp.Security(), TSecurity::Auto);
    EXPECT_EQ(smtp.ProbeCertificate().fingerprint, tls.fingerprint);
}

TEST_F(SmtpTls, TheProbeRaisesWhenNoSecureConnectionIsPossible) {
    MAILGATE_NEED_TLS_SERVERS(tls);
    smtp.SetSmtpPort(tls.plainPort);
    try {
        smtp.ProbeCertificate();
        ADD_FAILURE() << "no exception";
    } catch (const ESmtpMailError& e) {
        EXPECT_EQ(e.Message().rfind(
                      "The SMTP server " + Server(tls.plainPort) + " does not offer STARTTLS", 0),
                  0u)
            << e.Message();
    }
    smtp.SetSecurity(TSecurity::None);
    try {
        smtp.ProbeCertificate();
        ADD_FAILURE() << "no exception";
    } catch (const ESmtpMailError& e) {
        EXPECT_EQ(e.Message(), "The SMTP server " + Server(tls.plainPort) +
                                   " is set to plain text (security none): there is no "
                                   "certificate to show");
    }
}

} // namespace
