#pragma once
// The lines a run without window prints: "<local time> <kind>: <text>", to
// standard output (flushed at once, for a script reading them) or to the
// sink given. Raises nothing of its own.
#include <exception>
#include <functional>
#include <string>

#include "app/CycleObserver.h"

class TConsoleLog {
public:
    using TSink = std::function<void(const std::string& line)>;
    explicit TConsoleLog(TSink sink = {}) : sink_(std::move(sink)) {}

    void Status(const std::string& text) const { Line("status", text); }
    void Tray(TTrayImage image) const { Line("tray", std::to_string(static_cast<int>(image))); }
    void Error(const std::string& text) const { Line("error", text); }
    // "<exception class>: <message>"
    void Caught(const std::exception& e) const;

private:
    void Line(const std::string& kind, const std::string& text) const;

    TSink sink_;
};
