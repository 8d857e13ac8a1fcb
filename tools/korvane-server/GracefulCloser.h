#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

// Ends connections without cutting what they still have queued. Closing a socket with
// data in flight leaves an orphan that the kernel resets under memory pressure, which
// destroys the end of a transfer the peer has not read yet. So the sending side is shut
// down (the peer reads everything, then end of stream) and the socket is kept until the
// peer closes, or everything sent is acknowledged, or nothing moved for the wait.
class GracefulCloser
{
public:
    GracefulCloser(int epollFd, int64_t waitNs);
    ~GracefulCloser();
    GracefulCloser(const GracefulCloser &) = delete;
    GracefulCloser &operator=(const GracefulCloser &) = delete;

    // Takes over fd, which must already be registered with the epoll queue.
    void close(int fd, int64_t nowNs);
    bool owns(int fd) const { return FClosing.count(fd) != 0; }
    void handle(int fd, uint32_t events);
    // Closes the sockets whose peer has everything, or that made no progress for the wait.
    void sweep(int64_t nowNs);
    size_t size() const { return FClosing.size(); }

    // Reads and drops what a socket has received, without copying it where the kernel
    // allows. Returns 0 at the peer's end of stream, -1 on an error, 1 when it would block.
    static int discardInput(int fd);
    // Bytes sent but not yet acknowledged, or -1.
    static int64_t unacknowledged(int fd);

private:
    struct Waiting
    {
        int64_t progressNs = 0;
        int64_t queued = 0;
    };

    void closeNow(int fd);

    int FEpoll;
    int64_t FWaitNs;
    std::unordered_map<int, Waiting> FClosing;
};
