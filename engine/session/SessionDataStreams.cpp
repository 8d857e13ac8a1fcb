#include "engine/session/SessionDataStreams.h"

#include "engine/ApplicationExceptionHandler.h"
#include "engine/net/DiscardingReceive.h"
#include "engine/net/ReceiveLowWater.h"
#include "engine/SystemErrorText.h"
#include "engine/session/SessionClock.h"
#include "engine/session/SessionConnect.h"
#include "protocol/SessionMessage.h"
#include "engine/session/SessionNotifier.h"

#include <QObject>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace {

constexpr int64_t kReceiveChunk = 1 << 20;
constexpr int kReceiveCallsPerWakeup = 16; // so one busy stream cannot starve the others

// A kernel arrival time (CLOCK_REALTIME) on the steady clock the session is timed with.
int64_t arrivalToSteadyUs(int64_t arrivalNs)
{
    timespec real{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    const int64_t realUs = int64_t(real.tv_sec) * 1000000 + real.tv_nsec / 1000;
    return SessionNowUs() - (realUs - arrivalNs / 1000);
}

} // namespace

SessionDataStreams::SessionDataStreams(QObject *context, Listener &listener)
    : context_(context)
    , listener_(listener)
{
}

SessionDataStreams::~SessionDataStreams()
{
    closeAll();
}

void SessionDataStreams::plan(const std::vector<TSessionDirection> &directions, int perDirection, int64_t uploadBytes)
{
    perDirection_ = perDirection;
    int index = 0;
    for (TSessionDirection d : directions) {
        for (int i = 0; i < perDirection; ++i) {
            SessionStream s;
            s.index = index++;
            s.direction = d;
            if (d == TSessionDirection::Upload && uploadBytes > 0)
                s.sendLeft = uploadBytes / perDirection + (i == 0 ? uploadBytes % perDirection : 0);
            streams_.push_back(s);
        }
    }
}

bool SessionDataStreams::open(const sockaddr_storage &peer, socklen_t length, int window, const std::string &sessionId)
{
    sessionId_ = sessionId;
    for (SessionStream &s : streams_) {
        if (!openOne(s, peer, length, window))
            return false;
    }
    return true;
}

bool SessionDataStreams::openOne(SessionStream &s, const sockaddr_storage &peer, socklen_t length, int window)
{
    s.fd = ::socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.fd >= 0 && s.direction == TSessionDirection::Download) {
        // Arrival times from the kernel: a client that is slow to be scheduled (a busy
        // machine) still times the transfer as it arrived.
        const int one = 1;
        ::setsockopt(s.fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    }
    if (s.fd < 0 || !SessionConnect::prepareSocket(s.fd, window)) {
        listener_.fail(QStringLiteral("Cannot open data connection %1: %2").arg(s.index).arg(SystemErrorText(errno)));
        return false;
    }
    int rc;
    do {
        rc = ::connect(s.fd, reinterpret_cast<const sockaddr *>(&peer), length);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0 && errno != EINPROGRESS) {
        listener_.fail(QStringLiteral("Cannot open data connection %1: %2").arg(s.index).arg(SystemErrorText(errno)));
        return false;
    }
    const size_t at = size_t(&s - streams_.data());
    s.writeNotifier = new QSocketNotifier(s.fd, QSocketNotifier::Write, context_);
    QObject::connect(s.writeNotifier, &QSocketNotifier::activated, context_,
                     [this, at] { dispatchGuarded([this, at] { writable(at); }); });
    s.readNotifier = new QSocketNotifier(s.fd, QSocketNotifier::Read, context_);
    s.readNotifier->setEnabled(false);
    QObject::connect(s.readNotifier, &QSocketNotifier::activated, context_,
                     [this, at] { dispatchGuarded([this, at] { readable(at); }); });
    return true;
}

void SessionDataStreams::connectDone(SessionStream &s)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
        err = errno;
    if (err != 0) {
        listener_.fail(QStringLiteral("Cannot open data connection %1: %2").arg(s.index).arg(SystemErrorText(err)));
        return;
    }
    s.connected = true;
    // The join waits for the server's greeting, so that it carries the greeting's
    // acknowledgement: a greeting left unacknowledged would hold the first payload back
    // for a delayed acknowledgement's time on a sender that waits for one.
    s.writeNotifier->setEnabled(false);
    s.readNotifier->setEnabled(true);
}

