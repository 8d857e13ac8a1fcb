#include "tools/korvane-server/StreamServer.h"

#include "tools/korvane-server/CongestionControl.h"

#include "tools/korvane-server/ListenSocket.h"
#include "protocol/SessionAuth.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t kUnpacedChunk = 1 << 20;
constexpr uint64_t kMaxSend = 4 << 20;
// Most bytes one connection sends before the others (and signals) get their turn.
constexpr uint64_t kMaxPerTurn = 8 << 20;
// A paced connection sends a block every 5 ms, or at least 64 KiB at a time when that is no
// more than 50 ms' worth: large sends, and a stream that is even at the scale anyone
// measures it. Each block is paid for by the interval after it, so the size does not bend
// the rate a client measures from its first byte to the close.
constexpr uint64_t kBlocksPerSecond = 200;
constexpr uint64_t kMinBlock = 64 << 10;
constexpr uint64_t kMaxBlocksPerSecond = 20;
// How often stalled connections are looked for.
constexpr int64_t kSweepNs = 1000000000;
alignas(4096) char gPayload[kMaxSend]; // content is never inspected by the client

int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace

StreamServer::StreamServer(const ServerOptions &options)
    : FOptions(options)
    , FPaced(options.rate > 0)
{
    if (FPaced) {
        const uint64_t block = std::max(options.rate / kBlocksPerSecond, std::min(kMinBlock, options.rate / kMaxBlocksPerSecond));
        FBlock = std::clamp<uint64_t>(block, 1, kMaxSend);
        // Up to a second's worth is caught up after a stall (the server starved of CPU, or a
        // client that stopped reading for a moment); beyond that the time is lost.
        FCapacity = std::max(FBlock * 4, options.rate);
    }
    if (options.seconds > 0)
        FDurationNs = int64_t(std::llround(options.seconds * 1e9));
    FStallNs = int64_t(std::llround(options.stallSeconds * 1e9));
}

StreamServer::~StreamServer()
{
    FSessions.reset();
    FCloser.reset();
    for (auto &[fd, c] : FConnections)
        ::close(fd);
    for (int fd : {FEpoll, FSignals, FTimer})
        if (fd >= 0)
            ::close(fd);
}

