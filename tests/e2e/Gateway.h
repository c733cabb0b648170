#pragma once
// The whole program against the real local servers (scripts/mailservers):
// a fixture with its own Inbox, Outbox and settings file, the mailbox emptied
// first, and `mailgate --once` run as a child process with a deadline.
//
// Every test here shares the one mailbox of the local servers, so tests take
// a lock file beside it (as do scripts/demo and scripts/bench-gateway): two
// of them running at once would read each other's mail.
#include <QByteArray>
#include <QProcess>
#include <QStringList>

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/RealServers.h"
#include "support/TempDir.h"
#include "support/TestLogs.h"
#include "support/WaitFor.h"

#ifndef MAILGATE_BINARY
#error "MAILGATE_BINARY must name the mailgate executable"
#endif

namespace e2e {

namespace fs = std::filesystem;

// A message as a POP3 server sends it: CR LF line ends and a leading dot
// doubled, without the terminating line.
inline std::string DotStuffed(const std::string& message) {
    std::string wire;
    std::size_t start = 0;
    while (start < message.size()) {
        std::size_t end = message.find('\n', start);
        if (end == std::string::npos) {
            end = message.size();
        }
        std::string line = message.substr(start, end - start);
        if (!line.empty() && line[0] == '.') {
            wire += '.';
        }
        wire += line + "\r\n";
        start = end + 1;
    }
    return wire;
}

// Deadlines. A sanitizer build of the program runs several times slower.
constexpr int RunDeadlineMs = 180000;
constexpr int DeliveryDeadlineMs = 60000;
constexpr int LockDeadlineMs = 540000;

// Uid and gid the local servers keep the mailbox under (nobody).
constexpr uid_t MailUid = 65534;
constexpr gid_t MailGid = 65534;

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// Outbox files modified in the last two seconds wait for the next pass.
inline void SetModified(const std::string& path, int secondsFromNow) {
    auto t = fs::file_time_type::clock::now() + std::chrono::seconds(secondsFromNow);
    fs::last_write_time(path, t);
}

// The leading header line of an outbox file: tab-separated fields, the
// first "HDR", the 29th the recipient (followed by a tab).
inline std::string HeaderLine(const std::string& recipientField) {
    std::vector<std::string> fields(30, "x");
    fields[0] = "HDR";
    fields[28] = recipientField;
    fields[29] = "end";
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        line += (i ? "\t" : "") + fields[i];
    }
    return line + "\r\n";
}

// Reproducible bytes of every value, CR and LF included.
inline std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (auto& c : s) {
        c = static_cast<char>(gen() & 0xFF);
    }
    return s;
}

// Regular file names in a folder, hidden ones included.
inline std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        names.insert(e.path().filename().string());
    }
    return names;
}

// Output of one run of the program, `--once` or `--headless` (`mode`).
class MailgateRun {
public:
    explicit MailgateRun(const std::string& configPath, const char* mode = "--once") {
        process_.setProgram(QStringLiteral(MAILGATE_BINARY));
        process_.setArguments({QString::fromLatin1(mode), QStringLiteral("--config"),
                               QString::fromStdString(configPath)});
        process_.start();
    }
    // Any command line, e.g. --sign-in, in an environment of the test's own.
    MailgateRun(const QStringList& arguments, const QProcessEnvironment& environment) {
        process_.setProgram(QStringLiteral(MAILGATE_BINARY));
        process_.setArguments(arguments);
        process_.setProcessEnvironment(environment);
        process_.start();
    }
    ~MailgateRun() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
        Drain();
        KeepTestOutput("mailgate", out_ + err_);
    }
    MailgateRun(const MailgateRun&) = delete;
    MailgateRun& operator=(const MailgateRun&) = delete;

    bool WaitForOutput(const std::string& text, int ms = RunDeadlineMs) {
        return WaitFor(
            [&] {
                Drain();
                return out_.find(text) != std::string::npos;
            },
            ms);
    }

    void Signal(int signalNumber) {
        ::kill(static_cast<pid_t>(process_.processId()), signalNumber);
    }

    // False when the deadline passed; the program is then killed.
    bool Finish(int ms = RunDeadlineMs) {
        bool ended = WaitFor(
            [&] {
                Drain();
                return process_.state() == QProcess::NotRunning;
            },
            ms);
        if (!ended) {
            process_.kill();
            process_.waitForFinished(5000);
        }
        Drain();
        finished_ = ended;
        return ended;
    }

    int ExitCode() const {
        return finished_ && process_.exitStatus() == QProcess::NormalExit ? process_.exitCode()
                                                                          : -1;
    }
    const std::string& Output() const { return out_; }
    const std::string& Errors() const { return err_; }
    bool Said(const std::string& text) const { return out_.find(text) != std::string::npos; }

