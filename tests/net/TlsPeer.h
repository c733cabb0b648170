#pragma once
// A throwaway certificate authority made in memory, and a TLS server on
// 127.0.0.1:0 that serves one connection in a thread of its own: the other
// end for the TLS session tests. Every wait of the server is bounded, so a
// client that misbehaves cannot hang a test.
#include <atomic>
#include <memory>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <string>
#include <thread>
#include <vector>

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct PKeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;

struct TestCertificate {
    PKeyPtr key;
    X509Ptr cert;
};

// Validity as ASN.1 times: "YYYYMMDDhhmmssZ".
struct TestValidity {
    std::string notBefore = "20200101000000Z";
    std::string notAfter = "20991231235959Z";
};

class TestCa {
public:
    TestCa(); // an EC P-256 CA, "CN=mailgate test CA,O=mailgate test"
    // A server certificate signed by this CA; altNames in OpenSSL's form
    // ("DNS:localhost,IP:127.0.0.1"), empty for none.
    TestCertificate Issue(const std::string& commonName, const std::string& altNames,
                          const TestValidity& validity = {}) const;
    // The CA certificate as PEM, for a CaFile.
    std::string Pem() const;
    X509* Cert() const { return ca_.cert.get(); }

private:
    TestCertificate ca_;
};

// A certificate signed by its own key.
TestCertificate SelfSigned(const std::string& commonName, const std::string& altNames,
                           const TestValidity& validity = {});
// Its SHA-256 fingerprint as "AB:CD:...", computed here for comparison.
std::string TestFingerprint(const X509* cert);

enum class TlsPeerMode {
    Echo,                // handshake, then send back what arrives until the client closes
    CloseMidHandshake,   // read the client's hello, then close without a word
    ResetMidHandshake,   // read part of the client's hello, then close: a reset
    CloseAfterHandshake, // handshake, then close the socket without a TLS close
};

struct TlsPeerOptions {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    TlsPeerMode mode = TlsPeerMode::Echo;
    int maxVersion = 0; // e.g. TLS1_1_VERSION; 0: OpenSSL's default
};

class TlsPeer {
public:
    explicit TlsPeer(const TlsPeerOptions& options);
    ~TlsPeer();
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    int Port() const noexcept { return port_; }
    // Bytes the server received after the handshake (read after the peer ended).
    std::size_t Received() const noexcept { return received_; }
    // Waits (bounded) until the connection was served.
    bool Finished(int timeoutMs = 10000);

private:
    void Serve();
    void ServeConnection(int fd);

    TlsPeerOptions options_;
    SSL_CTX* ctx_ = nullptr;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<std::size_t> received_{0};
    std::thread thread_;
};
