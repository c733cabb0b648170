#pragma once
// The application object. No exception may cross the Qt event loop (Qt's
// behaviour is undefined then), so every exception that escapes a handler -
// timer tick, button press, socket notification - is caught at event dispatch
// and handed to the one reporting entry point; the program goes on.
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

    static TGuardedApplication* Instance();
};
