#include "net/TlsSession.h"

#include "net/CertificateFacts.h"

#include <cctype>
#include <cerrno>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

namespace {

// The socket as OpenSSL sees it. OpenSSL's own socket BIO writes with
// write(), which raises SIGPIPE on a connection the server has reset; this
// one sends with MSG_NOSIGNAL and keeps the errno of the failing call, as
// OpenSSL's error handling may change errno before we look at it.
struct TSocketBioState {
    int fd = -1;
    bool eof = false;
    int lastErrno = 0;
};

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

int SocketBioWrite(BIO* bio, const char* data, size_t size, size_t* written) {
    auto* state = static_cast<TSocketBioState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    long n;
    do {
        n = ::send(state->fd, data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
        *written = static_cast<size_t>(n);
        return 1;
    }
    if (WouldBlock(errno)) {
        BIO_set_retry_write(bio);
    } else {
        state->lastErrno = errno;
    }
    return 0;
}

int SocketBioRead(BIO* bio, char* data, size_t size, size_t* readBytes) {
    auto* state = static_cast<TSocketBioState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    long n;
    do {
        n = ::recv(state->fd, data, size, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        *readBytes = static_cast<size_t>(n);
        return 1;
    }
    if (n == 0) {
        state->eof = true;
    } else if (WouldBlock(errno)) {
        BIO_set_retry_read(bio);
    } else {
        state->lastErrno = errno;
    }
    return 0;
}

long SocketBioCtrl(BIO* bio, int cmd, long, void*) {
    auto* state = static_cast<TSocketBioState*>(BIO_get_data(bio));
    switch (cmd) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return state != nullptr && state->eof ? 1 : 0;
    default:
        return 0;
    }
}

int SocketBioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

int SocketBioDestroy(BIO*) {
    return 1;
}

bool OldestErrorIsEof() {
    unsigned long code = ERR_peek_error();
    return code != 0 && ERR_GET_LIB(code) == ERR_LIB_SSL &&
           ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

} // namespace

std::optional<std::string> NormalizeFingerprint(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    std::string digits;
    for (char c : text) {
        if (c == ':') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (digits.size() != 64) {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        if (i > 0) {
            out += ':';
        }
        out.append(digits, i, 2);
    }
    return out;
}

bool SameFingerprint(std::string_view a, std::string_view b) {
    auto na = NormalizeFingerprint(a);
    auto nb = NormalizeFingerprint(b);
    return na && nb && *na == *nb;
}

struct TTlsSession::Native {
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    BIO_METHOD* bioMethod = nullptr;
    TSocketBioState socket;
    // Let the handshake finish whatever the chain says: a pin or
    // inspectOnly decides afterwards.
    bool tolerant = false;
    // The first complaint of the verification and the dates of the
    // certificate it was about.
    int verifyError = X509_V_OK;
    std::string failedNotBefore;
    std::string failedNotAfter;

    ~Native() {
        SSL_free(ssl); // frees the BIO too
        SSL_CTX_free(ctx);
        BIO_meth_free(bioMethod);
    }

    static int Verify(int ok, X509_STORE_CTX* store) {
        auto* ssl = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* self = static_cast<Native*>(SSL_get_app_data(ssl));
        if (!ok && self->verifyError == X509_V_OK) {
            self->verifyError = X509_STORE_CTX_get_error(store);
            if (X509* cert = X509_STORE_CTX_get_current_cert(store)) {
                self->failedNotBefore = CertificateTimeText(X509_get0_notBefore(cert));
                self->failedNotAfter = CertificateTimeText(X509_get0_notAfter(cert));
            }
        }
        return ok || self->tolerant ? 1 : 0;
    }
};

TTlsSession::TTlsSession(int socketFd, TTlsSettings settings)
    : settings_(std::move(settings)), native_(std::make_unique<Native>()) {
    if (!settings_.fingerprint.empty()) {
        auto pin = NormalizeFingerprint(settings_.fingerprint);
        if (!pin) {
            Raise(TTlsFailure::BadSettings,
                  "TLS: the fingerprint setting is not a SHA-256 fingerprint (64 hex digits)");
        }
        pin_ = *pin;
    }
    std::string name = settings_.serverName;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    if (name.empty()) {
        Raise(TTlsFailure::BadSettings, "TLS: the server name is empty");
    }
    Native& n = *native_;
    n.tolerant = !pin_.empty() || settings_.inspectOnly;
    n.socket.fd = socketFd;
    ERR_clear_error();
    n.ctx = SSL_CTX_new(TLS_client_method());
    if (n.ctx == nullptr) {
        Raise(TTlsFailure::HandshakeFailed,
              "TLS: the handshake with " + ServerLabel() + " failed (" + OpenSslReason() + ")");
    }
    SSL_CTX_set_min_proto_version(n.ctx, TLS1_2_VERSION);
    SSL_CTX_set_mode(n.ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(n.ctx, SSL_VERIFY_PEER, &Native::Verify);
    // A machine without a system store still works with CaFile or a pin.
    SSL_CTX_set_default_verify_paths(n.ctx);
    ERR_clear_error();
    if (!settings_.caFile.empty() &&
        SSL_CTX_load_verify_locations(n.ctx, settings_.caFile.c_str(), nullptr) != 1) {
        Raise(TTlsFailure::BadSettings,
              "TLS: the CA file " + settings_.caFile + " cannot be used (" + OpenSslReason() + ")");
    }

    n.ssl = SSL_new(n.ctx);
    n.bioMethod = BIO_meth_new(BIO_TYPE_SOURCE_SINK | (BIO_TYPE_START + 1), "mailgate socket");
    BIO* bio = nullptr;
    if (n.ssl != nullptr && n.bioMethod != nullptr) {
        BIO_meth_set_write_ex(n.bioMethod, SocketBioWrite);
        BIO_meth_set_read_ex(n.bioMethod, SocketBioRead);
        BIO_meth_set_ctrl(n.bioMethod, SocketBioCtrl);
        BIO_meth_set_create(n.bioMethod, SocketBioCreate);
        BIO_meth_set_destroy(n.bioMethod, SocketBioDestroy);
        bio = BIO_new(n.bioMethod);
    }
    if (bio == nullptr) {
        Raise(TTlsFailure::HandshakeFailed,
              "TLS: the handshake with " + ServerLabel() + " failed (" + OpenSslReason() + ")");
    }
    BIO_set_data(bio, &n.socket);
    SSL_set_bio(n.ssl, bio, bio);
    SSL_set_app_data(n.ssl, &n);
    SSL_set_connect_state(n.ssl);

    X509_VERIFY_PARAM* param = SSL_get0_param(n.ssl);
    bool named;
    if (IsIpLiteral(name)) {
        // No server name indication for an address (RFC 6066).
        named = X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) == 1;
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set_tlsext_host_name(n.ssl, name.c_str()) == 1 &&
                SSL_set1_host(n.ssl, name.c_str()) == 1;
    }
    if (!named) {
        Raise(TTlsFailure::BadSettings, "TLS: the server name " + settings_.serverName +
                                            " cannot be used (" + OpenSslReason() + ")");
    }
}

TTlsSession::~TTlsSession() = default;

std::string TTlsSession::ServerLabel() const {
    const std::string& name = settings_.serverName;
    bool bareIpv6 = name.find(':') != std::string::npos && name.front() != '[';
    return (bareIpv6 ? "[" + name + "]" : name) + ":" + std::to_string(settings_.port);
}

void TTlsSession::Raise(TTlsFailure reason, std::string text) {
    failure_ = reason;
    failureText_ = text;
    broken_ = true;
    ERR_clear_error();
    throw ETlsError(std::move(text), reason);
}

TTlsResult TTlsSession::Handshake() {
    if (handshakeDone_) {
        return {};
    }
    if (broken_) {
        throw ETlsError(failureText_, failure_);
    }
    ERR_clear_error();
    native_->socket.lastErrno = 0;
    int r = SSL_do_handshake(native_->ssl);
    if (r == 1) {
        return HandshakeFinished();
    }
    int error = SSL_get_error(native_->ssl, r);
    switch (error) {
    case SSL_ERROR_WANT_READ:
        return {TTlsStatus::WantRead, 0, 0};
    case SSL_ERROR_WANT_WRITE:
        return {TTlsStatus::WantWrite, 0, 0};
    case SSL_ERROR_SYSCALL:
        if (native_->socket.lastErrno != 0) {
            ERR_clear_error();
            return {TTlsStatus::SocketError, 0, native_->socket.lastErrno};
        }
        break;
    default:
        break;
    }
    RaiseHandshakeFailure(error);
}

void TTlsSession::RaiseHandshakeFailure(int sslError) {
    if (native_->verifyError != X509_V_OK && !native_->tolerant) {
        RaiseVerifyFailure();
    }
    if (sslError == SSL_ERROR_ZERO_RETURN || sslError == SSL_ERROR_SYSCALL || OldestErrorIsEof()) {
        Raise(TTlsFailure::HandshakeFailed,
              "TLS: " + ServerLabel() + " closed the connection during the handshake");
    }
    Raise(TTlsFailure::HandshakeFailed,
          "TLS: the handshake with " + ServerLabel() + " failed (" + OpenSslReason() + ")");
}

void TTlsSession::RecordVerifyFailure() {
    const Native& n = *native_;
    std::string server = ServerLabel();
    switch (n.verifyError) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        failure_ = TTlsFailure::HostNameMismatch;
        failureText_ = "TLS: the certificate of " + server + " is not valid for the name " +
                       settings_.serverName;
        break;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        failure_ = TTlsFailure::Expired;
        failureText_ = "TLS: the certificate of " + server + " has expired (valid until " +
                       n.failedNotAfter + ")";
        break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        failure_ = TTlsFailure::NotYetValid;
        failureText_ = "TLS: the certificate of " + server + " is not valid yet (valid from " +
                       n.failedNotBefore + ")";
        break;
    default:
        failure_ = TTlsFailure::NotTrusted;
        failureText_ = "TLS: the certificate of " + server + " is not trusted (" +
                       X509_verify_cert_error_string(n.verifyError) + ")";
        break;
    }
}

void TTlsSession::RaiseVerifyFailure() {
    RecordVerifyFailure();
    Raise(failure_, failureText_);
}

TTlsResult TTlsSession::HandshakeFinished() {
    Native& n = *native_;
    const X509* cert = SSL_get0_peer_certificate(n.ssl);
    if (cert == nullptr) {
        ERR_raise(ERR_LIB_SSL, SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE);
        Raise(TTlsFailure::HandshakeFailed,
              "TLS: the handshake with " + ServerLabel() + " failed (" + OpenSslReason() + ")");
    }
    if (n.verifyError == X509_V_OK && SSL_get_verify_result(n.ssl) != X509_V_OK) {
        n.verifyError = static_cast<int>(SSL_get_verify_result(n.ssl));
    }
    failure_ = TTlsFailure::None;
    failureText_.clear();
    if (!pin_.empty()) {
        std::string seen = CertificateFingerprint(cert);
        if (seen != pin_) {
            failure_ = TTlsFailure::FingerprintMismatch;
            failureText_ = "TLS: the certificate of " + ServerLabel() +
                           " does not match the pinned fingerprint; its fingerprint is " + seen;
        }
    } else if (n.verifyError != X509_V_OK) {
        RecordVerifyFailure();
    }
    if (failure_ != TTlsFailure::None && !settings_.inspectOnly) {
        Raise(failure_, failureText_);
    }
    handshakeDone_ = true;
    return {};
}

TTlsResult TTlsSession::Transfer(int outcome, std::size_t moved) {
    switch (outcome == 1 ? SSL_ERROR_NONE : SSL_get_error(native_->ssl, outcome)) {
    case SSL_ERROR_NONE:
        return {TTlsStatus::Done, moved, 0};
    case SSL_ERROR_WANT_READ:
        return {TTlsStatus::WantRead, 0, 0};
    case SSL_ERROR_WANT_WRITE:
        return {TTlsStatus::WantWrite, 0, 0};
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        return {TTlsStatus::Closed, 0, 0};
    case SSL_ERROR_SYSCALL:
        ERR_clear_error();
        if (native_->socket.lastErrno != 0) {
            return {TTlsStatus::SocketError, 0, native_->socket.lastErrno};
        }
        return {TTlsStatus::Closed, 0, 0};
    default:
        // A close without TLS's own close message: the mail protocols say
        // themselves where their data ends, so it is an end like any other.
        if (OldestErrorIsEof()) {
            ERR_clear_error();
            return {TTlsStatus::Closed, 0, 0};
        }
        Raise(TTlsFailure::ConnectionFailed,
              "TLS: the connection to " + ServerLabel() + " failed (" + OpenSslReason() + ")");
    }
}

void TTlsSession::PrepareTransfer() {
    if (!handshakeDone_ || broken_) {
        throw ETlsError(broken_ ? failureText_
                                : "TLS: the handshake with " + ServerLabel() + " has not finished",
                        broken_ ? failure_ : TTlsFailure::HandshakeFailed);
    }
    ERR_clear_error();
    native_->socket.lastErrno = 0;
}

TTlsResult TTlsSession::Read(char* Buffer, std::size_t Size) {
    PrepareTransfer();
    std::size_t moved = 0;
    int outcome = SSL_read_ex(native_->ssl, Buffer, Size, &moved);
    return Transfer(outcome, moved);
}

TTlsResult TTlsSession::Write(const char* Buffer, std::size_t Size) {
    PrepareTransfer();
    std::size_t moved = 0;
    int outcome = SSL_write_ex(native_->ssl, Buffer, Size, &moved);
    return Transfer(outcome, moved);
}

void TTlsSession::Shutdown() noexcept {
    if (handshakeDone_ && !broken_) {
        SSL_shutdown(native_->ssl);
    }
    ERR_clear_error();
}

TTlsCertificateFacts TTlsSession::CertificateFacts() const {
    if (!handshakeDone_) {
        throw ETlsError("TLS: the handshake with " + ServerLabel() + " has not finished",
                        TTlsFailure::HandshakeFailed);
    }
    const Native& n = *native_;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(n.ssl);
    return DescribeCertificate(SSL_get0_peer_certificate(n.ssl), SSL_get_version(n.ssl),
                               cipher != nullptr ? SSL_CIPHER_get_name(cipher) : "", n.verifyError);
}
