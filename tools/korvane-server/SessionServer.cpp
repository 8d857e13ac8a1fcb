#include "tools/korvane-server/SessionServer.h"

#include "tools/korvane-server/CongestionControl.h"

#include "tools/korvane-server/ListenSocket.h"
#include "protocol/SessionAuth.h"
#include "protocol/SocketTcpInfo.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int64_t kSecondNs = 1000000000;
constexpr int64_t kRequestWaitNs = 5 * kSecondNs;
constexpr int64_t kJoinWaitNs = 5 * kSecondNs;
constexpr int64_t kReportNs = kSecondNs / 4;
// An upload stream may run this much past its time before it is cut.
constexpr int64_t kUploadGraceNs = 2 * kSecondNs;
// Connections that have not said what they are yet: all of them, and from one address (a
// client opens up to 129 for one session).
constexpr size_t kMaxPending = 4096;
constexpr uint32_t kMaxPendingPerAddress = 2 * SessionProtocol::MaxStreams + 8;
// Control lines a client has not read; beyond this it is not listening.
constexpr size_t kMaxControlBacklog = 1 << 20;
// Control bytes read per turn: a client that floods its control connection is served as
// fast as the others, not before them.
constexpr size_t kControlBytesPerTurn = SessionProtocol::MaxLineBytes;
// A timed upload stream that ends this much before its time did not end as asked: the
// client's timer counts whole milliseconds from the start line.
constexpr int64_t kUploadEarlyNs = 10000000;
// The most bytes of a client's text one log line quotes, escaped.
constexpr size_t kMaxLoggedText = 300;
constexpr uint64_t kMaxPerTurn = 8 << 20;
// Pacing as on the stream port: blocks every 5 ms, at least 64 KiB when that is no more
// than 50 ms' worth.
constexpr uint64_t kBlocksPerSecond = 200;
constexpr uint64_t kMinBlock = 64 << 10;
constexpr uint64_t kMaxBlocksPerSecond = 20;

std::string randomToken()
{
    static const char hex[] = "0123456789abcdef";
    unsigned char bytes[16] = {};
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("no random numbers from the kernel");
        got += size_t(n);
    }
    std::string token;
    for (unsigned char b : bytes) {
        token += hex[b >> 4];
        token += hex[b & 0xF];
    }
    return token;
}

std::string peerAddress(const sockaddr_storage &addr, socklen_t len)
{
    // The key of the per-address limits and the name in the log: IPv6 in brackets, so a
    // line never reads as ADDR:more, and an IPv4 client arriving mapped is its IPv4 address.
    const std::string host = addressText(reinterpret_cast<const sockaddr *>(&addr), len, false);
    return addr.ss_family == AF_INET6 && host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

uint64_t usBetween(int64_t fromNs, int64_t toNs)
{
    return fromNs > 0 && toNs > fromNs ? uint64_t(toNs - fromNs) / 1000 : 0;
}

// A stream's time waiting on its own pace, the wait under way counted to `nowNs`.
template <typename Stream> uint64_t pacedUs(const Stream &st, int64_t nowNs)
{
    const int64_t waiting = st.pacedSinceNs != 0 && nowNs > st.pacedSinceNs ? nowNs - st.pacedSinceNs : 0;
    return uint64_t(st.pacedNs + waiting) / 1000;
}

// Error texts quote what clients sent. In the log, read by people and by journald, such text
// stays on its one line and cannot move a terminal's cursor: everything but printable ASCII
// is escaped, and it is cut short.
std::string logged(std::string_view text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (out.size() >= kMaxLoggedText) {
            out += "...";
            break;
        }
        if (b == '\\')
            out += "\\\\";
        else if (b == '\n')
            out += "\\n";
        else if (b == '\r')
            out += "\\r";
        else if (b == '\t')
            out += "\\t";
        else if (b < 0x20 || b >= 0x7f)
            out.append("\\x").append(1, hex[b >> 4]).append(1, hex[b & 0xF]);
        else
            out += c;
    }
    return out;
}

std::string streamsLimitText(uint32_t most)
{
    return "streams must be 1 to " + std::to_string(most);
}

} // namespace

int64_t SessionServer::monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * kSecondNs + ts.tv_nsec;
}

