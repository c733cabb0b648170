#pragma once
// The application object. No exception may cross the Qt event loop (Qt's
// behaviour is undefined then), so every exception that escapes a handler -
// timer tick, button press, socket notification - is caught at event dispatch
// and handed to the one reporting entry point; the program goes on.
//
// Errors: HandleException, ReportCallbackFailure and notify raise nothing.
#include <QApplication>
#include <exception>
#include <functional>

class TGuardedApplication : public QApplication {
public:
    TGuardedApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Receives every exception caught at dispatch. Until a reporter is set,
    // the exception's class and message go to standard error.
    std::function<void(const std::exception& e)> OnException;

    // Reports `e` through OnException (or standard error); never throws.
    void HandleException(const std::exception& e) noexcept;

    // The running application when it is a TGuardedApplication, else null.
    static TGuardedApplication* Instance();
};

// For a failure a component caught where it may not let it pass (a socket
// notification, a libcurl callback, a status report in the middle of an
// operation) and must not drop either: hands it to the running application's
// HandleException, or writes its class and message to standard error when
// there is none. Anything that is not a std::exception is reported as
// Exception "Unknown exception". A null `failure` is ignored.
void ReportCallbackFailure(std::exception_ptr failure) noexcept;
