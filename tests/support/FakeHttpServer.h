#pragma once
// A scripted HTTP/1.1 server on 127.0.0.1 (port chosen by the system) for
// clients that post forms and read JSON, such as the OAuth2 endpoints. Each
// request gets the next scripted reply and the connection is closed; every
// request is recorded as "<METHOD> <path>\n<body>". Requests beyond the
// script get a 500 reply. Runs on its own thread: the client under test may
// block.
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Loopback.h"

class FakeHttpServer {
public:
    struct Reply {
        int status = 200;
        std::string body; // sent as application/json
    };

    explicit FakeHttpServer(std::vector<Reply> replies);
    ~FakeHttpServer();
    FakeHttpServer(const FakeHttpServer&) = delete;
    FakeHttpServer& operator=(const FakeHttpServer&) = delete;

    // "http://127.0.0.1:<port><path>"
    std::string Url(const std::string& path) const;
    std::vector<std::string> Requests() const;
    // Run on the server's thread before each reply goes out: a server slow
    // to answer. Set before the first request.
    void BeforeEachAnswer(std::function<void()> hook);

private:
    void Serve();
    void Answer(int fd);

    LoopbackListener listener_;
    std::vector<Reply> replies_;
    std::size_t next_ = 0;
    mutable std::mutex lock_;
    std::vector<std::string> requests_;
    std::function<void()> beforeAnswer_;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};
