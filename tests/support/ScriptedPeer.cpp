#include "ScriptedPeer.h"

#include <cerrno>
#include <chrono>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* kData = "C: <data>";
constexpr const char* kDataPrefix = "C: <data ";
// The longest line SMTP allows, without its line end.
constexpr std::size_t kMaxSmtpLine = 998;

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

} // namespace

ScriptedPeer::ScriptedPeer() {
    if (::pipe(stopPipe_) != 0) {
        throw std::runtime_error("ScriptedPeer: no pipe");
    }
    thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
    stopping_ = true;
    char byte = 0;
    (void)!::write(stopPipe_[1], &byte, 1);
    thread_.join();
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

std::vector<std::string> ScriptedPeer::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::string ScriptedPeer::ReceivedInShort(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int>(received_.size())) {
        return "";
    }
    const auto at = static_cast<std::size_t>(index);
    const std::string& all = received_[at];
    std::string shown;
    std::size_t from = 0;
    for (const auto& [start, length] : bodySpans_[at]) {
        shown += all.substr(from, start - from) + "<data>\r\n";
        from = start + length;
    }
    return shown + all.substr(from);
}

std::string ScriptedPeer::ExpectedInShort(int index) const {
    std::lock_guard lock(mutex_);
    const std::string where = "connection " + std::to_string(index) + ": ";
    if (index < 0 || index >= static_cast<int>(scenarios_.size())) {
        throw std::logic_error(where + "no scenario");
    }
    std::string wire;
    for (const std::string& step : scenarios_[static_cast<std::size_t>(index)].script) {
        if (step == "C: *" || StartsWith(step, kDataPrefix)) {
            throw std::logic_error(where + "\"" + step + "\" has no exact bytes");
        }
        if (StartsWith(step, "C:")) {
            wire += (step.size() > 3 ? step.substr(3) : "") + "\r\n";
        }
    }
    return wire;
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
        if (!WaitReadable(listener_.Fd(), -1)) {
            return;
        }
        int fd = ::accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
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
            bodySpans_.emplace_back();
            if (index < static_cast<int>(scenarios_.size())) {
                scenario = scenarios_[static_cast<std::size_t>(index)];
                scripted = true;
            }
        }
        if (scripted) {
            Input in{fd, index, {}};
            Play(in, scenario);
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

bool ScriptedPeer::ReadLine(Input& in, std::string& line) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(LineTimeoutMs);
    for (;;) {
        std::size_t eol = in.pending.find('\n');
        if (eol != std::string::npos) {
            line = in.pending.substr(0, eol + 1);
            in.pending.erase(0, eol + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || !WaitReadable(in.fd, static_cast<int>(left))) {
            return false;
        }
        char buffer[65536];
        long n = ::recv(in.fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return false;
        }
        in.pending.append(buffer, static_cast<std::size_t>(n));
        std::lock_guard lock(mutex_);
        received_[static_cast<std::size_t>(in.index)].append(buffer, static_cast<std::size_t>(n));
    }
}

bool ScriptedPeer::ReadBody(Input& in, long limit, const std::string& where) {
    std::size_t start;
    {
        std::lock_guard lock(mutex_);
        start = received_[static_cast<std::size_t>(in.index)].size() - in.pending.size();
    }
    std::string body;
    std::string line;
    while (limit < 0 || static_cast<long>(body.size()) < limit) {
        if (!ReadLine(in, line)) {
            AddError(where + "message ended early after " + std::to_string(body.size()) + " bytes");
            return false;
        }
        if (line.size() < 2 || line[line.size() - 2] != '\r') {
            AddError(where + "message line without CR LF: \"" + line + "\"");
            return false;
        }
        if (line.size() - 2 > kMaxSmtpLine) {
            AddError(where + "message line of " + std::to_string(line.size() - 2) + " characters");
            return false;
        }
        if (limit < 0 && line == ".\r\n") {
            std::lock_guard lock(mutex_);
            bodySpans_[static_cast<std::size_t>(in.index)].emplace_back(start, body.size() + 3);
            messages_.push_back(body);
            return true;
        }
        body += line;
    }
    return true;
}

void ScriptedPeer::Drain(Input& in) {
    char buffer[4096];
    while (WaitReadable(in.fd, -1)) {
        long n = ::recv(in.fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return;
        }
        std::lock_guard lock(mutex_);
        received_[static_cast<std::size_t>(in.index)].append(buffer, static_cast<std::size_t>(n));
    }
}

void ScriptedPeer::Play(Input& in, const PeerScenario& scenario) {
    const std::string eol = scenario.lfOnly ? "\n" : "\r\n";
    const std::string where = "connection " + std::to_string(in.index) + ": ";
    int reply = 0;
    for (const std::string& step : scenario.script) {
        if (StartsWith(step, "S:") || StartsWith(step, "S~")) {
            std::string text = step.size() > 3 ? step.substr(3) : "";
            if (reply == scenario.replaceReply) {
                text = scenario.replacement;
            }
            if (step[1] == ':') {
                text += eol;
            }
            if (reply == scenario.closeInReply) {
                SendAll(in.fd, text.substr(0, text.size() / 2), scenario.byteAtATime);
                ::shutdown(in.fd, SHUT_WR);
                Drain(in);
                return;
            }
            ++reply;
            if (!SendAll(in.fd, text, scenario.byteAtATime)) {
                AddError(where + "client gone before \"" + step + "\"");
                return;
            }
        } else if (step == kData || StartsWith(step, kDataPrefix)) {
            long limit =
                step == kData ? -1 : std::stol(step.substr(std::string(kDataPrefix).size()));
            if (!ReadBody(in, limit, where)) {
                return;
            }
        } else if (StartsWith(step, "C:")) {
            std::string expected = step.size() > 3 ? step.substr(3) : "";
            std::string line;
            if (!ReadLine(in, line)) {
                AddError(where + "no client line for \"" + step + "\"");
                return;
            }
            line.pop_back();
            while (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (expected != "*" && line != expected) {
                AddError(where + "expected \"" + expected + "\", got \"" + line + "\"");
                return;
            }
        } else if (step == "CLOSE") {
            // Our side ends; the client sees the end of input, not a reset.
            ::shutdown(in.fd, SHUT_WR);
            Drain(in);
            return;
        } else if (step == "RESET") {
            linger reset{1, 0};
            ::setsockopt(in.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            return;
        } else if (step == "HANG") {
            break;
        } else {
            AddError(where + "unknown script line \"" + step + "\"");
            return;
        }
    }
    Drain(in);
}
