// Certificates the local Postfix cannot show: an expired self-signed one,
// served by a small SMTPS peer of the test's own on loopback. Each refusal
// happens in the handshake, so the peer must never see a command.
#include "SmtpTestSupport.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A self-signed certificate for "localhost" whose validity ended yesterday.
struct ExpiredCertificate {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();

    ExpiredCertificate() {
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
        X509_gmtime_adj(X509_getm_notBefore(cert), -10L * 24 * 3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), -1L * 24 * 3600);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509_set_pubkey(cert, key);
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
        for (const char* ext : {"subjectAltName=DNS:localhost", "basicConstraints=critical,CA:TRUE",
                                "keyUsage=digitalSignature,keyCertSign"}) {
            std::string text(ext);
            std::string nid = text.substr(0, text.find('='));
            X509_EXTENSION* e = X509V3_EXT_conf(nullptr, &ctx, nid.c_str(),
                                                text.substr(text.find('=') + 1).c_str());
            X509_add_ext(cert, e, -1);
            X509_EXTENSION_free(e);
        }
        X509_sign(cert, key, EVP_sha256());
    }
    ~ExpiredCertificate() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }

    std::string Pem() const {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, cert);
        char* data = nullptr;
        long size = BIO_get_mem_data(bio, &data);
        std::string pem(data, size_t(size));
        BIO_free(bio);
        return pem;
    }

    std::string Fingerprint() const {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        X509_digest(cert, EVP_sha256(), md, &size);
        std::string text;
        char pair[4];
        for (unsigned int i = 0; i < size; ++i) {
            std::snprintf(pair, sizeof pair, i ? ":%02X" : "%02X", md[i]);
            text += pair;
        }
        return text;
    }
};

// SMTPS on 127.0.0.1: the handshake, then a bare SMTP dialogue that takes
// any mail. Records the commands it was sent.
class SmtpsPeer {
public:
    explicit SmtpsPeer(const ExpiredCertificate& certificate) {
        ctx_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(ctx_, certificate.cert);
        SSL_CTX_use_PrivateKey(ctx_, certificate.key);
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~SmtpsPeer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
        SSL_CTX_free(ctx_);
    }
    int Port() const { return port_; }
    std::string Commands() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }

private:
    void Serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 100) != 1) {
                continue;
            }
            int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) {
                continue;
            }
            timeval limit{10, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            SSL* ssl = SSL_new(ctx_);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1) {
                Talk(ssl);
            }
            SSL_free(ssl);
            ::close(fd);
        }
    }

    void Say(SSL* ssl, const std::string& line) {
        std::string out = line + "\r\n";
        SSL_write(ssl, out.data(), int(out.size()));
    }

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

    SSL_CTX* ctx_ = nullptr;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::string commands_;
};

struct SmtpExpiredCertificate : ::testing::Test, LoopbackSmtp {
    // Credentials that the probe must not send.
    SmtpExpiredCertificate() {
        smtp->SetSmtpUsername("user");
        smtp->SetSmtpPassword("pass");
    }
    ExpiredCertificate certificate;
    SmtpsPeer peer{certificate};
    std::string description;

    void SetUp() override {
        smtp->SetSmtpServer("localhost");
        smtp->SetSmtpPort(peer.Port());
        smtp->SetSecurity(TSecurity::Tls);
        dir.Write("ca.pem", certificate.Pem());
    }
    // The control's QUIT ends the peer's dialogue before the peer goes.
    void TearDown() override { smtp.reset(); }
};

TEST_F(SmtpExpiredCertificate, IsRefusedEvenWhenTrustedAndNothingIsSent) {
    smtp->SetCaFile(dir.File("ca.pem"));
    EXPECT_EQ(smtp->Send(message, -1, description), 60);
    EXPECT_EQ(description.rfind("TLS: the certificate of localhost:" + std::to_string(peer.Port()) +
                                    " has expired (valid until 20",
                                0),
              0u)
        << description;
    EXPECT_EQ(description.substr(description.size() - 5), " UTC)") << description;
    EXPECT_EQ(peer.Commands(), "");
}

TEST_F(SmtpExpiredCertificate, ACaFileThatCannotBeReadIsRefusedBeforeTheHandshake) {
    smtp->SetCaFile(dir.File("missing.pem"));
    EXPECT_EQ(smtp->Send(message, -1, description), 77);
    EXPECT_EQ(
        description.rfind("TLS: the CA file " + dir.File("missing.pem") + " cannot be used (", 0),
        0u)
        << description;
    EXPECT_THROW(smtp->ProbeCertificate(), ESmtpMailError);
    EXPECT_EQ(peer.Commands(), "");
}

TEST_F(SmtpExpiredCertificate, WithoutTrustIsNotTrusted) {
    EXPECT_EQ(smtp->Send(message, -1, description), 60);
    EXPECT_EQ(description.rfind("TLS: the certificate of localhost:" + std::to_string(peer.Port()) +
                                    " is not trusted (",
                                0),
              0u)
        << description;
    EXPECT_EQ(peer.Commands(), "");
}

TEST_F(SmtpExpiredCertificate, IsAcceptedWhenItMatchesThePin) {
    smtp->SetFingerprint(certificate.Fingerprint());
    ASSERT_EQ(smtp->Send(message, -1, description), 0) << description;
    EXPECT_NE(peer.Commands().find("AUTH PLAIN AHVzZXIAcGFzcw==\nMAIL FROM:<gateway@example.org>"),
              std::string::npos)
        << peer.Commands();
}

TEST_F(SmtpExpiredCertificate, IsShownByTheProbeAsNotVerifying) {
    smtp->SetCaFile(dir.File("ca.pem"));
    TTlsCertificateFacts facts = smtp->ProbeCertificate();
    EXPECT_EQ(facts.fingerprint, certificate.Fingerprint());
    EXPECT_FALSE(facts.verified);
    EXPECT_EQ(facts.verifyError, "certificate has expired");
    EXPECT_EQ(facts.subject, "CN=localhost");
    EXPECT_EQ(facts.issuer, "CN=localhost");
    // No AUTH, no mail: the probe's connection ends after NOOP.
    EXPECT_TRUE(WaitFor([&] { return peer.Commands() == "EHLO mailgate.test\nNOOP\nQUIT\n"; }))
        << peer.Commands();
}

} // namespace
