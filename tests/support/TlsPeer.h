#pragma once
// A TLS server on 127.0.0.1:0 that serves one connection in a thread of its
// own: the other end for the TLS tests. Every wait of the server is bounded,
// so a client that misbehaves cannot hang a test.
#include <atomic>
#include <functional>
#include <openssl/ssl.h>
#include <thread>

#include "support/Loopback.h"
#include "support/TestPki.h"

enum class TlsPeerMode {
    Echo,                // handshake, then send back what arrives until the client closes
    CloseMidHandshake,   // read the client's hello, then close without a word
    ResetMidHandshake,   // read part of the client's hello, then close: a reset
    CloseAfterHandshake, // handshake, then close the socket without a TLS close
    Talk,                // handshake, then the peer's `talk` has the connection
};

struct TlsPeerOptions {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    TlsPeerMode mode = TlsPeerMode::Echo;
    int maxVersion = 0; // e.g. TLS1_1_VERSION; 0: OpenSSL's default
};

class TlsPeer {
public:
    // `talk` (mode Talk) is the dialogue after the handshake, on the peer's
    // thread; its reads time out after the limit the peer sets on the socket.
    // Raises std::runtime_error when the certificate is refused or it cannot
    // listen.
    // `plainPrefix` is sent in plain text at once after the accept, before
    // the handshake: a reply to the upgrade command, with whatever a man in
    // the middle put behind it.
    explicit TlsPeer(const TlsPeerOptions& options, std::function<void(SSL*)> talk = {},
                     std::string plainPrefix = {});
    ~TlsPeer();
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    int Port() const noexcept { return listener_.Port(); }
    // Bytes the server received after the handshake (read after the peer ended).
    std::size_t Received() const noexcept { return received_; }
    // Waits (bounded) until the connection was served.
    bool Finished(int timeoutMs = 10000);

private:
    void Serve();
    void ServeConnection(int fd);

    TlsPeerOptions options_;
    std::function<void(SSL*)> talk_;
    std::string plainPrefix_;
    SSL_CTX* ctx_ = nullptr;
    LoopbackListener listener_{4};
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<std::size_t> received_{0};
    std::thread thread_;
};
