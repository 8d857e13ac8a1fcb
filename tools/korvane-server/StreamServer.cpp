#include "StreamServer.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kSendChunk = 1 << 20;
alignas(4096) char gPayload[kSendChunk]; // content is never inspected by the client

int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string describePeer(const sockaddr_storage &addr)
{
    char host[NI_MAXHOST] = "?";
    char port[NI_MAXSERV] = "?";
    getnameinfo(reinterpret_cast<const sockaddr *>(&addr), sizeof addr, host, sizeof host, port, sizeof port,
                NI_NUMERICHOST | NI_NUMERICSERV);
    return std::string(host) + ":" + port;
}

} // namespace

StreamServer::StreamServer(const ServerOptions &options)
    : FOptions(options)
{
}

StreamServer::~StreamServer()
{
    for (auto &[fd, c] : FConnections)
        ::close(fd);
    for (int fd : {FListen, FEpoll, FSignals})
        if (fd >= 0)
            ::close(fd);
}

bool StreamServer::setUp()
{
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    FSignals = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *ai = nullptr;
    const std::string port = std::to_string(FOptions.port);
    if (int rc = getaddrinfo(FOptions.listenAddress.c_str(), port.c_str(), &hints, &ai); rc != 0) {
        std::fprintf(stderr, "korvane-server: bad listen address %s: %s\n", FOptions.listenAddress.c_str(), gai_strerror(rc));
        return false;
    }
    FListen = ::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (FListen < 0 || setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0
        || ::bind(FListen, ai->ai_addr, ai->ai_addrlen) < 0 || ::listen(FListen, 1024) < 0) {
        std::fprintf(stderr, "korvane-server: cannot listen on %s port %s: %s\n", FOptions.listenAddress.c_str(),
                     port.c_str(), strerror(errno));
        freeaddrinfo(ai);
        return false;
    }
    freeaddrinfo(ai);

    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(FListen, reinterpret_cast<sockaddr *>(&bound), &len);
    std::fprintf(stderr, "korvane-server: listening on %s\n", describePeer(bound).c_str());

    FEpoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = FListen;
    epoll_ctl(FEpoll, EPOLL_CTL_ADD, FListen, &ev);
    ev.data.fd = FSignals;
    epoll_ctl(FEpoll, EPOLL_CTL_ADD, FSignals, &ev);
    if (FSignals < 0 || FEpoll < 0)
        return false;
    FCounters.startTimeSeconds = double(std::time(nullptr));
    if (FOptions.metricsPort >= 0) {
        FMetrics = std::make_unique<MetricsEndpoint>(FOptions.metricsAddress, uint16_t(FOptions.metricsPort),
                                                     [this] { return counters(); });
        return FMetrics->open(FEpoll);
    }
    return true;
}

int StreamServer::run()
{
    if (!setUp())
        return 1;
    std::vector<epoll_event> events(256);
    for (;;) {
        const int n = epoll_wait(FEpoll, events.data(), int(events.size()), nextTimeoutMs(nowNs()));
        if (n < 0 && errno != EINTR) {
            std::perror("korvane-server: epoll_wait");
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == FSignals) {
                // Connections cut short still get their line, so no transfer goes unreported.
                std::vector<int> open;
                for (const auto &[connection, c] : FConnections)
                    open.push_back(connection);
                for (int connection : open)
                    finish(connection, "server stopped");
                std::fprintf(stderr, "korvane-server: stopped\n");
                return 0;
            }
            if (fd == FListen) {
                acceptClients();
                continue;
            }
            if (FMetrics && FMetrics->owns(fd)) {
                FMetrics->handle(fd, events[i].events);
                continue;
            }
            auto it = FConnections.find(fd);
            if (it == FConnections.end())
                continue;
            if (events[i].events & (EPOLLERR | EPOLLHUP)) {
                finish(fd, "connection lost");
                continue;
            }
            pump(it->second, nowNs());
        }
        runDueConnections(nowNs());
    }
}

void StreamServer::acceptClients()
{
    for (;;) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        const int fd = accept4(FListen, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: stop accepting for a moment instead of spinning on the backlog.
                std::fprintf(stderr, "korvane-server: accept: %s\n", strerror(errno));
                ++FCounters.errorsTotal;
                epoll_ctl(FEpoll, EPOLL_CTL_DEL, FListen, nullptr);
                FAcceptPausedUntil = nowNs() + 100000000;
            }
            return;
        }
        ++FCounters.connectionsTotal;
        Connection c;
        c.fd = fd;
        c.peer = describePeer(peer);
        c.startNs = nowNs();
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.fd = fd;
        epoll_ctl(FEpoll, EPOLL_CTL_ADD, fd, &ev);
        auto &stored = FConnections[fd] = c;
        pump(stored, c.startNs);
    }
}

