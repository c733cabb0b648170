#include "app/OutboxSettle.h"

#include <algorithm>
#include <sys/stat.h>

TOutboxSettle::TState TOutboxSettle::Look(const std::string& fullName, int settleMs) {
    struct stat st {};
    if (::stat(fullName.c_str(), &st) != 0) {
        seen_.erase(fullName);
        return TState::Gone;
    }
    const long long mtimeNs = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    const TClock::time_point now = TClock::now();
    auto [it, added] = seen_.try_emplace(fullName);
    TSeen& seen = it->second;
    seen.seenThisRound = true;
    if (added || seen.size != st.st_size || seen.mtimeNs != mtimeNs || seen.inode != st.st_ino) {
        seen.size = st.st_size;
        seen.mtimeNs = mtimeNs;
        seen.inode = st.st_ino;
        seen.since = now;
        return settleMs <= 0 ? TState::Settled : TState::Changing;
    }
    return now - seen.since >= std::chrono::milliseconds(settleMs) ? TState::Settled
                                                                   : TState::Changing;
}

int TOutboxSettle::RemainingMs(const std::string& fullName, int settleMs) const {
    auto it = seen_.find(fullName);
    if (it == seen_.end() || settleMs <= 0) {
        return 0;
    }
    // Rounded up: a wait of this long really reaches the settle time.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(std::chrono::milliseconds(settleMs) -
                                                             (TClock::now() - it->second.since));
    return static_cast<int>(std::clamp<long long>(left.count(), 0, settleMs));
}

void TOutboxSettle::ForgetUnseen() {
    for (auto it = seen_.begin(); it != seen_.end();) {
        if (!it->second.seenThisRound) {
            it = seen_.erase(it);
        } else {
            it->second.seenThisRound = false;
            ++it;
        }
    }
}
