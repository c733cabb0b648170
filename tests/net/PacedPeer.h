#pragma once
// A server for the time-out tests, on 127.0.0.1: it accepts one connection,
// sends its steps with a pause before each, and never reads, so a client that
// keeps sending finds its send buffer full. When the steps are done it stays
// silent; after `lifetimeMs` in all it resets the connection, so that a
// client which would wait for ever fails its test instead of hanging it.
#include <string>
#include <thread>
#include <vector>

#include "support/Loopback.h"

struct PacedStep {
    int pauseMs;
    std::string bytes;
};

class PacedPeer {
public:
    explicit PacedPeer(std::vector<PacedStep> steps, int lifetimeMs = 10000);
    ~PacedPeer();
    PacedPeer(const PacedPeer&) = delete;
    PacedPeer& operator=(const PacedPeer&) = delete;

    int Port() const noexcept { return listener_.Port(); }

    // `count` bytes, one a step, each after `pauseMs`, then CR LF.
    static std::vector<PacedStep> Trickle(int count, int pauseMs);

private:
    void Run(std::vector<PacedStep> steps, int lifetimeMs);
    // Sleeps `ms` unless the peer is being destroyed (false).
    bool Pause(int ms);

    LoopbackListener listener_;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};
