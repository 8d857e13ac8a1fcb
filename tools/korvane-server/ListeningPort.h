#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <sys/socket.h>

// A listening port in the server's epoll loop: opens it, takes in the clients waiting on it
// a bounded number per turn, and, when the process runs out of descriptors, stops watching
// it for a moment instead of spinning on the backlog. What becomes of a client is the
// owner's: each accepted descriptor is handed over with its peer's address.
class ListeningPort
{
public:
    using ClientHandler = std::function<void(int fd, const sockaddr_storage &peer, socklen_t length)>;

    ListeningPort() = default;
    ~ListeningPort();
    ListeningPort(const ListeningPort &) = delete;
    ListeningPort &operator=(const ListeningPort &) = delete;

    enum class OpenResult { Listening, CannotListen, CannotWatch };
    // Listens and adds the socket to the epoll queue. CannotListen says why in message;
    // with CannotWatch the reason is in errno.
    OpenResult open(int epollFd, const std::string &address, uint16_t port, std::string &message);
    // Takes over a socket already listening and adds it to the epoll queue; false with the
    // reason in errno.
    bool watch(int epollFd, int listenFd);
    // The listening descriptor, or -1.
    int fd() const { return FListen; }

    // Hands every client waiting (up to a turn's worth) to onClient. Returns 0, or the errno
    // value that made it pause.
    int acceptClients(int64_t nowNs, const ClientHandler &onClient);
    // When a pause ends (0 = none).
    int64_t wakeNs() const { return FPausedUntil; }
    // Watches the socket again once a pause is over.
    void runDue(int64_t nowNs);

private:
    int FEpoll = -1;
    int FListen = -1;
    int64_t FPausedUntil = 0;
};
