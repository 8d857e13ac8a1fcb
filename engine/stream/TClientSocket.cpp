#include "engine/stream/TClientSocket.h"

#include "engine/ApplicationExceptionHandler.h"
#include "engine/net/DiscardingReceive.h"
#include "engine/net/ReceiveLowWater.h"
#include "engine/ESocketError.h"
#include "engine/SystemErrorText.h"
#include "engine/net/TcpConnect.h"

#include <QSocketNotifier>
#include <QTimer>

#include <chrono>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

// The lookup thread reaches the client only through this relay, so a client destroyed while
// its lookup runs is never touched.
struct TClientSocket::LookupRelay
{
    std::mutex mutex;
    TClientSocket *owner = nullptr;
};

// Readable once the client gives up on the connection being raced.
struct TClientSocket::RaceCancel
{
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~RaceCancel()
    {
        if (fd >= 0)
            ::close(fd);
    }
    void Raise() const
    {
        const uint64_t one = 1;
        if (fd >= 0)
            (void)!::write(fd, &one, sizeof one);
    }
};

TClientSocket::TClientSocket(QObject *parent)
    : QObject(parent)
    , FRelay(std::make_shared<LookupRelay>())
{
    FRelay->owner = this;
}

TClientSocket::~TClientSocket()
{
    {
        std::lock_guard<std::mutex> lock(FRelay->mutex);
        FRelay->owner = nullptr;
    }
    CloseSocket();
}

void TClientSocket::setActive(bool active)
{
    if (active)
        Open();
    else
        Close();
}

void TClientSocket::RaiseSocketError(int code, const char *api)
{
    throw ESocketError(QStringLiteral("Socket error: %1 (%2), on API '%3'")
                           .arg(SystemErrorText(code))
                           .arg(code)
                           .arg(QLatin1String(api)));
}

void TClientSocket::Open()
{
    if (FState != State::Idle)
        Abort();

    FSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (FSocket < 0) {
        const int err = errno;
        FSocket = -1;
        RaiseSocketError(err, "socket");
    }
    // Urgent data stays in line, so it is counted like any other byte and nothing after it
    // waits at the urgent mark.
    const int one = 1;
    if (::setsockopt(FSocket, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one) < 0) {
        const int err = errno;
        CloseSocket();
        RaiseSocketError(err, "setsockopt");
    }
    FState = State::Resolving;
    FUnreadAtClose = -1;
    FPeerAddress.clear();
    FPeerFamily.clear();
    FLowWater = 1;
    FFirstReadUs = -1;
    const uint64_t generation = ++FGeneration;

    const std::string host = FHost.toStdString();
    const uint16_t port = uint16_t(FPort);
    const TIpVersion version = FIpVersion;
    FCancel = std::make_shared<RaceCancel>();
    try {
        // Lookup and the race of the addresses happen here; the socket the race wins replaces
        // the one made above.
        std::thread([relay = FRelay, cancel = FCancel, host, port, version, generation]() {
            TConnectOptions options;
            options.Version = version;
            options.CancelFd = cancel->fd;
            // The lookup's success is reported before the race, so "connecting" is shown
            // while the connect is under way, as with a single address.
            options.Resolver = [relay, generation](const std::string &name, int family,
                                                   std::vector<TResolvedAddress> &found, int &savedErrno) {
                const int code = SystemResolve(name, family, found, savedErrno);
                if (code == 0 && !found.empty()) {
                    std::lock_guard<std::mutex> lock(relay->mutex);
                    if (TClientSocket *owner = relay->owner)
                        QMetaObject::invokeMethod(
                            owner, [owner, generation]() { owner->LookupDone(generation); },
                            Qt::QueuedConnection);
                }
                return code;
            };
            auto result = std::make_shared<TConnectResult>(TcpConnect(host, port, options));
            if (result->Stage == TConnectResult::TStage::Lookup && result->ErrorCode == EAI_SYSTEM)
                result->ErrorCode = result->SavedErrno ? result->SavedErrno : EIO;

            std::lock_guard<std::mutex> lock(relay->mutex);
            if (TClientSocket *owner = relay->owner) {
                QMetaObject::invokeMethod(
                    owner, [owner, generation, result]() { owner->ConnectDone(generation, *result); },
                    Qt::QueuedConnection);
            } else if (result->Socket >= 0) {
                ::close(result->Socket);
            }
        }).detach();
    } catch (const std::system_error &e) {
        CloseSocket();
        RaiseSocketError(e.code().value(), "pthread_create");
    }
}