SessionServer::SessionServer(const ServerOptions &options, int epollFd, GracefulCloser &closer, std::string secret,
                             Clock clock)
    : FOptions(options)
    , FClock(clock)
    , FEpoll(epollFd)
    , FCloser(closer)
    , FSecret(std::move(secret))
    , FPaced(options.rate > 0)
    , FStallNs(int64_t(std::llround(options.stallSeconds * 1e9)))
{
    if (FPaced) {
        const uint64_t block = std::max(options.rate / kBlocksPerSecond, std::min(kMinBlock, options.rate / kMaxBlocksPerSecond));
        FBlock = std::clamp<uint64_t>(block, 1, RandomPayload::Size);
        FCapacity = std::max(FBlock * 4, options.rate);
    }
}

SessionServer::~SessionServer()
{
    for (const auto &[fd, s] : FSockets)
        ::close(fd);
}

bool SessionServer::open()
{
    std::string message;
    switch (FListener.open(FEpoll, FOptions.listenAddress, FOptions.sessionPort, message)) {
    case ListeningPort::OpenResult::Listening:
        break;
    case ListeningPort::OpenResult::CannotListen:
        if (!FOptions.sessionPortGiven) {
            // Existing scripts and several servers on one machine keep working: streams only.
            std::fprintf(stderr, "korvane-server: no sessions: %s\n", message.c_str());
            return true;
        }
        std::fprintf(stderr, "korvane-server: %s\n", message.c_str());
        return false;
    case ListeningPort::OpenResult::CannotWatch:
        std::fprintf(stderr, "korvane-server: cannot watch the session port: %s\n", strerror(errno));
        return false;
    }
    FPayload = std::make_unique<RandomPayload>();
    std::fprintf(stderr, "korvane-server: sessions on %s\n", listeningText(FListener.fd()).c_str());
    return true;
}

void SessionServer::setEvents(int fd, uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    epoll_ctl(FEpoll, EPOLL_CTL_MOD, fd, &ev);
}

void SessionServer::schedule(int fd, int64_t wakeNs)
{
    auto it = FSockets.find(fd);
    if (it == FSockets.end() || it->second.wakeNs == wakeNs)
        return;
    if (it->second.wakeNs > 0)
        FWakeups.erase({it->second.wakeNs, fd});
    it->second.wakeNs = wakeNs;
    if (wakeNs > 0)
        FWakeups.emplace(wakeNs, fd);
}

// Drops fd from every table; the caller closes it or hands it to the closer.
void SessionServer::forget(int fd)
{
    auto it = FSockets.find(fd);
    if (it == FSockets.end())
        return;
    if (it->second.wakeNs > 0)
        FWakeups.erase({it->second.wakeNs, fd});
    if (it->second.kind == Kind::Pending) {
        --FPending;
        auto p = FPendingByAddress.find(it->second.address);
        if (p != FPendingByAddress.end() && --p->second == 0)
            FPendingByAddress.erase(p);
    }
    FSockets.erase(it);
}

void SessionServer::handle(int fd, uint32_t events, int64_t now)
{
    if (fd == FListener.fd()) {
        acceptClients(now);
        return;
    }
    auto it = FSockets.find(fd);
    if (it == FSockets.end())
        return;
    // Copied out: the calls below may end the session and erase this entry.
    const Kind kind = it->second.kind;
    Session *owner = it->second.session;
    const uint32_t index = it->second.stream;
    switch (kind) {
    case Kind::Pending:
        readFirstLine(fd, it->second, now);
        break;
    case Kind::Control:
        if (events & EPOLLOUT)
            flushControl(*owner);
        if (!owner->ended && (events & (EPOLLIN | EPOLLERR | EPOLLHUP)))
            readControl(*owner, now);
        break;
    case Kind::Data: {
        Session &session = *owner;
        Stream &st = session.streams[index];
        if (st.state == StreamState::Running && isUpload(session, index)) {
            readUpload(session, index, now);
        } else if (st.state == StreamState::Running) {
            if (events & (EPOLLERR | EPOLLHUP))
                endSession(session, "data connection " + std::to_string(index) + " lost", now);
            else
                serveDownload(session, index, now);
        } else {
            // Waiting for its phase or draining: the client says nothing on a data
            // connection, so bytes are dropped, and its end is the client done or leaving.
            const int r = GracefulCloser::discardInput(fd);
            if (st.state == StreamState::Draining && (r <= 0 || (events & (EPOLLERR | EPOLLHUP))))
                endStream(session, index, now, r != 0);
            else if (r <= 0 || (events & (EPOLLERR | EPOLLHUP)))
                endSession(session, "data connection " + std::to_string(index) + " closed early", now);
        }
        break;
    }
    }
    reap();
}

