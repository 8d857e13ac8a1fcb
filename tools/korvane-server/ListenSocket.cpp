#include "tools/korvane-server/ListenSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
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
        message = "cannot use the listen address " + bracketedAddress(address) + ": "
                  + (rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc));
        return -1;
    }
    const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    const int zero = 0;
    // Systems that set net.ipv6.bindv6only would otherwise leave "::" IPv6 only.
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0
        || (ai->ai_family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) < 0)
        || ::bind(fd, ai->ai_addr, ai->ai_addrlen) < 0 || ::listen(fd, backlog) < 0) {
        error = errno;
        message = "cannot listen on " + bracketedAddress(address) + " port " + service + ": " + strerror(error);
        if (fd >= 0)
            ::close(fd);
        freeaddrinfo(ai);
        return -1;
    }
    freeaddrinfo(ai);
    return fd;
}

bool ipv6Available()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno != EAFNOSUPPORT && errno != EPROTONOSUPPORT;
    ::close(fd);
    return true;
}

std::string addressText(const sockaddr *addr, socklen_t len, bool withPort)
{
    sockaddr_in mapped{};
    if (addr->sa_family == AF_INET6 && len >= socklen_t(sizeof(sockaddr_in6))) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(addr);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            mapped.sin_family = AF_INET;
            mapped.sin_port = v6->sin6_port;
            std::memcpy(&mapped.sin_addr, v6->sin6_addr.s6_addr + 12, 4);
            addr = reinterpret_cast<const sockaddr *>(&mapped);
            len = sizeof mapped;
        }
    }
    char host[NI_MAXHOST] = "?";
    char serv[NI_MAXSERV] = "?";
    getnameinfo(addr, len, host, sizeof host, serv, sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV);
    if (!withPort)
        return host;
    return (addr->sa_family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + serv;
}

std::string bracketedAddress(const std::string &address)
{
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

std::string socketAddressText(int fd, bool peer)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if ((peer ? getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len)
              : getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len))
        != 0)
        return "?";
    return addressText(reinterpret_cast<const sockaddr *>(&addr), len, true);
}

std::string listeningText(int fd)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return "?";
    std::string text = addressText(reinterpret_cast<const sockaddr *>(&addr), len, true);
    int v6only = 1;
    socklen_t optLen = sizeof v6only;
    if (addr.ss_family == AF_INET6
        && IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6 *>(&addr)->sin6_addr)
        && getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &optLen) == 0 && v6only == 0)
        text += " (IPv4 and IPv6)";
    return text;
}
