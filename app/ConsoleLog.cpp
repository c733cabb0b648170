#include "app/ConsoleLog.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Exception.h"

TConsoleLog::TForm TConsoleLog::FormFor(const TEnvironment& environment,
                                        std::optional<std::pair<dev_t, ino_t>> stdoutId) {
    const std::optional<std::string> stream = environment("JOURNAL_STREAM");
    if (!stream || !stdoutId) {
        return TForm::Timestamped;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char rest = 0;
    if (std::sscanf(stream->c_str(), "%llu:%llu%c", &device, &inode, &rest) != 2) {
        return TForm::Timestamped;
    }
    return device == static_cast<unsigned long long>(stdoutId->first) &&
                   inode == static_cast<unsigned long long>(stdoutId->second)
               ? TForm::Journal
               : TForm::Timestamped;
}

TConsoleLog::TForm TConsoleLog::FormOfStandardOutput() {
    std::optional<std::pair<dev_t, ino_t>> id;
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) == 0) {
        id = std::make_pair(st.st_dev, st.st_ino);
    }
    return FormFor(
        [](const char* name) -> std::optional<std::string> {
            const char* value = std::getenv(name);
            return value ? std::optional<std::string>(value) : std::nullopt;
        },
        id);
}

void TConsoleLog::Caught(const std::exception& e) const {
    Error(ExceptionClassName(e) + ": " + e.what());
}

namespace {

// "2026-12-09 17:51:31.008" in local time. A long exchange prints a few
// lines per message; this costs a fraction of what a QDateTime does, which
// looks at the time zone file again for every line.
std::string Stamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm local {};
    ::localtime_r(&now.tv_sec, &local);
    char text[128]; // room for any value the fields could hold
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  now.tv_nsec / 1000000);
    return text;
}

} // namespace

void TConsoleLog::Line(const char* kind, const std::string& text, int priority) const {
    std::string line;
    if (form_ == TForm::Journal) {
        line = "<" + std::to_string(priority) + ">" + kind + ": " + text;
    } else {
        line = Stamp() + " " + kind + ": " + text;
    }
    if (sink_) {
        sink_(line);
    } else {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}
