#pragma once
// Small helpers shared by the socket tests.
#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "net/Psock.h"

inline void ConnectToPort(TPowersock& sock, int port) {
    sock.SetHost("127.0.0.1");
    sock.SetPort(port);
    sock.Connect();
    ASSERT_TRUE(sock.Connected());
}

template <class Peer> void ConnectTo(TPowersock& sock, const Peer& peer) {
    ConnectToPort(sock, peer.Port());
}

// The message of the E that f raises, or "(nothing raised)".
template <class E, class F> std::string MessageOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.Message();
    }
    return "(nothing raised)";
}

// A port on loopback where nobody listens.
inline int ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