void StreamServer::setWriteInterest(Connection &c, bool on)
{
    if (c.wantWrite == on)
        return;
    epoll_event ev{};
    ev.events = on ? uint32_t(EPOLLOUT) : 0u;
    ev.data.fd = c.fd;
    epoll_ctl(FEpoll, EPOLL_CTL_MOD, c.fd, &ev);
    c.wantWrite = on;
}

void StreamServer::pump(Connection &c, int64_t now)
{
    const bool timed = FOptions.seconds > 0;
    const int64_t durationNs = timed ? int64_t(std::llround(FOptions.seconds * 1e9)) : 0;
    for (;;) {
        if (timed ? now - c.startNs >= durationNs : c.sent >= FOptions.bytes) {
            finish(c.fd);
            return;
        }
        uint64_t allowed = timed ? UINT64_MAX : FOptions.bytes - c.sent;
        if (FOptions.rate > 0) {
            // Pacing by what the elapsed time allows, so short delays are caught up later.
            const long double due = (long double)(now - c.startNs) * FOptions.rate / 1e9L;
            const uint64_t budget = due > c.sent ? uint64_t(due - c.sent) : 0;
            allowed = std::min(allowed, budget);
            if (allowed == 0) {
                const uint64_t step = std::max<uint64_t>(1, FOptions.rate / 1000);
                c.dueNs = c.startNs + int64_t((long double)(c.sent + step) * 1e9L / FOptions.rate);
                if (timed)
                    c.dueNs = std::min(c.dueNs, c.startNs + durationNs);
                setWriteInterest(c, false);
                return;
            }
        }
        const size_t chunk = size_t(std::min<uint64_t>(allowed, kSendChunk));
        const ssize_t n = ::send(c.fd, gPayload, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                setWriteInterest(c, true);
                // A timed stream still ends on time while the client stalls, paced or not.
                c.dueNs = timed ? c.startNs + durationNs : 0;
                return;
            }
            finish(c.fd, strerror(errno));
            return;
        }
        c.sent += uint64_t(n);
        if (timed || FOptions.rate > 0)
            now = nowNs();
    }
}

int StreamServer::nextTimeoutMs(int64_t now) const
{
    int64_t next = -1;
    if (FAcceptPausedUntil > 0)
        next = FAcceptPausedUntil;
    for (const auto &[fd, c] : FConnections)
        if (c.dueNs > 0 && (next < 0 || c.dueNs < next))
            next = c.dueNs;
    if (next < 0)
        return -1;
    const int64_t waitNs = next - now;
    return waitNs <= 0 ? 0 : int((waitNs + 999999) / 1000000);
}

void StreamServer::runDueConnections(int64_t now)
{
    if (FAcceptPausedUntil > 0 && now >= FAcceptPausedUntil) {
        FAcceptPausedUntil = 0;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = FListen;
        epoll_ctl(FEpoll, EPOLL_CTL_ADD, FListen, &ev);
    }
    std::vector<int> due;
    for (const auto &[fd, c] : FConnections)
        if (c.dueNs > 0 && c.dueNs <= now)
            due.push_back(fd);
    for (int fd : due) {
        auto it = FConnections.find(fd);
        if (it != FConnections.end()) {
            it->second.dueNs = 0;
            pump(it->second, now);
        }
    }
}

ServerCounters StreamServer::counters() const
{
    ServerCounters now = FCounters;
    now.activeConnections = FConnections.size();
    now.pacedConnections = FOptions.rate > 0 ? FConnections.size() : 0;
    for (const auto &[fd, c] : FConnections)
        now.bytesSentTotal += c.sent;
    return now;
}

void StreamServer::finish(int fd, const char *error)
{
    auto it = FConnections.find(fd);
    if (it == FConnections.end())
        return;
    const Connection &c = it->second;
    const double seconds = double(nowNs() - c.startNs) / 1e9;
    const double rate = seconds > 0 ? double(c.sent) / seconds / 1e6 : 0.0;
    std::fprintf(stderr, "%s: %llu bytes in %.3f s, %.2f MB/s%s%s\n", c.peer.c_str(),
                 static_cast<unsigned long long>(c.sent), seconds, rate, error ? ", " : "", error ? error : "");
    FCounters.bytesSentTotal += c.sent;
    if (error)
        ++FCounters.errorsTotal;
    epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
    // Anything the client sent is discarded first: unread data would turn the close into a reset
    // and could destroy bytes the client has not read yet.
    char sink[4096];
    while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    ::close(fd);
    FConnections.erase(it);
}