void SessionServer::acceptClients(int64_t now)
{
    const int error = FListener.acceptClients(now, [this, now](int fd, const sockaddr_storage &peer, socklen_t len) {
        std::string address = peerAddress(peer, len);
        const auto fromAddress = FPendingByAddress.find(address);
        if (FPending >= kMaxPending
            || (fromAddress != FPendingByAddress.end() && fromAddress->second >= kMaxPendingPerAddress)) {
            // Too many that have not said what they are: the newest waits its turn outside.
            ::close(fd);
            return;
        }
        adopt(fd, std::move(address), now);
    });
    if (error != 0)
        std::fprintf(stderr, "korvane-server: cannot accept a session connection: %s\n", strerror(error));
}

void SessionServer::adopt(int fd, std::string address, int64_t now)
{
    if (!FPayload)
        FPayload = std::make_unique<RandomPayload>();
    CongestionControl::apply(fd, FOptions.congestion);
    if (FOptions.sendBuffer > 0) {
        const int lowat = int(FOptions.sendBuffer);
        setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof lowat);
    }
    // Edge-triggered until its first line is whole: that line is only peeked at, and a
    // part of it waiting in the socket must not wake the loop again and again.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.fd = fd;
    if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
        ::close(fd);
        return;
    }
    ++FPendingByAddress[address];
    ++FPending;
    Socket &s = FSockets[fd];
    s.kind = Kind::Pending;
    s.address = std::move(address);
    SessionHello hello;
    hello.nonce = randomToken();
    hello.auth = !FSecret.empty();
    if (hello.auth)
        s.nonce = hello.nonce;
    const std::string line = SessionProtocol::write(hello);
    // The first bytes on a new connection: the socket buffer always takes them.
    [[maybe_unused]] const ssize_t sent = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    schedule(fd, now + kRequestWaitNs);
}

void SessionServer::readFirstLine(int fd, Socket &s, int64_t now)
{
    // Peeked, not read: nothing is buffered for a connection until its line is whole, and
    // a data connection's payload is never taken by mistake.
    char buffer[SessionProtocol::MaxLineBytes];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {
        forget(fd);
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        return;
    }
    const char *newline = static_cast<const char *>(std::memchr(buffer, '\n', size_t(n)));
    if (!newline) {
        if (size_t(n) >= sizeof buffer)
            refuse(fd, SessionRefusal::Request,
                   "line longer than " + std::to_string(SessionProtocol::MaxLineBytes) + " bytes", s.address);
        return;
    }
    const size_t length = size_t(newline - buffer);
    [[maybe_unused]] const ssize_t taken = ::recv(fd, buffer, length + 1, MSG_DONTWAIT);
    SessionMessage message;
    std::string error;
    if (!SessionProtocol::parse(std::string_view(buffer, length), message, error)) {
        // The reader knows the protocol's limit only; the answer names the one in force.
        if (error == streamsLimitText(SessionProtocol::MaxStreams))
            error = streamsLimitText(FOptions.maxStreams);
        refuse(fd, SessionRefusal::Request, error, s.address);
        return;
    }
    if (const auto *request = std::get_if<SessionRequest>(&message))
        startSession(fd, s, *request, now);
    else if (const auto *join = std::get_if<SessionJoin>(&message))
        joinStream(fd, s, *join, now);
    else
        refuse(fd, SessionRefusal::Request, "expected a request", s.address);
}

void SessionServer::refuse(int fd, SessionRefusal reason, const std::string &error, std::string address)
{
    ++FCounters.refusedSessions[int(reason)];
    std::fprintf(stderr, "%s: session refused: %s\n", address.c_str(), logged(error).c_str());
    const std::string line = SessionProtocol::write(SessionError{error});
    [[maybe_unused]] const ssize_t sent = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    forget(fd);
    FCloser.close(fd, FClock());
}

