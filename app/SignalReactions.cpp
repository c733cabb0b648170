#include "app/SignalReactions.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <unistd.h>

TSignalReactions::TSignalReactions(TPollCycle& cycle, TExit exit)
    : cycle_(cycle), exit_(std::move(exit)),
      notifier_({SIGTERM, SIGINT, SIGHUP, SIGUSR1}, [this](int s) { React(s); }) {
    if (!exit_.Quit) {
        // Not quit(): that asks the windows to close, and the window only hides.
        exit_.Quit = [] { QCoreApplication::exit(0); };
    }
    if (!exit_.Force) {
        exit_.Force = [] {
            std::fflush(nullptr);
            ::_exit(0);
        };
    }
    abortTimer_.setSingleShot(true);
    forceTimer_.setSingleShot(true);
    QObject::connect(&abortTimer_, &QTimer::timeout, [this] { cycle_.AbortForExit(); });
    QObject::connect(&forceTimer_, &QTimer::timeout, [this] { exit_.Force(); });
    cycle_.EnableReloadAfterPoll();
}

void TSignalReactions::React(int signalNumber) {
    switch (signalNumber) {
    case SIGUSR1:
        cycle_.PollNow();
        break;
    case SIGHUP:
        cycle_.ReloadSettings();
        break;
    case SIGTERM:
    case SIGINT:
        Terminate();
        break;
    default:
        break;
    }
}

void TSignalReactions::Terminate() {
    if (terminating_) {
        // Asked again: no more waiting for the poll.
        cycle_.AbortForExit();
        return;
    }
    terminating_ = true;
    // Before the poll is told: ending an idle session waits in the loop too.
    abortTimer_.start(exit_.AbortAfterMs);
    forceTimer_.start(exit_.ForceAfterMs);
    exit_.Quit();
    cycle_.StopForSignal();
}
