#include "PacedPeer.h"

#include <algorithm>
#include <chrono>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

PacedPeer::PacedPeer(std::vector<PacedStep> steps, int lifetimeMs) : listener_(1) {
    if (::pipe(stopPipe_) != 0) {
        throw std::runtime_error("PacedPeer: no pipe");
    }
    thread_ = std::thread([this, s = std::move(steps), lifetimeMs] { Run(s, lifetimeMs); });
}

PacedPeer::~PacedPeer() {
    char byte = 0;
    (void)!::write(stopPipe_[1], &byte, 1);
    thread_.join();
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
    pollfd fds[2] = {{listener_.Fd(), POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, lifetimeMs) <= 0 || (fds[1].revents & POLLIN) != 0) {
        return;
    }
    int fd = ::accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
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