void SessionServer::startSession(int fd, Socket &s, const SessionRequest &request, int64_t now)
{
    if (!FSecret.empty() && !SessionAuth::sameProof(request.auth, SessionAuth::proof(FSecret, s.nonce))) {
        refuse(fd, SessionRefusal::Auth, "authentication failed", s.address);
        return;
    }
    const int phases = request.direction == SessionDirection::Both ? 2 : 1;
    if (request.streams > FOptions.maxStreams) {
        refuse(fd, SessionRefusal::Request, streamsLimitText(FOptions.maxStreams), s.address);
        return;
    }
    if (request.seconds > FOptions.maxSessionSeconds) {
        refuse(fd, SessionRefusal::Request, "seconds must be at most " + secondsText(FOptions.maxSessionSeconds),
               s.address);
        return;
    }
    if (request.bytes > FOptions.maxSessionBytes / uint64_t(phases)) {
        refuse(fd, SessionRefusal::Request,
               "bytes must be at most " + std::to_string(FOptions.maxSessionBytes / uint64_t(phases)), s.address);
        return;
    }
    if (FSessions.size() >= FOptions.maxSessions) {
        refuse(fd, SessionRefusal::Busy, "server busy: too many sessions", s.address);
        return;
    }
    auto byAddress = FSessionsByAddress.find(s.address);
    if (byAddress != FSessionsByAddress.end() && byAddress->second >= FOptions.maxSessionsPerAddress) {
        refuse(fd, SessionRefusal::Address, "too many sessions from your address", s.address);
        return;
    }

    auto session = std::make_unique<Session>();
    session->id = randomToken();
    session->address = s.address;
    session->control = fd;
    session->request = request;
    session->streams.resize(size_t(request.streams) * size_t(phases));
    session->createdNs = now;
    const double longest = request.seconds > 0 ? request.seconds : FOptions.maxSessionSeconds;
    session->endByNs = now + kJoinWaitNs + phases * (int64_t(std::llround(longest * 1e9)) + kUploadGraceNs + FStallNs);
    Session *raw = session.get();
    ++FSessionsByAddress[s.address];
    ++FCounters.sessionsTotal;
    FSessions.emplace(raw->id, std::move(session));

    forget(fd);
    Socket &control = FSockets[fd];
    control.kind = Kind::Control;
    control.session = raw;
    setEvents(fd, EPOLLIN);
    SessionAccepted accepted;
    accepted.session = raw->id;
    accepted.direction = request.direction;
    accepted.streams = request.streams;
    accepted.seconds = request.seconds;
    accepted.bytes = request.bytes;
    sendControl(*raw, accepted);
    schedule(fd, now + kJoinWaitNs);
}

void SessionServer::joinStream(int fd, Socket &s, const SessionJoin &join, int64_t now)
{
    auto it = FSessions.find(join.session);
    Session *session = it == FSessions.end() ? nullptr : it->second.get();
    // Only the session's own client, while it is joining, once per stream; anything else is
    // closed without a word and leaves the session it named alone.
    if (!session || session->ended || session->phase != Phase::Joining || session->address != s.address
        || join.stream >= session->streams.size() || session->streams[join.stream].fd >= 0) {
        ++FCounters.refusedJoinsTotal;
        forget(fd);
        FCloser.close(fd, now);
        return;
    }
    forget(fd);
    Socket &data = FSockets[fd];
    data.kind = Kind::Data;
    data.session = session;
    data.stream = join.stream;
    Stream &st = session->streams[join.stream];
    st.fd = fd;
    st.progressNs = now;
    ++FCounters.sessionStreamsTotal;
    setEvents(fd, EPOLLIN | EPOLLRDHUP);
    if (++session->joined == session->streams.size())
        startPhase(*session, session->request.direction == SessionDirection::Upload ? SessionDirection::Upload
                                                                                      : SessionDirection::Download,
                   now);
}

bool SessionServer::isUpload(const Session &session, uint32_t index) const
{
    return session.request.direction == SessionDirection::Upload
           || (session.request.direction == SessionDirection::Both && index >= session.request.streams);
}

std::pair<uint32_t, uint32_t> SessionServer::phaseStreams(const Session &session) const
{
    const uint32_t n = session.request.streams;
    if (session.request.direction == SessionDirection::Both && session.phase == Phase::Upload)
        return {n, 2 * n};
    return {0, n};
}

void SessionServer::startPhase(Session &session, SessionDirection direction, int64_t now)
{
    session.phase = direction == SessionDirection::Upload ? Phase::Upload : Phase::Download;
    session.phaseStartNs = now;
    session.firstByteNs = 0;
    session.nextReportNs = now + kReportNs;
    sendControl(session, SessionStart{direction});
    schedule(session.control, session.nextReportNs);
    const auto [begin, end] = phaseStreams(session);
    const SessionRequest &r = session.request;
    const bool timed = r.seconds > 0;
    const int64_t durationNs = timed ? int64_t(std::llround(r.seconds * 1e9)) : 0;
    for (uint32_t i = begin; i < end && !session.ended; ++i) {
        Stream &st = session.streams[i];
        st.state = StreamState::Running;
        st.progressNs = now;
        const uint64_t share = r.bytes / r.streams + (i == begin ? r.bytes % r.streams : 0);
        if (session.phase == Phase::Upload) {
            st.budget = timed ? UINT64_MAX : share;
            st.endNs = timed ? now + durationNs + kUploadGraceNs : 0;
            setEvents(st.fd, EPOLLIN);
            continue;
        }
        if (timed) {
            st.endNs = now + durationNs;
            // Paced, a timed stream holds what its time earns, as on the stream port.
            st.budget = FPaced ? TokenBucket::bytesEarned(durationNs, FOptions.rate) : UINT64_MAX;
        } else {
            st.budget = share;
            st.endNs = FPaced ? now + TokenBucket::durationNs(share, FOptions.rate) : 0;
        }
        if (FPaced)
            st.bucket = TokenBucket(FOptions.rate, FBlock, FCapacity, now);
        st.wantWrite = !FPaced;
        setEvents(st.fd, st.wantWrite ? uint32_t(EPOLLOUT) : 0u);
    }
    if (session.phase == Phase::Download)
        for (uint32_t i = begin; i < end && !session.ended; ++i)
            serveDownload(session, i, now);
}

