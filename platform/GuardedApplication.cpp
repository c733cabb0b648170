#include "platform/GuardedApplication.h"

#include <cstdio>

#include "platform/Exception.h"

TGuardedApplication::TGuardedApplication(int& argc, char** argv) : QApplication(argc, argv) {}

TGuardedApplication* TGuardedApplication::Instance() {
    return dynamic_cast<TGuardedApplication*>(QCoreApplication::instance());
}

bool TGuardedApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        HandleException(e);
    } catch (...) {
        HandleException(Exception("Unknown exception"));
    }
    return false;
}

namespace {

void WriteToStandardError(const std::exception& e) noexcept {
    try {
        std::fprintf(stderr, "%s: %s\n", ExceptionClassName(e).c_str(), e.what());
    } catch (...) {
        // No memory left for the class name: the message alone.
        std::fprintf(stderr, "%s\n", e.what());
    }
    std::fflush(stderr);
}

void Report(const std::exception& e) noexcept {
    if (auto* app = TGuardedApplication::Instance()) {
        app->HandleException(e);
    } else {
        WriteToStandardError(e);
    }
}

} // namespace

void ReportCallbackFailure(std::exception_ptr failure) noexcept {
    if (!failure) {
        return;
    }
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        Report(e);
    } catch (...) {
        try {
            Report(Exception("Unknown exception"));
        } catch (...) {
            // Not even the text could be made: nothing is left to report with.
        }
    }
}

void TGuardedApplication::HandleException(const std::exception& e) noexcept {
    try {
        if (OnException) {
            OnException(e);
            return;
        }
    } catch (...) {
        // A failing reporter must not take the program down with it.
    }
    WriteToStandardError(e);
}
