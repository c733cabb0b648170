#pragma once
// The lines a run without window prints, to standard output (flushed at
// once, for a script reading them) or to the sink given, in one of two forms
// chosen when the log is made:
//   Timestamped  "<local time> <kind>: <text>"
//   Journal      "<N><kind>: <text>", for systemd's journal, which stamps
//                each line itself and reads the priority from the prefix:
//                <3> (error) for errors, <6> (info) for the rest.
// Raises nothing of its own.
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

#include "app/CycleObserver.h"

class TConsoleLog {
public:
    enum class TForm { Timestamped, Journal };
    using TSink = std::function<void(const std::string& line)>;
    // Reads an environment variable; nullopt when it is not set.
    using TEnvironment = std::function<std::optional<std::string>(const char* name)>;

    explicit TConsoleLog(TSink sink = {}, TForm form = TForm::Timestamped)
        : sink_(std::move(sink)), form_(form) {}

    // The form for lines written to standard output: Journal when systemd
    // connected it to the journal - JOURNAL_STREAM ("<device>:<inode>", in
    // decimal) names the very stream standard output is - else Timestamped
    // (a service whose output a wrapper sends elsewhere keeps its stamps).
    // `stdoutId`: device and inode of standard output, nullopt when it is
    // closed.
    static TForm FormFor(const TEnvironment& environment,
                         std::optional<std::pair<dev_t, ino_t>> stdoutId);
    // The same for this process.
    static TForm FormOfStandardOutput();

    TForm Form() const noexcept { return form_; }
    void Status(const std::string& text) const { Line("status", text, Info); }
    void Tray(TTrayImage image) const {
        Line("tray", std::to_string(static_cast<int>(image)), Info);
    }
    void Error(const std::string& text) const { Line("error", text, Failure); }
    // How far the exchange is (see app/Progress.h).
    void Progress(const std::string& text) const { Line("progress", text, Info); }
    // "<exception class>: <message>"
    void Caught(const std::exception& e) const;

private:
    // syslog priorities
    static constexpr int Failure = 3;
    static constexpr int Info = 6;
    void Line(const char* kind, const std::string& text, int priority) const;

    TSink sink_;
    TForm form_;
};
