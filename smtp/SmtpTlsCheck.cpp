#include "smtp/SmtpTlsCheck.h"

#include "net/CertificateFacts.h"

#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

struct SmtpTlsCheck::Seen {
    // Our trust: the system's store plus CaFile, built once per policy.
    X509_STORE* store = nullptr;
    bool storeFailed = false;
    X509* leaf = nullptr;
    std::string protocol;
    std::string cipher;
    int verifyError = X509_V_OK;

    ~Seen() {
        X509_free(leaf);
        X509_STORE_free(store);
    }
};

SmtpTlsCheck::SmtpTlsCheck() : seen_(std::make_unique<Seen>()) {}

SmtpTlsCheck::~SmtpTlsCheck() = default;

bool SmtpTlsCheck::CurlUsesOpenSsl() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info != nullptr && info->ssl_version != nullptr &&
           std::strncmp(info->ssl_version, "OpenSSL/", 8) == 0;
}

void SmtpTlsCheck::Reset(SmtpTlsPolicy policy) {
    policy_ = std::move(policy);
    seen_ = std::make_unique<Seen>();
    failure_ = TTlsFailure::None;
    failureText_.clear();
}

bool SmtpTlsCheck::SawCertificate() const noexcept {
    return seen_->leaf != nullptr;
}

void SmtpTlsCheck::Refuse(TTlsFailure reason, std::string text) {
    failure_ = reason;
    failureText_ = std::move(text);
}

bool SmtpTlsCheck::EnsureStore() {
    Seen& seen = *seen_;
    if (seen.store == nullptr && !seen.storeFailed) {
        ERR_clear_error();
        seen.store = X509_STORE_new();
        // A machine without a system store still works with CaFile or a pin.
        bool usable = seen.store != nullptr && X509_STORE_set_default_paths(seen.store) == 1;
        ERR_clear_error();
        if (usable && !policy_.caFile.empty() &&
            X509_STORE_load_file(seen.store, policy_.caFile.c_str()) != 1) {
            Refuse(TTlsFailure::BadSettings, "TLS: the CA file " + policy_.caFile +
                                                 " cannot be used (" + OpenSslReason() + ")");
            usable = false;
        }
        seen.storeFailed = !usable;
    }
    if (seen.storeFailed && failure_ == TTlsFailure::None) {
        Refuse(TTlsFailure::HandshakeFailed,
               "TLS: the handshake with " + policy_.server + " failed (" + OpenSslReason() + ")");
    }
    return !seen.storeFailed;
}

CURLcode SmtpTlsCheck::SslContextCallback(CURL*, void* sslContext, void* userp) {
    auto* self = static_cast<SmtpTlsCheck*>(userp);
    if (!self->EnsureStore()) {
        return CURLE_SSL_CACERT_BADFILE;
    }
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_cert_verify_callback(ctx, &SmtpTlsCheck::VerifyChain, self);
    return CURLE_OK;
}

int SmtpTlsCheck::VerifyChain(X509_STORE_CTX* store, void* arg) {
    return static_cast<SmtpTlsCheck*>(arg)->Verify(store);
}

// Replaces OpenSSL's verification of the handshake: the chain is checked
// against our store and name, then the pin (if any) decides.
int SmtpTlsCheck::Verify(X509_STORE_CTX* outer) {
    Seen& seen = *seen_;
    X509* leaf = X509_STORE_CTX_get0_cert(outer);
    if (leaf == nullptr) {
        X509_STORE_CTX_set_error(outer, X509_V_ERR_UNSPECIFIED);
        return 0;
    }
    X509_free(seen.leaf);
    X509_up_ref(leaf);
    seen.leaf = leaf;
    if (auto* ssl = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(outer, SSL_get_ex_data_X509_STORE_CTX_idx()))) {
        seen.protocol = SSL_get_version(ssl);
        if (const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl)) {
            seen.cipher = SSL_CIPHER_get_name(cipher);
        }
    }

    if (!EnsureStore()) {
        X509_STORE_CTX_set_error(outer, X509_V_ERR_UNSPECIFIED);
        return 0;
    }
    X509_STORE_CTX* mine = X509_STORE_CTX_new();
    int ok = 0;
    std::string failedNotBefore;
    std::string failedNotAfter;
    if (mine != nullptr &&
        X509_STORE_CTX_init(mine, seen.store, leaf, X509_STORE_CTX_get0_untrusted(outer)) == 1) {
        X509_STORE_CTX_set_default(mine, "ssl_server");
        X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(mine);
        bool named;
        if (IsIpLiteral(policy_.name)) {
            named = X509_VERIFY_PARAM_set1_ip_asc(param, policy_.name.c_str()) == 1;
        } else {
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            named = X509_VERIFY_PARAM_set1_host(param, policy_.name.c_str(), 0) == 1;
        }
        ok = named ? X509_verify_cert(mine) : 0;
        seen.verifyError = named ? X509_STORE_CTX_get_error(mine) : X509_V_ERR_HOSTNAME_MISMATCH;
        if (ok == 1) {
            seen.verifyError = X509_V_OK;
        } else if (seen.verifyError == X509_V_OK) {
            seen.verifyError = X509_V_ERR_UNSPECIFIED;
        }
        if (X509* failed = X509_STORE_CTX_get_current_cert(mine)) {
            failedNotBefore = CertificateTimeText(X509_get0_notBefore(failed));
            failedNotAfter = CertificateTimeText(X509_get0_notAfter(failed));
        }
    } else {
        seen.verifyError = X509_V_ERR_OUT_OF_MEM;
    }
    X509_STORE_CTX_free(mine);
    ERR_clear_error();

    const std::string& server = policy_.server;
    if (!policy_.pin.empty()) {
        std::string fingerprint = CertificateFingerprint(leaf);
        if (fingerprint != policy_.pin) {
            Refuse(TTlsFailure::FingerprintMismatch,
                   "TLS: the certificate of " + server +
                       " does not match the pinned fingerprint; its fingerprint is " + fingerprint);
        }
    } else {
        switch (seen.verifyError) {
        case X509_V_OK:
            break;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            Refuse(TTlsFailure::HostNameMismatch, "TLS: the certificate of " + server +
                                                      " is not valid for the name " + policy_.name);
            break;
        case X509_V_ERR_CERT_HAS_EXPIRED:
            Refuse(TTlsFailure::Expired, "TLS: the certificate of " + server +
                                             " has expired (valid until " + failedNotAfter + ")");
            break;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            Refuse(TTlsFailure::NotYetValid, "TLS: the certificate of " + server +
                                                 " is not valid yet (valid from " +
                                                 failedNotBefore + ")");
            break;
        default:
            Refuse(TTlsFailure::NotTrusted,
                   "TLS: the certificate of " + server + " is not trusted (" +
                       X509_verify_cert_error_string(seen.verifyError) + ")");
            break;
        }
    }
    if (failure_ != TTlsFailure::None && !policy_.inspectOnly) {
        X509_STORE_CTX_set_error(outer, seen.verifyError != X509_V_OK
                                            ? seen.verifyError
                                            : X509_V_ERR_APPLICATION_VERIFICATION);
        return 0;
    }
    // libcurl reads the outcome back from the session.
    X509_STORE_CTX_set_error(outer, X509_V_OK);
    return 1;
}

TTlsCertificateFacts SmtpTlsCheck::Facts() const {
    const Seen& seen = *seen_;
    if (seen.leaf == nullptr) {
        return {};
    }
    return DescribeCertificate(seen.leaf, seen.protocol, seen.cipher, seen.verifyError);
}
