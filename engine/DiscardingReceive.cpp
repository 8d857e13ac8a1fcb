#include "DiscardingReceive.h"

#include <atomic>
#include <cerrno>
#include <sys/socket.h>

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

bool ReceiveDiscardingInKernel()
{
    return gInKernel.load(std::memory_order_relaxed);
}

void setReceiveDiscardingInKernel(bool enabled)
{
    gInKernel.store(enabled, std::memory_order_relaxed);
}
