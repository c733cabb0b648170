// Peak memory of a retrieval, whatever the message's size or shape: a large
// attachment, millions of short lines, one very long line. Each case runs in
// its own process under ctest (label "long"), so the peak it measures is its
// own; the growth of the peak during the retrieval must stay under 64 MiB.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "../ScriptedPop3.h"
#include "pop3/NMpop3.h"
#include "support/Loopback.h"
#include "support/TempDir.h"

namespace {

constexpr long kMaxGrowthKiB = 64 * 1024;

long PeakKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Writes a generated message to the connection in large blocks, so that the
// server itself holds next to nothing.
class Sender {
public:
    explicit Sender(int fd) : fd_(fd) {}
    void Put(const std::string& text) {
        block_ += text;
        if (block_.size() >= (1u << 20)) {
            Flush();
        }
    }
    void Flush() {
        size_t done = 0;
        while (done < block_.size()) {
            ssize_t n = ::send(fd_, block_.data() + done, block_.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                failed_ = true;
                break;
            }
            done += static_cast<size_t>(n);
        }
        block_.clear();
    }
    bool Failed() const { return failed_; }

private:
    int fd_;
    std::string block_;
    bool failed_ = false;
};

// A POP3 server of one session with one message, made by `message`.
class GeneratingServer {
public:
    explicit GeneratingServer(std::function<void(Sender&)> message)
        : message_(std::move(message)), listener_(1) {
        thread_ = std::thread([this] { Serve(); });
    }
    ~GeneratingServer() { thread_.join(); }
    int Port() const { return listener_.Port(); }
    const std::string& Commands() const { return commands_; }

private:
    bool ReadLine(int fd, std::string& line) {
        line.clear();
        char c = 0;
        while (::recv(fd, &c, 1, 0) == 1) {
            line += c;
            if (c == '\n') {
                return true;
            }
        }
        return false;
    }
    void Serve() {
        int fd = ::accept(listener_.Fd(), nullptr, nullptr);
        Sender out(fd);
        out.Put("+OK ready\r\n");
        out.Flush();
        std::string line;
        while (ReadLine(fd, line)) {
            commands_ += line;
            if (line.rfind("CAPA", 0) == 0) {
                out.Put("-ERR unknown command\r\n"); // a server of the old kind: no STLS
            } else if (line.rfind("STAT", 0) == 0) {
                out.Put("+OK 1 0\r\n");
            } else if (line.rfind("RETR", 0) == 0) {
                out.Put("+OK\r\n");
                message_(out);
                out.Put(".\r\n");
            } else {
                out.Put("+OK\r\n");
            }
            out.Flush();
            if (line.rfind("QUIT", 0) == 0) {
                break;
            }
        }
        ::close(fd);
    }

    std::function<void(Sender&)> message_;
    LoopbackListener listener_;
    std::thread thread_;
    std::string commands_;
};

std::string Base64Line(size_t groups) {
    std::string line;
    line.reserve(groups * 4);
    for (size_t i = 0; i < groups; ++i) {
        line += "QUJD"; // "ABC"
    }
    return line;
}

void Header(Sender& out) {
    out.Put("Subject: large\r\nContent-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n"
            "--XX\r\nContent-Type: text/plain\r\n\r\nsee the file\r\n"
            "--XX\r\nContent-Type: application/octet-stream\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"big.bin\"\r\n\r\n");
}

// Retrieves the one message and returns how far the peak grew, in KiB.
long GrowthOfRetrieval(GeneratingServer& server, TempDir& inbox) {
    TNMPOP3 pop;
    SetUpTestClient(pop, server.Port(), inbox.Path(), 60000);
    pop.SetParse(true);
    pop.SetDeleteOnRead(true);
    pop.Connect();
    const long before = PeakKiB();
    pop.RetrieveMessage(1);
    const long growth = PeakKiB() - before;
    pop.Disconnect();
    return growth;
}

off_t SizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Retrieves the server's one message into a fresh Inbox: `file` must arrive
// with `size` bytes and the peak must grow by less than kMaxGrowthKiB.
void ExpectRetrievedInBoundedMemory(GeneratingServer& server, const char* file, off_t size) {
    TempDir inbox;
    const long growth = GrowthOfRetrieval(server, inbox);
    EXPECT_EQ(SizeOf(inbox.File(file)), size);
    EXPECT_LT(growth, kMaxGrowthKiB);
    std::printf("peak grew by %ld KiB\n", growth);
}

} // namespace

TEST(Pop3Memory, AttachmentOf200MB) {
    constexpr size_t kLines = 200u * 1000u * 1000u / 57u;
    GeneratingServer server([](Sender& out) {
        Header(out);
        const std::string line = Base64Line(19) + "\r\n"; // 76 characters, 57 bytes
        for (size_t i = 0; i < kLines; ++i) {
            out.Put(line);
        }
        out.Put("--XX--\r\n");
    });
    ExpectRetrievedInBoundedMemory(server, "big.bin", static_cast<off_t>(kLines * 57));
    EXPECT_NE(server.Commands().find("DELE 1\r\n"), std::string::npos);
}

TEST(Pop3Memory, TenMillionLinesOfThreeBytes) {
    constexpr size_t kLines = 10u * 1000u * 1000u;
    GeneratingServer server([](Sender& out) {
        out.Put("Subject: short lines\r\nContent-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n"
                "--XX\r\nContent-Type: text/plain\r\n\r\n");
        for (size_t i = 0; i < kLines; ++i) {
            out.Put("x\r\n");
        }
        out.Put("--XX\r\nContent-Disposition: attachment; filename=\"lines.txt\"\r\n\r\n");
        for (size_t i = 0; i < kLines; ++i) {
            out.Put("y\r\n");
        }
        out.Put("--XX--\r\n");
    });
    ExpectRetrievedInBoundedMemory(server, "lines.txt", static_cast<off_t>(kLines * 3 - 2));
}

TEST(Pop3Memory, OneBase64LineOf100MB) {
    constexpr size_t kGroups = 25u * 1000u * 1000u;
    GeneratingServer server([](Sender& out) {
        Header(out);
        const std::string piece = Base64Line(250000);
        for (size_t i = 0; i < kGroups / 250000; ++i) {
            out.Put(piece);
        }
        out.Put("\r\n--XX--\r\n");
    });
    ExpectRetrievedInBoundedMemory(server, "big.bin", static_cast<off_t>(kGroups * 3));
}
