#include "platform/AwayFromTheEventLoop.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <cerrno>
#include <exception>
#include <system_error>
#include <thread>

#include "platform/EventLoopWait.h"

namespace {

class WakePipe {
public:
    WakePipe() {
        if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
    }
    ~WakePipe() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    int ReadEnd() const { return fds_[0]; }
    void Wake() const {
        const char byte = 1;
        // One byte into an empty pipe cannot fail for want of room.
        [[maybe_unused]] ssize_t written = ::write(fds_[1], &byte, 1);
    }

private:
    int fds_[2] = {-1, -1};
};

} // namespace

void RunAwayFromTheEventLoop(const std::function<void()>& work) {
    const QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() != app->thread()) {
        work();
        return;
    }
    // The worker's end wakes the loop through a pipe the loop watches, as it
    // watches the sockets of a session.
    WakePipe wake;
    bool ended = false;
    QSocketNotifier notifier(wake.ReadEnd(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] { ended = true; });

    std::exception_ptr failure;
    // Joined also when the wait is left by an exception.
    std::jthread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        wake.Wake();
    });
    ProcessMessagesUntil([&] { return ended; });
    worker.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
}
