#pragma once
// Whether an Outbox file has stopped changing. A file counts as settled when
// its size, modification time and inode looked the same at two looks at least
// the settle time apart, measured by our own monotonic clock: the file's own
// dates may lie (clock skew on a share, files unpacked with their dates).
#include <chrono>
#include <map>
#include <string>
#include <sys/types.h>

class TOutboxSettle {
public:
    enum class TState { Gone, Changing, Settled };

    // Looks at the file now and remembers what it saw.
    TState Look(const std::string& fullName, int settleMs);
    // Milliseconds until a file last seen changing could count as settled
    // (0 for a settled or unknown file); never more than settleMs.
    int RemainingMs(const std::string& fullName, int settleMs) const;
    // Forgets every file not looked at since the last call, so that what is
    // kept stays as small as the folder.
    void ForgetUnseen();

private:
    using TClock = std::chrono::steady_clock;
    struct TSeen {
        off_t size = 0;
        long long mtimeNs = 0;
        ino_t inode = 0;
        TClock::time_point since; // first look at which it looked like this
        bool seenThisRound = false;
    };
    std::map<std::string, TSeen> seen_;
};
