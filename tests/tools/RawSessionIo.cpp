#include "tests/tools/RawSessionIo.h"

#include <chrono>

#include <poll.h>
#include <sys/socket.h>

namespace RawSessionIo {

int64_t monoNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {

// Waits for input until the deadline: false when none came in time.
bool waitForInput(int fd, int64_t deadlineNs)
{
    pollfd p{fd, POLLIN, 0};
    const int64_t leftMs = (deadlineNs - monoNs()) / 1000000;
    return leftMs > 0 && ::poll(&p, 1, int(leftMs)) > 0;
}

} // namespace

bool sendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

bool readLine(int fd, std::string &line, int timeoutMs)
{
    line.clear();
    const int64_t deadline = monoNs() + int64_t(timeoutMs) * 1000000;
    for (;;) {
        if (!waitForInput(fd, deadline))
            return false;
        char c = 0;
        if (::recv(fd, &c, 1, 0) != 1)
            return false;
        if (c == '\n')
            return true;
        line += c;
    }
}

bool readMessage(int fd, SessionMessage &message, int timeoutMs)
{
    std::string line;
    std::string error;
    return readLine(fd, line, timeoutMs) && SessionProtocol::parse(line, message, error);
}

int64_t drain(int fd, int timeoutMs)
{
    static thread_local char buffer[1 << 16];
    int64_t total = 0;
    const int64_t deadline = monoNs() + int64_t(timeoutMs) * 1000000;
    for (;;) {
        if (!waitForInput(fd, deadline))
            return -1;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0)
            return total;
        if (n < 0)
            return -1;
        total += n;
    }
}

} // namespace RawSessionIo
