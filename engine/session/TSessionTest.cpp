#include "engine/session/TSessionTest.h"

#include "engine/ApplicationExceptionHandler.h"
#include "engine/EKorvnError.h"
#include "engine/LogTimestamp.h"
#include "engine/SystemErrorText.h"
#include "engine/TargetCheck.h"
#include "engine/net/ServerTarget.h"
#include "protocol/SessionAuth.h"
#include "engine/session/SessionConnect.h"
#include "engine/session/SessionControlChannel.h"
#include "engine/session/SessionDataStreams.h"
#include "engine/session/SessionFigures.h"
#include "protocol/SessionMessage.h"
#include "engine/session/SessionPhase.h"
#include "engine/session/SessionUploadSender.h"

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <deque>
#include <system_error>

namespace {

constexpr int kConnectTimeoutMs = 10000;
// The server reports every 250 ms while a phase runs; this much silence means it is gone.
constexpr int kServerSilenceMs = 10000;

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

struct TSessionTest::Private final : SessionControlChannel::Listener,
                                     SessionDataStreams::Listener,
                                     SessionUploadSender::Listener
{
    TSessionTest *q;
    int progressInterval = DefaultProgressInterval;
    TSessionRequest request;
    SessionPhase phase = SessionPhase::Idle; // written by setPhase only
    // Why the session ended, which the phase does not say: a cancel ends it as a failure does.
    bool cancelled = false;
    QString error;
    std::vector<TSessionResult> results;

    std::unique_ptr<SessionConnect> connector;
    int port = 0; // the session port in use
    SessionControlChannel control{q, *this};
    SessionDataStreams streams{q, *this};
    SessionUploadSender uploader{q, *this, streams};
    SessionFigures figures;
    std::deque<std::string> held; // control lines that came after the summary, before the last close
    // The server closed the control connection while lines were held: not a phase, since the
    // close is served after those lines, in whatever phase they leave.
    bool controlEofHeld = false;

    QTimer progressTimer;
    QTimer silenceTimer;

    explicit Private(TSessionTest *owner)
        : q(owner)
    {
    }

    // The only writer of the phase.
    void setPhase(SessionPhase to)
    {
        Q_ASSERT_X(SessionPhaseChangeAllowed(phase, to), "TSessionTest", "a phase change out of order");
        phase = to;
    }

    bool running() const { return SessionPhaseLive(phase); }

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

    // --- ending -----------------------------------------------------------------------

    void closeAll()
    {
        connector.reset();
        progressTimer.stop();
        silenceTimer.stop();
        uploader.stop();
        streams.closeAll();
        control.close();
    }

    // Once only: a slot that cancels while the session ends must not see Finished twice.
    void finish()
    {
        if (!running())
            return;
        closeAll();
        setPhase(SessionPhase::Ended);
        emit q->Finished();
    }

    // The session ends with this failure; the direction it hit gets an invalid result.
    void fail(const QString &text) override
    {
        if (!running())
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
        r.StartTime = SessionPhaseDirectionRuns(phase) ? figures.startTime() : -1.0;
        r.Family = control.peerFamily();
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
        if (control.open(fd))
            status(QStringLiteral("Connected to %1 port %2.").arg(control.peerAddress()).arg(port));
        if (!running())
            return; // cancelled from the status line
        setPhase(SessionPhase::Hello);
        silenceTimer.start(kServerSilenceMs);
    }

    void sendControl(const QByteArray &line) { control.send(line); }

    bool greetingDue() const override { return phase == SessionPhase::Hello; }

    bool controlLine(const std::string &line) override
    {
        handleLine(line);
        return running();
    }

    void controlLineTooLong() override
    {
        if (phase == SessionPhase::Hello) {
            fail(QStringLiteral("%1 port %2 is not a session server: it sent no greeting")
                     .arg(request.Host)
                     .arg(request.SessionPort));
            return;
        }
        fail(QStringLiteral("The server sent a message longer than %1 bytes").arg(SessionProtocol::MaxServerLineBytes));
    }

    void controlClosedByServer() override
    {
        if (phase == SessionPhase::Draining) {
            controlEofHeld = true; // served after the lines it follows
            control.stopReading();
            return;
        }
        controlClosed();
    }

    void controlFailed(int err) override
    {
        fail(QStringLiteral("The session's control connection failed: %1").arg(SystemErrorText(err)));
    }

    void controlClosed()
    {
        if (phase == SessionPhase::Ended)
            return;
        if (phase == SessionPhase::Hello)
            fail(QStringLiteral("%1 port %2 closed the connection without greeting: is it a session server?")
                     .arg(request.Host)
                     .arg(request.SessionPort));
        else
            fail(QStringLiteral("The server closed the session before its end"));
    }

    void handleLine(const std::string &line)
    {
        silenceTimer.start(kServerSilenceMs);
        if (phase == SessionPhase::Draining) {
            // The server is done with the direction while data of it is still queued here:
            // what comes next waits until the last stream's close has been read.
            held.push_back(line);
            return;
        }
        SessionMessage m;
        std::string problem;
        if (!SessionProtocol::parse(line, m, problem)) {
            if (phase == SessionPhase::Hello)
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
            if (phase == SessionPhase::Hello || phase == SessionPhase::Requested)
                fail(QStringLiteral("The server refused the session: %1").arg(text));
            else
                fail(QStringLiteral("The server ended the session: %1").arg(text));
            return;
        }
        switch (phase) {
        case SessionPhase::Hello:
            if (const auto *hello = std::get_if<SessionHello>(&m)) {
                onHello(*hello);
                return;
            }
            break;
        case SessionPhase::Requested:
            if (const auto *accepted = std::get_if<SessionAccepted>(&m)) {
                onAccepted(*accepted);
                return;
            }
            break;
        case SessionPhase::Joining:
        case SessionPhase::Running:
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
                // A report that crossed the direction's end is of no more use.
                if (phase == SessionPhase::Running && sameDirection(report->direction, figures.direction()))
                    figures.takeReport(*report, streams);
                return;
            }
            if (const auto *sum = std::get_if<SessionSummary>(&m)) {
                if (phase != SessionPhase::Running || !sameDirection(sum->direction, figures.direction()))
                    break;
                figures.takeSummary(*sum);
                setPhase(SessionPhase::Draining);
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
        setPhase(SessionPhase::Requested);
        status(QStringLiteral("Requesting %1").arg(requestText()));
        sendControl(QByteArray::fromStdString(SessionProtocol::write(r)));
    }

    void onAccepted(const SessionAccepted &m)
    {
        status(QStringLiteral("Session accepted; opening %1 data %2")
                   .arg(plannedDirections().size() * size_t(request.Streams))
                   .arg(plannedDirections().size() * size_t(request.Streams) == 1 ? QStringLiteral("connection")
                                                                                 : QStringLiteral("connections")));
        if (!running())
            return; // cancelled from the status line
        setPhase(SessionPhase::Joining);
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        if (!control.peer(peer, len)) {
            controlFailed(errno);
            return;
        }
        // Data connections go to the address the control connection reached: the server
        // takes joins only from the same client, and a name may resolve differently.
        streams.plan(plannedDirections(), request.Streams, request.Bytes);
        streams.open(peer, len, request.Window, m.session);
    }

    // --- data streams -----------------------------------------------------------------

    bool sessionLive() const override { return running(); }

    bool directionRuns(TSessionDirection d) const override
    {
        return SessionPhaseDirectionRuns(phase) && figures.direction() == d;
    }

    bool uploadRuns() const override { return directionRuns(TSessionDirection::Upload); }

    void serveControlFirst() override
    {
        if (control.isOpen())
            control.readAvailable();
    }

    void payloadReceived(int64_t seenUs, int64_t nowUs) override
    {
        if (figures.downloadPayload(seenUs, nowUs)) {
            startProgress();
            status(QStringLiteral("Receiving data - timer started."));
        }
    }

    void streamWritable(SessionStream &s) override { uploader.send(s); }

    void downloadStreamEnded() override { maybeFinishDirection(); }

    // --- directions -------------------------------------------------------------------

    void onStart(TSessionDirection d)
    {
        const auto planned = plannedDirections();
        if (results.size() >= planned.size() || planned[results.size()] != d) {
            fail(QStringLiteral("The server started the %1 out of turn").arg(directionName(d)));
            return;
        }
        if (!streams.allJoined()) {
            fail(QStringLiteral("The server started before all data connections joined"));
            return;
        }
        setPhase(SessionPhase::Running);
        figures.beginDirection(d, streams.earliestEarlyUs(d));
        uploader.reset();
        status(QStringLiteral("%1 started on %2 %3")
                   .arg(capitalized(directionName(d)))
                   .arg(request.Streams)
                   .arg(request.Streams == 1 ? QStringLiteral("stream") : QStringLiteral("streams")));
        emit q->DirectionStarted(d);
        if (!running())
            return;
        streams.resumeReading(d);
        if (d == TSessionDirection::Upload) {
            uploader.startClock(request.Seconds);
            figures.uploadStarted();
            startProgress();
            status(QStringLiteral("Sending data - timer started."));
            uploader.startSending(request.Bytes);
        }
    }

    void maybeFinishDirection()
    {
        if (phase != SessionPhase::Draining)
            return;
        const TSessionDirection direction = figures.direction();
        int64_t lastUs = -1;
        if (direction == TSessionDirection::Download) {
            for (const SessionStream &s : streams.all()) {
                if (s.direction != TSessionDirection::Download)
                    continue;
                if (!s.finished)
                    return; // the result waits for the last close
                lastUs = std::max(lastUs, s.lastUs);
            }
        }
        progressTimer.stop();
        const TSessionResult r = figures.result(streams, lastUs, request, control.peerFamily());
        if (direction == TSessionDirection::Download)
            status(QStringLiteral("Download finished: all streams closed"));
        else
            status(QStringLiteral("Upload finished: the server received %1 bytes").arg(qint64(figures.summary().bytes)));
        if (!running())
            return; // cancelled from the status line: that ended the direction already
        // This direction's connections have done their work.
        streams.closeDirection(direction);
        results.push_back(r);
        // Before the result goes out, so that a slot that ends the session sees the
        // direction over.
        setPhase(SessionPhase::Joining); // waits for the next start or the end
        emit q->Result(results.back());
        while (running() && !held.empty() && phase != SessionPhase::Draining) {
            const std::string line = std::move(held.front());
            held.pop_front();
            handleLine(line);
        }
        if (running() && controlEofHeld && held.empty() && phase != SessionPhase::Draining)
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
        figures.restartProgress();
        if (progressInterval > 0)
            progressTimer.start(progressInterval);
    }

    void reportProgress()
    {
        if (!SessionPhaseDirectionRuns(phase))
            return;
        TSessionProgress p;
        if (figures.sampleProgress(streams.all(), p))
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
}

TSessionTest::~TSessionTest()
{
    if (d->running())
        d->setPhase(SessionPhase::Ended);
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
    return d->running();
}

void TSessionTest::SendEcho(quint64 Id)
{
    if (d->phase != SessionPhase::Joining && !SessionPhaseDirectionRuns(d->phase))
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
    return d->control.peerAddress();
}

QString TSessionTest::PeerFamily() const
{
    return d->control.peerFamily();
}

int TSessionTest::PeerPort() const
{
    return d->control.peerAddress().isEmpty() ? 0 : d->port;
}

void TSessionTest::Start(const TSessionRequest &Request)
{
    if (const QString problem = Request.Problem(); !problem.isEmpty())
        throw EKorvnError(problem);
    // A running session is closed quietly.
    if (d->running())
        d->setPhase(SessionPhase::Ended);
    d->closeAll();
    d->request = Request;
    d->results.clear();
    d->streams.clear();
    d->error.clear();
    d->cancelled = false;
    d->control.reset();
    d->held.clear();
    d->controlEofHeld = false;
    d->setPhase(SessionPhase::Connecting);
    const QString host = Request.ConnectHost();
    d->port = Request.ConnectPort();
    d->status(QStringLiteral("Initiating session test to ") + Request.Host);
    d->status(QStringLiteral("Connecting to %1 port %2").arg(host).arg(d->port));
    if (!d->running())
        return; // cancelled from a status line
    try {
        d->connector = std::make_unique<SessionConnect>(this, host, d->port, Request.Window, kConnectTimeoutMs,
                                                        Request.IpVersion, [this](int fd, const QString &error) {
                                                            dispatchGuarded([&] { d->connected(fd, error); });
                                                        });
    } catch (const std::system_error &e) {
        // No thread for the connect: nothing has started, so nothing is left running.
        d->setPhase(SessionPhase::Idle);
        throw EKorvnError(QStringLiteral("Cannot start the session test: %1").arg(QString::fromLocal8Bit(e.what())));
    }
}

void TSessionTest::Cancel()
{
    if (!d->running())
        return;
    d->cancelled = true;
    d->fail(QStringLiteral("Test cancelled"));
}
