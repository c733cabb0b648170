#pragma once
// TTlsSession: the client side of TLS (OpenSSL 3) over a TCP socket that is
// already connected and non-blocking. It never waits: every call does what
// it can and says what it needs next (the socket readable or writable), so
// the caller's own wait loop - with its time-out and cancel - stays in
// charge. The session does not own the socket; closing it stays with the
// caller, after Shutdown.
//
// Verification: the certificate must chain to a trusted certificate (the
// system's trust store plus CaFile), carry the name the user typed (a DNS
// name, or an IP address literal checked against the IP addresses the
// certificate names; never the address it resolved to) and be valid now.
// With a fingerprint pin the certificate must have that SHA-256 fingerprint
// instead, and is then accepted whatever the checks above say (self-signed,
// expired, another name). TLS 1.2 is the oldest version spoken.
//
// Errors: a refused certificate, a failed handshake, a broken TLS stream and
// unusable settings raise ETlsError with one of the texts below and a
// TTlsFailure the caller may look at (never at the text). A system error on
// the socket is not raised: the call returns TTlsStatus::SocketError with the
// errno, so the caller reports it as it reports errors of its plain socket.
// Texts (<server> is "<ServerName>:<Port>", an IPv6 address in brackets;
// what stands in parentheses comes from OpenSSL, in its words; <date> is
// "YYYY-MM-DD hh:mm:ss UTC" of the certificate that failed the check):
//   NotTrusted:
//     "TLS: the certificate of <server> is not trusted (<OpenSSL's verify error>)"
//   HostNameMismatch:
//     "TLS: the certificate of <server> is not valid for the name <ServerName>"
//   Expired:
//     "TLS: the certificate of <server> has expired (valid until <date>)"
//   NotYetValid:
//     "TLS: the certificate of <server> is not valid yet (valid from <date>)"
//   FingerprintMismatch:
//     "TLS: the certificate of <server> does not match the pinned fingerprint; its
//     fingerprint is <AB:CD:...>" (one line)
//   HandshakeFailed:
//     "TLS: the handshake with <server> failed (<OpenSSL's reason>)"
//     "TLS: <server> closed the connection during the handshake"
//     "TLS: the handshake with <server> has not finished" (Read, Write or
//     CertificateFacts called too early)
//   ConnectionFailed:
//     "TLS: the connection to <server> failed (<OpenSSL's reason>)"
//   BadSettings:
//     "TLS: the CA file <path> cannot be used (<OpenSSL's reason>)"
//     "TLS: the fingerprint setting is not a SHA-256 fingerprint (64 hex digits)"
//     "TLS: the server name is empty"
//     "TLS: the server name <ServerName> cannot be used (<OpenSSL's reason>)"
// After a failure every call raises that failure again.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exception.h"

// Why TLS refused to go on. A caller that must tell failures apart looks at
// this, never at the text.
enum class TTlsFailure {
    None,
    NotTrusted,
    HostNameMismatch,
    Expired,
    NotYetValid,
    FingerprintMismatch,
    HandshakeFailed,
    ConnectionFailed, // after the handshake: a broken record, an alert
    BadSettings,      // a CA file that cannot be read, a malformed pin
    UpgradeRefused,   // STLS / STARTTLS required but not offered, or refused
};

class ETlsError : public Exception {
public:
    ETlsError(std::string message, TTlsFailure reason)
        : Exception(std::move(message)), reason_(reason) {}
    TTlsFailure Reason() const noexcept { return reason_; }
    const char* ClassName() const noexcept override { return "ETlsError"; }

private:
    TTlsFailure reason_;
};

struct TTlsSettings {
    std::string serverName;  // as the user typed it: SNI and the name checked
    int port = 0;            // only to name the server in texts
    std::string caFile;      // PEM of extra trusted certificates; "" for none
    std::string fingerprint; // SHA-256 pin, any form NormalizeFingerprint takes; "" for none
    // Finish the handshake whatever the verification says, and only record
    // its outcome (for showing a server's certificate). Never for a
    // connection that carries a password or mail.
    bool inspectOnly = false;
};

// What a call needs before it can go on, or how it ended.
enum class TTlsStatus {
    Done,        // finished; Read/Write moved `bytes` (at least 1)
    WantRead,    // call again once the socket is readable
    WantWrite,   // call again once the socket is writable
    Closed,      // the server ended the connection; nothing moved
    SocketError, // the socket failed: `error` holds the errno
};

