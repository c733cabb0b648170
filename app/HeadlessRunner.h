#pragma once
// The gateway without window or tray (--headless, --once): the same poll
// cycle, its status texts and tray states printed as lines (see
// app/ConsoleLog.h for their form).
// Raises nothing: failures are reported as the window reports them.
#include <memory>
#include <string>

#include "app/ConsoleLog.h"
#include "app/CycleObserver.h"
#include "app/PollCycle.h"

class THeadlessRunner : private TCycleObserver {
public:
    // `console`: where the lines go (standard output when empty).
    explicit THeadlessRunner(std::string configPath, TConsoleLog::TSink console = {},
                             std::unique_ptr<TSmtpMail> smtp = nullptr);
    ~THeadlessRunner() override;

    // The start-up work; false when there is nothing to poll with (the
    // settings file is not configured or cannot be read).
    bool Start();
    // --once: the exit code of TPollCycle::RunOnce.
    int RunOnce();
    TPollCycle& Cycle() noexcept { return *cycle_; }

private:
    void Status(const std::string& text) override { console_.Status(text); }
    void TrayImage(TTrayImage image) override { console_.Tray(image); }
    void Caught(const std::exception& e) override { console_.Caught(e); }
    void Error(const std::string& text) override { console_.Error(text); }
    void SessionState(bool) override {}
    // What a window would show in its fields, for the new log-in an error
    // event asks for.
    void ShowSettings(const TSettings& settings) override { shown_ = settings; }
    void ShowInterval(int) override {}
    void SettingsNeeded(TLoadResult why) override;
    void LogInAgain() override { cycle_->LogIn(shown_, false); }
    void Progress(const TExchangeProgress& progress) override { progress_.Progress(progress); }
    void ProgressEnded() override { progress_.Ended(); }

    TConsoleLog console_;
    TProgressLines progress_{console_};
    TSettings shown_;
    std::unique_ptr<TPollCycle> cycle_;
};
