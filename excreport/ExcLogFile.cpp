#include "excreport/ExcLogFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bounds what one cycle may keep in memory: distinct exceptions remembered,
// and the part of each message compared and quoted.
constexpr size_t maxRemembered = 64;
constexpr size_t maxMessage = 1024;
constexpr size_t maxQuoted = 200;

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Opened for appending and locked against other writers, or -1.
int OpenLocked(const std::string& fileName) {
    // Owner-only: the report shows addresses and stack contents of this
    // process.
    int fd = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string OneLine(const std::string& text, size_t most) {
    std::string line = text.substr(0, most);
    for (char& c : line) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    if (text.size() > most) {
        line += "...";
    }
    return line;
}

} // namespace

bool TExcLogFile::Append(const std::string& fileName, const std::string& text) const {
    int fd = OpenLocked(fileName);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0 &&
        static_cast<uint64_t>(st.st_size) + text.size() > sizeLimit_) {
        // Renamed while its lock is held, so a writer that opened it before
        // appends to the old file, never past the limit of the new one.
        if (::rename(fileName.c_str(), OldFileName(fileName).c_str()) == 0) {
            ::close(fd);
            fd = OpenLocked(fileName);
            if (fd < 0) {
                return false;
            }
        } else if (::ftruncate(fd, 0) != 0) {
            // Neither renamed nor emptied: the entry is lost rather than the
            // limit.
            ::close(fd);
            return false;
        }
    }
    // One write of the whole entry: it reaches the file before a crash that
    // may follow the report.
    bool written = WriteAll(fd, text);
    ::close(fd);
    return written;
}

bool TExcRepeats::IsRepeat(const std::string& className, const std::string& message) {
    std::string key = message.substr(0, maxMessage);
    for (auto& s : seen_) {
        if (s.ClassName == className && s.Message == key) {
            ++s.Repeats;
            return true;
        }
    }
    if (seen_.size() < maxRemembered) {
        seen_.push_back({className, std::move(key), 0});
    }
    return false;
}

std::string TExcRepeats::TakeSummary() {
    std::string summary;
    for (const auto& s : seen_) {
        if (s.Repeats > 0) {
            summary += "(the same exception was raised " + std::to_string(s.Repeats) +
                       (s.Repeats == 1 ? " more time: '" : " more times: '") + s.ClassName +
                       "', \"" + OneLine(s.Message, maxQuoted) + "\")\r\n";
        }
    }
    seen_.clear();
    return summary;
}
