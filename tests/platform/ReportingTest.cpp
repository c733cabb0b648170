// The one reporting entry point for failures caught where they may not pass:
// every kind of failure reaches the application's OnException once, with its
// class and message; without a reporter they go to standard error.
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "platform/GuardedApplication.h"

namespace {

struct Reporting : ::testing::Test {
    TGuardedApplication* app = TGuardedApplication::Instance();
    std::function<void(const std::exception&)> saved;
    std::vector<std::string> texts;

    void SetUp() override {
        ASSERT_NE(app, nullptr);
        saved = app->OnException;
        app->OnException = [this](const std::exception& e) {
            texts.push_back(ExceptionClassName(e) + ": " + e.what());
        };
    }
    void TearDown() override {
        if (app != nullptr) {
            app->OnException = saved;
        }
    }

    template <class F> static std::exception_ptr FailureOf(F&& raise) {
        try {
            raise();
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    }
};

TEST_F(Reporting, EveryKindOfFailureReachesTheReporterOnce) {
    struct Case {
        const char* name;
        std::exception_ptr failure;
        const char* reported;
    };
    const Case cases[] = {
        {"ours", FailureOf([] { throw EInOutError("Write error on a.txt: disk full"); }),
         "EInOutError: Write error on a.txt: disk full"},
        {"standard", FailureOf([] { throw std::runtime_error("no luck"); }),
         "std::runtime_error: no luck"},
        {"not an exception class", FailureOf([] { throw 42; }), "Exception: Unknown exception"},
    };
    for (const Case& c : cases) {
        texts.clear();
        ReportCallbackFailure(c.failure);
        EXPECT_EQ(texts, (std::vector<std::string>{c.reported})) << c.name;
    }
}

TEST_F(Reporting, NoFailureNoReport) {
    ReportCallbackFailure(nullptr);
    EXPECT_TRUE(texts.empty());
}

TEST_F(Reporting, WithoutAWorkingReporterTheFailureGoesToStandardError) {
    std::exception_ptr failure = FailureOf([] { throw EInOutError("disk full"); });

    app->OnException = nullptr;
    ::testing::internal::CaptureStderr();
    ReportCallbackFailure(failure);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "EInOutError: disk full\n");

    app->OnException = [](const std::exception&) { throw std::runtime_error("reporter broke"); };
    ::testing::internal::CaptureStderr();
    ReportCallbackFailure(failure);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "EInOutError: disk full\n");
}

} // namespace
