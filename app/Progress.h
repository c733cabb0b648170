#pragma once
// How far a running exchange is, in words for the tray icon's tip and the
// headless output: "Receiving 37 of 200 (12.4 MiB)", "Sending 3 of 10".
// The headless output says it at most once per interval, so that a mailbox
// of thousands of small messages does not flood it; the time is a steady
// clock's, given by the caller so that tests need not wait.
// Raises nothing but std::bad_alloc.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

struct TExchangeProgress {
    enum class TLeg { Receiving, Sending };
    TLeg leg = TLeg::Receiving;
    int done = 0;            // messages read / the file being sent, counted from 1
    int total = 0;           // of the messages to fetch / the files in the Outbox
    std::uint64_t bytes = 0; // of the messages read; not shown for sending
};

std::string ProgressText(const TExchangeProgress& progress);

class TConsoleLog;

// The progress lines of a run without window.
class TProgressLines {
public:
    using TClock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::seconds DefaultInterval{5};

    explicit TProgressLines(
        const TConsoleLog& console, TClock clock = [] { return std::chrono::steady_clock::now(); },
        std::chrono::steady_clock::duration interval = DefaultInterval)
        : console_(console), clock_(std::move(clock)), interval_(interval) {}

    // A line when an interval has passed since the exchange began or since
    // the last line; a short exchange prints none.
    void Progress(const TExchangeProgress& progress);
    // The exchange has ended; the next one starts its interval anew.
    void Ended() noexcept { running_ = false; }

private:
    const TConsoleLog& console_;
    TClock clock_;
    std::chrono::steady_clock::duration interval_;
    bool running_ = false;
    std::chrono::steady_clock::time_point last_{};
};
