#include "engine/session/TSessionTest.h"

#include "engine/ApplicationExceptionHandler.h"
#include "engine/DateTimeSerial.h"
#include "engine/net/DiscardingReceive.h"
#include "engine/EKorvnError.h"
#include "engine/LogTimestamp.h"
#include "engine/net/ReceiveLowWater.h"
#include "engine/session/SessionConnect.h"
#include "engine/net/ServerTarget.h"
#include "protocol/SessionAuth.h"
#include "protocol/SessionLineReader.h"
#include "protocol/SessionMessage.h"
#include "protocol/SocketTcpInfo.h"
#include "engine/SystemErrorText.h"
#include "engine/TargetCheck.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <system_error>
#include <sys/resource.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kConnectTimeoutMs = 10000;
// The server reports every 250 ms while a phase runs; this much silence means it is gone.
constexpr int kServerSilenceMs = 10000;
constexpr int64_t kReceiveChunk = 1 << 20;
constexpr int kReceiveCallsPerWakeup = 16; // so one busy stream cannot starve the others
constexpr int64_t kSendChunk = 256 << 10;
constexpr int kSendChunksPerWakeup = 16;
constexpr int kPayloadSize = 1 << 20;

int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A kernel arrival time (CLOCK_REALTIME) on the steady clock the session is timed with.
int64_t arrivalToSteadyUs(int64_t arrivalNs)
{
    timespec real{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    const int64_t realUs = int64_t(real.tv_sec) * 1000000 + real.tv_nsec / 1000;
    return nowUs() - (realUs - arrivalNs / 1000);
}

// The processor time of this whole process, user and system.
int64_t processCpuUs()
{
    rusage u{};
    if (::getrusage(RUSAGE_SELF, &u) != 0)
        return -1;
    return (int64_t(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000000 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

int64_t median(std::vector<int64_t> v)
{
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
    return v[v.size() / 2];
}

double rateKBps(int64_t bytes, int64_t us)
{
    if (bytes <= 0 || us <= 0)
        return 0.0;
    return double((long double)bytes / 1024 / us * 1000000);
}

// Incompressible, made once: every upload sends it in rotation.
const QByteArray &payload()
{
    static const QByteArray data = [] {
        QByteArray d(kPayloadSize, Qt::Uninitialized);
        QRandomGenerator::securelySeeded().fillRange(reinterpret_cast<quint32 *>(d.data()),
                                                     kPayloadSize / int(sizeof(quint32)));
        return d;
    }();
    return data;
}

QString directionName(TSessionDirection direction)
{
    return direction == TSessionDirection::Download ? QStringLiteral("download") : QStringLiteral("upload");
}

QString capitalized(QString text)
{
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

TSessionTcpFigures fromWire(const SessionTcpFigures &w)
{
    TSessionTcpFigures t;
    t.RttUs = int64_t(w.rttUs);
    t.MinRttUs = int64_t(w.minRttUs);
    t.Retransmits = int64_t(w.retransmits);
    t.CwndBytes = int64_t(w.cwndBytes);
    t.DeliveryRateBps = int64_t(w.deliveryRateBps);
    t.BusyUs = int64_t(w.busyUs);
    t.RwndLimitedUs = int64_t(w.rwndLimitedUs);
    t.SndbufLimitedUs = int64_t(w.sndbufLimitedUs);
    t.RcvSpace = int64_t(w.rcvSpace);
    t.RcvRttUs = int64_t(w.rcvRttUs);
    return t;
}

bool sameDirection(SessionDirection wire, TSessionDirection local)
{
    return wire == (local == TSessionDirection::Download ? SessionDirection::Download : SessionDirection::Upload);
}

QString messageName(const SessionMessage &m)
{
    static const char *names[] = {"hello", "request", "accepted", "error", "join",
                                  "start", "report", "summary", "end", "echo"};
    return QLatin1String(names[m.index()]);
}

} // namespace

TSessionTcpFigures TSessionTcpFigures::Aggregate(const std::vector<TSessionTcpFigures> &streams)
{
    TSessionTcpFigures total;
    bool first = true;
    for (const TSessionTcpFigures &s : streams) {
        total.Retransmits += s.Retransmits;
        total.CwndBytes += s.CwndBytes;
        total.DeliveryRateBps += s.DeliveryRateBps;
        total.RcvSpace += s.RcvSpace;
        total.RttUs = std::max(total.RttUs, s.RttUs);
        total.RcvRttUs = std::max(total.RcvRttUs, s.RcvRttUs);
        total.BusyUs = std::max(total.BusyUs, s.BusyUs);
        total.RwndLimitedUs = std::max(total.RwndLimitedUs, s.RwndLimitedUs);
        total.SndbufLimitedUs = std::max(total.SndbufLimitedUs, s.SndbufLimitedUs);
        // A stream that has no sample yet (0) says nothing about the lowest rtt.
        if (s.MinRttUs > 0 && (first || total.MinRttUs == 0 || s.MinRttUs < total.MinRttUs))
            total.MinRttUs = s.MinRttUs;
        first = false;
    }
    return total;
}

QString TSessionRequest::Problem() const
{
    if (Host.trimmed().isEmpty())
        return QStringLiteral("No server given");
    if (const QString problem = TargetCheck::problem(Host); !problem.isEmpty())
        return problem;
    if (const TServerTarget target = ParseServerTarget(Host.toStdString()); !target.Error.empty())
        return QString::fromStdString(target.Error);
    if (SessionPort < 1 || SessionPort > 65535)
        return QStringLiteral("The session port must be a number from 1 to 65535");
    if (Streams < 1 || Streams > TSessionTest::MaxStreams)
        return QStringLiteral("Streams must be 1 to %1").arg(TSessionTest::MaxStreams);
    if (Bytes < 0)
        return QStringLiteral("The amount of bytes must be above 0");
    if (Bytes == 0 && (!std::isfinite(Seconds) || Seconds < 0.1 || Seconds > 86400))
        return QStringLiteral("The duration must be 0.1 to 86400 seconds");
    if (Window < 0)
        return QStringLiteral("The socket buffer size must not be negative");
    return {};
}

QString TSessionRequest::ConnectHost() const
{
    const TServerTarget target = ParseServerTarget(Host.toStdString());
    return target.Error.empty() ? QString::fromStdString(target.Host) : Host;
}

int TSessionRequest::ConnectPort() const
{
    const TServerTarget target = ParseServerTarget(Host.toStdString());
    return target.Error.empty() && target.Port > 0 ? target.Port : SessionPort;
}

struct TSessionTest::Private
{
    enum class Phase { Idle, Connecting, Hello, Requested, Joining, Running, Ended };

    struct Stream
    {
        int index = 0; // as joined on the wire
        TSessionDirection direction = TSessionDirection::Download;
        int fd = -1;
        QSocketNotifier *readNotifier = nullptr;
        QSocketNotifier *writeNotifier = nullptr;
        bool connected = false;
        bool greeted = false; // the server greets every connection, data connections too
        bool joined = false;
        int64_t earlyUs = -1; // payload seen before the start was read
        int lowWater = 1; // SO_RCVLOWAT of a download stream
        int64_t lastArrivalUs = -1; // the kernel's arrival time of the last payload read
        bool finished = false; // download: the server's close was read; upload: sending side shut
        int64_t bytes = 0;     // received (download) or handed to the socket (upload)
        int64_t firstUs = -1;
        int64_t lastUs = -1;
        int64_t sendLeft = -1; // upload by amount: bytes still to send; -1 when timed
        int payloadOffset = 0;
        int64_t serverBytes = 0;
        int64_t serverDurationUs = 0;
        TSessionTcpFigures tcp;
        TSocketTcpInfo own; // this side's view of the connection, last read
    };

    TSessionTest *q;
    int progressInterval = DefaultProgressInterval;
    TSessionRequest request;
    Phase phase = Phase::Idle;
    bool running = false;
    bool cancelled = false;
    QString error;
    std::vector<TSessionResult> results;

    std::unique_ptr<SessionConnect> connector;
    int port = 0; // the session port in use
    QString peerAddress; // what the control connection reached
    QString peerFamily;
    int controlFd = -1;
    QSocketNotifier *controlRead = nullptr;
    QSocketNotifier *controlWrite = nullptr;
    SessionLineReader controlIn{SessionProtocol::MaxServerLineBytes};
    QByteArray controlOut;
    std::string sessionId;
    std::vector<Stream> streams;

    // The running direction.
    TSessionDirection direction = TSessionDirection::Download;
    bool directionStarted = false; // its "start" came
    bool haveSummary = false;
    SessionSummary summary;
    bool controlEofHeld = false;
    std::deque<std::string> held; // control lines that came after the summary, before the last close
    int64_t firstByteUs = -1;
    int64_t earlyFirstUs = -1; // the earliest payload of the direction seen before its start
    int64_t uploadStartUs = -1;
    double startTime = -1.0;
    int64_t serverElapsedUs = 0;
    int64_t progressBytes = 0;
    int64_t progressUs = 0;
    int64_t progressRetransmits = 0;
    int64_t cpuStartUs = -1;
    int64_t cpuWallStartUs = 0;
    std::vector<int64_t> senderRttSamples; // the sender's smoothed round trip, one per report
    std::vector<char> scratch;

    QTimer progressTimer;
    QTimer silenceTimer;
    QTimer sendDeadline;

    explicit Private(TSessionTest *owner)
        : q(owner)
    {
    }

    void status(const QString &text) { emit q->StatusMsg(LogTimestamp::line(text)); }

    std::vector<TSessionDirection> plannedDirections() const
    {
        switch (request.Direction) {
        case TSessionRequest::Download:
            return {TSessionDirection::Download};
        case TSessionRequest::Upload:
            return {TSessionDirection::Upload};
        case TSessionRequest::Both:
            break;
        }
        return {TSessionDirection::Download, TSessionDirection::Upload};
    }

    QString lengthText() const
    {
        if (request.Bytes > 0)
            return QStringLiteral("%1 bytes").arg(request.Bytes);
        return QStringLiteral("%1 %2").arg(request.Seconds).arg(request.Seconds == 1 ? QStringLiteral("second")
                                                                                      : QStringLiteral("seconds"));
    }

    QString requestText() const
    {
        static const char *names[] = {"download", "upload", "download then upload"};
        return QStringLiteral("%1 on %2 %3 for %4")
            .arg(QLatin1String(names[request.Direction]))
            .arg(request.Streams)
            .arg(request.Streams == 1 ? QStringLiteral("stream") : QStringLiteral("streams"))
            .arg(lengthText());
    }

    // --- closing ----------------------------------------------------------------------

    static void dropNotifier(QSocketNotifier *&n)
    {
        if (n) {
            n->setEnabled(false);
            n->deleteLater(); // it may be the sender of the notification being served
            n = nullptr;
        }
    }

    void closeStream(Stream &s)
    {
        dropNotifier(s.readNotifier);
        dropNotifier(s.writeNotifier);
        if (s.fd >= 0)
            ::close(s.fd);
        s.fd = -1;
    }

    void closeAll()
    {
        connector.reset();
        progressTimer.stop();
        silenceTimer.stop();
        sendDeadline.stop();
        for (Stream &s : streams)
            closeStream(s);
        dropNotifier(controlRead);
        dropNotifier(controlWrite);
        if (controlFd >= 0)
            ::close(controlFd);
        controlFd = -1;
    }

    void finish()
    {
        closeAll();
        phase = Phase::Ended;
        running = false;
        emit q->Finished();
    }

    // The session ends with this failure; the direction it hit gets an invalid result.
    void fail(const QString &text)
    {
        if (!running)
            return;
        if (error.isEmpty())
            error = text;
        closeAll();
        if (results.size() < plannedDirections().size()) {
            TSessionResult r = partialResult();
            r.Valid = false;
            r.Error = text;
            results.push_back(r);
            emit q->Result(results.back());
        }
        finish();
    }

    TSessionResult partialResult() const
    {
        TSessionResult r;
        r.Direction = plannedDirections().at(results.size());
        r.Streams = request.Streams;
        r.StartTime = directionStarted ? startTime : -1.0;
        r.Family = peerFamily;
        return r;
    }

    // --- control connection -----------------------------------------------------------

    void connected(int fd, const QString &connectError)
    {
        connector.reset();
        if (fd < 0) {
            fail(connectError);
            return;
        }
        controlFd = fd;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0) {
            TResolvedAddress reached;
            reached.Address = peer;
            reached.Length = length;
            peerAddress = QString::fromStdString(NumericAddress(reached));
            peerFamily = QString::fromLatin1(FamilyName(peer.ss_family));
            status(QStringLiteral("Connected to %1 port %2.").arg(peerAddress).arg(port));
        }
        phase = Phase::Hello;
        controlRead = new QSocketNotifier(fd, QSocketNotifier::Read, q);
        QObject::connect(controlRead, &QSocketNotifier::activated, q,
                         [this] { dispatchGuarded([this] { controlReadable(); }); });
        silenceTimer.start(kServerSilenceMs);
    }

    void sendControl(const QByteArray &line)
    {
        controlOut += line;
        flushControl();
    }

    void flushControl()
    {
        while (!controlOut.isEmpty() && controlFd >= 0) {
            const ssize_t n = ::send(controlFd, controlOut.constData(), size_t(controlOut.size()),
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (n < 0) {
                fail(QStringLiteral("The session's control connection failed: %1").arg(SystemErrorText(errno)));
                return;
            }
            controlOut.remove(0, qsizetype(n));
        }
        if (controlOut.isEmpty()) {
            dropNotifier(controlWrite);
        } else if (!controlWrite && controlFd >= 0) {
            controlWrite = new QSocketNotifier(controlFd, QSocketNotifier::Write, q);
            QObject::connect(controlWrite, &QSocketNotifier::activated, q,
                             [this] { dispatchGuarded([this] { flushControl(); }); });
        }
    }

    void controlReadable()
    {
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::recv(controlFd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (n < 0) {
                fail(QStringLiteral("The session's control connection failed: %1").arg(SystemErrorText(errno)));
                return;
            }
            if (n == 0) {
                if (phase == Phase::Running && haveSummary) {
                    controlEofHeld = true; // served after the lines it follows
                    dropNotifier(controlRead);
                    return;
                }
                controlClosed();
                return;
            }
            // Acknowledged at once, so a server that waits for the acknowledgement before its
            // next short line (the start, a report) is not held back.
            const int one = 1;
            ::setsockopt(controlFd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            controlIn.append(std::string_view(buffer, size_t(n)));
            // Lines are served as they come, so a failure stops the rest.
            std::string line;
            for (;;) {
                const SessionLineReader::Result got = controlIn.next(line);
                // A greeting is short: a long first line is some other kind of server.
                const bool notGreeting = phase == Phase::Hello && got == SessionLineReader::Result::NeedMore
                                         && controlIn.buffered() >= SessionProtocol::MaxLineBytes;
                if (got == SessionLineReader::Result::NeedMore && !notGreeting)
                    break;
                if (got == SessionLineReader::Result::TooLong || notGreeting) {
                    if (phase == Phase::Hello) {
                        fail(QStringLiteral("%1 port %2 is not a session server: it sent no greeting")
                                 .arg(request.Host)
                                 .arg(request.SessionPort));
                        return;
                    }
                    fail(QStringLiteral("The server sent a message longer than %1 bytes")
                             .arg(SessionProtocol::MaxServerLineBytes));
                    return;
                }
                handleLine(line);
                if (!running || controlFd < 0)
                    return;
            }
        }
    }

    void controlClosed()
    {
        if (phase == Phase::Ended)
            return;
        if (phase == Phase::Hello)
            fail(QStringLiteral("%1 port %2 closed the connection without greeting: is it a session server?")
                     .arg(request.Host)
                     .arg(request.SessionPort));
        else
            fail(QStringLiteral("The server closed the session before its end"));
    }

    void handleLine(const std::string &line)
    {
        silenceTimer.start(kServerSilenceMs);
        if (phase == Phase::Running && haveSummary) {
            // The server is done with the phase while data of it is still queued here:
            // what comes next waits until the last stream's close has been read.
            held.push_back(line);
            return;
        }
        SessionMessage m;
        std::string problem;
        if (!SessionProtocol::parse(line, m, problem)) {
            if (phase == Phase::Hello)
                fail(QStringLiteral("%1 port %2 is not a session server: %3")
                         .arg(request.Host)
                         .arg(request.SessionPort)
                         .arg(QString::fromStdString(problem)));
            else
                fail(QStringLiteral("The server sent a message this client cannot read: %1")
                         .arg(QString::fromStdString(problem)));
            return;
        }
        if (const auto *e = std::get_if<SessionError>(&m)) {
            const QString text = QString::fromStdString(e->error);
            if (phase == Phase::Hello || phase == Phase::Requested)
                fail(QStringLiteral("The server refused the session: %1").arg(text));
            else
                fail(QStringLiteral("The server ended the session: %1").arg(text));
            return;
        }
        switch (phase) {
        case Phase::Hello:
            if (const auto *hello = std::get_if<SessionHello>(&m)) {
                onHello(*hello);
                return;
            }
            break;
        case Phase::Requested:
            if (const auto *accepted = std::get_if<SessionAccepted>(&m)) {
                onAccepted(*accepted);
                return;
            }
            break;
        case Phase::Joining:
        case Phase::Running:
            if (const auto *echo = std::get_if<SessionEcho>(&m)) {
                emit q->EchoReply(quint64(echo->id));
                return;
            }
            if (const auto *start = std::get_if<SessionStart>(&m)) {
                if (start->direction == SessionDirection::Both)
                    break;
                onStart(start->direction == SessionDirection::Download ? TSessionDirection::Download
                                                                       : TSessionDirection::Upload);
                return;
            }
            if (const auto *report = std::get_if<SessionReport>(&m)) {
                // A report that crossed the phase's end is of no more use.
                if (phase == Phase::Running && sameDirection(report->direction, direction))
                    onReport(*report);
                return;
            }
            if (const auto *sum = std::get_if<SessionSummary>(&m)) {
                if (phase != Phase::Running || !sameDirection(sum->direction, direction) || haveSummary)
                    break;
                haveSummary = true;
                summary = *sum;
                maybeFinishDirection();
                return;
            }
            if (std::holds_alternative<SessionEnd>(m)) {
                onEnd();
                return;
            }
            break;
        default:
            break;
        }
        fail(QStringLiteral("The server sent \"%1\" out of turn").arg(messageName(m)));
    }

    void onHello(const SessionHello &m)
    {
        if (m.version != SessionProtocol::Version) {
            fail(QStringLiteral("The server speaks session protocol version %1; this client speaks version %2")
                     .arg(m.version)
                     .arg(SessionProtocol::Version));
            return;
        }
        if (m.auth && request.Secret.isEmpty()) {
            fail(QStringLiteral("The server asks for the shared secret, and none was given"));
            return;
        }
        SessionRequest r;
        r.direction = request.Direction == TSessionRequest::Download ? SessionDirection::Download
                      : request.Direction == TSessionRequest::Upload ? SessionDirection::Upload
                                                                      : SessionDirection::Both;
        r.streams = uint32_t(request.Streams);
        if (request.Bytes > 0)
            r.bytes = uint64_t(request.Bytes);
        else
            r.seconds = request.Seconds;
        if (m.auth)
            r.auth = SessionAuth::proof(std::string_view(request.Secret.constData(), size_t(request.Secret.size())),
                                        m.nonce);
        phase = Phase::Requested;
        status(QStringLiteral("Requesting %1").arg(requestText()));
        sendControl(QByteArray::fromStdString(SessionProtocol::write(r)));
    }

    void onAccepted(const SessionAccepted &m)
    {
        sessionId = m.session;
        status(QStringLiteral("Session accepted; opening %1 data %2")
                   .arg(plannedDirections().size() * size_t(request.Streams))
                   .arg(plannedDirections().size() * size_t(request.Streams) == 1 ? QStringLiteral("connection")
                                                                                 : QStringLiteral("connections")));
        phase = Phase::Joining;
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        if (::getpeername(controlFd, reinterpret_cast<sockaddr *>(&peer), &len) < 0) {
            fail(QStringLiteral("The session's control connection failed: %1").arg(SystemErrorText(errno)));
            return;
        }
        // Data connections go to the address the control connection reached: the server
        // takes joins only from the same client, and a name may resolve differently.
        const int perDirection = request.Streams;
        int index = 0;
        for (TSessionDirection d : plannedDirections()) {
            for (int i = 0; i < perDirection; ++i) {
                Stream s;
                s.index = index++;
                s.direction = d;
                if (d == TSessionDirection::Upload && request.Bytes > 0)
                    s.sendLeft = request.Bytes / perDirection + (i == 0 ? request.Bytes % perDirection : 0);
                streams.push_back(s);
            }
        }
        for (Stream &s : streams) {
            if (!openData(s, peer, len))
                return;
        }
    }

    bool openData(Stream &s, const sockaddr_storage &peer, socklen_t len)
    {
        s.fd = ::socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s.fd >= 0 && s.direction == TSessionDirection::Download) {
            // Arrival times from the kernel: a client that is slow to be scheduled (a busy
            // machine) still times the transfer as it arrived.
            const int one = 1;
            ::setsockopt(s.fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
        }
        if (s.fd < 0 || !SessionConnect::prepareSocket(s.fd, request.Window)) {
            fail(QStringLiteral("Cannot open data connection %1: %2").arg(s.index).arg(SystemErrorText(errno)));
            return false;
        }
        int rc;
        do {
            rc = ::connect(s.fd, reinterpret_cast<const sockaddr *>(&peer), len);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0 && errno != EINPROGRESS) {
            fail(QStringLiteral("Cannot open data connection %1: %2").arg(s.index).arg(SystemErrorText(errno)));
            return false;
        }
        const size_t at = size_t(&s - streams.data());
        s.writeNotifier = new QSocketNotifier(s.fd, QSocketNotifier::Write, q);
        QObject::connect(s.writeNotifier, &QSocketNotifier::activated, q,
                         [this, at] { dispatchGuarded([this, at] { dataWritable(at); }); });
        s.readNotifier = new QSocketNotifier(s.fd, QSocketNotifier::Read, q);
        s.readNotifier->setEnabled(false);
        QObject::connect(s.readNotifier, &QSocketNotifier::activated, q,
                         [this, at] { dispatchGuarded([this, at] { dataReadable(at); }); });
        return true;
    }

    void dataConnected(Stream &s)
    {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            err = errno;
        if (err != 0) {
            fail(QStringLiteral("Cannot open data connection %1: %2").arg(s.index).arg(SystemErrorText(err)));
            return;
        }
        s.connected = true;
        // The join waits for the server's greeting, so that it carries the greeting's
        // acknowledgement: a greeting left unacknowledged would hold the first payload back
        // for a delayed acknowledgement's time on a sender that waits for one.
        s.writeNotifier->setEnabled(false);
        s.readNotifier->setEnabled(true);
    }

    bool sendJoin(Stream &s)
    {
        // The join line is the first thing the client sends on the connection: it fits its
        // send buffer.
        const QByteArray join = QByteArray::fromStdString(SessionProtocol::write(SessionJoin{sessionId, uint32_t(s.index)}));
        ssize_t n;
        do {
            n = ::send(s.fd, join.constData(), size_t(join.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n != join.size()) {
            fail(QStringLiteral("Data connection %1 failed: %2")
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

    void dataWritable(size_t at)
    {
        if (!running || at >= streams.size())
            return;
        Stream &s = streams[at];
        if (s.fd < 0)
            return;
        if (!s.connected) {
            dataConnected(s);
            return;
        }
        sendPayload(s);
    }

    void dataReadable(size_t at)
    {
        if (!running || at >= streams.size())
            return;
        Stream &s = streams[at];
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
                s.earlyUs = s.earlyUs >= 0 ? std::min(s.earlyUs, arrivalToSteadyUs(arrivalNs))
                                           : arrivalToSteadyUs(arrivalNs);
        }
        if (s.direction == TSessionDirection::Download && (phase != Phase::Running || direction != s.direction)) {
            // The server sends its start before the data, but the two connections race
            // here: the control connection is served first.
            if (controlFd >= 0)
                controlReadable();
            if (!running || s.fd < 0)
                return;
            if (phase != Phase::Running || direction != s.direction) {
                // The payload is timed from when it was seen, not from when the start
                // (which the server sent first) was read.
                if (s.earlyUs < 0)
                    s.earlyUs = nowUs();
                s.readNotifier->setEnabled(false); // until the start comes
                return;
            }
        }
        if (scratch.empty())
            scratch.resize(kReceiveChunk);
        for (int call = 0; call < kReceiveCallsPerWakeup; ++call) {
            int64_t arrivalNs = -1;
            const ssize_t n = ReceiveDiscardingStamped(s.fd, scratch.data(), scratch.size(), MSG_DONTWAIT, arrivalNs);
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
                    closeStream(s);
                    return;
                }
                fail(QStringLiteral("Data connection %1 failed: %2").arg(s.index).arg(SystemErrorText(err)));
                return;
            }
            if (n == 0) {
                streamClosed(s);
                return;
            }
            if (s.direction != TSessionDirection::Download || phase != Phase::Running || direction != s.direction) {
                fail(QStringLiteral("The server sent data on data connection %1 out of turn").arg(s.index));
                return;
            }
            const int64_t now = nowUs();
            const int64_t seen = s.earlyUs >= 0 ? std::min(s.earlyUs, now) : now;
            if (firstByteUs < 0) {
                firstByteUs = earlyFirstUs >= 0 ? std::min(earlyFirstUs, seen) : seen;
                startTime = DateTimeSerial::fromDateTime(
                    QDateTime::currentDateTime().addMSecs(-(now - firstByteUs) / 1000));
                startProgress();
                status(QStringLiteral("Receiving data - timer started."));
            }
            if (s.firstUs < 0)
                s.firstUs = seen;
            s.lastArrivalUs = arrivalNs > 0 ? arrivalToSteadyUs(arrivalNs) : now;
            s.bytes += n;
        }
        adjustLowWater(s);
    }

    // Fewer wakeups once payload flows; the stream's times come from the kernel's arrival
    // stamps, so a later wakeup does not move them.
    void adjustLowWater(Stream &s)
    {
        if (s.firstUs >= 0)
            s.lowWater = ReceiveLowWater::Update(s.fd, s.lowWater, ReceiveLowWater::Wanted(s.bytes, nowUs() - s.firstUs));
    }

    // Takes the greeting line off a data connection, so that only payload is counted.
    // False while it has not come whole, or when the connection failed.
    bool skipGreeting(Stream &s)
    {
        char line[SessionProtocol::MaxLineBytes];
        ssize_t n;
        do {
            n = ::recv(s.fd, line, sizeof line, MSG_PEEK | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return false;
        if (n < 0) {
            fail(QStringLiteral("Data connection %1 failed: %2").arg(s.index).arg(SystemErrorText(errno)));
            return false;
        }
        if (n == 0) {
            streamClosed(s);
            return false;
        }
        const char *eol = static_cast<const char *>(std::memchr(line, '\n', size_t(n)));
        if (!eol) {
            if (n == ssize_t(sizeof line))
                fail(QStringLiteral("The server did not greet data connection %1").arg(s.index));
            return false;
        }
        const size_t length = size_t(eol - line) + 1;
        SessionMessage m;
        std::string problem;
        if (!SessionProtocol::parse(std::string_view(line, length - 1), m, problem)
            || !std::holds_alternative<SessionHello>(m)) {
            fail(QStringLiteral("The server did not greet data connection %1").arg(s.index));
            return false;
        }
        ssize_t taken;
        do {
            taken = ::recv(s.fd, line, length, MSG_DONTWAIT);
        } while (taken < 0 && errno == EINTR);
        if (taken != ssize_t(length)) {
            fail(QStringLiteral("Data connection %1 failed: %2").arg(s.index).arg(SystemErrorText(taken < 0 ? errno : EIO)));
            return false;
        }
        s.greeted = true;
        return true;
    }

    void streamClosed(Stream &s)
    {
        const int64_t now = nowUs();
        if (s.fd >= 0)
            TSocketTcpInfo::Read(s.fd, s.own);
        closeStream(s);
        if (s.direction == TSessionDirection::Upload) {
            // The server closes an upload stream once it has read to its end.
            if (!s.finished && running)
                fail(QStringLiteral("The server closed data connection %1 during the upload").arg(s.index));
            return;
        }
        if (phase != Phase::Running || direction != TSessionDirection::Download) {
            fail(QStringLiteral("The server closed data connection %1 before the download").arg(s.index));
            return;
        }
        s.finished = true;
        s.lastUs = s.lastArrivalUs >= 0 ? std::min(s.lastArrivalUs, now) : now;
        maybeFinishDirection();
    }

    // --- phases -----------------------------------------------------------------------

    void onStart(TSessionDirection d)
    {
        const auto planned = plannedDirections();
        if (results.size() >= planned.size() || planned[results.size()] != d) {
            fail(QStringLiteral("The server started the %1 out of turn").arg(directionName(d)));
            return;
        }
        for (const Stream &s : streams) {
            if (!s.joined && s.fd >= 0) {
                fail(QStringLiteral("The server started before all data connections joined"));
                return;
            }
        }
        phase = Phase::Running;
        direction = d;
        directionStarted = true;
        haveSummary = false;
        summary = {};
        firstByteUs = -1;
        earlyFirstUs = -1;
        for (const Stream &s : streams) {
            if (s.direction == d && s.earlyUs >= 0 && (earlyFirstUs < 0 || s.earlyUs < earlyFirstUs))
                earlyFirstUs = s.earlyUs;
        }
        uploadStartUs = -1;
        startTime = -1.0;
        serverElapsedUs = 0;
        senderRttSamples.clear();
        cpuStartUs = processCpuUs();
        cpuWallStartUs = nowUs();
        status(QStringLiteral("%1 started on %2 %3")
                   .arg(capitalized(directionName(d)))
                   .arg(request.Streams)
                   .arg(request.Streams == 1 ? QStringLiteral("stream") : QStringLiteral("streams")));
        emit q->DirectionStarted(d);
        if (!running)
            return;
        for (Stream &s : streams) {
            if (s.direction == d && s.readNotifier)
                s.readNotifier->setEnabled(true);
        }
        if (d == TSessionDirection::Upload) {
            uploadStartUs = nowUs();
            startTime = DateTimeSerial::fromDateTime(QDateTime::currentDateTime());
            startProgress();
            status(QStringLiteral("Sending data - timer started."));
            if (request.Bytes <= 0)
                sendDeadline.start(std::max<int>(1, int(std::lround(request.Seconds * 1000))));
            for (Stream &s : streams) {
                if (s.direction == TSessionDirection::Upload && s.writeNotifier)
                    s.writeNotifier->setEnabled(true);
            }
        }
    }

    void sendPayload(Stream &s)
    {
        if (s.finished || phase != Phase::Running || direction != TSessionDirection::Upload) {
            s.writeNotifier->setEnabled(false);
            return;
        }
        const QByteArray &data = payload();
        // A few chunks per wakeup at most: a socket that never fills (loopback) must not
        // keep the other streams and the control connection waiting.
        for (int round = 0; round < kSendChunksPerWakeup; ++round) {
            if (s.sendLeft == 0 || (s.sendLeft < 0 && nowUs() - uploadStartUs >= int64_t(request.Seconds * 1e6))) {
                endUploadStream(s);
                return;
            }
            int64_t count = std::min<int64_t>(kSendChunk, data.size() - s.payloadOffset);
            if (s.sendLeft > 0)
                count = std::min(count, s.sendLeft);
            const ssize_t n = ::send(s.fd, data.constData() + s.payloadOffset, size_t(count), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n < 0) {
                fail(QStringLiteral("Data connection %1 failed: %2").arg(s.index).arg(SystemErrorText(errno)));
                return;
            }
            s.bytes += n;
            if (s.sendLeft > 0)
                s.sendLeft -= n;
            s.payloadOffset = int((s.payloadOffset + n) % data.size());
            // One wakeup sends a few chunks at most, so the other streams and the control
            // connection are served in between.
            if (n < count)
                return;
        }
    }

    void endUploadStream(Stream &s)
    {
        if (s.finished)
            return;
        s.finished = true;
        s.lastUs = nowUs();
        if (s.writeNotifier)
            s.writeNotifier->setEnabled(false);
        if (s.fd >= 0)
            ::shutdown(s.fd, SHUT_WR);
    }

    void sendDeadlinePassed()
    {
        for (Stream &s : streams) {
            if (s.direction == TSessionDirection::Upload)
                endUploadStream(s);
        }
    }

    void onReport(const SessionReport &m)
    {
        serverElapsedUs = int64_t(m.elapsedUs);
        for (const SessionStreamFigures &f : m.streams) {
            if (Stream *s = streamFor(int(f.stream))) {
                s->serverBytes = int64_t(f.bytes);
                s->tcp = fromWire(f.tcp);
            }
        }
        // The sender's round trip while loaded: the server's in a download, ours in an upload.
        int64_t rtt = 0;
        for (Stream &s : streams) {
            if (s.direction != direction)
                continue;
            if (direction == TSessionDirection::Upload && s.fd >= 0 && !s.finished)
                TSocketTcpInfo::Read(s.fd, s.own);
            rtt = std::max(rtt, direction == TSessionDirection::Download ? s.tcp.RttUs : s.own.RttUs);
        }
        if (rtt > 0)
            senderRttSamples.push_back(rtt);
    }

    TVerdictInput verdictInput(const TSessionResult &r) const
    {
        TVerdictInput in;
        in.Upload = direction == TSessionDirection::Upload;
        in.Streams = request.Streams;
        in.Bytes = r.Bytes;
        in.DurationUs = r.DurationUs;
        in.RequestedWindow = request.Window;
        int64_t minRtt = 0;
        int64_t lastRtt = 0;
        bool times = false;
        for (const Stream &s : streams) {
            if (s.direction != direction)
                continue;
            if (in.Upload) {
                const TSocketTcpInfo &t = s.own;
                in.SenderKnown = in.SenderKnown || t.RttUs > 0 || t.BusyUs > 0;
                times = times || t.HasSenderTimes;
                in.BusyUs += t.BusyUs;
                in.RwndLimitedUs += t.RwndLimitedUs;
                in.SndbufLimitedUs += t.SndbufLimitedUs;
                in.Retransmits += t.Retransmits;
                in.SentBytes += t.BytesSent;
                in.MssBytes = std::max(in.MssBytes, t.SndMss);
                in.WindowBytes = std::max(in.WindowBytes, t.SndWnd);
                lastRtt = std::max(lastRtt, t.RttUs);
                if (t.MinRttUs > 0 && (minRtt == 0 || t.MinRttUs < minRtt))
                    minRtt = t.MinRttUs;
            } else {
                const TSessionTcpFigures &t = s.tcp;
                in.SenderKnown = in.SenderKnown || t.RttUs > 0 || t.BusyUs > 0;
                // The server sends 0 for a field its kernel lacks; the delivery rate came one
                // release before the busy and limited times, so a kernel with neither has none.
                times = times || t.BusyUs > 0 || t.RwndLimitedUs > 0 || t.SndbufLimitedUs > 0
                        || t.DeliveryRateBps > 0;
                in.BusyUs += t.BusyUs;
                in.RwndLimitedUs += t.RwndLimitedUs;
                in.SndbufLimitedUs += t.SndbufLimitedUs;
                in.Retransmits += t.Retransmits;
                in.MssBytes = std::max(in.MssBytes, s.own.RcvMss);
                // The kernel keeps about half the buffer for its bookkeeping.
                in.WindowBytes = std::max(in.WindowBytes, s.own.RcvBuf / 2);
                lastRtt = std::max(lastRtt, t.RttUs);
                if (t.MinRttUs > 0 && (minRtt == 0 || t.MinRttUs < minRtt))
                    minRtt = t.MinRttUs;
            }
        }
        if (!in.Upload)
            in.SentBytes = r.ServerBytes;
        in.SenderTimesKnown = times;
        in.RttUs = senderRttSamples.empty() ? lastRtt : median(senderRttSamples);
        in.MinRttUs = minRtt;
        if (cpuStartUs >= 0) {
            const int64_t cpu = processCpuUs();
            if (cpu >= 0) {
                in.ClientCpuUs = cpu - cpuStartUs;
                in.ClientWallUs = nowUs() - cpuWallStartUs;
            }
        }
        return in;
    }

    // Streams of a phase are numbered as joined; a server may also count each phase from 0.
    Stream *streamFor(int wireIndex)
    {
        if (wireIndex < 0)
            return nullptr;
        const int local = wireIndex % request.Streams;
        int seen = 0;
        for (Stream &s : streams) {
            if (s.direction != direction)
                continue;
            if (seen++ == local)
                return &s;
        }
        return nullptr;
    }

    void maybeFinishDirection()
    {
        if (!haveSummary)
            return;
        int64_t lastUs = -1;
        if (direction == TSessionDirection::Download) {
            for (const Stream &s : streams) {
                if (s.direction != TSessionDirection::Download)
                    continue;
                if (!s.finished)
                    return; // the result waits for the last close
                lastUs = std::max(lastUs, s.lastUs);
            }
        }
        progressTimer.stop();
        for (const SessionStreamFigures &f : summary.streams) {
            if (Stream *s = streamFor(int(f.stream))) {
                s->serverBytes = int64_t(f.bytes);
                s->serverDurationUs = int64_t(f.durationUs);
                s->tcp = fromWire(f.tcp);
            }
        }

        if (direction == TSessionDirection::Upload) {
            for (Stream &s : streams) {
                if (s.direction == direction && s.fd >= 0)
                    TSocketTcpInfo::Read(s.fd, s.own);
            }
        }

        TSessionResult r;
        r.Direction = direction;
        r.Streams = request.Streams;
        r.StartTime = startTime;
        r.Family = peerFamily;
        r.ServerBytes = int64_t(summary.bytes);
        r.ServerDurationUs = int64_t(summary.durationUs);
        std::vector<TSessionTcpFigures> tcps;
        for (const Stream &s : streams) {
            if (s.direction != direction)
                continue;
            TSessionStreamFigures f;
            f.Stream = int(tcps.size());
            f.Tcp = s.tcp;
            if (direction == TSessionDirection::Download) {
                f.Bytes = s.bytes;
                f.DurationUs = s.firstUs >= 0 ? s.lastUs - s.firstUs : 0;
            } else {
                f.Bytes = s.serverBytes;
                f.DurationUs = s.serverDurationUs;
            }
            f.Rate = rateKBps(f.Bytes, f.DurationUs);
            tcps.push_back(s.tcp);
            r.PerStream.push_back(f);
        }
        r.Tcp = TSessionTcpFigures::Aggregate(tcps);
        if (direction == TSessionDirection::Download) {
            for (const TSessionStreamFigures &f : r.PerStream)
                r.Bytes += f.Bytes;
            r.DurationUs = firstByteUs >= 0 ? lastUs - firstByteUs : 0;
        } else {
            // What the server received over its own span, not what left this machine.
            r.Bytes = int64_t(summary.bytes);
            r.DurationUs = int64_t(summary.durationUs);
        }
        r.Rate = rateKBps(r.Bytes, r.DurationUs);
        r.Valid = r.Bytes > 0 && r.DurationUs > 0;
        if (!r.Valid)
            r.Error = QStringLiteral("No data was transferred");
        r.VerdictInput = verdictInput(r);
        r.Verdict = TVerdict::Decide(r.VerdictInput);
        if (direction == TSessionDirection::Download)
            status(QStringLiteral("Download finished: all streams closed"));
        else
            status(QStringLiteral("Upload finished: the server received %1 bytes").arg(qint64(summary.bytes)));
        // This direction's connections have done their work.
        for (Stream &s : streams) {
            if (s.direction == direction)
                closeStream(s);
        }
        results.push_back(r);
        emit q->Result(results.back());
        if (!running)
            return;
        directionStarted = false;
        haveSummary = false;
        phase = Phase::Joining; // waits for the next start or the end
        while (running && !held.empty() && !(phase == Phase::Running && haveSummary)) {
            const std::string line = std::move(held.front());
            held.pop_front();
            handleLine(line);
        }
        if (running && controlEofHeld && held.empty() && !(phase == Phase::Running && haveSummary))
            controlClosed();
    }

    void onEnd()
    {
        if (results.size() < plannedDirections().size()) {
            fail(QStringLiteral("The server ended the session before its end"));
            return;
        }
        status(QStringLiteral("Session finished"));
        finish();
    }

    // --- progress ---------------------------------------------------------------------

    void startProgress()
    {
        progressBytes = 0;
        progressUs = 0;
        progressRetransmits = 0;
        if (progressInterval > 0)
            progressTimer.start(progressInterval);
    }

    void reportProgress()
    {
        if (!running || phase != Phase::Running)
            return;
        TSessionProgress p;
        p.Direction = direction;
        std::vector<TSessionTcpFigures> tcps;
        for (const Stream &s : streams) {
            if (s.direction != direction)
                continue;
            TSessionStreamFigures f;
            f.Stream = int(tcps.size());
            f.Bytes = direction == TSessionDirection::Download ? s.bytes : s.serverBytes;
            f.Tcp = s.tcp;
            p.BytesSoFar += f.Bytes;
            p.Streams.push_back(f);
            tcps.push_back(s.tcp);
        }
        // An upload is seen through the server's reports: its bytes over its time.
        p.ElapsedUs = direction == TSessionDirection::Download ? nowUs() - firstByteUs : serverElapsedUs;
        if (p.ElapsedUs <= progressUs)
            return; // nothing new from the server yet
        p.Tcp = TSessionTcpFigures::Aggregate(tcps);
        p.IntervalBytes = p.BytesSoFar - progressBytes;
        p.IntervalUs = p.ElapsedUs - progressUs;
        p.IntervalRate = rateKBps(p.IntervalBytes, p.IntervalUs);
        p.IntervalRetransmits = std::max<int64_t>(0, p.Tcp.Retransmits - progressRetransmits);
        progressBytes = p.BytesSoFar;
        progressUs = p.ElapsedUs;
        progressRetransmits = p.Tcp.Retransmits;
        emit q->Progress(p);
    }
};

TSessionTest::TSessionTest(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>(this))
{
    qRegisterMetaType<TSessionDirection>();
    qRegisterMetaType<TSessionProgress>();
    qRegisterMetaType<TSessionResult>();
    // Even steps make the live rate comparable from one report to the next.
    d->progressTimer.setTimerType(Qt::PreciseTimer);
    connect(&d->progressTimer, &QTimer::timeout, this, [this] { dispatchGuarded([this] { d->reportProgress(); }); });
    d->silenceTimer.setSingleShot(true);
    connect(&d->silenceTimer, &QTimer::timeout, this, [this] {
        dispatchGuarded([this] {
            d->fail(QStringLiteral("The server did not answer for %1 seconds").arg(kServerSilenceMs / 1000));
        });
    });
    d->sendDeadline.setSingleShot(true);
    d->sendDeadline.setTimerType(Qt::PreciseTimer);
    connect(&d->sendDeadline, &QTimer::timeout, this, [this] { dispatchGuarded([this] { d->sendDeadlinePassed(); }); });
}

TSessionTest::~TSessionTest()
{
    d->running = false;
    d->closeAll();
}

int TSessionTest::ProgressInterval() const
{
    return d->progressInterval;
}

void TSessionTest::setProgressInterval(int Milliseconds)
{
    d->progressInterval = Milliseconds;
}

bool TSessionTest::Running() const
{
    return d->running;
}

void TSessionTest::SendEcho(quint64 Id)
{
    if (d->phase != Private::Phase::Joining && d->phase != Private::Phase::Running)
        return;
    SessionEcho echo;
    echo.id = Id;
    d->sendControl(QByteArray::fromStdString(SessionProtocol::write(echo)));
}

bool TSessionTest::Cancelled() const
{
    return d->cancelled;
}

QString TSessionTest::ErrorText() const
{
    return d->error;
}

const std::vector<TSessionResult> &TSessionTest::Results() const
{
    return d->results;
}

QString TSessionTest::PeerAddress() const
{
    return d->peerAddress;
}

QString TSessionTest::PeerFamily() const
{
    return d->peerFamily;
}

int TSessionTest::PeerPort() const
{
    return d->peerAddress.isEmpty() ? 0 : d->port;
}

void TSessionTest::Start(const TSessionRequest &Request)
{
    if (const QString problem = Request.Problem(); !problem.isEmpty())
        throw EKorvnError(problem);
    d->running = false;
    d->closeAll();
    d->request = Request;
    d->results.clear();
    d->streams.clear();
    d->error.clear();
    d->cancelled = false;
    d->controlIn.takeRest();
    d->held.clear();
    d->controlEofHeld = false;
    d->controlOut.clear();
    d->sessionId.clear();
    d->directionStarted = false;
    d->running = true;
    d->phase = Private::Phase::Connecting;
    d->peerAddress.clear();
    d->peerFamily.clear();
    const QString host = Request.ConnectHost();
    d->port = Request.ConnectPort();
    d->status(QStringLiteral("Initiating session test to ") + Request.Host);
    d->status(QStringLiteral("Connecting to %1 port %2").arg(host).arg(d->port));
    try {
        d->connector = std::make_unique<SessionConnect>(this, host, d->port, Request.Window, kConnectTimeoutMs,
                                                        Request.IpVersion, [this](int fd, const QString &error) {
                                                            dispatchGuarded([&] { d->connected(fd, error); });
                                                        });
    } catch (const std::system_error &e) {
        // No thread for the connect: nothing has started, so nothing is left running.
        d->running = false;
        d->phase = Private::Phase::Idle;
        throw EKorvnError(QStringLiteral("Cannot start the session test: %1").arg(QString::fromLocal8Bit(e.what())));
    }
}

void TSessionTest::Cancel()
{
    if (!d->running)
        return;
    d->cancelled = true;
    d->fail(QStringLiteral("Test cancelled"));
}
