#include "app/ConsoleLog.h"

#include <QDateTime>
#include <cstdio>
#include <cstdlib>
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

void TConsoleLog::Line(const char* kind, const std::string& text, int priority) const {
    std::string line;
    if (form_ == TForm::Journal) {
        line = "<" + std::to_string(priority) + ">" + kind + ": " + text;
    } else {
        line = QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz").toStdString() +
               " " + kind + ": " + text;
    }
    if (sink_) {
        sink_(line);
    } else {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}
