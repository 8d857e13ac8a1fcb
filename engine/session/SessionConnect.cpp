#include "engine/session/SessionConnect.h"

#include "engine/SystemErrorText.h"
#include "engine/net/TcpConnect.h"

#include <QPointer>

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <utility>
#include <unistd.h>

// The worker reaches its owner only through this relay, so an owner that is gone is never
// called.
struct SessionConnect::Relay
{
    std::mutex mutex;
    bool wanted = true;
    QPointer<QObject> context;
    SessionConnectDone done;
};

bool SessionConnect::prepareSocket(int fd, int window)
{
    // Buffers must be set before the connect: the window scale is agreed in the handshake.
    if (window > 0) {
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window) < 0
            || ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &window, sizeof window) < 0)
            return false;
    }
    return true;
}


SessionConnect::SessionConnect(QObject *context, const QString &host, int port, int window, int timeoutMs,
                               TIpVersion version, SessionConnectDone done)
    : FRelay(std::make_shared<Relay>())
{
    FRelay->context = context;
    FRelay->done = std::move(done);
    std::thread([relay = FRelay, name = host.toStdString(), window, timeoutMs, version, host, port] {
        TConnectOptions options;
        options.Version = version;
        options.TimeoutMs = timeoutMs;
        options.Prepare = [window](int fd) { return prepareSocket(fd, window); };
        const TConnectResult result = TcpConnect(name, uint16_t(port), options);
        const int fd = result.Socket;
        QString error;
        if (result.Stage == TConnectResult::TStage::Lookup) {
            const int code = result.ErrorCode == EAI_SYSTEM ? (result.SavedErrno ? result.SavedErrno : EIO)
                                                             : result.ErrorCode;
            error = QStringLiteral("Cannot find %1: %2").arg(host, SystemErrorText(code));
        } else if (!result.Ok()) {
            error = QStringLiteral("Cannot connect to %1 port %2: %3")
                        .arg(host)
                        .arg(port)
                        .arg(SystemErrorText(result.ErrorCode));
        }

        std::lock_guard<std::mutex> lock(relay->mutex);
        QObject *target = relay->context.data();
        if (!relay->wanted || !target) {
            if (fd >= 0)
                ::close(fd);
            return;
        }
        // Owns the socket until the receiver takes it, so a call that is dropped closes it.
        std::shared_ptr<int> owned(new int(fd), [](int *p) {
            if (*p >= 0)
                ::close(*p);
            delete p;
        });
        QMetaObject::invokeMethod(
            target,
            [relay, owned, error] {
                const int fd = std::exchange(*owned, -1);
                SessionConnectDone done;
                {
                    std::lock_guard<std::mutex> lock(relay->mutex);
                    if (relay->wanted)
                        done = std::move(relay->done);
                    relay->wanted = false;
                }
                if (done)
                    done(fd, error);
                else if (fd >= 0)
                    ::close(fd);
            },
            Qt::QueuedConnection);
    }).detach();
}

SessionConnect::~SessionConnect()
{
    std::lock_guard<std::mutex> lock(FRelay->mutex);
    FRelay->wanted = false;
    FRelay->done = nullptr;
}
