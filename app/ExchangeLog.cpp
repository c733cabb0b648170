#include "app/ExchangeLog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "platform/FileDigest.h"

namespace {

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

TExchangeLog::TExchangeLog(std::string target) : target_(std::move(target)) {}

TExchangeLog::~TExchangeLog() {
    Close();
    if (syslogOpen_) {
        ::closelog();
    }
}

TExchangeLog::TFileFacts TExchangeLog::FactsOf(const std::string& path) {
    TFileFacts facts;
    facts.name = BaseName(path);
    try {
        struct stat st {};
        const std::string digest = FileSha256(path, &st);
        facts.size = static_cast<std::uint64_t>(st.st_size);
        facts.sha256 = HexPrefix(digest, 16);
    } catch (const std::exception&) {
        // A file gone or unreadable is logged by name only.
    }
    return facts;
}

std::string TExchangeLog::Stamp(std::time_t when) {
    struct tm local {};
    ::localtime_r(&when, &local);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string stamp(text, n);
    if (stamp.size() >= 5) {
        // ISO 8601's extended form: "+01:00", as the date part has its dashes.
        stamp.insert(stamp.size() - 2, ":");
    }
    return stamp;
}

std::string TExchangeLog::Field(std::string_view text) {
    std::string field;
    field.reserve(std::min(text.size(), MaxFieldBytes));
    for (char c : text.substr(0, MaxFieldBytes)) {
        const auto u = static_cast<unsigned char>(c);
        field += u < 0x20 || u == 0x7F ? ' ' : c;
    }
    if (text.size() > MaxFieldBytes) {
        // Not half a UTF-8 sequence at the cut.
        std::size_t end = field.size();
        while (end > 0 && (static_cast<unsigned char>(field[end - 1]) & 0xC0) == 0x80) {
            --end;
        }
        if (end > 0 && (static_cast<unsigned char>(field[end - 1]) & 0x80) != 0) {
            const auto lead = static_cast<unsigned char>(field[end - 1]);
            const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            if (field.size() - (end - 1) < length) {
                field.resize(end - 1);
            }
        }
    }
    return field;
}

void TExchangeLog::Received(const TFileFacts& file, std::string_view id, std::string_view messageId,
                            std::string_view from) {
    const std::string size = std::to_string(file.size);
    Write("received", {file.name, size, file.sha256, id, messageId, from});
}

void TExchangeLog::Sent(const TFileFacts& file, std::string_view recipient,
                        std::string_view messageId, std::string_view reply) {
    const std::string size = std::to_string(file.size);
    Write("sent", {file.name, size, file.sha256, recipient, messageId, reply});
}

void TExchangeLog::Skipped(int number, std::string_view id, std::string_view messageId,
                           std::string_view why) {
    const std::string message = "message " + std::to_string(number);
    Write("skipped", {message, id, messageId, why});
}

void TExchangeLog::Refused(int number, std::string_view id, std::string_view messageId,
                           std::string_view why) {
    const std::string message = "message " + std::to_string(number);
    Write("refused", {message, id, messageId, why});
}

void TExchangeLog::Error(std::string_view what, std::string_view why) {
    Write("error", {what, why});
}

void TExchangeLog::Write(std::string_view event, std::initializer_list<std::string_view> fields) {
    if (!Enabled()) {
        return;
    }
    std::string line(event);
    for (std::string_view field : fields) {
        line += '\t';
        line += Field(field);
    }
    if (target_ == SyslogTarget) {
        if (!syslogOpen_) {
            ::openlog("mailgate", LOG_PID, LOG_MAIL);
            syslogOpen_ = true;
        }
        ::syslog((event == "error" ? LOG_ERR : LOG_INFO) | LOG_MAIL, "%s", line.c_str());
        return;
    }
    if (Append(Stamp(std::time(nullptr)) + "\t" + line + "\n")) {
        failureTold_ = false;
    }
}

bool TExchangeLog::Append(const std::string& line) {
    std::string why;
    if (!EnsureOpen(why)) {
        Failed(why);
        return false;
    }
    const ssize_t n = ::write(fd_, line.data(), line.size());
    if (n == static_cast<ssize_t>(line.size())) {
        return true;
    }
    Failed(n < 0 ? std::strerror(errno) : "the disk is full");
    // A file that takes no more may be replaced by the time of the next line.
    Close();
    return false;
}

bool TExchangeLog::EnsureOpen(std::string& why) {
    if (fd_ >= 0) {
        struct stat st {};
        if (::stat(target_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) {
            return true;
        }
        // Moved away or deleted: the lines go to a file at the path again.
        Close();
    }
    // O_NONBLOCK: a FIFO at the path fails at once instead of waiting for
    // a reader; it is no file to keep a log in.
    const int fd =
        ::open(target_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        ::close(fd);
        return false;
    }
    fd_ = fd;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return true;
}

void TExchangeLog::Close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void TExchangeLog::Failed(const std::string& why) {
    if (failureTold_) {
        return;
    }
    failureTold_ = true;
    if (OnWriteFailed) {
        OnWriteFailed("Cannot write the exchange log " + target_ + ": " + why);
    }
}
