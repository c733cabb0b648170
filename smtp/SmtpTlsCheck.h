#pragma once
// The verification of the SMTP server's certificate, done by us inside
// libcurl's OpenSSL handshake (its SSL context callback), so that the SMTP
// leg trusts exactly what the POP3 leg trusts: the system's trust store plus
// CaFile (libcurl's own CA option would replace the system store), the name
// the user typed, and a SHA-256 pin of the certificate itself (libcurl's
// pinned public key is a different hash). A refusal ends the handshake, so
// nothing - no AUTH, no MAIL FROM - follows it.
//
// Texts are those of net/TlsSession.h (<server> as given to Reset):
//   "TLS: the certificate of <server> is not trusted (<OpenSSL's verify error>)"
//   "TLS: the certificate of <server> is not valid for the name <name>"
//   "TLS: the certificate of <server> has expired (valid until <date>)"
//   "TLS: the certificate of <server> is not valid yet (valid from <date>)"
//   "TLS: the certificate of <server> does not match the pinned fingerprint; its
//   fingerprint is <AB:CD:...>"
//   "TLS: the CA file <path> cannot be used (<OpenSSL's reason>)"
//
// Error model: nothing here raises; the outcome of a handshake is read from
// Failure/FailureText afterwards.
#include "net/TlsSession.h"
#include "platform/NonCopyable.h"

#include <curl/curl.h>
#include <memory>
#include <openssl/types.h>
#include <string>

struct SmtpTlsPolicy {
    std::string name;   // the server as typed (brackets of an IPv6 address removed)
    std::string server; // "<name>:<port>", as texts name it
    std::string caFile; // extra trusted certificates; "" for none
    std::string pin;    // normalised SHA-256 fingerprint; "" for none
    // Accept any certificate and only record what the verification says
    // (showing a certificate); never for a connection that carries a
    // password or mail.
    bool inspectOnly = false;
};

class SmtpTlsCheck : NonCopyable {
public:
    SmtpTlsCheck();
    ~SmtpTlsCheck();

    // Whether libcurl does TLS with OpenSSL, which the callback needs.
    static bool CurlUsesOpenSsl();
    // The policy for the next handshakes; forgets what the last one saw.
    void Reset(SmtpTlsPolicy policy);
    // For CURLOPT_SSL_CTX_FUNCTION, with this object as CURLOPT_SSL_CTX_DATA.
    static CURLcode SslContextCallback(CURL* easy, void* sslContext, void* userp);

    // Since Reset: whether a certificate was checked, and the refusal (None
    // when accepted).
    bool SawCertificate() const noexcept;
    TTlsFailure Failure() const noexcept { return failure_; }
    const std::string& FailureText() const noexcept { return failureText_; }
    // The facts of the last certificate seen; `verified` tells the outcome of
    // trust store, CaFile and name, whatever a pin says.
    TTlsCertificateFacts Facts() const;

private:
    struct Seen;
    static int VerifyChain(X509_STORE_CTX* store, void* arg);
    int Verify(X509_STORE_CTX* store);
    void Refuse(TTlsFailure reason, std::string text);
    // Builds the trust store once per policy; false (and the refusal kept)
    // when it cannot be.
    bool EnsureStore();

    SmtpTlsPolicy policy_;
    std::unique_ptr<Seen> seen_;
    TTlsFailure failure_ = TTlsFailure::None;
    std::string failureText_;
};