void TClientSocket::Close()
{
    if (FState == State::Connected && OnDisconnect) {
        const uint64_t generation = FGeneration;
        try {
            OnDisconnect(*this);
        } catch (...) {
            if (generation == FGeneration)
                CloseSocket();
            throw;
        }
        if (generation != FGeneration)
            return;
    }
    CloseSocket();
}

void TClientSocket::Abort()
{
    CloseSocket();
}

void TClientSocket::CloseSocket()
{
    ++FGeneration;
    if (FCancel) {
        FCancel->Raise();
        FCancel.reset();
    }
    // The notifier must let go of the descriptor before it is closed; it may be the sender
    // of the notification being handled, so it is deleted later.
    if (FReadNotifier) {
        FReadNotifier->setEnabled(false);
        FReadNotifier->deleteLater();
        FReadNotifier = nullptr;
    }
    if (FSocket >= 0)
        ::close(FSocket);
    FSocket = -1;
    FState = State::Idle;
}

void TClientSocket::Fail(TErrorEvent kind, int code, const char *api)
{
    // Nothing of a failed connection may linger into the next one: close it quietly first.
    CloseSocket();
    int errorCode = code;
    if (OnError)
        OnError(*this, kind, errorCode);
    if (errorCode != 0)
        RaiseSocketError(errorCode, api);
}

void TClientSocket::LookupDone(uint64_t generation)
{
    if (generation != FGeneration || FState != State::Resolving)
        return; // the socket was closed or reopened meanwhile
    FState = State::Connecting;
    dispatchGuarded([&] {
        if (OnConnecting)
            OnConnecting(*this);
    });
}

void TClientSocket::ConnectDone(uint64_t generation, const TConnectResult &result)
{
    if (generation != FGeneration || (FState != State::Resolving && FState != State::Connecting)) {
        if (result.Socket >= 0)
            ::close(result.Socket); // the socket was closed or reopened meanwhile
        return;
    }
    int raced = result.Socket;
    dispatchGuarded([&] {
        using S = TConnectResult::TStage;
        if (result.Stage == S::Lookup) {
            Fail(TErrorEvent::eeLookup, result.ErrorCode, "getaddrinfo");
            return;
        }
        if (!result.Ok()) {
            Fail(TErrorEvent::eeConnect, result.ErrorCode,
                 result.Stage == S::Socket ? "socket" : "connect");
            return;
        }
        const int one = 1;
        if (::setsockopt(raced, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one) < 0) {
            Fail(TErrorEvent::eeConnect, errno, "setsockopt");
            return;
        }
        ::close(FSocket);
        FSocket = raced;
        raced = -1;
        FPeerAddress = QString::fromStdString(result.AddressText);
        FPeerFamily = QString::fromLatin1(FamilyName(result.Family));
        FReadNotifier = new QSocketNotifier(FSocket, QSocketNotifier::Read, this);
        connect(FReadNotifier, &QSocketNotifier::activated, this, &TClientSocket::ReadReady);
        FState = State::Connected;
        if (OnConnect)
            OnConnect(*this);
    });
    if (raced >= 0)
        ::close(raced);
}

void TClientSocket::ReadReady()
{
    if (FState != State::Connected)
        return;
    dispatchGuarded([&] { ServeReadable(); });
}