void SessionServer::serveDownload(Session &session, uint32_t index, int64_t now)
{
    Stream &st = session.streams[index];
    const bool timed = session.request.seconds > 0;
    uint64_t sentThisTurn = 0;
    auto setWrite = [&](bool on) {
        if (st.wantWrite != on) {
            setEvents(st.fd, on ? uint32_t(EPOLLOUT) : 0u);
            st.wantWrite = on;
        }
    };
    if (st.pacedSinceNs != 0) {
        st.pacedNs += now - st.pacedSinceNs;
        st.pacedSinceNs = 0;
    }
    for (;;) {
        const bool capped = session.moved >= FOptions.maxSessionBytes;
        const bool allSent = st.bytes >= st.budget || capped;
        if (capped || (st.endNs > 0 ? now >= st.endNs && (timed || allSent) : allSent)) {
            if (timed && FPaced && !capped) {
                // The time until the close has earned its bytes too, so the client sees the pace.
                const uint64_t earned = TokenBucket::bytesEarned(FClock() - session.phaseStartNs, FOptions.rate);
                if (earned > st.bytes) {
                    const ssize_t n = ::send(st.fd, FPayload->at(st.bytes),
                                             size_t(std::min<uint64_t>(earned - st.bytes, RandomPayload::Size)),
                                             MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (n > 0) {
                        st.bytes += uint64_t(n);
                        session.moved += uint64_t(n);
                    }
                }
            }
            finishDownload(session, index, now);
            return;
        }
        if (allSent) {
            setWrite(false);
            schedule(st.fd, st.endNs);
            return;
        }
        const uint64_t remaining = std::min(st.budget - st.bytes, FOptions.maxSessionBytes - session.moved);
        uint64_t chunk = std::min<uint64_t>(remaining, RandomPayload::Size);
        if (FPaced) {
            const uint64_t wanted = std::min(remaining, FBlock);
            const uint64_t available = st.bucket.available(now);
            if (available < wanted) {
                // Held back by its own pace, not by the connection: the verdict's application.
                st.pacedSinceNs = now;
                setWrite(false);
                const int64_t due = st.bucket.dueNs(wanted, now);
                schedule(st.fd, timed ? std::min(due, st.endNs) : due);
                return;
            }
            chunk = std::min({available, remaining, uint64_t(RandomPayload::Size)});
        }
        const ssize_t n = ::send(st.fd, FPayload->at(st.bytes), size_t(chunk), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                setWrite(true);
                schedule(st.fd, timed ? st.endNs : 0);
                return;
            }
            endSession(session, "data connection " + std::to_string(index) + ": " + strerror(errno), now);
            return;
        }
        if (st.firstNs == 0)
            st.firstNs = now;
        if (session.firstByteNs == 0)
            session.firstByteNs = now;
        st.bytes += uint64_t(n);
        session.moved += uint64_t(n);
        st.progressNs = now;
        if (FPaced)
            st.bucket.take(uint64_t(n));
        sentThisTurn += uint64_t(n);
        if (sentThisTurn >= kMaxPerTurn) {
            if (FPaced)
                schedule(st.fd, now);
            return;
        }
        now = FClock();
    }
}

void SessionServer::finishDownload(Session &session, uint32_t index, int64_t now)
{
    // Shut down, not closed: the stream is done when the client has all of it.
    Stream &st = session.streams[index];
    st.lastNs = now;
    st.state = StreamState::Draining;
    st.wantWrite = false;
    st.progressNs = now;
    ::shutdown(st.fd, SHUT_WR);
    st.queued = GracefulCloser::unacknowledged(st.fd);
    schedule(st.fd, 0);
    setEvents(st.fd, EPOLLIN | EPOLLRDHUP);
}

