#include "support/TlsPeer.h"

#include <chrono>
#include <csignal>
#include <openssl/err.h>
#include <poll.h>
#include <pthread.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

TlsPeer::TlsPeer(const TlsPeerOptions& options, std::function<void(SSL*)> talk,
                 std::string plainPrefix)
    : options_(options), talk_(std::move(talk)), plainPrefix_(std::move(plainPrefix)) {
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
        SSL_CTX_free(ctx_);
        throw std::runtime_error("server certificate refused");
    }
    thread_ = std::thread([this] { Serve(); });
}

TlsPeer::~TlsPeer() {
    stop_ = true;
    thread_.join();
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
        pollfd p{listener_.Fd(), POLLIN, 0};
        if (::poll(&p, 1, 50) == 1) {
            int fd = ::accept(listener_.Fd(), nullptr, nullptr);
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
    if (!plainPrefix_.empty() && ::send(fd, plainPrefix_.data(), plainPrefix_.size(),
                                        MSG_NOSIGNAL) != static_cast<long>(plainPrefix_.size())) {
        return;
    }
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        if (options_.mode == TlsPeerMode::Talk) {
            talk_(ssl);
        } else if (options_.mode != TlsPeerMode::CloseAfterHandshake) {
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
