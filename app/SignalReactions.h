#pragma once
// The program's answer to its signals, for the window and for --headless and
// --once alike:
//   SIGUSR1          a poll now, unless one is running
//   SIGHUP           the settings file read again before the next poll
//   SIGTERM, SIGINT  the program ends, exit status 0: a running poll stops at
//                    its next step (the message in progress is finished, no
//                    new one is begun) and ends its session with QUIT; after
//                    AbortAfterMs the client's wait is cut instead (the
//                    message in progress stays on the server, no partial
//                    file is left); after ForceAfterMs the process ends
//                    whatever still waits (an SMTP server that does not
//                    answer). A second such signal cuts the wait at once.
// Everything runs from the event loop (platform/SignalNotifier.h).
//
// Errors: the constructor raises what TSignalNotifier's raises; the
// reactions raise nothing (what goes wrong is reported as in a poll).
#include <QObject>
#include <QTimer>
#include <functional>

#include "app/PollCycle.h"
#include "platform/SignalNotifier.h"

class TSignalReactions {
public:
    struct TExit {
        // Ends the event loop of the program (QCoreApplication::exit(0) when
        // empty); a wait of the poll below it is left to unwind first.
        std::function<void()> Quit;
        // Ends the process at once with status 0 (standard streams flushed)
        // when empty.
        std::function<void()> Force;
        int AbortAfterMs = 5000;
        int ForceAfterMs = 9000;
    };

    explicit TSignalReactions(TPollCycle& cycle) : TSignalReactions(cycle, TExit()) {}
    TSignalReactions(TPollCycle& cycle, TExit exit);
    TSignalReactions(const TSignalReactions&) = delete;
    TSignalReactions& operator=(const TSignalReactions&) = delete;

    // SIGTERM or SIGINT came: the program ends with status 0 (an event
    // loop that was not running yet when it came must not be started).
    bool Terminating() const noexcept { return terminating_; }

private:
    void React(int signalNumber);
    void Terminate();

    TPollCycle& cycle_;
    TExit exit_;
    bool terminating_ = false;
    QTimer abortTimer_;
    QTimer forceTimer_;
    TSignalNotifier notifier_; // last: no call comes before the rest is made
};