void SessionServer::readUpload(Session &session, uint32_t index, int64_t now)
{
    static char sink[1 << 20];
    Stream &st = session.streams[index];
    for (int turns = 0; turns < 8; ++turns) {
        // Counted, not looked at: MSG_TRUNC drops the bytes in the kernel without a copy.
        ssize_t n = ::recv(st.fd, sink, sizeof sink, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && errno == EINVAL)
            n = ::recv(st.fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            endSession(session, "data connection " + std::to_string(index) + ": " + strerror(errno), now);
            return;
        }
        // Each read timed on its own: a short upload can start and end within one wake-up.
        now = FClock();
        if (n == 0) {
            // The client ends a stream after its share or its time; an end before either is
            // a client that failed or was killed, and its session failed with it.
            const SessionRequest &r = session.request;
            const bool early = r.seconds > 0
                                   ? now < session.phaseStartNs + int64_t(std::llround(r.seconds * 1e9)) - kUploadEarlyNs
                                   : st.bytes < st.budget;
            if (early) {
                endSession(session, "data connection " + std::to_string(index) + " closed early", now);
                return;
            }
            st.lastNs = now;
            endStream(session, index, now, false);
            return;
        }
        if (st.firstNs == 0)
            st.firstNs = now;
        if (session.firstByteNs == 0)
            session.firstByteNs = now;
        const uint64_t room = std::min(st.budget - st.bytes, FOptions.maxSessionBytes - session.moved);
        const uint64_t counted = std::min(uint64_t(n), room);
        st.bytes += counted;
        session.moved += counted;
        st.progressNs = now;
        if (uint64_t(n) > room) {
            // Past its share: what it sends beyond is not counted, and it is stopped.
            st.lastNs = now;
            endStream(session, index, now, true);
            return;
        }
    }
}

void SessionServer::endStream(Session &session, uint32_t index, int64_t now, bool cut)
{
    Stream &st = session.streams[index];
    if (st.fd >= 0) {
        st.tcp = TSocketTcpInfo::SessionFigures(st.fd);
        forget(st.fd);
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, st.fd, nullptr);
        ::close(st.fd);
        st.fd = -1;
    }
    if (st.lastNs == 0)
        st.lastNs = now;
    st.state = StreamState::Done;
    st.cut = cut;
    checkPhase(session, now);
}

void SessionServer::checkPhase(Session &session, int64_t now)
{
    if (session.ended || session.phase == Phase::Joining)
        return;
    const auto [begin, end] = phaseStreams(session);
    for (uint32_t i = begin; i < end; ++i)
        if (session.streams[i].state != StreamState::Done)
            return;
    SessionSummary summary;
    summary.direction = session.phase == Phase::Upload ? SessionDirection::Upload : SessionDirection::Download;
    int64_t first = 0;
    int64_t last = 0;
    for (uint32_t i = begin; i < end; ++i) {
        const Stream &st = session.streams[i];
        summary.bytes += st.bytes;
        summary.streams.push_back({i, st.bytes, usBetween(st.firstNs, st.lastNs), st.tcp, pacedUs(st, st.lastNs)});
        if (st.firstNs > 0) {
            first = first == 0 ? st.firstNs : std::min(first, st.firstNs);
            last = std::max(last, st.lastNs);
        }
    }
    summary.durationUs = usBetween(first, last);
    sendControl(session, summary);
    const double seconds = double(summary.durationUs) / 1e6;
    std::fprintf(stderr, "%s: session %.8s %s, %u streams: %llu bytes in %.3f s, %.2f MB/s\n", session.address.c_str(),
                 session.id.c_str(), SessionProtocol::directionName(summary.direction), session.request.streams,
                 static_cast<unsigned long long>(summary.bytes), seconds,
                 seconds > 0 ? double(summary.bytes) / seconds / 1e6 : 0.0);
    if (session.phase == Phase::Download && session.request.direction == SessionDirection::Both) {
        startPhase(session, SessionDirection::Upload, now);
        return;
    }
    endSession(session, std::string(), now);
}

