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

void TGuardedApplication::HandleException(const std::exception& e) noexcept {
    try {
        if (OnException) {
            OnException(e);
            return;
        }
    } catch (...) {
        // A failing reporter must not take the program down with it.
    }
    std::fprintf(stderr, "%s: %s\n", ExceptionClassName(e).c_str(), e.what());
    std::fflush(stderr);
}