bool SessionDataStreams::sendJoin(SessionStream &s)
{
    // The join line is the first thing the client sends on the connection: it fits its
    // send buffer.
    const QByteArray join = QByteArray::fromStdString(SessionProtocol::write(SessionJoin{sessionId_, uint32_t(s.index)}));
    ssize_t n;
    do {
        n = ::send(s.fd, join.constData(), size_t(join.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n != join.size()) {
        listener_.fail(QStringLiteral("Data connection %1 failed: %2")
                           .arg(s.index)
                           .arg(n < 0 ? SystemErrorText(errno) : QStringLiteral("the join could not be sent")));
        return false;
    }
    s.joined = true;
    // The first payload is acknowledged at once, as on a fresh connection: a paced
    // sender waiting for that acknowledgement would start late.
    const int one = 1;
    ::setsockopt(s.fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    return true;
}

void SessionDataStreams::writable(size_t at)
{
    if (!listener_.sessionLive() || at >= streams_.size())
        return;
    SessionStream &s = streams_[at];
    if (s.fd < 0)
        return;
    if (!s.connected) {
        connectDone(s);
        return;
    }
    listener_.streamWritable(s);
}

void SessionDataStreams::readable(size_t at)
{
    if (!listener_.sessionLive() || at >= streams_.size())
        return;
    SessionStream &s = streams_[at];
    if (s.fd < 0)
        return;
    if (!s.greeted) {
        // Nothing follows the greeting until every stream has joined.
        if (skipGreeting(s))
            sendJoin(s);
        return;
    }
    if (s.firstUs < 0 && s.direction == TSessionDirection::Download) {
        // The first segment's own arrival; a read of many takes the last one's.
        int64_t arrivalNs = -1;
        char one;
        if (ReceiveDiscardingStamped(s.fd, &one, 1, MSG_DONTWAIT | MSG_PEEK, arrivalNs) > 0 && arrivalNs > 0)
            s.earlyUs = s.earlyUs >= 0 ? std::min(s.earlyUs, arrivalToSteadyUs(arrivalNs)) : arrivalToSteadyUs(arrivalNs);
    }
    if (s.direction == TSessionDirection::Download && !listener_.directionRuns(s.direction)) {
        listener_.serveControlFirst();
        if (!listener_.sessionLive() || s.fd < 0)
            return;
        if (!listener_.directionRuns(s.direction)) {
            // The payload is timed from when it was seen, not from when the start
            // (which the server sent first) was read.
            if (s.earlyUs < 0)
                s.earlyUs = SessionNowUs();
            s.readNotifier->setEnabled(false); // until the start comes
            return;
        }
    }
    if (scratch_.empty())
        scratch_.resize(kReceiveChunk);
    for (int call = 0; call < kReceiveCallsPerWakeup; ++call) {
        int64_t arrivalNs = -1;
        const ssize_t n = ReceiveDiscardingStamped(s.fd, scratch_.data(), scratch_.size(), MSG_DONTWAIT, arrivalNs);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            adjustLowWater(s);
            return;
        }
        if (n < 0) {
            const int err = errno;
            // An upload's server may cut a stream once it has what it asked for.
            if (s.direction == TSessionDirection::Upload && s.finished) {
                close(s);
                return;
            }
            listener_.fail(QStringLiteral("Data connection %1 failed: %2").arg(s.index).arg(SystemErrorText(err)));
            return;
        }
        if (n == 0) {
            closedByServer(s);
            return;
        }
        if (s.direction != TSessionDirection::Download || !listener_.directionRuns(s.direction)) {
            listener_.fail(QStringLiteral("The server sent data on data connection %1 out of turn").arg(s.index));
            return;
        }
        const int64_t now = SessionNowUs();
        const int64_t seen = s.earlyUs >= 0 ? std::min(s.earlyUs, now) : now;
        listener_.payloadReceived(seen, now);
        if (s.firstUs < 0)
            s.firstUs = seen;
        s.lastArrivalUs = arrivalNs > 0 ? arrivalToSteadyUs(arrivalNs) : now;
        s.bytes += n;
    }
    adjustLowWater(s);
}

// Fewer wakeups once payload flows; the stream's times come from the kernel's arrival
// stamps, so a later wakeup does not move them.
void SessionDataStreams::adjustLowWater(SessionStream &s)
{
    if (s.firstUs >= 0)
        s.lowWater = ReceiveLowWater::Update(s.fd, s.lowWater, ReceiveLowWater::Wanted(s.bytes, SessionNowUs() - s.firstUs));
}

// Takes the greeting line off a data connection, so that only payload is counted.
// False while it has not come whole, or when the connection failed.
bool SessionDataStreams::skipGreeting(SessionStream &s)
{
    char line[SessionProtocol::MaxLineBytes];
    ssize_t n;
    do {
        n = ::recv(s.fd, line, sizeof line, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return false;
    if (n < 0) {
        listener_.fail(QStringLiteral("Data connection %1 failed: %2").arg(s.index).arg(SystemErrorText(errno)));
        return false;
    }
    if (n == 0) {
        closedByServer(s);
        return false;
    }
    const char *eol = static_cast<const char *>(std::memchr(line, '\n', size_t(n)));
    if (!eol) {
        if (n == ssize_t(sizeof line))
            listener_.fail(QStringLiteral("The server did not greet data connection %1").arg(s.index));
        return false;
    }
    const size_t length = size_t(eol - line) + 1;
    SessionMessage m;
    std::string problem;
    if (!SessionProtocol::parse(std::string_view(line, length - 1), m, problem)
        || !std::holds_alternative<SessionHello>(m)) {
        listener_.fail(QStringLiteral("The server did not greet data connection %1").arg(s.index));
        return false;
    }
    ssize_t taken;
    do {
        taken = ::recv(s.fd, line, length, MSG_DONTWAIT);
    } while (taken < 0 && errno == EINTR);
    if (taken != ssize_t(length)) {
        listener_.fail(
            QStringLiteral("Data connection %1 failed: %2").arg(s.index).arg(SystemErrorText(taken < 0 ? errno : EIO)));
        return false;
    }
    s.greeted = true;
    return true;
}

void SessionDataStreams::closedByServer(SessionStream &s)
{
    const int64_t now = SessionNowUs();
    if (s.fd >= 0)
        TSocketTcpInfo::Read(s.fd, s.own);
    close(s);
    if (s.direction == TSessionDirection::Upload) {
        // The server closes an upload stream once it has read to its end.
        if (!s.finished && listener_.sessionLive())
            listener_.fail(QStringLiteral("The server closed data connection %1 during the upload").arg(s.index));
        return;
    }
    if (!listener_.directionRuns(TSessionDirection::Download)) {
        listener_.fail(QStringLiteral("The server closed data connection %1 before the download").arg(s.index));
        return;
    }
    s.finished = true;
    s.lastUs = s.lastArrivalUs >= 0 ? std::min(s.lastArrivalUs, now) : now;
    listener_.downloadStreamEnded();
}

bool SessionDataStreams::allJoined() const
{
    return std::none_of(streams_.begin(), streams_.end(),
                        [](const SessionStream &s) { return !s.joined && s.fd >= 0; });
}

int64_t SessionDataStreams::earliestEarlyUs(TSessionDirection direction) const
{
    int64_t earliest = -1;
    for (const SessionStream &s : streams_) {
        if (s.direction == direction && s.earlyUs >= 0 && (earliest < 0 || s.earlyUs < earliest))
            earliest = s.earlyUs;
    }
    return earliest;
}

void SessionDataStreams::resumeReading(TSessionDirection direction)
{
    for (SessionStream &s : streams_) {
        if (s.direction == direction && s.readNotifier)
            s.readNotifier->setEnabled(true);
    }
}

void SessionDataStreams::resumeWriting(TSessionDirection direction)
{
    for (SessionStream &s : streams_) {
        if (s.direction == direction && s.writeNotifier)
            s.writeNotifier->setEnabled(true);
    }
}

SessionStream *SessionDataStreams::forWire(int wireIndex, TSessionDirection direction)
{
    if (wireIndex < 0)
        return nullptr;
    const int local = wireIndex % perDirection_;
    int seen = 0;
    for (SessionStream &s : streams_) {
        if (s.direction != direction)
            continue;
        if (seen++ == local)
            return &s;
    }
    return nullptr;
}

void SessionDataStreams::close(SessionStream &stream)
{
    DropSessionNotifier(stream.readNotifier);
    DropSessionNotifier(stream.writeNotifier);
    if (stream.fd >= 0)
        ::close(stream.fd);
    stream.fd = -1;
}

void SessionDataStreams::closeDirection(TSessionDirection direction)
{
    for (SessionStream &s : streams_) {
        if (s.direction == direction)
            close(s);
    }
}

void SessionDataStreams::closeAll()
{
    for (SessionStream &s : streams_)
        close(s);
}
