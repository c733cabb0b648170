#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

ScriptedPeer::ScriptedPeer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_, 16) != 0 || ::pipe(stopPipe_) != 0) {
        throw std::runtime_error("ScriptedPeer: cannot listen on 127.0.0.1");
    }
    socklen_t length = sizeof address;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
    stopping_ = true;
    char byte = 0;
    (void)!::write(stopPipe_[1], &byte, 1);
    thread_.join();
    ::close(listen_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

void ScriptedPeer::Add(PeerScenario scenario) {
    std::lock_guard lock(mutex_);
    scenarios_.push_back(std::move(scenario));
}

int ScriptedPeer::Connections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(received_.size());
}

std::string ScriptedPeer::Received(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int>(received_.size())) {
        return "";
    }
    return received_[static_cast<std::size_t>(index)];
}

bool ScriptedPeer::Finished() const {
    std::lock_guard lock(mutex_);
    return finished_ >= static_cast<int>(scenarios_.size());
}

std::string ScriptedPeer::Errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

void ScriptedPeer::AddError(const std::string& text) {
    std::lock_guard lock(mutex_);
    errors_ += text + "\n";
}

// Waits until `fd` is readable (true) or the peer stops or time runs out
// (false). A negative timeout waits without limit.
bool ScriptedPeer::WaitReadable(int fd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    for (;;) {
        int n = ::poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n > 0 && fds[1].revents == 0 && fds[0].revents != 0;
    }
}

void ScriptedPeer::Run() {
    while (!stopping_) {
        if (!WaitReadable(listen_, -1)) {
            return;
        }
        int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        PeerScenario scenario;
        bool scripted = false;
        int index;
        {
            std::lock_guard lock(mutex_);
            index = static_cast<int>(received_.size());
            received_.emplace_back();
            if (index < static_cast<int>(scenarios_.size())) {
                scenario = scenarios_[static_cast<std::size_t>(index)];
                scripted = true;
            }
        }
        if (scripted) {
            Play(fd, index, scenario);
            std::lock_guard lock(mutex_);
            ++finished_;
        }
        ::close(fd);
    }
}

bool ScriptedPeer::SendAll(int fd, const std::string& data, bool byteAtATime) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        std::size_t chunk = byteAtATime ? 1 : data.size() - sent;
        long n = ::send(fd, data.data() + sent, chunk, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
        if (byteAtATime) {
            // Gives every byte its own segment and its own arrival.
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    }
    return true;
}

bool ScriptedPeer::ReadLine(int fd, int index, std::string& line, int timeoutMs) {
    line.clear();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || !WaitReadable(fd, static_cast<int>(left))) {
            return false;
        }
        char c;
        long n = ::recv(fd, &c, 1, 0);
        if (n <= 0) {
            return false;
        }
        {
            std::lock_guard lock(mutex_);
            received_[static_cast<std::size_t>(index)] += c;
        }
        if (c == '\n') {
            while (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return true;
        }
        line += c;
    }
}

void ScriptedPeer::Drain(int fd, int index) {
    char buffer[4096];
    while (WaitReadable(fd, -1)) {
        long n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return;
        }
        std::lock_guard lock(mutex_);
        received_[static_cast<std::size_t>(index)].append(buffer, static_cast<std::size_t>(n));
    }
}

void ScriptedPeer::Play(int fd, int index, const PeerScenario& scenario) {
    const std::string eol = scenario.lfOnly ? "\n" : "\r\n";
    const std::string where = "connection " + std::to_string(index) + ": ";
    int reply = 0;
    for (const std::string& step : scenario.script) {
        if (step.rfind("S:", 0) == 0 || step.rfind("S~", 0) == 0) {
            std::string text = step.size() > 3 ? step.substr(3) : "";
            if (reply == scenario.replaceReply) {
                text = scenario.replacement;
            }
            if (step[1] == ':') {
                text += eol;
            }
            if (reply == scenario.closeInReply) {
                SendAll(fd, text.substr(0, text.size() / 2), scenario.byteAtATime);
                ::shutdown(fd, SHUT_WR);
                Drain(fd, index);
                return;
            }
            ++reply;
            if (!SendAll(fd, text, scenario.byteAtATime)) {
                AddError(where + "client gone before \"" + step + "\"");
                return;
            }
        } else if (step.rfind("C:", 0) == 0) {
            std::string expected = step.size() > 3 ? step.substr(3) : "";
            std::string line;
            if (!ReadLine(fd, index, line, LineTimeoutMs)) {
                AddError(where + "no client line for \"" + step + "\"");
                return;
            }
            if (expected != "*" && line != expected) {
                AddError(where + "expected \"" + expected + "\", got \"" + line + "\"");
                return;
            }
        } else if (step == "CLOSE") {
            // Our side ends; the client sees the end of input, not a reset.
            ::shutdown(fd, SHUT_WR);
            Drain(fd, index);
            return;
        } else if (step == "HANG") {
            break;
        } else {
            AddError(where + "unknown script line \"" + step + "\"");
            return;
        }
    }
    Drain(fd, index);
}