bool StreamServer::watch(int fd, uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    return epoll_ctl(FEpoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool StreamServer::setUp()
{
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    FSignals = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (FSignals < 0 || sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) {
        std::fprintf(stderr, "korvane-server: cannot watch for SIGINT and SIGTERM: %s\n", strerror(errno));
        return false;
    }
    FEpoll = epoll_create1(EPOLL_CLOEXEC);
    FTimer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (FEpoll < 0 || FTimer < 0 || !watch(FSignals, EPOLLIN) || !watch(FTimer, EPOLLIN)) {
        std::fprintf(stderr, "korvane-server: cannot create its event queue: %s\n", strerror(errno));
        return false;
    }

    if (!FOptions.listenGiven && !ipv6Available()) {
        // Every port follows: the session port opens on the same address.
        std::fprintf(stderr, "korvane-server: no IPv6 on this system, listening on IPv4 only\n");
        FOptions.listenAddress = "0.0.0.0";
    }
    std::string message;
    switch (FListener.open(FEpoll, FOptions.listenAddress, FOptions.port, message)) {
    case ListeningPort::OpenResult::Listening:
        break;
    case ListeningPort::OpenResult::CannotListen:
        std::fprintf(stderr, "korvane-server: %s\n", message.c_str());
        return false;
    case ListeningPort::OpenResult::CannotWatch:
        std::fprintf(stderr, "korvane-server: cannot watch the listening socket: %s\n", strerror(errno));
        return false;
    }
    FCounters.startTimeSeconds = double(std::time(nullptr));
    if (FOptions.metricsPort >= 0) {
        FMetrics = std::make_unique<MetricsEndpoint>(FOptions.metricsAddress, uint16_t(FOptions.metricsPort),
                                                     [this] { return counters(); });
        if (!FMetrics->open(FEpoll))
            return false;
    }

    std::fprintf(stderr, "korvane-server: listening on %s\n", listeningText(FListener.fd()).c_str());

    FCloser = std::make_unique<GracefulCloser>(FEpoll, FStallNs);
    std::string secret;
    if (!readSecret(secret))
        return false;
    FSessions = std::make_unique<SessionServer>(FOptions, FEpoll, *FCloser, secret);
    return FSessions->open();
}

bool StreamServer::readSecret(std::string &secret) const
{
    if (FOptions.secretFile.empty())
        return true;
    std::ifstream file(FOptions.secretFile, std::ios::binary);
    std::ostringstream content;
    if (file)
        content << file.rdbuf();
    if (!file || file.bad()) {
        std::fprintf(stderr, "korvane-server: cannot read the secret file %s: %s\n", FOptions.secretFile.c_str(),
                     strerror(errno));
        return false;
    }
    secret = SessionAuth::secretFromFile(content.str());
    if (secret.empty()) {
        std::fprintf(stderr, "korvane-server: the secret file %s holds no secret\n", FOptions.secretFile.c_str());
        return false;
    }
    return true;
}

int StreamServer::run()
{
    if (!setUp())
        return 1;
    std::vector<epoll_event> events(256);
    for (;;) {
        if (!armTimer())
            return 1;
        const int n = epoll_wait(FEpoll, events.data(), int(events.size()), -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "korvane-server: waiting for events failed: %s\n", strerror(errno));
            stopAll();
            return 1;
        }
        // A signal is served before any sending, however busy the connections are.
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == FSignals) {
                stopAll();
                std::fprintf(stderr, "korvane-server: stopped\n");
                return 0;
            }
        }
        int64_t now = nowNs();
        bool acceptPending = false;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == FTimer) {
                uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t got = ::read(FTimer, &expirations, sizeof expirations);
                FArmedNs = -1;
                continue;
            }
            if (fd == FListener.fd()) {
                acceptPending = true;
                continue;
            }
            auto it = FConnections.find(fd);
            if (it == FConnections.end()) {
                if (FCloser->owns(fd))
                    FCloser->handle(fd, events[i].events);
                else if (FSessions->owns(fd))
                    FSessions->handle(fd, events[i].events, now);
                else if (FMetrics && FMetrics->owns(fd))
                    FMetrics->handle(fd, events[i].events, now);
                now = nowNs();
                continue;
            }
            if (events[i].events & (EPOLLERR | EPOLLHUP)) {
                finish(fd, "connection lost");
                continue;
            }
            serve(it->second, now);
            now = nowNs();
        }
        // After the batch, so no event left in it can meet a new connection on a reused descriptor.
        if (acceptPending)
            acceptClients(nowNs());
        runDue(nowNs());
        FSessions->runDue(nowNs());
        if (FMetrics)
            FMetrics->runDue(nowNs());
        if (FNextSweepNs > 0 && nowNs() >= FNextSweepNs)
            sweep(nowNs());
    }
}

void StreamServer::sweep(int64_t now)
{
    // A connection that takes nothing for the stall limit gives its place up, so idle
    // sockets cannot hold the server's memory for ever.
    std::vector<int> stalled;
    for (const auto &[fd, c] : FConnections)
        if (c.wantWrite && now - c.progressNs >= FStallNs)
            stalled.push_back(fd);
    char why[64];
    std::snprintf(why, sizeof why, "took nothing for %g s", FOptions.stallSeconds);
    for (int fd : stalled)
        finish(fd, why);
    FCloser->sweep(now);
    FSessions->sweep(now);
    FNextSweepNs = 0;
}

