// Signals as calls from the event loop: raised in this very process, each
// comes back through the loop, never inside raise() (that is, inside the
// signal handler).
#include <csignal>
#include <gtest/gtest.h>
#include <vector>

#include "platform/SignalNotifier.h"
#include "support/WaitFor.h"

namespace {

volatile std::sig_atomic_t formerHandlerRan = 0;
extern "C" void FormerHandler(int) {
    formerHandlerRan = 1;
}

TEST(SignalNotifier, EachSignalIsCalledBackFromTheEventLoopNotFromItsHandler) {
    std::vector<int> got;
    TSignalNotifier notifier({SIGTERM, SIGINT, SIGHUP, SIGUSR1},
                             [&got](int signalNumber) { got.push_back(signalNumber); });
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
        SCOPED_TRACE(signalNumber);
        got.clear();
        ASSERT_EQ(std::raise(signalNumber), 0);
        EXPECT_TRUE(got.empty()) << "called back inside the signal handler";
        ASSERT_TRUE(WaitFor([&] { return !got.empty(); }));
        EXPECT_EQ(got, std::vector<int>{signalNumber});
    }
}

TEST(SignalNotifier, ASignalDuringACallbacksNestedWaitIsCalledBackInsideThatWait) {
    std::vector<int> got;
    bool nestedSeen = false;
    TSignalNotifier notifier({SIGUSR1, SIGHUP}, [&](int signalNumber) {
        got.push_back(signalNumber);
        if (signalNumber == SIGUSR1) {
            std::raise(SIGHUP);
            nestedSeen = WaitFor([&] { return got.size() == 2; });
        }
    });
    std::raise(SIGUSR1);
    ASSERT_TRUE(WaitFor([&] { return got.size() == 2; }));
    EXPECT_TRUE(nestedSeen);
    EXPECT_EQ(got, (std::vector<int>{SIGUSR1, SIGHUP}));
}

TEST(SignalNotifier, TheFormerHandlerIsBackOnceTheNotifierIsGone) {
    struct sigaction former {};
    former.sa_handler = FormerHandler;
    sigemptyset(&former.sa_mask);
    struct sigaction saved {};
    ASSERT_EQ(::sigaction(SIGUSR1, &former, &saved), 0);
    {
        int calls = 0;
        TSignalNotifier notifier({SIGUSR1}, [&calls](int) { ++calls; });
        std::raise(SIGUSR1);
        ASSERT_TRUE(WaitFor([&] { return calls == 1; }));
        EXPECT_EQ(formerHandlerRan, 0);
    }
    std::raise(SIGUSR1);
    EXPECT_EQ(formerHandlerRan, 1);
    ::sigaction(SIGUSR1, &saved, nullptr);
}

TEST(SignalNotifier, OnlyOneWatchesAtATime) {
    int calls = 0;
    TSignalNotifier first({SIGUSR1}, [&calls](int) { ++calls; });
    try {
        TSignalNotifier second({SIGUSR1}, [](int) {});
        FAIL() << "a second notifier was made";
    } catch (const EOSError& e) {
        EXPECT_STREQ(e.what(), "Unable to watch signals: another notifier watches them");
    }
    // The refused one took nothing from the first.
    std::raise(SIGUSR1);
    EXPECT_TRUE(WaitFor([&] { return calls == 1; }));
}

} // namespace
