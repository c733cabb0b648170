// Certificates the local Postfix cannot show: an expired self-signed one,
// served by a small SMTPS peer of the test's own on loopback. Each refusal
// happens in the handshake, so the peer must never see a command.
#include "SmtpTestSupport.h"
#include "support/TlsPeer.h"

#include <mutex>

namespace {

// A bare SMTP dialogue that takes any mail, for TlsPeer's Talk mode, on the
// peer's thread. Records the commands it was sent.
class SmtpDialogue {
public:
    void Talk(SSL* ssl) {
        Say(ssl, "220 tls-peer ESMTP");
        std::string buffer;
        bool inData = false;
        char chunk[4096];
        for (;;) {
            int n = SSL_read(ssl, chunk, sizeof chunk);
            if (n <= 0) {
                return;
            }
            buffer.append(chunk, size_t(n));
            for (size_t end; (end = buffer.find("\r\n")) != std::string::npos;) {
                std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 2);
                if (inData) {
                    if (line == ".") {
                        inData = false;
                        Say(ssl, "250 queued");
                    }
                    continue;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    commands_ += line + "\n";
                }
                if (line.rfind("EHLO", 0) == 0) {
                    Say(ssl, "250-tls-peer");
                    Say(ssl, "250 AUTH PLAIN");
                } else if (line.rfind("AUTH", 0) == 0) {
                    Say(ssl, "235 welcome");
                } else if (line == "DATA") {
                    inData = true;
                    Say(ssl, "354 go on");
                } else if (line == "QUIT") {
                    Say(ssl, "221 bye");
                    return;
                } else {
                    Say(ssl, "250 ok");
                }
            }
        }
    }

    std::string Commands() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }

private:
    static void Say(SSL* ssl, const std::string& line) {
        std::string out = line + "\r\n";
        SSL_write(ssl, out.data(), int(out.size()));
    }

    mutable std::mutex mutex_;
    std::string commands_;
};

// SMTPS on 127.0.0.1 with a self-signed certificate for "localhost" whose
// validity has ended.
struct SmtpExpiredCertificate : ::testing::Test, LoopbackSmtp {
    // Credentials that the probe must not send.
    SmtpExpiredCertificate() {
        smtp->SetSmtpUsername("user");
        smtp->SetSmtpPassword("pass");
    }
    TestCertificate certificate =
        SelfSigned("localhost", "DNS:localhost", {"20200101000000Z", "20210630120000Z"},
                   TestSubject::NameOnly);
    SmtpDialogue dialogue;
    TlsPeer peer{{certificate.cert.get(), certificate.key.get(), TlsPeerMode::Talk},
                 [this](SSL* ssl) { dialogue.Talk(ssl); }};
    std::string description;

    void SetUp() override {
        smtp->SetSmtpServer("localhost");
        smtp->SetSmtpPort(peer.Port());
        smtp->SetSecurity(TSecurity::Tls);
        dir.Write("ca.pem", TestPem(certificate.cert.get()));
    }
    // The control's QUIT ends the peer's dialogue before the peer goes.
    void TearDown() override { smtp.reset(); }

    // Sends, expecting the failure `code` with a description that starts
    // with `start`, and that the peer saw no command.
    void ExpectRefused(int code, const std::string& start) {
        EXPECT_EQ(smtp->Send(message, -1, description), code);
        EXPECT_EQ(description.rfind(start, 0), 0u) << description;
        EXPECT_EQ(dialogue.Commands(), "");
    }
    std::string Server() const { return "localhost:" + std::to_string(peer.Port()); }
};

TEST_F(SmtpExpiredCertificate, IsRefusedEvenWhenTrustedAndNothingIsSent) {
    smtp->SetCaFile(dir.File("ca.pem"));
    ExpectRefused(60, "TLS: the certificate of " + Server() + " has expired (valid until 20");
    EXPECT_EQ(description.substr(description.size() - 5), " UTC)") << description;
}

TEST_F(SmtpExpiredCertificate, ACaFileThatCannotBeReadIsRefusedBeforeTheHandshake) {
    smtp->SetCaFile(dir.File("missing.pem"));
    ExpectRefused(77, "TLS: the CA file " + dir.File("missing.pem") + " cannot be used (");
    EXPECT_THROW(smtp->ProbeCertificate(), ESmtpMailError);
    EXPECT_EQ(dialogue.Commands(), "");
}

TEST_F(SmtpExpiredCertificate, WithoutTrustIsNotTrusted) {
    ExpectRefused(60, "TLS: the certificate of " + Server() + " is not trusted (");
}

TEST_F(SmtpExpiredCertificate, IsAcceptedWhenItMatchesThePin) {
    smtp->SetFingerprint(TestFingerprint(certificate.cert.get()));
    ASSERT_EQ(smtp->Send(message, -1, description), 0) << description;
    EXPECT_NE(
        dialogue.Commands().find("AUTH PLAIN AHVzZXIAcGFzcw==\nMAIL FROM:<gateway@example.org>"),
        std::string::npos)
        << dialogue.Commands();
}

TEST_F(SmtpExpiredCertificate, IsShownByTheProbeAsNotVerifying) {
    smtp->SetCaFile(dir.File("ca.pem"));
    TTlsCertificateFacts facts = smtp->ProbeCertificate();
    EXPECT_EQ(facts.fingerprint, TestFingerprint(certificate.cert.get()));
    EXPECT_FALSE(facts.verified);
    EXPECT_EQ(facts.verifyError, "certificate has expired");
    EXPECT_EQ(facts.subject, "CN=localhost");
    EXPECT_EQ(facts.issuer, "CN=localhost");
    // No AUTH, no mail: the probe's connection ends after NOOP.
    EXPECT_TRUE(WaitFor([&] { return dialogue.Commands() == "EHLO mailgate.test\nNOOP\nQUIT\n"; }))
        << dialogue.Commands();
}

} // namespace