void StreamServer::acceptClients(int64_t now)
{
    const int error = FListener.acceptClients(now, [this, now](int fd, const sockaddr_storage &peer, socklen_t len) {
        Connection c;
        c.fd = fd;
        c.peer = addressText(reinterpret_cast<const sockaddr *>(&peer), len, true);
        c.startNs = now;
        c.progressNs = now;
        CongestionControl::apply(fd, FOptions.congestion);
        if (FOptions.sendBuffer > 0) {
            // Unsent bytes stay bounded however slowly the client reads.
            const int lowat = int(FOptions.sendBuffer);
            setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof lowat);
        }
        if (FDurationNs > 0) {
            c.endNs = c.startNs + FDurationNs;
            // Paced, a timed stream holds what its time earns; its first block is an advance
            // on the first interval, so none is sent ahead for an interval after its end.
            c.budget = FPaced ? TokenBucket::bytesEarned(FDurationNs, FOptions.rate) : UINT64_MAX;
        } else {
            c.budget = FOptions.bytes;
            if (FPaced)
                c.endNs = c.startNs + TokenBucket::durationNs(FOptions.bytes, FOptions.rate);
        }
        if (FPaced)
            c.bucket = TokenBucket(FOptions.rate, FBlock, FCapacity, c.startNs);
        // Unpaced streams send whenever the client can take more; paced ones when their time comes.
        c.wantWrite = !FPaced;
        if (!watch(fd, c.wantWrite ? uint32_t(EPOLLOUT) : 0u)) {
            std::fprintf(stderr, "%s: cannot watch the connection: %s\n", c.peer.c_str(), strerror(errno));
            ::close(fd);
            return;
        }
        ++FCounters.connectionsTotal;
        auto &stored = FConnections[fd] = std::move(c);
        serve(stored, now);
    });
    if (error != 0) {
        std::fprintf(stderr, "korvane-server: cannot accept a connection: %s\n", strerror(error));
        ++FCounters.errorsTotal;
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

void StreamServer::schedule(Connection &c, int64_t wakeNs)
{
    if (c.wakeNs == wakeNs)
        return;
    if (c.wakeNs > 0)
        FWakeups.erase({c.wakeNs, c.fd});
    c.wakeNs = wakeNs;
    if (wakeNs > 0)
        FWakeups.emplace(wakeNs, c.fd);
}

void StreamServer::serve(Connection &c, int64_t now)
{
    const bool timed = FDurationNs > 0;
    uint64_t sentThisTurn = 0;
    for (;;) {
        const bool allSent = c.sent >= c.budget;
        if (c.endNs > 0 ? now >= c.endNs && (timed || allSent) : allSent) {
            if (timed && FPaced)
                sendEarnedCredit(c);
            finish(c.fd);
            return;
        }
        if (allSent) {
            // A paced stream closes when its last block's time is over, so it lasts as long
            // as its bytes take at the rate.
            setWriteInterest(c, false);
            schedule(c, c.endNs);
            return;
        }
        const uint64_t remaining = c.budget - c.sent;
        uint64_t chunk = std::min(remaining, kUnpacedChunk);
        if (FPaced) {
            const uint64_t wanted = std::min(remaining, FBlock);
            const uint64_t available = c.bucket.available(now);
            if (available < wanted) {
                setWriteInterest(c, false);
                const int64_t due = c.bucket.dueNs(wanted, now);
                schedule(c, timed ? std::min(due, c.endNs) : due);
                return;
            }
            chunk = std::min({available, remaining, kMaxSend});
        }
        const ssize_t n = ::send(c.fd, gPayload, size_t(chunk), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                setWriteInterest(c, true);
                // A timed stream still ends on time while the client stalls, paced or not.
                schedule(c, timed ? c.endNs : 0);
                return;
            }
            finish(c.fd, strerror(errno));
            return;
        }
        c.sent += uint64_t(n);
        c.progressNs = now;
        if (FPaced)
            c.bucket.take(uint64_t(n));
        sentThisTurn += uint64_t(n);
        if (sentThisTurn >= kMaxPerTurn) {
            // The others' turn; an unpaced connection is back as soon as it can take more.
            if (FPaced)
                schedule(c, now);
            return;
        }
        now = nowNs();
    }
}

