// ReadLn throughput: 200 MB of 76-character lines from a loopback peer, read
// with a plain recv loop and with TPowersock::ReadLn in both its forms (a new
// string per line, and one reused string as the POP3 client reads a message
// body), in one run.
#include <QCoreApplication>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "net/Psock.h"

namespace {

constexpr std::size_t kLineLength = 76;
constexpr std::size_t kTotalBytes = 200u * 1000u * 1000u;

// Serves one connection with kTotalBytes of CR LF lines, then closes.
class LineServer {
public:
    LineServer() {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_, 1);
        socklen_t len = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LineServer() {
        thread_.join();
        ::close(listen_);
    }
    int Port() const { return port_; }
    std::size_t Lines() const { return kTotalBytes / (kLineLength + 2); }

private:
    void Serve() {
        int fd = ::accept(listen_, nullptr, nullptr);
        std::string line(kLineLength, 'x');
        for (std::size_t i = 0; i < kLineLength; ++i) {
            line[i] = static_cast<char>('A' + i % 26);
        }
        line += "\r\n";
        std::string block;
        while (block.size() < (1u << 20)) {
            block += line;
        }
        std::size_t toSend = Lines() * line.size();
        while (toSend > 0) {
            std::size_t n = std::min(toSend, block.size());
            long sent = ::send(fd, block.data(), n, MSG_NOSIGNAL);
            if (sent <= 0) {
                break;
            }
            toSend -= static_cast<std::size_t>(sent);
        }
        ::close(fd);
    }

    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
};

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU time of the reading thread: the machine may be shared, and the wall
// clock then measures the neighbours as much as the code.
double ThreadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Result {
    double wallRate;
    double cpuRate;
};

Result PlainRecv() {
    LineServer server;
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(server.Port()));
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    static char buffer[65536];
    std::size_t total = 0;
    auto start = std::chrono::steady_clock::now();
    double cpuStart = ThreadCpuSeconds();
    for (;;) {
        long n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        total += static_cast<std::size_t>(n);
    }
    double s = Seconds(start);
    double cpu = ThreadCpuSeconds() - cpuStart;
    ::close(fd);
    std::printf("plain recv: %zu bytes in %.3f s = %.1f MB/s (%.3f s CPU)\n", total, s,
                total / s / 1e6, cpu);
    return {total / s, total / cpu};
}

enum class LineForm { NewString, ReusedString };

Result WithReadLn(LineForm form) {
    LineServer server;
    TPowersock sock;
    sock.SetHost("127.0.0.1");
    sock.SetPort(server.Port());
    sock.Connect();
    std::size_t total = 0;
    std::size_t lines = 0;
    std::string reused;
    auto start = std::chrono::steady_clock::now();
    double cpuStart = ThreadCpuSeconds();
    for (;;) {
        std::size_t size;
        if (form == LineForm::NewString) {
            std::string line = sock.ReadLn();
            size = line.size();
        } else {
            sock.ReadLn(reused);
            size = reused.size();
        }
        if (size == 0) {
            break;
        }
        total += size;
        ++lines;
    }
    double s = Seconds(start);
    double cpu = ThreadCpuSeconds() - cpuStart;
    std::printf("ReadLn, %s: %zu bytes (%zu lines) in %.3f s = %.1f MB/s (%.3f s CPU)\n",
                form == LineForm::NewString ? "new string per line" : "one reused string  ", total,
                lines, s, total / s / 1e6, cpu);
    if (lines != server.Lines()) {
        std::printf("ERROR: expected %zu lines\n", server.Lines());
    }
    return {total / s, total / cpu};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Result plain = PlainRecv();
    Result fresh = WithReadLn(LineForm::NewString);
    Result reused = WithReadLn(LineForm::ReusedString);
    std::printf("ReadLn / plain recv throughput ratio (goal: at least 0.50):\n"
                "  new string per line: %.2f wall clock, %.2f per CPU second\n"
                "  one reused string:   %.2f wall clock, %.2f per CPU second\n",
                fresh.wallRate / plain.wallRate, fresh.cpuRate / plain.cpuRate,
                reused.wallRate / plain.wallRate, reused.cpuRate / plain.cpuRate);
    return reused.wallRate / plain.wallRate >= 0.5 ? 0 : 1;
}
