#include "tools/korvane-server/GracefulCloser.h"

#include <cerrno>
#include <linux/sockios.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

GracefulCloser::GracefulCloser(int epollFd, int64_t waitNs)
    : FEpoll(epollFd)
    , FWaitNs(waitNs)
{
}

GracefulCloser::~GracefulCloser()
{
    for (const auto &[fd, w] : FClosing)
        ::close(fd);
}

int GracefulCloser::discardInput(int fd)
{
    static char sink[65536];
    for (int turns = 0; turns < 64; ++turns) {
        // MSG_TRUNC on TCP drops the bytes in the kernel; the buffer only serves the fallback.
        ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && errno == EINVAL)
            n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n > 0)
            continue;
        if (n == 0)
            return 0;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 1 : -1;
    }
    return 1;
}

int64_t GracefulCloser::unacknowledged(int fd)
{
    int queued = 0;
    return ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

void GracefulCloser::close(int fd, int64_t nowNs)
{
    ::shutdown(fd, SHUT_WR);
    // What the peer sent is dropped: unread bytes at the close would turn it into a reset.
    if (discardInput(fd) <= 0) {
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.fd = fd;
    if (epoll_ctl(FEpoll, EPOLL_CTL_MOD, fd, &ev) != 0) {
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        return;
    }
    FClosing[fd] = Waiting{nowNs, unacknowledged(fd)};
}

void GracefulCloser::handle(int fd, uint32_t events)
{
    if (discardInput(fd) <= 0 || (events & (EPOLLERR | EPOLLHUP)))
        closeNow(fd);
}

void GracefulCloser::sweep(int64_t nowNs)
{
    std::vector<int> done;
    for (auto &[fd, w] : FClosing) {
        const int64_t queued = unacknowledged(fd);
        if (queued <= 0) {
            done.push_back(fd); // the peer has all of it, the end of stream included
            continue;
        }
        if (queued < w.queued)
            w.progressNs = nowNs;
        w.queued = queued;
        if (nowNs - w.progressNs >= FWaitNs)
            done.push_back(fd);
    }
    for (int fd : done)
        closeNow(fd);
}

void GracefulCloser::closeNow(int fd)
{
    epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    FClosing.erase(fd);
}
