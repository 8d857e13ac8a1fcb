#include "tools/korvane-server/CongestionControl.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

bool CongestionControl::available(const std::string &name, std::string &error)
{
    if (name.empty())
        return true;
    // Asked of a socket of the kind the connections are: the kernel loads the module if it can,
    // and refuses one outside net.ipv4.tcp_allowed_congestion_control to the unprivileged.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        return false;
    }
    const bool ok = ::setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, name.data(), socklen_t(name.size())) == 0;
    if (!ok) {
        const int e = errno;
        error = "congestion control " + name + " cannot be used here: " + std::strerror(e);
        if (e == ENOENT)
            error += " (see net.ipv4.tcp_available_congestion_control)";
        else if (e == EPERM)
            error += " (see net.ipv4.tcp_allowed_congestion_control)";
    }
    ::close(fd);
    return ok;
}

void CongestionControl::apply(int fd, const std::string &name)
{
    if (!name.empty())
        ::setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, name.data(), socklen_t(name.size()));
}
