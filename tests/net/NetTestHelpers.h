#pragma once
// Small helpers shared by the socket tests.
#include <chrono>
#include <gtest/gtest.h>

#include "net/Psock.h"
#include "support/Failure.h"
#include "support/Loopback.h"

inline void ConnectToPort(TPowersock& sock, int port) {
    sock.SetHost("127.0.0.1");
    sock.SetPort(port);
    sock.Connect();
    ASSERT_TRUE(sock.Connected());
}

template <class Peer> void ConnectTo(TPowersock& sock, const Peer& peer) {
    ConnectToPort(sock, peer.Port());
}

// Counts the OnDisconnect events of a socket (the handler it sets).
struct DisconnectCount {
    int count = 0;
    explicit DisconnectCount(TPowersock& sock) {
        sock.OnDisconnect = [this](TObject*) { ++count; };
    }
};

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
