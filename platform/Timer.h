#pragma once
// A window-message timer: Enabled and Interval as separate properties, where
// switching it off and on restarts the full interval and an interval of 0
// never fires (a QTimer with interval 0 would fire at every loop turn).
#include <QTimer>
#include <functional>

#include "platform/Component.h"

class TTimer : public TObject {
public:
    TTimer(int interval, bool enabled);

    bool Enabled() const noexcept { return enabled_; }
    void SetEnabled(bool enabled);
    int Interval() const noexcept { return interval_; }
    void SetInterval(int interval);
    // Switches the timer off and on: the full interval starts anew.
    void Restart() {
        SetEnabled(false);
        SetEnabled(true);
    }
    // Whether a tick is really scheduled (false for interval 0).
    bool Running() const { return timer_.isActive(); }

    TNotifyEvent OnTimer;

private:
    void Apply();
    QTimer timer_;
    int interval_;
    bool enabled_;
};
