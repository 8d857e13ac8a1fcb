#include "tests/engine/LoopbackStreamServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace {
char gBlock[1 << 20];

int bindLoopback(uint16_t &port, bool ipv6 = false)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage storage{};
    socklen_t len;
    if (ipv6) {
        auto &addr = reinterpret_cast<sockaddr_in6 &>(storage);
        addr.sin6_family = AF_INET6;
        addr.sin6_addr = in6addr_loopback;
        len = sizeof addr;
    } else {
        auto &addr = reinterpret_cast<sockaddr_in &>(storage);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof addr;
    }
    auto *sa = reinterpret_cast<sockaddr *>(&storage);
    if (fd < 0 || ::bind(fd, sa, len) < 0 || ::getsockname(fd, sa, &len) < 0)
        throw std::runtime_error("cannot bind a loopback socket");
    port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6 &>(storage).sin6_port
                      : reinterpret_cast<sockaddr_in &>(storage).sin_port);
    return fd;
}
} // namespace

LoopbackStreamServer::LoopbackStreamServer(bool ipv6)
{
    FListen = bindLoopback(FPort, ipv6);
    if (::listen(FListen, 8) < 0)
        throw std::runtime_error("cannot listen on loopback");
}

LoopbackStreamServer::~LoopbackStreamServer()
{
    FStop = true;
    join();
    ::close(FListen);
}

void LoopbackStreamServer::join()
{
    if (FThread.joinable())
        FThread.join();
}

void LoopbackStreamServer::serveOnce(Session session)
{
    join();
    FThread = std::thread([this, session = std::move(session)] {
        pollfd p{FListen, POLLIN, 0};
        while (!FStop && ::poll(&p, 1, 50) == 0) {
        }
        if (FStop)
            return;
        const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        session(fd, *this);
        char sink[4096];
        ssize_t n;
        while ((n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT)) > 0)
            FFromClient += uint64_t(n);
        ::close(fd);
    });
}

bool LoopbackStreamServer::sendAll(int fd, uint64_t bytes)
{
    while (bytes > 0) {
        const ssize_t n = ::send(fd, gBlock, size_t(std::min<uint64_t>(bytes, sizeof gBlock)), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes -= uint64_t(n);
    }
    return true;
}

void LoopbackStreamServer::holdUntilClientCloses(int fd, const LoopbackStreamServer &server)
{
    pollfd p{fd, POLLIN, 0};
    while (!server.stopping()) {
        if (::poll(&p, 1, 50) > 0) {
            char c;
            if (::recv(fd, &c, 1, MSG_PEEK) <= 0)
                return;
        }
    }
}

uint16_t LoopbackStreamServer::unusedPort()
{
    uint16_t port = 0;
    ::close(bindLoopback(port)); // bound but never listened: connects are refused
    return port;
}
