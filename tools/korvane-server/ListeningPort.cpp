#include "tools/korvane-server/ListeningPort.h"

#include "tools/korvane-server/ListenSocket.h"

#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

constexpr int kMaxAcceptsPerTurn = 64;
constexpr int64_t kAcceptPauseNs = 100000000;

} // namespace

ListeningPort::~ListeningPort()
{
    if (FListen >= 0)
        ::close(FListen);
}

ListeningPort::OpenResult ListeningPort::open(int epollFd, const std::string &address, uint16_t port,
                                              std::string &message)
{
    int error = 0;
    const int fd = openListenSocket(address, port, 1024, error, message);
    if (fd < 0)
        return OpenResult::CannotListen;
    return watch(epollFd, fd) ? OpenResult::Listening : OpenResult::CannotWatch;
}

bool ListeningPort::watch(int epollFd, int listenFd)
{
    FEpoll = epollFd;
    FListen = listenFd;
    // Level-triggered: a client left in the backlog by a pause is taken once it is over,
    // without waiting for another to arrive.
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = FListen;
    return epoll_ctl(FEpoll, EPOLL_CTL_ADD, FListen, &ev) == 0;
}

int ListeningPort::acceptClients(int64_t now, const ClientHandler &onClient)
{
    for (int i = 0; i < kMaxAcceptsPerTurn; ++i) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        const int fd = accept4(FListen, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the backlog waits until the pause is over.
                const int error = errno;
                epoll_ctl(FEpoll, EPOLL_CTL_DEL, FListen, nullptr);
                FPausedUntil = now + kAcceptPauseNs;
                return error;
            }
            return 0;
        }
        onClient(fd, peer, len);
    }
    return 0;
}

void ListeningPort::runDue(int64_t now)
{
    if (FPausedUntil == 0 || FPausedUntil > now)
        return;
    FPausedUntil = 0;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = FListen;
    epoll_ctl(FEpoll, EPOLL_CTL_ADD, FListen, &ev);
}
