#include "engine/latency/TLatencyProbe.h"

#include "engine/net/ServerTarget.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <cerrno>
#include <cstring>
#include <map>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int kIdleSpacingMs = 20;

} // namespace

struct TLatencyProbe::Private
{
    enum class Phase { Off, Idle, Loaded };

    struct Connect
    {
        int fd = -1;
        int64_t startUs = 0;
        bool loaded = false;
        QSocketNotifier *notifier = nullptr;
    };

    TLatencyProbe *q;
    QString host;
    int port = 0;
    TIpVersion version = TIpVersion::Automatic;
    int intervalMs = DefaultIntervalMs;
    std::function<void(uint64_t)> selfSender;

    bool resolved = false;
    bool resolving = false;
    sockaddr_storage address{};
    socklen_t addressLength = 0;
    QString error;

    Phase phase = Phase::Off;
    int idleLeft = 0;
    int refused = 0;
    int64_t testBytes = 0;
    int64_t probeBytes = 0;
    std::vector<Connect> connects;
    std::map<uint64_t, int64_t> selfPending; // id -> sent at
    uint64_t nextSelfId = 1;

    std::vector<double> idle, loadedForeign, loadedSelf;
    // This interval's loaded probes of each kind, for the live figure.
    std::vector<double> intervalForeign, intervalSelf;
    int lostIdle = 0;
    int lostLoaded = 0;
    QTimer tick;
    QTimer timeouts;

    explicit Private(TLatencyProbe *owner)
        : q(owner)
    {
    }

    ~Private()
    {
        for (Connect &c : connects)
            drop(c);
    }

    static void drop(Connect &c)
    {
        if (c.notifier) {
            c.notifier->setEnabled(false);
            c.notifier->deleteLater();
            c.notifier = nullptr;
        }
        if (c.fd >= 0)
            ::close(c.fd);
        c.fd = -1;
    }

    void record(double ms, bool loaded, bool self)
    {
        if (!loaded)
            idle.push_back(ms);
        else if (self)
            loadedSelf.push_back(ms);
        else
            loadedForeign.push_back(ms);
        if (loaded)
            (self ? intervalSelf : intervalForeign).push_back(ms);
        emit q->Sample(ms, loaded);
    }

    void resolve()
    {
        resolving = true;
        QPointer<TLatencyProbe> guard(q);
        const QByteArray name = host.toUtf8();
        const QByteArray service = QByteArray::number(port);
        // The lookup may block; the answer comes back through the event loop.
        std::thread([guard, name, service, family = FamilyOf(version)] {
            std::vector<TResolvedAddress> found;
            int savedErrno = 0;
            const int rc = SystemResolve(name.toStdString(), family, found, savedErrno);
            sockaddr_storage a{};
            socklen_t len = 0;
            QString why;
            if (rc == 0 && !found.empty()) {
                // The address a connection race would try first.
                TResolvedAddress first = RaceOrder(found).front();
                SetPort(first, uint16_t(service.toInt()));
                a = first.Address;
                len = first.Length;
            } else {
                why = QStringLiteral("Latency probes: cannot find %1: %2")
                          .arg(QString::fromUtf8(name), QString::fromUtf8(::gai_strerror(rc ? rc : EAI_NONAME)));
            }
            if (!guard)
                return;
            QMetaObject::invokeMethod(guard.data(), [guard, a, len, why] {
                if (!guard)
                    return;
                Private *p = guard->d.get();
                p->resolving = false;
                p->resolved = why.isEmpty();
                p->address = a;
                p->addressLength = len;
                if (!why.isEmpty())
                    p->error = why;
                p->onTick();
            });
        }).detach();
    }

