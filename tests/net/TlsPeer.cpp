#include "TlsPeer.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

PKeyPtr NewKey() {
    PKeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        throw std::runtime_error("EVP_EC_gen failed");
    }
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr) {
        throw std::runtime_error("bad extension " + value);
    }
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

X509Ptr NewCert(EVP_PKEY* key, const std::string& commonName, const TestValidity& validity) {
    static std::atomic<long> serial{1};
    X509Ptr cert(X509_new());
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    if (ASN1_TIME_set_string_X509(X509_getm_notBefore(cert.get()), validity.notBefore.c_str()) !=
            1 ||
        ASN1_TIME_set_string_X509(X509_getm_notAfter(cert.get()), validity.notAfter.c_str()) != 1) {
        throw std::runtime_error("bad validity");
    }
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("mailgate test"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    return cert;
}

void AddServerExtensions(X509* cert, X509* issuer, const std::string& altNames) {
    AddExtension(cert, issuer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert, issuer, NID_ext_key_usage, "serverAuth");
    if (!altNames.empty()) {
        AddExtension(cert, issuer, NID_subject_alt_name, altNames);
    }
}

} // namespace

TestCa::TestCa() {
    ca_.key = NewKey();
    ca_.cert = NewCert(ca_.key.get(), "mailgate test CA", {});
    X509_set_issuer_name(ca_.cert.get(), X509_get_subject_name(ca_.cert.get()));
    AddExtension(ca_.cert.get(), ca_.cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(ca_.cert.get(), ca_.cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(ca_.cert.get(), ca_.cert.get(), NID_subject_key_identifier, "hash");
    X509_sign(ca_.cert.get(), ca_.key.get(), EVP_sha256());
}

TestCertificate TestCa::Issue(const std::string& commonName, const std::string& altNames,
                              const TestValidity& validity) const {
    TestCertificate out;
    out.key = NewKey();
    out.cert = NewCert(out.key.get(), commonName, validity);
    X509_set_issuer_name(out.cert.get(), X509_get_subject_name(ca_.cert.get()));
    AddServerExtensions(out.cert.get(), ca_.cert.get(), altNames);
    X509_sign(out.cert.get(), ca_.key.get(), EVP_sha256());
    return out;
}

std::string TestCa::Pem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, ca_.cert.get());
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return pem;
}

TestCertificate SelfSigned(const std::string& commonName, const std::string& altNames,
                           const TestValidity& validity) {
    TestCertificate out;
    out.key = NewKey();
    out.cert = NewCert(out.key.get(), commonName, validity);
    X509_set_issuer_name(out.cert.get(), X509_get_subject_name(out.cert.get()));
    AddServerExtensions(out.cert.get(), out.cert.get(), altNames);
    X509_sign(out.cert.get(), out.key.get(), EVP_sha256());
    return out;
}

std::string TestFingerprint(const X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    X509_digest(cert, EVP_sha256(), md, &size);
    std::string text;
    char pair[4];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", md[i]);
        text += pair;
    }
    return text;
}

TlsPeer::TlsPeer(const TlsPeerOptions& options) : options_(options) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (options_.maxVersion != 0) {
        // Old protocol versions need the lowest security level in OpenSSL 3.
        SSL_CTX_set_security_level(ctx_, 0);
        SSL_CTX_set_cipher_list(ctx_, "DEFAULT:@SECLEVEL=0");
        SSL_CTX_set_min_proto_version(ctx_, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(ctx_, options_.maxVersion);
    }
    if (SSL_CTX_use_certificate(ctx_, options_.cert) != 1 ||
        SSL_CTX_use_PrivateKey(ctx_, options_.key) != 1) {
        throw std::runtime_error("server certificate refused");
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("cannot listen");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

TlsPeer::~TlsPeer() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
    SSL_CTX_free(ctx_);
}

bool TlsPeer::Finished(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!finished_) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        pollfd none{-1, 0, 0};
        ::poll(&none, 0, 5);
    }
    return true;
}

void TlsPeer::Serve() {
    // OpenSSL's socket BIO writes with write(): a client that hangs up
    // would raise SIGPIPE here. Blocked in this thread only, it stays
    // pending with the thread and the write fails with EPIPE instead.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    // Waits for the one client at most 20 s, looking at the stop flag often.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) == 1) {
            int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd >= 0) {
                timeval limit{5, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                ServeConnection(fd);
                ::close(fd);
            }
            break;
        }
    }
    finished_ = true;
}

void TlsPeer::ServeConnection(int fd) {
    if (options_.mode == TlsPeerMode::ResetMidHandshake) {
        // Closing with the client's hello half unread makes the close a reset.
        char part[16];
        (void)::recv(fd, part, sizeof part, MSG_WAITALL);
        return;
    }
    if (options_.mode == TlsPeerMode::CloseMidHandshake) {
        // The whole first record (the client's hello), then an orderly close.
        unsigned char header[5];
        if (::recv(fd, header, sizeof header, MSG_WAITALL) == 5) {
            std::vector<char> body(static_cast<std::size_t>(header[3] << 8 | header[4]));
            (void)::recv(fd, body.data(), body.size(), MSG_WAITALL);
        }
        return;
    }
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        if (options_.mode != TlsPeerMode::CloseAfterHandshake) {
            char buffer[16384];
            for (;;) {
                int n = SSL_read(ssl, buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                received_ += static_cast<std::size_t>(n);
                if (SSL_write(ssl, buffer, n) != n) {
                    break;
                }
            }
            SSL_shutdown(ssl);
        }
    }
    ERR_clear_error();
    SSL_free(ssl);
}
