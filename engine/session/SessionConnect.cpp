#include "SessionConnect.h"

#include "SystemErrorText.h"

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

namespace {

// One attempt on one address, bounded by timeoutMs; returns the socket or -1 with err set.
int connectOne(const addrinfo *ai, int window, int timeoutMs, int &err)
{
    const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    if (!SessionConnect::prepareSocket(fd, window)) {
        err = errno;
        ::close(fd);
        return -1;
    }
    int rc;
    do {
        rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0 && errno != EINPROGRESS) {
        err = errno;
        ::close(fd);
        return -1;
    }
    if (rc < 0) {
        pollfd p{fd, POLLOUT, 0};
        int n;
        do {
            n = ::poll(&p, 1, timeoutMs);
        } while (n < 0 && errno == EINTR);
        if (n == 0) {
            err = ETIMEDOUT;
            ::close(fd);
            return -1;
        }
        socklen_t len = sizeof err;
        err = 0;
        if (n < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            err = errno;
        if (err != 0) {
            ::close(fd);
            return -1;
        }
    }
    err = 0;
    return fd;
}

} // namespace

SessionConnect::SessionConnect(QObject *context, const QString &host, int port, int window, int timeoutMs,
                               SessionConnectDone done)
    : FRelay(std::make_shared<Relay>())
{
    FRelay->context = context;
    FRelay->done = std::move(done);
    const QByteArray hostBytes = host.toUtf8();
    const QByteArray service = QByteArray::number(port);
    std::thread([relay = FRelay, hostBytes, service, window, timeoutMs, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *result = nullptr;
        const int rc = ::getaddrinfo(hostBytes.constData(), service.constData(), &hints, &result);
        int fd = -1;
        QString error;
        if (rc != 0) {
            const int code = rc == EAI_SYSTEM ? (errno ? errno : EIO) : rc;
            error = QStringLiteral("Cannot find %1: %2").arg(host, SystemErrorText(code));
        } else {
            int err = 0;
            // Addresses in the resolver's order; the first that answers is used.
            for (const addrinfo *ai = result; ai && fd < 0; ai = ai->ai_next)
                fd = connectOne(ai, window, timeoutMs, err);
            if (fd < 0)
                error = QStringLiteral("Cannot connect to %1 port %2: %3").arg(host).arg(port).arg(SystemErrorText(err));
        }
        if (result)
            ::freeaddrinfo(result);

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