    void startConnect(bool loaded)
    {
        const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            error = QStringLiteral("Latency probes: cannot make a socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        probeBytes += ProbeBytes;
        Connect c;
        c.fd = fd;
        c.loaded = loaded;
        c.startUs = nowUs();
        const int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), addressLength);
        if (rc == 0) {
            c.notifier = nullptr;
            connects.push_back(c);
            finishConnect(connects.size() - 1);
            return;
        }
        if (errno != EINPROGRESS) {
            ++refused;
            error = QStringLiteral("Latency probes: cannot connect to %1 port %2: %3")
                        .arg(host).arg(port).arg(QString::fromLocal8Bit(std::strerror(errno)));
            ::close(fd);
            return;
        }
        c.notifier = new QSocketNotifier(fd, QSocketNotifier::Write, q);
        QObject::connect(c.notifier, &QSocketNotifier::activated, q, [this, fd] {
            for (size_t i = 0; i < connects.size(); ++i)
                if (connects[i].fd == fd) {
                    finishConnect(i);
                    return;
                }
        });
        connects.push_back(c);
    }

    void finishConnect(size_t i)
    {
        Connect c = connects[i];
        connects.erase(connects.begin() + long(i));
        const int64_t wallUs = nowUs() - c.startUs;
        int soError = 0;
        socklen_t len = sizeof soError;
        ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        // The kernel's handshake rtt is free of this program's own scheduling delays; it is
        // taken when the kernel has one and it is below what the clock saw.
        tcp_info info{};
        socklen_t infoLength = sizeof info;
        int64_t us = wallUs;
        if (soError == 0 && ::getsockopt(c.fd, IPPROTO_TCP, TCP_INFO, &info, &infoLength) == 0 && info.tcpi_rtt > 0
            && int64_t(info.tcpi_rtt) < wallUs)
            us = int64_t(info.tcpi_rtt);
        drop(c);
        if (soError != 0) {
            ++refused;
            error = QStringLiteral("Latency probes: cannot connect to %1 port %2: %3")
                        .arg(host).arg(port).arg(QString::fromLocal8Bit(std::strerror(soError)));
        } else {
            record(double(us) / 1000.0, c.loaded, false);
        }
        afterAnswer();
    }

    void expire()
    {
        const int64_t now = nowUs();
        for (size_t i = 0; i < connects.size();) {
            if (now - connects[i].startUs >= int64_t(TimeoutMs) * 1000) {
                const bool loaded = connects[i].loaded;
                drop(connects[i]);
                connects.erase(connects.begin() + long(i));
                ++(loaded ? lostLoaded : lostIdle);
                record(TimeoutMs, loaded, false);
            } else {
                ++i;
            }
        }
        for (auto it = selfPending.begin(); it != selfPending.end();) {
            if (now - it->second >= int64_t(TimeoutMs) * 1000) {
                ++lostLoaded;
                record(TimeoutMs, true, true);
                it = selfPending.erase(it);
            } else {
                ++it;
            }
        }
        afterAnswer();
    }

    void afterAnswer()
    {
        if (phase == Phase::Idle && idleLeft == 0 && connects.empty()) {
            phase = Phase::Off;
            tick.stop();
            timeouts.stop();
            emit q->IdleDone();
        }
    }

    bool withinShare() const
    {
        // Early in a test the bytes are few; the first probes are always allowed.
        // Where the test reports no progress, its bytes are unknown and the share unchecked.
        return testBytes <= 0 || probeBytes < 20 * ProbeBytes || double(probeBytes) <= MaxShare * double(testBytes);
    }

    void onTick()
    {
        if (phase == Phase::Off)
            return;
        if (!resolved) {
            if (!resolving && error.isEmpty())
                resolve();
            else if (!error.isEmpty() && !resolving)
                giveUp();
            return;
        }
        if (phase == Phase::Idle) {
            // One at a time, so idle probes never queue behind each other.
            if (idleLeft > 0 && connects.empty()) {
                --idleLeft;
                startConnect(false);
            }
            afterAnswer();
            return;
        }
        if (withinShare())
            startConnect(true);
        if (selfSender) {
            const uint64_t id = nextSelfId++;
            selfPending[id] = nowUs();
            probeBytes += EchoBytes;
            selfSender(id);
        }
    }

    void dropInFlight()
    {
        for (Connect &c : connects)
            drop(c);
        connects.clear();
        selfPending.clear();
    }

    void giveUp()
    {
        if (phase == Phase::Idle) {
            idleLeft = 0;
            afterAnswer();
        } else if (phase == Phase::Loaded) {
            tick.stop();
        }
    }
};