void StreamServer::sendEarnedCredit(Connection &c)
{
    // A timed stream whose end is served late still carries what the time until its close
    // has earned, so the client, which times it up to the close, sees the pace.
    const uint64_t earned = TokenBucket::bytesEarned(nowNs() - c.startNs, FOptions.rate);
    if (earned <= c.sent)
        return;
    const ssize_t n = ::send(c.fd, gPayload, size_t(std::min(earned - c.sent, kMaxSend)), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        c.sent += uint64_t(n);
    }
}

void StreamServer::runDue(int64_t now)
{
    FListener.runDue(now);
    std::vector<int> due;
    while (!FWakeups.empty() && FWakeups.begin()->first <= now) {
        due.push_back(FWakeups.begin()->second);
        FWakeups.erase(FWakeups.begin());
    }
    for (int fd : due) {
        auto it = FConnections.find(fd);
        if (it == FConnections.end())
            continue;
        it->second.wakeNs = 0;
        serve(it->second, now);
    }
}

bool StreamServer::armTimer()
{
    if (FNextSweepNs == 0 && (!FConnections.empty() || FCloser->size() > 0 || FSessions->busy()))
        FNextSweepNs = nowNs() + kSweepNs;
    int64_t next = FWakeups.empty() ? 0 : FWakeups.begin()->first;
    for (const int64_t other : {FListener.wakeNs(), FSessions->nextWakeNs(), FNextSweepNs,
                                FMetrics ? FMetrics->wakeNs() : int64_t(0)})
        if (other > 0 && (next == 0 || other < next))
            next = other;
    if (next == FArmedNs)
        return true;
    itimerspec spec{};
    if (next > 0) {
        spec.it_value.tv_sec = time_t(next / 1000000000);
        spec.it_value.tv_nsec = long(next % 1000000000);
    }
    if (timerfd_settime(FTimer, TFD_TIMER_ABSTIME, &spec, nullptr) != 0) {
        std::fprintf(stderr, "korvane-server: cannot set its timer: %s\n", strerror(errno));
        stopAll();
        return false;
    }
    FArmedNs = next;
    return true;
}

void StreamServer::stopAll()
{
    // Connections cut short still get their line, so no transfer goes unreported.
    std::vector<int> open;
    for (const auto &[fd, c] : FConnections)
        open.push_back(fd);
    for (int fd : open)
        finish(fd, "server stopped");
    if (FSessions)
        FSessions->stopAll();
}

ServerCounters StreamServer::counters() const
{
    ServerCounters now = FCounters;
    now.activeConnections = FConnections.size();
    now.pacedConnections = FPaced ? FConnections.size() : 0;
    for (const auto &[fd, c] : FConnections)
        now.bytesSentTotal += c.sent;
    if (FSessions)
        FSessions->addCounters(now);
    return now;
}

void StreamServer::finish(int fd, const char *error)
{
    auto it = FConnections.find(fd);
    if (it == FConnections.end())
        return;
    Connection &c = it->second;
    const double seconds = double(nowNs() - c.startNs) / 1e9;
    const double rate = seconds > 0 ? double(c.sent) / seconds / 1e6 : 0.0;
    std::fprintf(stderr, "%s: %llu bytes in %.3f s, %.2f MB/s%s%s\n", c.peer.c_str(),
                 static_cast<unsigned long long>(c.sent), seconds, rate, error ? ", " : "", error ? error : "");
    FCounters.bytesSentTotal += c.sent;
    if (error)
        ++FCounters.errorsTotal;
    schedule(c, 0);
    // Closed gracefully: the client reads everything queued, then the end of the stream.
    FCloser->close(fd, nowNs());
    FConnections.erase(it);
}
