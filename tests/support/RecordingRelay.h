#pragma once
// A relay between a client and a real server on this machine that keeps what
// the client sent: what a listener on the path would see.
#include <atomic>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "support/Loopback.h"

// Relays one connection from 127.0.0.1:Port() to 127.0.0.1:target and keeps
// what the client sent. Every wait is bounded.
class RecordingRelay {
public:
    explicit RecordingRelay(int target) : target_(target) {
        thread_ = std::thread([this] { Run(); });
    }
    ~RecordingRelay() {
        stop_ = true;
        thread_.join();
    }
    int Port() const { return listener_.Port(); }
    bool Finished() const { return finished_; }
    std::string FromClient() {
        std::lock_guard<std::mutex> lock(mutex_);
        return fromClient_;
    }

private:
    void Run() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto late = [&] { return stop_ || std::chrono::steady_clock::now() > deadline; };
        int client = -1;
        while (client < 0 && !late()) {
            pollfd p{listener_.Fd(), POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                client = ::accept(listener_.Fd(), nullptr, nullptr);
            }
        }
        if (client < 0) {
            finished_ = true;
            return;
        }
        int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = LoopbackAddress(target_);
        if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            char buffer[16384];
            bool open = true;
            while (open && !late()) {
                pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (::poll(p, 2, 100) <= 0) {
                    continue;
                }
                for (int i = 0; i < 2 && open; ++i) {
                    if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                        continue;
                    }
                    long n = ::recv(p[i].fd, buffer, sizeof buffer, 0);
                    if (n <= 0) {
                        open = false;
                        break;
                    }
                    if (i == 0) {
                        std::lock_guard<std::mutex> lock(mutex_);
                        fromClient_.append(buffer, static_cast<std::size_t>(n));
                    }
                    const int to = i == 0 ? server : client;
                    if (::send(to, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
                        open = false;
                    }
                }
            }
        }
        ::close(server);
        ::close(client);
        finished_ = true;
    }

    int target_;
    LoopbackListener listener_{1};
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::mutex mutex_;
    std::string fromClient_;
    std::thread thread_;
};
