#include "platform/Timer.h"

TTimer::TTimer(int interval, bool enabled) : interval_(interval), enabled_(enabled) {
    timer_.setTimerType(Qt::CoarseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        if (OnTimer) {
            OnTimer(this);
        }
    });
    Apply();
}

void TTimer::SetEnabled(bool enabled) {
    enabled_ = enabled;
    Apply();
}

void TTimer::SetInterval(int interval) {
    interval_ = interval;
    Apply();
}

void TTimer::Apply() {
    if (enabled_ && interval_ > 0) {
        timer_.start(interval_);
    } else {
        timer_.stop();
    }
}
