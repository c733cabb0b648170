#include "platform/AwayFromTheEventLoop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/WaitFor.h"

namespace {

// Set on the application's thread, awaited on the worker's.
class Signal {
public:
    void Raise() {
        std::lock_guard<std::mutex> hold(lock_);
        raised_ = true;
        changed_.notify_all();
    }
    bool AwaitFor(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, limit, [this] { return raised_; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool raised_ = false;
};

} // namespace

TEST(AwayFromTheEventLoop, TimersFireWhileTheWorkRuns) {
    Signal ticked;
    QTimer::singleShot(0, [&] { ticked.Raise(); });
    bool sawTick = false;
    // Work that ends only once the loop has run the timer: run on the loop's
    // own thread, it would wait out its limit and see nothing.
    RunAwayFromTheEventLoop([&] { sawTick = ticked.AwaitFor(std::chrono::seconds(10)); });
    EXPECT_TRUE(sawTick);
}

TEST(AwayFromTheEventLoop, EndsWhenCalledFromAPostedCall) {
    bool ran = false;
    bool returned = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [&] {
            RunAwayFromTheEventLoop([&] { ran = true; });
            returned = true;
        },
        Qt::QueuedConnection);
    EXPECT_TRUE(WaitFor([&] { return returned; }, 20000));
    EXPECT_TRUE(ran);
}

TEST(AwayFromTheEventLoop, WhatTheWorkRaisesReachesTheCallerUnchanged) {
    try {
        RunAwayFromTheEventLoop([] { throw std::runtime_error("Cannot reach the token server"); });
        FAIL() << "nothing raised";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot reach the token server");
    }
}

TEST(AwayFromTheEventLoop, OffTheApplicationsThreadTheWorkRunsInPlace) {
    std::thread::id caller;
    std::thread::id worker;
    std::thread other([&] {
        caller = std::this_thread::get_id();
        RunAwayFromTheEventLoop([&] { worker = std::this_thread::get_id(); });
    });
    other.join();
    EXPECT_EQ(caller, worker);
}
