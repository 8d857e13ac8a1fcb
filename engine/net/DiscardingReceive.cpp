#include "engine/net/DiscardingReceive.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/uio.h>

namespace {
std::atomic<bool> gInKernel{true};
} // namespace

ssize_t ReceiveDiscarding(int fd, void *scratch, size_t count, int flags)
{
    if (gInKernel.load(std::memory_order_relaxed)) {
        // With MSG_TRUNC on a TCP socket the count is what was taken off the queue; the
        // buffer is left untouched.
        const ssize_t n = ::recv(fd, scratch, count, flags | MSG_TRUNC);
        if (n >= 0 || (errno != EINVAL && errno != EOPNOTSUPP && errno != EFAULT))
            return n;
        gInKernel.store(false, std::memory_order_relaxed);
    }
    return ::recv(fd, scratch, count, flags);
}

namespace {

ssize_t receiveStamped(int fd, void *buffer, size_t count, int flags, int64_t &arrivalNs)
{
    iovec iov{buffer, count};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &msg, flags);
    arrivalNs = -1;
    if (n > 0) {
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts;
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                arrivalNs = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            }
        }
    }
    return n;
}

} // namespace

ssize_t ReceiveDiscardingStamped(int fd, void *scratch, size_t count, int flags, int64_t &arrivalNs)
{
    if (gInKernel.load(std::memory_order_relaxed)) {
        const ssize_t n = receiveStamped(fd, scratch, count, flags | MSG_TRUNC, arrivalNs);
        if (n >= 0 || (errno != EINVAL && errno != EOPNOTSUPP && errno != EFAULT))
            return n;
        gInKernel.store(false, std::memory_order_relaxed);
    }
    return receiveStamped(fd, scratch, count, flags, arrivalNs);
}

bool ReceiveDiscardingInKernel()
{
    return gInKernel.load(std::memory_order_relaxed);
}

void setReceiveDiscardingInKernel(bool enabled)
{
    gInKernel.store(enabled, std::memory_order_relaxed);
}