protected:
    void Drain() {
        out_ += process_.readAllStandardOutput().toStdString();
        err_ += process_.readAllStandardError().toStdString();
    }

private:
    QProcess process_;
    std::string out_;
    std::string err_;
    bool finished_ = false;
};

// A sanitizer build of the program reports memory faults on stderr and exits
// 1, which alone would pass for an ordinary failed cycle.
inline void ExpectNoSanitizerReport(const MailgateRun& run) {
    for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
        EXPECT_EQ(run.Errors().find(mark), std::string::npos) << run.Errors();
    }
}

inline std::string Transcript(const MailgateRun& run) {
    return "--- stdout:\n" + run.Output() + "--- stderr:\n" + run.Errors();
}

class Gateway : public ::testing::Test {
protected:
    void SetUp() override {
        servers_ = RealServers::FromEnvironment();
        MAILGATE_NEED_SERVERS(servers_);
        ASSERT_FALSE(servers_.maildir.empty()) << "MAILGATE_MAILDIR unset";
        TakeMailboxLock();
        ASSERT_GE(lockFd_, 0) << "another test kept the mailbox lock too long";
        EmptyMailbox();
        inbox_ = temp_.File("inbox");
        outbox_ = temp_.File("outbox");
        config_ = temp_.File("options.ini");
        fs::create_directories(inbox_);
        fs::create_directories(outbox_);
        WriteSettings({});
    }

    void TearDown() override {
        if (lockFd_ >= 0) {
            EmptyMailbox();
            ::close(lockFd_); // releases the lock
            lockFd_ = -1;
        }
    }

    // The settings file, with some keys replaced.
    void WriteSettings(const std::map<std::string, std::string>& overrides) {
        std::map<std::string, std::string> keys = {
            {"Host", servers_.host},    {"InPort", std::to_string(servers_.pop3Port)},
            {"UserId", servers_.user},  {"Password", servers_.password},
            {"Path", inbox_ + "/"},     {"Time", "0"},
            {"OutHost", servers_.host}, {"OutPort", std::to_string(servers_.smtpPort)},
            {"OutId", servers_.user},   {"Password2", servers_.password},
            {"OutPath", outbox_},       {"FromAddress", servers_.address},
        };
        for (const auto& [k, v] : overrides) {
            keys[k] = v;
        }
        std::string text = "[Account]\n";
        for (const auto& [k, v] : keys) {
            text += k + "=" + v + "\n";
        }
        WriteFile(config_, text);
    }

    // An addressed outbox file, old enough to be sent at once. Returns its bytes.
    std::string PutOutboxFile(const std::string& name, const std::string& payload,
                              const std::string& recipientField = "") {
        std::string data =
            HeaderLine(recipientField.empty() ? servers_.address : recipientField) + payload;
        PutRawOutboxFile(name, data);
        return data;
    }

    void PutRawOutboxFile(const std::string& name, const std::string& data) {
        WriteFile(outbox_ + "/" + name, data);
        SetModified(outbox_ + "/" + name, -60);
    }

    // Runs `mailgate --once` to its end; fails the test when it hangs.
    std::unique_ptr<MailgateRun> RunOnce() {
        auto run = std::make_unique<MailgateRun>(config_);
        EXPECT_TRUE(run->Finish())
            << "mailgate --once did not end within " << RunDeadlineMs << " ms\n"
            << Transcript(*run);
        ExpectNoSanitizerReport(*run);
        return run;
    }

    // Messages waiting in the mailbox (new and cur).
    int MailboxCount() const {
        return static_cast<int>(Names(servers_.maildir + "/new").size() +
                                Names(servers_.maildir + "/cur").size());
    }

    // Delivery by the SMTP server into the mailbox runs after it accepted
    // the mail, so it is waited for.
    bool WaitForMailbox(int count) const {
        return WaitFor([&] { return MailboxCount() >= count; }, DeliveryDeadlineMs) &&
               MailboxCount() == count;
    }

