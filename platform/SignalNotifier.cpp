#include "platform/SignalNotifier.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "platform/GuardedApplication.h"

namespace {

// The write end of the one notifier's pipe, -1 when there is none. Lock-free,
// so the handler may read it.
std::atomic<int> signalPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void WriteSignalByte(int signalNumber) {
    const int saved = errno;
    const int fd = signalPipe.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds more wake-ups than anyone needs.
        [[maybe_unused]] ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

std::string Failure(const char* what) {
    return std::string("Unable to watch signals: ") + what + ": " + std::strerror(errno);
}

} // namespace

TSignalNotifier::TSignalNotifier(std::initializer_list<int> signalNumbers, TCallback callback)
    : callback_(std::move(callback)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw EOSError(Failure("pipe"));
    }
    readEnd_ = fds[0];
    writeEnd_ = fds[1];
    int none = -1;
    if (!signalPipe.compare_exchange_strong(none, writeEnd_)) {
        ::close(readEnd_);
        ::close(writeEnd_);
        throw EOSError("Unable to watch signals: another notifier watches them");
    }
    for (int signalNumber : signalNumbers) {
        struct sigaction action {};
        action.sa_handler = WriteSignalByte;
        sigemptyset(&action.sa_mask);
        // Interrupted reads and writes go on; waits that cannot be restarted
        // see EINTR, which the event loop takes in its stride.
        action.sa_flags = SA_RESTART;
        struct sigaction old {};
        if (::sigaction(signalNumber, &action, &old) != 0) {
            const std::string text = Failure("sigaction");
            Restore();
            throw EOSError(text);
        }
        previous_.emplace_back(signalNumber, old);
    }
    notifier_ = std::make_unique<QSocketNotifier>(readEnd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });
}

TSignalNotifier::~TSignalNotifier() {
    notifier_.reset(); // drops the calls not made yet
    Restore();
}

void TSignalNotifier::Restore() noexcept {
    for (auto it = previous_.rbegin(); it != previous_.rend(); ++it) {
        ::sigaction(it->first, &it->second, nullptr);
    }
    previous_.clear();
    signalPipe.store(-1);
    ::close(readEnd_);
    ::close(writeEnd_);
    readEnd_ = writeEnd_ = -1;
}

void TSignalNotifier::Drain() {
    unsigned char bytes[64];
    for (;;) {
        const ssize_t n = ::read(readEnd_, bytes, sizeof bytes);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return; // EAGAIN: drained
        }
        for (ssize_t i = 0; i < n; ++i) {
            const int signalNumber = bytes[i];
            // Queued: the callback may wait long, and the notifier must be
            // free to take the next signal meanwhile.
            QMetaObject::invokeMethod(
                notifier_.get(),
                [this, signalNumber] {
                    try {
                        callback_(signalNumber);
                    } catch (...) {
                        ReportCallbackFailure(std::current_exception());
                    }
                },
                Qt::QueuedConnection);
        }
    }
}
