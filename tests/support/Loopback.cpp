#include "Loopback.h"

#include <arpa/inet.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Binds `fd` to 127.0.0.1 with a port the system picks; the port, or 0.
int BindAnyPort(int fd) {
    sockaddr_in address = LoopbackAddress(0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return 0;
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

} // namespace

LoopbackListener::LoopbackListener(int backlog) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    port_ = BindAnyPort(fd_);
    if (port_ == 0 || ::listen(fd_, backlog) != 0) {
        ::close(fd_);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
}

LoopbackListener::~LoopbackListener() {
    ::close(fd_);
}

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

int ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = BindAnyPort(fd);
    ::close(fd);
    return port;
}
