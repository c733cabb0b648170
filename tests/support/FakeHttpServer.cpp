#include "support/FakeHttpServer.h"

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr std::size_t kMaxRequest = 256 * 1024;
constexpr int kReadTimeoutMs = 10000;

// Reads until `done` says the request is whole, the client closes, or the
// limits are reached.
template <typename Done> void ReadUntil(int fd, std::string& request, Done done) {
    char buffer[4096];
    while (!done() && request.size() < kMaxRequest) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kReadTimeoutMs) <= 0) {
            return;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return;
        }
        request.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string StatusText(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    default:
        return "Status";
    }
}

} // namespace

FakeHttpServer::FakeHttpServer(std::vector<Reply> replies) : replies_(std::move(replies)) {
    if (::pipe(stopPipe_) != 0) {
        throw std::runtime_error("pipe failed");
    }
    thread_ = std::thread([this] { Serve(); });
}

FakeHttpServer::~FakeHttpServer() {
    const char stop = 's';
    (void)!::write(stopPipe_[1], &stop, 1);
    thread_.join();
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

std::string FakeHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(listener_.Port()) + path;
}

std::vector<std::string> FakeHttpServer::Requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

void FakeHttpServer::Serve() {
    for (;;) {
        pollfd p[2] = {{listener_.Fd(), POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 || (p[1].revents & POLLIN) != 0) {
            return;
        }
        const int fd = ::accept(listener_.Fd(), nullptr, nullptr);
        if (fd >= 0) {
            Answer(fd);
            ::close(fd);
        }
    }
}

void FakeHttpServer::Answer(int fd) {
    std::string request;
    ReadUntil(fd, request, [&] { return request.find("\r\n\r\n") != std::string::npos; });
    const std::size_t headEnd = request.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        return;
    }
    std::size_t length = 0;
    const std::string head = request.substr(0, headEnd);
    for (const char* name : {"\r\nContent-Length:", "\r\ncontent-length:"}) {
        const std::size_t at = head.find(name);
        if (at != std::string::npos) {
            length = std::stoul(head.substr(at + std::strlen(name)));
        }
    }
    ReadUntil(fd, request, [&] { return request.size() >= headEnd + 4 + length; });
    const std::string line = head.substr(0, head.find("\r\n"));
    const std::string method = line.substr(0, line.find(' '));
    const std::size_t pathStart = line.find(' ') + 1;
    const std::string path = line.substr(pathStart, line.find(' ', pathStart) - pathStart);
    Reply reply{500, "{}"};
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(method + " " + path + "\n" + request.substr(headEnd + 4, length));
        if (next_ < replies_.size()) {
            reply = replies_[next_++];
        }
    }
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(lock_);
        hook = beforeAnswer_;
    }
    if (hook) {
        hook();
    }
    const std::string response =
        "HTTP/1.1 " + std::to_string(reply.status) + " " + StatusText(reply.status) +
        "\r\nContent-Type: application/json\r\nContent-Length: " +
        std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" + reply.body;
    std::size_t sent = 0;
    while (sent < response.size()) {
        const ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

void FakeHttpServer::BeforeEachAnswer(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(lock_);
    beforeAnswer_ = std::move(hook);
}
