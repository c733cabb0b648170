#pragma once
// Test servers listen on 127.0.0.1, on a port the system picks, so that tests
// running side by side never meet.
#include <netinet/in.h>

// A listening socket on 127.0.0.1 with a free port; closed with the object.
// The constructor raises std::runtime_error when it cannot listen.
class LoopbackListener {
public:
    explicit LoopbackListener(int backlog = 16);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int Fd() const noexcept { return fd_; }
    int Port() const noexcept { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// `port` on 127.0.0.1.
sockaddr_in LoopbackAddress(int port);

// A port on 127.0.0.1 where nobody listens.
int ClosedPort();