void SessionServer::readControl(Session &session, int64_t now)
{
    // One read per turn; level-triggered, the socket wakes the loop again while more waits.
    // The reader then holds less than two reads' worth, and every whole line in it is taken
    // here, so nothing is left that only a new arrival would wake.
    char buffer[kControlBytesPerTurn];
    ssize_t n;
    do
        n = ::recv(session.control, buffer, sizeof buffer, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0) {
        endSession(session, "client left", now, false);
        return;
    }
    session.reader.append(std::string_view(buffer, size_t(n)));
    std::string line;
    SessionLineReader::Result r;
    const size_t waiting = session.out.size();
    while ((r = session.reader.next(line)) == SessionLineReader::Result::Line) {
        SessionMessage message;
        std::string error;
        if (!SessionProtocol::parse(line, message, error)) {
            endSession(session, error, now);
            return;
        }
        const auto *echo = std::get_if<SessionEcho>(&message);
        if (!echo) {
            endSession(session, "only echo is expected after the request", now);
            return;
        }
        // Answered in order, after what is already waiting: appending costs the same
        // however long the backlog, which flushControl() bounds.
        session.out += SessionProtocol::write(*echo);
    }
    if (r == SessionLineReader::Result::TooLong) {
        endSession(session, "line longer than " + std::to_string(SessionProtocol::MaxLineBytes) + " bytes", now);
        return;
    }
    if (session.out.size() != waiting)
        flushControl(session, !session.wantWrite);
}

void SessionServer::sendControl(Session &session, const SessionMessage &message)
{
    if (session.ended)
        return;
    session.out += SessionProtocol::write(message);
    // Waiting for EPOLLOUT, a send now would only fail: the line waits with the others.
    flushControl(session, !session.wantWrite);
}

void SessionServer::flushControl(Session &session, bool send)
{
    size_t sent = 0;
    while (send && sent < session.out.size()) {
        const ssize_t n = ::send(session.control, session.out.data() + sent, session.out.size() - sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0) {
            session.out.clear();
            endSession(session, "client left", FClock(), false);
            return;
        }
        sent += size_t(n);
    }
    session.out.erase(0, sent);
    if (session.out.size() > kMaxControlBacklog) {
        session.out.clear();
        endSession(session, "control connection not read", FClock(), false);
        return;
    }
    const bool want = !session.out.empty();
    if (want != session.wantWrite && !session.ended) {
        session.wantWrite = want;
        setEvents(session.control, want ? uint32_t(EPOLLIN | EPOLLOUT) : uint32_t(EPOLLIN));
    }
}

void SessionServer::report(Session &session, int64_t now)
{
    SessionReport report;
    report.direction = session.phase == Phase::Upload ? SessionDirection::Upload : SessionDirection::Download;
    report.elapsedUs = usBetween(session.phaseStartNs, now);
    const auto [begin, end] = phaseStreams(session);
    for (uint32_t i = begin; i < end; ++i) {
        const Stream &st = session.streams[i];
        report.streams.push_back({i, st.bytes, 0, st.fd >= 0 ? TSocketTcpInfo::SessionFigures(st.fd) : st.tcp,
                                  pacedUs(st, now)});
    }
    sendControl(session, report);
}

void SessionServer::tick(Session &session, int64_t now)
{
    if (session.phase == Phase::Joining) {
        if (now >= session.createdNs + kJoinWaitNs) {
            endSession(session, "not all data connections joined within 5 s", now);
            return;
        }
        schedule(session.control, session.createdNs + kJoinWaitNs);
        return;
    }
    if (now >= session.endByNs) {
        endSession(session, "session took longer than the server allows", now);
        return;
    }
    const auto [begin, end] = phaseStreams(session);
    for (uint32_t i = begin; i < end && !session.ended; ++i) {
        Stream &st = session.streams[i];
        // A draining stream is done once the client has acknowledged all of it; an upload
        // that runs past its time is cut.
        if (st.state == StreamState::Draining && GracefulCloser::unacknowledged(st.fd) <= 0)
            endStream(session, i, now, false);
        else if (st.state == StreamState::Running && session.phase == Phase::Upload && st.endNs > 0 && now >= st.endNs)
            endStream(session, i, now, true);
    }
    if (session.ended)
        return;
    if (now >= session.nextReportNs) {
        report(session, now);
        while (session.nextReportNs <= now)
            session.nextReportNs += kReportNs;
    }
    if (!session.ended)
        schedule(session.control, std::min(session.nextReportNs, session.endByNs));
}

