#pragma once
// What a server's certificate says, in the texts both mail legs show and
// compare: the POP3 leg reads them from its own TLS session, the SMTP leg
// from inside libcurl's handshake. One set of functions, so that a pin taken
// from one leg's display matches on the other.
//
// Error model: nothing here raises; a text OpenSSL cannot produce comes back
// as documented per function.
#include "net/TlsSession.h"

#include <openssl/types.h>
#include <string>

// OpenSSL's reason for the oldest error queued, which names the cause rather
// than its consequences; "unknown error" when none is queued. Empties the
// queue.
std::string OpenSslReason();

// A certificate time as "YYYY-MM-DD hh:mm:ss UTC"; "?" when absent or
// unreadable.
std::string CertificateTimeText(const ASN1_TIME* time);

// The SHA-256 fingerprint as uppercase hex pairs joined by colons (the form a
// pin takes); "" when OpenSSL cannot compute it.
std::string CertificateFingerprint(const X509* cert);

// Whether `name` is an IPv4 or IPv6 address literal (no brackets), which a
// certificate must match as an address rather than as a host name.
bool IsIpLiteral(const std::string& name);

// The facts of `cert` (subject, issuer, validity, alternative names,
// fingerprint) with the connection's protocol and cipher as given;
// `verifyError` is OpenSSL's verification result (X509_V_OK when trusted).
TTlsCertificateFacts DescribeCertificate(const X509* cert, std::string protocol, std::string cipher,
                                         int verifyError);