struct TTlsResult {
    TTlsStatus status = TTlsStatus::Done;
    std::size_t bytes = 0;
    int error = 0;
};

// The server's certificate and the connection, for showing to the user.
// Texts from the certificate are made printable (control characters become
// '?', non-ASCII bytes in names are escaped as OpenSSL does).
struct TTlsCertificateFacts {
    std::string protocol;              // "TLSv1.3"
    std::string cipher;                // "TLS_AES_256_GCM_SHA384"
    std::string subject;               // RFC 2253, "CN=localhost,O=..."
    std::string issuer;                // the same form
    std::string notBefore;             // "YYYY-MM-DD hh:mm:ss UTC"
    std::string notAfter;              // the same form
    std::vector<std::string> altNames; // "DNS:localhost", "IP:127.0.0.1", "email:..", "URI:.."
    std::string fingerprint;           // SHA-256 in the form the pin takes: "AB:CD:..."
    // Whether it verifies against the trust store (CaFile included) and the
    // name typed, regardless of a pin; OpenSSL's reason when it does not.
    bool verified = false;
    std::string verifyError;
};

// A SHA-256 fingerprint as uppercase hex pairs joined by colons, from hex
// digits in either case with or without colons (and blanks around it);
// nullopt when it is not 64 hex digits.
std::optional<std::string> NormalizeFingerprint(std::string_view text);
// Whether both are well-formed and name the same fingerprint.
bool SameFingerprint(std::string_view a, std::string_view b);

class TTlsSession {
public:
    // Sets up TLS over `socketFd` (connected, non-blocking; not owned).
    // Nothing is sent yet. Raises ETlsError (BadSettings) for an unusable
    // CaFile or pin.
    TTlsSession(int socketFd, TTlsSettings settings);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    // One step of the handshake and the verification: Done when the
    // connection may carry data, WantRead/WantWrite, SocketError. Raises
    // ETlsError for a refused certificate or a failed handshake (the session
    // is then unusable; close the socket).
    TTlsResult Handshake();
    bool HandshakeDone() const noexcept { return handshakeDone_; }

    // Decrypted bytes into Buffer (Size > 0): Done with 1..Size bytes,
    // Closed when the server ended the connection (with or without a TLS
    // close), WantRead/WantWrite, SocketError. Raises ETlsError
    // (ConnectionFailed) for a broken TLS stream. OpenSSL may hold decrypted
    // bytes the socket no longer signals: read until WantRead before
    // waiting for the socket to become readable again.
    TTlsResult Read(char* Buffer, std::size_t Size);
    // Sends up to Size bytes (Size > 0): Done with the bytes taken (maybe
    // fewer than Size: send the rest next), WantRead/WantWrite (nothing
    // taken: call again with the same bytes at the same or another address),
    // Closed when the server has ended the connection, SocketError. Raises
    // ETlsError (ConnectionFailed) as Read does.
    TTlsResult Write(const char* Buffer, std::size_t Size);
    // Sends the TLS close if the connection is up and the socket takes it at
    // once; never waits, never raises. Call before closing the socket.
    void Shutdown() noexcept;

    // The verification outcome of the last handshake: None when accepted or
    // (inspectOnly) when it would have been; otherwise the reason and text
    // the failure raised or, with inspectOnly, would have raised.
    TTlsFailure Failure() const noexcept { return failure_; }
    const std::string& FailureText() const noexcept { return failureText_; }
    // Facts of the server's certificate; after Handshake returned Done.
    // Raises ETlsError (HandshakeFailed) before that.
    TTlsCertificateFacts CertificateFacts() const;
    // "<ServerName>:<Port>" ("[<address>]:<Port>" for IPv6), as the texts
    // name the server.
    std::string ServerLabel() const;

private:
    struct Native;

    [[noreturn]] void Raise(TTlsFailure reason, std::string text);
    TTlsResult HandshakeFinished();
    [[noreturn]] void RaiseHandshakeFailure(int sslError);
    [[noreturn]] void RaiseVerifyFailure();
    void RecordVerifyFailure();
    // Raises ETlsError before the handshake is done or once the stream broke.
    void PrepareTransfer();
    // The result of SSL_read_ex/SSL_write_ex returning `outcome`.
    TTlsResult Transfer(int outcome, std::size_t moved);

    TTlsSettings settings_;
    std::string pin_; // normalised, "" for none
    std::unique_ptr<Native> native_;
    bool handshakeDone_ = false;
    bool broken_ = false;
    TTlsFailure failure_ = TTlsFailure::None;
    std::string failureText_;
};
