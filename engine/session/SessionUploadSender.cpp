#include "engine/session/SessionUploadSender.h"

#include "engine/ApplicationExceptionHandler.h"
#include "engine/SystemErrorText.h"
#include "engine/session/SessionClock.h"
#include "engine/session/SessionDataStreams.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include <sys/socket.h>

namespace {

constexpr int64_t kSendChunk = 256 << 10;
constexpr int kSendChunksPerWakeup = 16;
constexpr int kPayloadSize = 1 << 20;

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

} // namespace

SessionUploadSender::SessionUploadSender(QObject *context, Listener &listener, SessionDataStreams &streams)
    : listener_(listener)
    , streams_(streams)
{
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline_, &QTimer::timeout, context, [this] { dispatchGuarded([this] { deadlinePassed(); }); });
}

void SessionUploadSender::reset()
{
    startUs_ = -1;
}

void SessionUploadSender::startClock(double seconds)
{
    startUs_ = SessionNowUs();
    seconds_ = seconds;
}

void SessionUploadSender::startSending(int64_t bytes)
{
    if (bytes <= 0)
        deadline_.start(std::max<int>(1, int(std::lround(seconds_ * 1000))));
    streams_.resumeWriting(TSessionDirection::Upload);
}

void SessionUploadSender::send(SessionStream &s)
{
    if (s.finished || !listener_.uploadRuns()) {
        s.writeNotifier->setEnabled(false);
        return;
    }
    const QByteArray &data = payload();
    // A few chunks per wakeup at most: a socket that never fills (loopback) must not
    // keep the other streams and the control connection waiting.
    for (int round = 0; round < kSendChunksPerWakeup; ++round) {
        if (s.sendLeft == 0 || (s.sendLeft < 0 && SessionNowUs() - startUs_ >= int64_t(seconds_ * 1e6))) {
            endStream(s);
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
            listener_.fail(QStringLiteral("Data connection %1 failed: %2").arg(s.index).arg(SystemErrorText(errno)));
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

void SessionUploadSender::endStream(SessionStream &s)
{
    if (s.finished)
        return;
    s.finished = true;
    s.lastUs = SessionNowUs();
    if (s.writeNotifier)
        s.writeNotifier->setEnabled(false);
    if (s.fd >= 0)
        ::shutdown(s.fd, SHUT_WR);
}

void SessionUploadSender::deadlinePassed()
{
    for (SessionStream &s : streams_.all()) {
        if (s.direction == TSessionDirection::Upload)
            endStream(s);
    }
}

void SessionUploadSender::stop()
{
    deadline_.stop();
}
