#pragma once
// How a poll cycle keeps trying to log in while the server is away: a first
// pause that doubles after each failed attempt up to a ceiling, and a bound
// after which the cycle gives up and leaves it to the next poll.
#include <algorithm>

class TReconnectPolicy {
public:
    int FirstPauseMs = 2000;
    int MaxPauseMs = 60000;     // and never longer than the poll interval
    int GiveUpAfterMs = 300000; // measured from the first pause

    // The longest pause for a poll interval (0: no polling).
    int CeilingMs(int pollIntervalMs) const noexcept {
        return std::min(MaxPauseMs, pollIntervalMs > 0 ? pollIntervalMs : MaxPauseMs);
    }
    // The pause after `pauseMs` failed once more.
    int NextPauseMs(int pauseMs, int ceilingMs) const noexcept {
        return std::min(pauseMs * 2, std::max(ceilingMs, FirstPauseMs));
    }
    // A pause of `pauseMs` after `elapsedMs` would go past the bound.
    bool GivesUp(long long elapsedMs, int pauseMs) const noexcept {
        return elapsedMs + pauseMs > GiveUpAfterMs;
    }
};
