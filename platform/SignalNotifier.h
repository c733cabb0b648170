#pragma once
// POSIX signals as calls from the Qt event loop. The handler this installs
// does nothing but write the signal's number as one byte into a pipe (what a
// signal handler may safely do, errno kept); a QSocketNotifier on the pipe's
// other end reads the bytes and calls back, after its own activation has
// returned, so that the callback may wait in a nested event loop and a signal
// that comes meanwhile is called back from inside that wait.
//
// A signal handler gets no argument to find its notifier by: the pipe's
// write end is the one process-wide value here, and only one notifier may
// exist at a time.
//
// Errors: the constructor raises EOSError "Unable to watch signals: <reason>"
// when the pipe cannot be made or a handler not installed (nothing is left
// installed then), and "Unable to watch signals: another notifier watches
// them" for a second notifier. The destructor restores the handlers found
// and raises nothing; a signal that came but was not called back yet is
// dropped. The callback's exceptions go to ReportCallbackFailure.
#include <csignal>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "platform/Exception.h"

MAILGATE_EXCEPTION(EOSError, Exception);

class QSocketNotifier;

class TSignalNotifier {
public:
    using TCallback = std::function<void(int signalNumber)>;

    TSignalNotifier(std::initializer_list<int> signalNumbers, TCallback callback);
    ~TSignalNotifier();
    TSignalNotifier(const TSignalNotifier&) = delete;
    TSignalNotifier& operator=(const TSignalNotifier&) = delete;

private:
    void Drain();
    void Restore() noexcept;

    TCallback callback_;
    int readEnd_ = -1;
    int writeEnd_ = -1;
    std::vector<std::pair<int, struct sigaction>> previous_;
    std::unique_ptr<QSocketNotifier> notifier_;
};
