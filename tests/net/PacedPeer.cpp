#include "PacedPeer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

PacedPeer::PacedPeer(std::vector<PacedStep> steps, int lifetimeMs) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_, 1) != 0 || ::pipe(stopPipe_) != 0) {
        throw std::runtime_error("PacedPeer: cannot listen on 127.0.0.1");
    }
    socklen_t length = sizeof address;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, s = std::move(steps), lifetimeMs] { Run(s, lifetimeMs); });
}

PacedPeer::~PacedPeer() {
    char byte = 0;
    (void)!::write(stopPipe_[1], &byte, 1);
    thread_.join();
    ::close(listen_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

std::vector<PacedStep> PacedPeer::Trickle(int count, int pauseMs) {
    std::vector<PacedStep> steps;
    for (int i = 0; i < count; ++i) {
        steps.push_back({pauseMs, std::string(1, static_cast<char>('a' + i % 26))});
    }
    steps.push_back({pauseMs, "\r\n"});
    return steps;
}

bool PacedPeer::Pause(int ms) {
    pollfd stop{stopPipe_[0], POLLIN, 0};
    return ::poll(&stop, 1, ms) == 0;
}

void PacedPeer::Run(std::vector<PacedStep> steps, int lifetimeMs) {
    auto start = std::chrono::steady_clock::now();
    pollfd fds[2] = {{listen_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, lifetimeMs) <= 0 || (fds[1].revents & POLLIN) != 0) {
        return;
    }
    int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    bool stopped = false;
    for (const PacedStep& step : steps) {
        if (!Pause(step.pauseMs)) {
            stopped = true;
            break;
        }
        if (::send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) < 0) {
            break;
        }
    }
    if (!stopped) {
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
        Pause(static_cast<int>(std::max<long long>(lifetimeMs - spent, 0)));
    }
    linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}
