#pragma once
// The time-out timer of the socket component. A window-message timer in the
// original; here a QTimer on the same thread, so it fires only while the
// event loop runs (in the idle loop or inside a wait).
//
// Errors: the setters and UpdateTimer raise nothing. FireTimer raises what
// OnTimer raises; when the timer fires it from the event loop, that goes to
// ReportCallbackFailure (platform/GuardedApplication.h) and the timer keeps
// running.
#include <memory>

#include "platform/Component.h"
#include "platform/NonCopyable.h"

class QTimer;

class TThreadTimer : public TObject, NonCopyable {
public:
    TThreadTimer();
    ~TThreadTimer() override;

    bool Enabled() const noexcept { return enabled_; }
    void SetEnabled(bool value);
    unsigned Interval() const noexcept { return interval_; }
    void SetInterval(unsigned value);
    // OnTimer is a plain member; after assigning it call SetOnTimer or
    // UpdateTimer so that a timer without handler is not left running.
    void SetOnTimer(TNotifyEvent handler);
    TNotifyEvent OnTimer;

    // Runs the timer when Interval is not 0, it is Enabled and has an
    // OnTimer; stops it otherwise. Raises nothing.
    void UpdateTimer();
    // Calls OnTimer; raises what OnTimer raises.
    virtual void FireTimer();

private:
    bool enabled_ = true;
    unsigned interval_ = 1000;
    bool running_ = false;
    std::unique_ptr<QTimer> timer_;
};