bool TClientSocket::ServeReadable()
{
    pollfd p{FSocket, short(POLLIN | POLLRDHUP), 0};
    if (::poll(&p, 1, 0) < 0)
        return false;
    if (p.revents & POLLERR) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(FSocket, SOL_SOCKET, SO_ERROR, &err, &len);
        Fail(TErrorEvent::eeReceive, err ? err : EIO, "recv");
        return true;
    }
    const bool peerClosed = p.revents & (POLLRDHUP | POLLHUP);
    if (peerClosed) {
        // The close is reported once everything that came before it has been read, so
        // the transfer is timed up to its last byte. A reader that takes nothing more
        // gets the close anyway rather than a notification for ever.
        const int64_t unread = ReceiveLength();
        if (unread == 0 || !OnRead || unread == FUnreadAtClose) {
            PeerClosed();
            return true;
        }
        FUnreadAtClose = unread;
    }
    if (!(p.revents & POLLIN) && !peerClosed)
        return false;
    const uint64_t generation = FGeneration;
    const uint64_t readBefore = FBytesRead;
    if (OnRead)
        OnRead(*this);
    if (generation == FGeneration && FBytesRead == readBefore && !peerClosed)
        PauseReading(); // readable, yet nothing could be read: no notification loop at full speed
    else if (generation == FGeneration && FBytesRead > 0)
        AdaptLowWater();
    return true;
}

void TClientSocket::AdaptLowWater()
{
    // Only once data flows: the first block still wakes the reader at once, as it starts
    // the timer; the close wakes it whatever the mark.
    const int64_t nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    if (FFirstReadUs < 0) {
        FFirstReadUs = nowUs;
        return;
    }
    FLowWater = ReceiveLowWater::Update(FSocket, FLowWater,
                                        ReceiveLowWater::Wanted(int64_t(FBytesRead), nowUs - FFirstReadUs));
}

void TClientSocket::PauseReading()
{
    if (!FReadNotifier || !FReadNotifier->isEnabled())
        return;
    FReadNotifier->setEnabled(false);
    const uint64_t generation = FGeneration;
    QTimer::singleShot(kReadPauseMs, this, [this, generation] {
        if (generation == FGeneration && FReadNotifier)
            FReadNotifier->setEnabled(true);
    });
}

void TClientSocket::DeliverPendingClose()
{
    if (FState != State::Connected)
        return;
    pollfd p{FSocket, short(POLLIN | POLLRDHUP), 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLRDHUP | POLLHUP | POLLERR)))
        return;
    // Whatever is still buffered is read first, as the notifications would have done.
    dispatchGuarded([&] {
        for (int round = 0; round < kMaxPendingReads && FState == State::Connected; ++round) {
            if (!ServeReadable())
                return;
        }
    });
}

void TClientSocket::PeerClosed()
{
    const uint64_t generation = FGeneration;
    try {
        if (OnDisconnect)
            OnDisconnect(*this);
    } catch (...) {
        if (generation == FGeneration)
            CloseSocket();
        throw;
    }
    if (generation == FGeneration)
        CloseSocket();
}

int64_t TClientSocket::ReceiveLength() const
{
    if (FState != State::Connected)
        return 0;
    int available = 0;
    if (::ioctl(FSocket, FIONREAD, &available) < 0)
        return 0;
    return available;
}

QByteArray TClientSocket::ReceiveText()
{
    QByteArray data(qsizetype(ReceiveLength()), Qt::Uninitialized);
    const int64_t got = ReceiveBuf(data.data(), data.size());
    data.resize(got > 0 ? qsizetype(got) : 0);
    return data;
}

int64_t TClientSocket::ReceiveBuf(void *buffer, int64_t count)
{
    return Receive(buffer, count, false);
}

int64_t TClientSocket::ReceiveDiscard(void *scratch, int64_t count)
{
    return Receive(scratch, count, true);
}

int64_t TClientSocket::Receive(void *buffer, int64_t count, bool discard)
{
    if (FState != State::Connected || count <= 0)
        return 0;
    for (;;) {
        const ssize_t n = discard ? ReceiveDiscarding(FSocket, buffer, size_t(count), MSG_DONTWAIT)
                                  : ::recv(FSocket, buffer, size_t(count), MSG_DONTWAIT);
        if (n >= 0) {
            FBytesRead += uint64_t(n);
            return n;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        Fail(TErrorEvent::eeReceive, errno, "recv");
        return -1;
    }
}
