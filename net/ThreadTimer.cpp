#include "net/ThreadTimer.h"

#include <QTimer>
#include <algorithm>
#include <cstdint>

#include "platform/AssignIfChanged.h"
#include "platform/GuardedApplication.h"

TThreadTimer::TThreadTimer() : timer_(std::make_unique<QTimer>()) {
    QObject::connect(timer_.get(), &QTimer::timeout, [this] {
        try {
            FireTimer();
        } catch (...) {
            ReportCallbackFailure(std::current_exception());
        }
    });
}

TThreadTimer::~TThreadTimer() {
    enabled_ = false;
    UpdateTimer();
}

void TThreadTimer::SetEnabled(bool value) {
    if (AssignIfChanged(enabled_, value)) {
        UpdateTimer();
    }
}

void TThreadTimer::SetInterval(unsigned value) {
    if (AssignIfChanged(interval_, value)) {
        UpdateTimer();
    }
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler) {
    OnTimer = std::move(handler);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer() {
    // The flag spares a call into the timer for every line read.
    if (running_) {
        timer_->stop();
        running_ = false;
    }
    if (interval_ != 0 && enabled_ && OnTimer) {
        timer_->start(static_cast<int>(std::min<unsigned>(interval_, INT32_MAX)));
        running_ = true;
    }
}

void TThreadTimer::FireTimer() {
    if (OnTimer) {
        OnTimer(this);
    }
}
