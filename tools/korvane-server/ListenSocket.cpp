#include "ListenSocket.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

int openListenSocket(const std::string &address, uint16_t port, int backlog, int &error, std::string &message)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *ai = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = getaddrinfo(address.c_str(), service.c_str(), &hints, &ai); rc != 0) {
        error = rc == EAI_SYSTEM ? errno : EINVAL;
        message = "cannot use the listen address " + address + ": " + (rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc));
        return -1;
    }
    const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0
        || ::bind(fd, ai->ai_addr, ai->ai_addrlen) < 0 || ::listen(fd, backlog) < 0) {
        error = errno;
        message = "cannot listen on " + address + " port " + service + ": " + strerror(error);
        if (fd >= 0)
            ::close(fd);
        freeaddrinfo(ai);
        return -1;
    }
    freeaddrinfo(ai);
    return fd;
}

std::string socketAddressText(int fd, bool peer)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if ((peer ? getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len)
              : getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len))
        != 0)
        return "?";
    char host[NI_MAXHOST] = "?";
    char serv[NI_MAXSERV] = "?";
    getnameinfo(reinterpret_cast<const sockaddr *>(&addr), len, host, sizeof host, serv, sizeof serv,
                NI_NUMERICHOST | NI_NUMERICSERV);
    return std::string(host) + ":" + serv;
}
