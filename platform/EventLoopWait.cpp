#include "platform/EventLoopWait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

void ProcessMessagesUntil(const std::function<bool()>& done) {
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void ProcessMessagesFor(int ms) {
    QDeadlineTimer deadline(ms);
    bool expired = false;
    // The single-shot tick wakes the loop at the deadline.
    QTimer wake;
    wake.setSingleShot(true);
    QObject::connect(&wake, &QTimer::timeout, [&expired] { expired = true; });
    wake.start(ms);
    ProcessMessagesUntil([&] { return expired || deadline.hasExpired(); });
}