void SessionServer::endSession(Session &session, const std::string &error, int64_t now, bool tell)
{
    if (session.ended)
        return;
    session.ended = true;
    if (tell) {
        // The last line goes out with what is still waiting, as far as the socket takes it.
        session.out += SessionProtocol::write(error.empty() ? SessionMessage(SessionEnd{}) : SessionMessage(SessionError{error}));
        size_t sent = 0;
        while (sent < session.out.size()) {
            const ssize_t n = ::send(session.control, session.out.data() + sent, session.out.size() - sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            sent += size_t(n);
        }
        session.out.clear();
    }
    if (!error.empty()) {
        ++FCounters.sessionsFailedTotal;
        std::fprintf(stderr, "%s: session %.8s ended: %s\n", session.address.c_str(), session.id.c_str(),
                     logged(error).c_str());
    }
    for (Stream &st : session.streams) {
        if (st.fd < 0)
            continue;
        forget(st.fd);
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, st.fd, nullptr);
        ::close(st.fd);
        st.fd = -1;
    }
    forget(session.control);
    if (tell)
        FCloser.close(session.control, now);
    else {
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, session.control, nullptr);
        ::close(session.control);
    }
    session.control = -1;
    for (uint32_t i = 0; i < session.streams.size(); ++i)
        (isUpload(session, i) ? FCounters.sessionBytesReceivedTotal : FCounters.sessionBytesSentTotal) +=
            session.streams[i].bytes;
    auto byAddress = FSessionsByAddress.find(session.address);
    if (byAddress != FSessionsByAddress.end() && --byAddress->second == 0)
        FSessionsByAddress.erase(byAddress);
    FEnded.push_back(session.id);
}

void SessionServer::reap()
{
    for (const std::string &id : FEnded)
        FSessions.erase(id);
    FEnded.clear();
}

void SessionServer::runDue(int64_t now)
{
    FListener.runDue(now);
    std::vector<int> due;
    while (!FWakeups.empty() && FWakeups.begin()->first <= now) {
        due.push_back(FWakeups.begin()->second);
        FWakeups.erase(FWakeups.begin());
    }
    for (int fd : due) {
        auto it = FSockets.find(fd);
        if (it == FSockets.end())
            continue;
        Socket &s = it->second;
        s.wakeNs = 0;
        if (s.kind == Kind::Pending) {
            refuse(fd, SessionRefusal::Timeout, "no request within 5 s", s.address);
        } else if (s.kind == Kind::Control) {
            if (!s.session->ended)
                tick(*s.session, now);
        } else if (!s.session->ended && s.session->streams[s.stream].state == StreamState::Running) {
            serveDownload(*s.session, s.stream, now);
        }
    }
    reap();
}

int64_t SessionServer::nextWakeNs() const
{
    const int64_t listener = FListener.wakeNs();
    const int64_t own = FWakeups.empty() ? 0 : FWakeups.begin()->first;
    return listener > 0 && (own == 0 || listener < own) ? listener : own;
}

void SessionServer::sweep(int64_t now)
{
    for (auto &[id, session] : FSessions) {
        if (session->ended || session->phase == Phase::Joining)
            continue;
        const auto [begin, end] = phaseStreams(*session);
        for (uint32_t i = begin; i < end && !session->ended; ++i) {
            Stream &st = session->streams[i];
            if (st.state == StreamState::Draining) {
                const int64_t queued = GracefulCloser::unacknowledged(st.fd);
                if (queued < st.queued)
                    st.progressNs = now;
                st.queued = queued;
            }
            const bool waitingOnClient = st.state == StreamState::Draining
                                         || (st.state == StreamState::Running && (st.wantWrite || session->phase == Phase::Upload));
            if (waitingOnClient && now - st.progressNs >= FStallNs)
                endSession(*session, "data connection " + std::to_string(i) + " moved nothing for "
                                         + secondsText(FOptions.stallSeconds) + " s",
                           now);
        }
    }
    reap();
}

void SessionServer::stopAll()
{
    const int64_t now = FClock();
    for (auto &[id, session] : FSessions)
        endSession(*session, "server stopped", now);
    reap();
}

void SessionServer::addCounters(ServerCounters &c) const
{
    c.sessionsTotal += FCounters.sessionsTotal;
    c.sessionStreamsTotal += FCounters.sessionStreamsTotal;
    c.sessionsFailedTotal += FCounters.sessionsFailedTotal;
    c.sessionBytesSentTotal += FCounters.sessionBytesSentTotal;
    c.sessionBytesReceivedTotal += FCounters.sessionBytesReceivedTotal;
    c.refusedJoinsTotal += FCounters.refusedJoinsTotal;
    for (int i = 0; i < int(SessionRefusal::Count); ++i)
        c.refusedSessions[i] += FCounters.refusedSessions[i];
    for (const auto &[id, session] : FSessions) {
        if (session->ended)
            continue;
        ++c.activeSessions;
        for (uint32_t i = 0; i < session->streams.size(); ++i) {
            const Stream &st = session->streams[i];
            if (st.fd >= 0)
                ++c.activeSessionStreams;
            (isUpload(*session, i) ? c.sessionBytesReceivedTotal : c.sessionBytesSentTotal) += st.bytes;
        }
    }
}