TLatencyProbe::TLatencyProbe(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>(this))
{
    d->tick.setTimerType(Qt::PreciseTimer);
    connect(&d->tick, &QTimer::timeout, this, [this] { d->onTick(); });
    d->timeouts.setInterval(50);
    connect(&d->timeouts, &QTimer::timeout, this, [this] { d->expire(); });
}

TLatencyProbe::~TLatencyProbe() = default;

void TLatencyProbe::setTarget(const QString &Host, int Port, TIpVersion Version)
{
    const TServerTarget target = ParseServerTarget(Host.toStdString());
    d->host = target.Error.empty() ? QString::fromStdString(target.Host) : Host;
    d->port = Port;
    d->version = Version;
    d->resolved = false;
    d->error.clear();
}

void TLatencyProbe::setIntervalMs(int Milliseconds)
{
    d->intervalMs = std::max(10, Milliseconds);
}

int TLatencyProbe::IntervalMs() const
{
    return d->intervalMs;
}

void TLatencyProbe::setSelfSender(std::function<void(uint64_t)> Sender)
{
    d->selfSender = std::move(Sender);
}

void TLatencyProbe::StartIdle(int Count)
{
    d->dropInFlight();
    d->phase = Private::Phase::Idle;
    d->idleLeft = std::max(1, Count);
    d->idle.clear();
    d->lostIdle = 0;
    // Nothing else runs yet: idle probes follow each other closely, one at a time.
    d->tick.start(std::min(d->intervalMs, kIdleSpacingMs));
    d->timeouts.start();
    d->onTick();
}

void TLatencyProbe::StartLoaded()
{
    d->dropInFlight();
    d->phase = Private::Phase::Loaded;
    d->loadedForeign.clear();
    d->loadedSelf.clear();
    d->lostLoaded = 0;
    d->intervalForeign.clear();
    d->intervalSelf.clear();
    d->tick.start(d->intervalMs);
    d->timeouts.start();
    d->onTick();
}

void TLatencyProbe::StopLoaded()
{
    if (d->phase != Private::Phase::Loaded)
        return;
    d->tick.stop();
    d->timeouts.stop();
    d->dropInFlight();
    d->phase = Private::Phase::Off;
}

void TLatencyProbe::setTestBytes(int64_t Bytes)
{
    d->testBytes = Bytes;
}

void TLatencyProbe::AddSelfSample(double Ms)
{
    if (d->phase == Private::Phase::Loaded && Ms > 0)
        d->record(Ms, true, true);
}

void TLatencyProbe::SelfReply(uint64_t Id)
{
    const auto it = d->selfPending.find(Id);
    if (it == d->selfPending.end())
        return; // late (already counted at the timeout) or not ours
    const double ms = double(nowUs() - it->second) / 1000.0;
    d->selfPending.erase(it);
    d->record(ms, true, true);
}

double TLatencyProbe::TakeIntervalMs()
{
    // The kind of probe the result will be taken from: connect probes when there are any,
    // so the live line and the loaded latency in the log tell the same story.
    const double m = LatencyFigures::median(d->intervalForeign.empty() ? d->intervalSelf : d->intervalForeign);
    d->intervalForeign.clear();
    d->intervalSelf.clear();
    return m;
}

LatencyFigures TLatencyProbe::Figures() const
{
    return LatencyFigures::compute(d->idle, d->loadedForeign, d->loadedSelf, d->lostIdle + d->lostLoaded);
}

QString TLatencyProbe::ErrorText() const
{
    return d->error;
}

int64_t TLatencyProbe::ProbeBytesSent() const
{
    return d->probeBytes;
}

int TLatencyProbe::LoadedProbeCount() const
{
    return int(d->loadedForeign.size() + d->loadedSelf.size());
}