    void EmptyMailbox() const {
        std::error_code ec;
        for (const char* sub : {"new", "cur"}) {
            for (const auto& name : Names(servers_.maildir + "/" + sub)) {
                fs::remove(servers_.maildir + "/" + sub + "/" + name, ec);
            }
        }
    }

    // A message straight into the mailbox, as the delivery agent leaves it.
    void DeliverToMailbox(const std::string& message) const {
        static int serial = 0;
        std::string name = std::to_string(::time(nullptr)) + ".e2e" + std::to_string(::getpid()) +
                           "_" + std::to_string(++serial) + ".localhost";
        std::string tmp = servers_.maildir + "/tmp/" + name;
        WriteFile(tmp, message);
        if (::chown(tmp.c_str(), MailUid, MailGid) != 0) {
            ADD_FAILURE() << "cannot give " << tmp << " to the mail user (run as root)";
        }
        fs::rename(tmp, servers_.maildir + "/new/" + name);
    }

    // The files of a successful exchange: each one in the Inbox under its
    // own name with the same bytes, and nothing else there.
    void ExpectInboxHolds(const std::map<std::string, std::string>& files) const {
        std::set<std::string> expected;
        for (const auto& [name, data] : files) {
            expected.insert(name);
        }
        EXPECT_EQ(Names(inbox_), expected);
        for (const auto& [name, data] : files) {
            std::string got = ReadFile(inbox_ + "/" + name);
            EXPECT_EQ(got.size(), data.size()) << name;
            EXPECT_TRUE(got == data) << name << " differs from what was sent";
        }
    }

    // Send every file, then receive them back, checking each step.
    void RoundTrip(const std::map<std::string, std::string>& files) {
        auto send = RunOnce();
        EXPECT_EQ(send->ExitCode(), 0) << Transcript(*send);
        EXPECT_TRUE(send->Said("status: Files are Sent")) << Transcript(*send);
        EXPECT_TRUE(Names(outbox_).empty()) << "sent files must leave the Outbox";
        ASSERT_TRUE(WaitForMailbox(static_cast<int>(files.size())))
            << "mailbox holds " << MailboxCount() << " messages, expected " << files.size();

        auto receive = RunOnce();
        EXPECT_EQ(receive->ExitCode(), 0) << Transcript(*receive);
        ExpectInboxHolds(files);
        EXPECT_EQ(MailboxCount(), 0) << "received messages must be deleted on the server";
    }

    RealServers servers_;
    TempDir temp_;
    std::string inbox_;
    std::string outbox_;
    std::string config_;

private:
    void TakeMailboxLock() {
        std::string lockPath = fs::path(servers_.maildir).parent_path().string() + "/mailbox.lock";
        int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            return;
        }
        bool locked = WaitFor([&] { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }, LockDeadlineMs);
        if (!locked) {
            ::close(fd);
            return;
        }
        lockFd_ = fd;
    }

    int lockFd_ = -1;
};

// A multipart message whose second part is one attachment, base64-encoded.
inline std::string MessageWithAttachment(const std::string& fileName, const std::string& data) {
    std::string b64 = QByteArray::fromStdString(data).toBase64().toStdString();
    std::string wrapped;
    for (size_t i = 0; i < b64.size(); i += 76) {
        wrapped += b64.substr(i, 76) + "\n";
    }
    return "Return-Path: <sender@example.test>\n"
           "From: sender@example.test\n"
           "To: test@example.test\n"
           "Subject: attachment " +
           fileName +
           "\n"
           "MIME-Version: 1.0\n"
           "Content-Type: multipart/mixed; boundary=\"=_e2e_boundary\"\n"
           "\n"
           "This is a multi-part message in MIME format.\n"
           "\n"
           "--=_e2e_boundary\n"
           "Content-Type: text/plain; charset=us-ascii\n"
           "\n"
           "See the attachment.\n"
           "\n"
           "--=_e2e_boundary\n"
           "Content-Type: application/octet-stream; name=\"" +
           fileName +
           "\"\n"
           "Content-Transfer-Encoding: base64\n"
           "Content-Disposition: attachment; filename=\"" +
           fileName + "\"\n\n" + wrapped + "\n--=_e2e_boundary--\n";
}

} // namespace e2e
