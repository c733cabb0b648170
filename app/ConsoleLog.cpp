#include "app/ConsoleLog.h"

#include <QDateTime>
#include <cstdio>

#include "platform/Exception.h"

void TConsoleLog::Caught(const std::exception& e) const {
    Error(ExceptionClassName(e) + ": " + e.what());
}

void TConsoleLog::Line(const std::string& kind, const std::string& text) const {
    std::string line =
        QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz").toStdString() + " " +
        kind + ": " + text;
    if (sink_) {
        sink_(line);
    } else {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}
