#pragma once
// Catches what the application's one reporting entry point is handed, for
// the tests of failures that have no caller to return to.
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "platform/GuardedApplication.h"

// What reaches the application's OnException while it lives, as
// "<class>: <message>".
class ReportedFailures {
public:
    ReportedFailures() : app_(TGuardedApplication::Instance()) {
        saved_ = app_->OnException;
        app_->OnException = [this](const std::exception& e) {
            texts.push_back(ExceptionClassName(e) + ": " + e.what());
        };
    }
    ~ReportedFailures() { app_->OnException = saved_; }
    ReportedFailures(const ReportedFailures&) = delete;
    ReportedFailures& operator=(const ReportedFailures&) = delete;

    std::vector<std::string> texts;

private:
    TGuardedApplication* app_;
    std::function<void(const std::exception&)> saved_;
};
