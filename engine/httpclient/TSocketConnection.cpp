#include "engine/httpclient/TSocketConnection.h"
#include "engine/httpclient/EHttpConnClosedGracefully.h"
#include "engine/httpclient/EHttpConnectException.h"
#include "engine/httpclient/EHttpConnectTimeout.h"
#include "engine/httpclient/EHttpNotASocket.h"
#include "engine/httpclient/EHttpReadLnMaxLineLengthExceeded.h"
#include "engine/httpclient/EReadTimeout.h"
#include "engine/httpclient/EHttpSocketError.h"
#include "engine/httpclient/TAntiFreeze.h"
#include "engine/httpclient/TTlsChannel.h"
#include "engine/httpclient/TWorkerCall.h"
#include "engine/net/TcpConnect.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstring>
#include <memory>
#include <string>

TSocketConnection::TSocketConnection(QObject *parent) : QObject(parent) {}

TSocketConnection::~TSocketConnection()
{
    Close();
}

void TSocketConnection::Notify(THttpStatus status, const QString &argument)
{
    if (OnStatus)
        OnStatus(this, status, HttpStatusText(status, argument));
}

void TSocketConnection::CheckCancel()
{
    if (FCancel.IsRaised()) {
        Close();
        FCancel.Check();
    }
}

void TSocketConnection::FailWithErrno(int code)
{
    Close();
    if (code == ENOTSOCK || code == EBADF)
        throw EHttpNotASocket(code, QString::fromLocal8Bit(std::strerror(code)));
    throw EHttpSocketError::FromErrno(code);
}

void TSocketConnection::Close()
{
    if (FTls) {
        FTls->Shutdown();
        FTls.reset();
    }
    if (FSocket >= 0) {
        ::close(FSocket);
        FSocket = -1;
    }
    FInBuf.clear();
    FInPos = 0;
}

void TSocketConnection::PeerClosed()
{
    Close();
    Notify(hsDisconnected);
}

void TSocketConnection::ServeAfterBlock()
{
    // Every block would mean one event-loop pass per 32 KiB; a frame's time between passes
    // keeps the window just as responsive without slowing a fast transfer.
    constexpr qint64 minimumGapNs = 10'000'000;
    if (!TAntiFreeze::ShouldUse())
        return;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const qint64 nowNs = qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    if (nowNs - FLastServedNs < minimumGapNs)
        return;
    FLastServedNs = nowNs;
    TAntiFreeze::DoProcess();
}

int TSocketConnection::DataStepMs() const
{
    TAntiFreeze *antiFreeze = TAntiFreeze::Instance();
    return antiFreeze ? antiFreeze->IdleTimeOut() : 250;
}

bool TSocketConnection::WaitFor(int fd, short events, int timeoutMs, int stepMs)
{
    const bool serve = TAntiFreeze::ShouldUse();
    long long waited = 0;
    for (;;) {
        CheckCancel();
        int slice = timeoutMs < 0 ? -1 : int(std::max<long long>(timeoutMs - waited, 0));
        if (serve)
            slice = slice < 0 ? stepMs : std::min(slice, stepMs);
        pollfd fds[2] = {{fd, events, 0}, {FCancel.Fd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, slice);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            FailWithErrno(errno);
        }
        CheckCancel();
        if (fds[0].revents != 0) {
            if (serve && TAntiFreeze::ServeWhenBusy())
                TAntiFreeze::DoProcess();
            return true;
        }
        if (slice > 0)
            waited += slice;
        if (serve) {
            TAntiFreeze::DoProcess();
            CheckCancel();
        }
        if (timeoutMs >= 0 && waited >= timeoutMs)
            return false;
    }
}

void TSocketConnection::Connect(const QString &host, int port, int ipVersion, int connectTimeoutMs)
{
    Close();
    FPeerAddress.clear();
    FPeerFamily.clear();
    FAnnouncedAddress.clear();
    CheckCancel();
    if (port < 1 || port > 65535)
        throw EHttpConnectException(QStringLiteral("Invalid port number: %1").arg(port));

    // 0 lets the name's addresses of both families race.
    const int family = ipVersion == 6 ? AF_INET6 : ipVersion == 0 ? AF_UNSPEC : AF_INET;
    std::vector<TResolvedAddress> addresses;
    const QByteArray hostBytes = host.toUtf8();
    TResolvedAddress numeric;
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&numeric.Address);
    auto *in4 = reinterpret_cast<sockaddr_in *>(&numeric.Address);
    if (family != AF_INET && ::inet_pton(AF_INET6, hostBytes.constData(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        numeric.Length = sizeof(sockaddr_in6);
    } else if (family != AF_INET6 && ::inet_pton(AF_INET, hostBytes.constData(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        numeric.Length = sizeof(sockaddr_in);
    }
    if (numeric.Length != 0) {
        addresses.push_back(numeric);
    } else {
        Notify(hsResolving, host);
        addresses = Lookup(host, family);
    }
    for (TResolvedAddress &a : addresses)
        SetPort(a, uint16_t(port));
    addresses = RaceOrder(addresses);
    FAnnouncedAddress = QString::fromStdString(NumericAddress(addresses.front()));
    Notify(hsConnecting, FAnnouncedAddress);

    int limit = connectTimeoutMs;
    if (limit <= 0)
        limit = TAntiFreeze::ShouldUse() ? AntiFreezeConnectLimitMs : -1;
    ConnectTo(addresses, limit);
    FHost = host;
    FPort = port;
    FIPVersion = ipVersion == 6 ? 6 : ipVersion == 0 ? 0 : 4;
}

std::vector<TResolvedAddress> TSocketConnection::Lookup(const QString &host, int family)
{
    struct Result
    {
        int code = 0;
        int savedErrno = 0;
        std::vector<TResolvedAddress> addresses;
    };
    auto result = std::make_shared<Result>();
    TWorkerCall call([result, name = host.toStdString(), family](int) {
        result->code = SystemResolve(name, family, result->addresses, result->savedErrno);
    });
    // A lookup cannot be interrupted: on a cancel the worker is left to finish by itself.
    WaitFor(call.DoneFd(), POLLIN, -1, std::min(DataStepMs(), ConnectStepMs));
    if (result->code != 0)
        throw EHttpSocketError::FromLookup(result->code, result->savedErrno);
    return result->addresses;
}

void TSocketConnection::ConnectTo(const std::vector<TResolvedAddress> &addresses, int limitMs)
{
    auto result = std::make_shared<TConnectResult>();
    auto job = [result, addresses](int abortFd) {
        TConnectOptions options;
        options.CancelFd = abortFd;
        *result = TcpConnectAddresses(addresses, options);
    };
    std::unique_ptr<TWorkerCall> call = std::make_unique<TWorkerCall>(job);
    const auto dropWinner = [&result] {
        if (result->Socket >= 0)
            ::close(result->Socket);
    };

    bool finished = false;
    try {
        finished = WaitFor(call->DoneFd(), POLLIN, limitMs, std::min(DataStepMs(), ConnectStepMs));
    } catch (...) {
        call->AbortAndJoin(); // the worker still races its sockets
        dropWinner();
        throw;
    }
    call->AbortAndJoin();
    if (!finished) {
        dropWinner();
        throw EHttpConnectTimeout();
    }
    if (!result->Ok())
        throw EHttpSocketError::FromErrno(result->ErrorCode);
    FSocket = result->Socket;
    FPeerAddress = QString::fromStdString(result->AddressText);
    FPeerFamily = QString::fromLatin1(FamilyName(result->Family));
    FInBuf.clear();
    FInPos = 0;
}

void TSocketConnection::Write(const QByteArray &data)
{
    if (FTls) {
        WriteTls(data);
        return;
    }
    qsizetype sent = 0;
    while (sent < data.size()) {
        CheckCancel();
        if (!Connected())
            throw EHttpConnClosedGracefully();
        const qsizetype piece = std::min<qsizetype>(data.size() - sent, SendBufferSize);
        const ssize_t written = ::send(FSocket, data.constData() + sent, size_t(piece), MSG_NOSIGNAL);
        if (written >= 0) {
            sent += written;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            WaitFor(FSocket, POLLOUT, -1, DataStepMs());
            continue;
        }
        FailWithErrno(errno);
    }
}

qsizetype TSocketConnection::Receive(char *target, qsizetype capacity)
{
    if (FTls)
        return ReceiveTls(target, capacity);
    for (;;) {
        CheckCancel();
        if (!Connected())
            return 0;
        const ssize_t got = ::recv(FSocket, target, size_t(capacity), 0);
        if (got > 0) {
            FReceivedBytes += got;
            return got;
        }
        if (got == 0) {
            PeerClosed();
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            FailWithErrno(errno);
        if (!WaitFor(FSocket, POLLIN, ReadWaitMs(), DataStepMs()))
            throw EReadTimeout();
    }
}

bool TSocketConnection::FillBuffer()
{
    if (FInPos > 0 && (FInPos == FInBuf.size() || FInPos >= RecvBufferSize)) {
        FInBuf.remove(0, FInPos);
        FInPos = 0;
    }
    const qsizetype old = FInBuf.size();
    FInBuf.resize(old + RecvBufferSize);
    qsizetype got = 0;
    try {
        got = Receive(FInBuf.data() + old, RecvBufferSize);
    } catch (...) {
        if (FInBuf.size() >= old)
            FInBuf.resize(old);
        throw;
    }
    if (got == 0)
        return false; // Close() has emptied the buffer
    FInBuf.resize(old + got);
    return true;
}

QString TSocketConnection::AsciiText(const char *data, qsizetype length)
{
    QString text(length, Qt::Uninitialized);
    QChar *out = text.data();
    for (qsizetype i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        out[i] = QChar(byte < 0x80 ? char16_t(byte) : u'?');
    }
    return text;
}

QByteArray TSocketConnection::AsciiBytes(const QString &text)
{
    QByteArray bytes(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text.at(i).unicode();
        bytes[i] = unit < 0x80 ? char(unit) : '?';
    }
    return bytes;
}

QString TSocketConnection::ReadLn()
{
    const QByteArray line = ReadRawLn();
    return AsciiText(line.constData(), line.size());
}

void TSocketConnection::ServeWhileBusy()
{
    ServeAfterBlock();
    CheckCancel();
}

QByteArray TSocketConnection::ReadRawLn()
{
    qsizetype scanned = 0; // bytes after FInPos already known to hold no LF
    for (;;) {
        const qsizetype lf = FInBuf.indexOf('\n', FInPos + scanned);
        if (lf >= 0) {
            qsizetype length = lf - FInPos;
            if (length > MaxLineLength)
                throw EHttpReadLnMaxLineLengthExceeded();
            const char *line = FInBuf.constData() + FInPos;
            FInPos = lf + 1;
            if (length > 0 && line[length - 1] == '\r')
                --length;
            return QByteArray(line, length);
        }
        scanned = Buffered();
        if (scanned > MaxLineLength)
            throw EHttpReadLnMaxLineLengthExceeded();
        if (!FillBuffer())
            throw EHttpConnClosedGracefully();
        // Lines that stream in without a pause (a long header block, a body of small
        // chunks) never reach an idle wait, so the queue is served here as for body blocks.
        ServeAfterBlock();
        CheckCancel();
    }
}

qsizetype TSocketConnection::TakeBuffered(qint64 limit, QByteArray *dest, const TBlockConsumer &consume)
{
    const qsizetype taken = qsizetype(std::min<qint64>(limit, Buffered()));
    if (taken > 0) {
        if (dest)
            dest->append(FInBuf.constData() + FInPos, taken);
        else if (consume)
            consume(QByteArrayView(FInBuf.constData() + FInPos, taken));
        FInPos += taken;
        FBodyBytesRead += taken;
    }
    if (Buffered() == 0) {
        FInBuf.resize(0);
        FInPos = 0;
    }
    return taken;
}

qsizetype TSocketConnection::ReceiveBlock(qsizetype capacity, QByteArray *dest, const TBlockConsumer &consume)
{
    qsizetype got = 0;
    if (dest) {
        // Straight into the caller's array; on an error it keeps only what it had.
        const qsizetype old = dest->size();
        dest->resize(old + capacity);
        try {
            got = Receive(dest->data() + old, capacity);
        } catch (...) {
            dest->resize(old);
            throw;
        }
        dest->resize(old + got);
    } else {
        if (FScratch.isEmpty())
            FScratch.resize(RecvBufferSize);
        got = Receive(FScratch.data(), capacity);
        if (got > 0 && consume)
            consume(QByteArrayView(FScratch.constData(), got));
    }
    if (got > 0) {
        FBodyBytesRead += got;
        ServeAfterBlock();
        CheckCancel();
    }
    return got;
}

void TSocketConnection::ReadBytes(qint64 count, QByteArray *dest, const TBlockConsumer &consume)
{
    qint64 remaining = count - TakeBuffered(count, dest, consume);
    while (remaining > 0) {
        const qsizetype got = ReceiveBlock(qsizetype(std::min<qint64>(remaining, RecvBufferSize)), dest, consume);
        if (got == 0)
            throw EHttpConnClosedGracefully();
        remaining -= got;
    }
}

void TSocketConnection::ReadUntilClose(QByteArray *dest, const TBlockConsumer &consume)
{
    TakeBuffered(Buffered(), dest, consume);
    while (ReceiveBlock(RecvBufferSize, dest, consume) > 0) {
    }
}

bool TSocketConnection::WaitForData(int timeoutMs)
{
    if (Buffered() > 0)
        return true;
    if (!Connected())
        return false;
    if (FTls && FTls->HasPending())
        return true;
    return WaitFor(FSocket, POLLIN, timeoutMs, DataStepMs());
}

bool TSocketConnection::CheckForDisconnect()
{
    if (!Connected())
        return false;
    if (Buffered() > 0)
        return true;
    if (FTls) {
        const int state = FTls->Probe();
        if (state == 0)
            PeerClosed();
        return state != 0;
    }
    char probe;
    for (;;) {
        const ssize_t got = ::recv(FSocket, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (got > 0)
            return true;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        PeerClosed(); // closed, or reset: either way no longer usable
        return false;
    }
}

void TSocketConnection::DiscardPendingInput()
{
    FInBuf.resize(0);
    FInPos = 0;
    if (!Connected())
        return;
    if (FScratch.isEmpty())
        FScratch.resize(RecvBufferSize);
    if (FTls) {
        for (int blocks = 0; blocks < 1024; ++blocks) {
            TTlsChannel::TWant want = TTlsChannel::twNone;
            qsizetype got = 0;
            try {
                got = FTls->Read(FScratch.data(), FScratch.size(), want);
            } catch (...) {
                Close(); // a garbled or reset connection is closed like one the server closed
                Notify(hsDisconnected);
                return;
            }
            if (got < 0)
                return;
            if (got == 0) {
                PeerClosed();
                return;
            }
        }
        return;
    }
    // Bounded: a server that keeps streaming is dealt with by the next read, not here.
    for (int blocks = 0; blocks < 1024; ++blocks) {
        const ssize_t got = ::recv(FSocket, FScratch.data(), size_t(FScratch.size()), MSG_DONTWAIT);
        if (got > 0)
            continue;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        PeerClosed();
        return;
    }
}

TTlsInfo TSocketConnection::StartTls(const TTlsContext &context)
{
    timespec started{};
    ::clock_gettime(CLOCK_MONOTONIC, &started);
    try {
        FTls = std::make_unique<TTlsChannel>(context, FSocket, FHost, FPort);
        for (int want = FTls->Handshake(); want != TTlsChannel::twNone; want = FTls->Handshake())
            WaitForTls(want);
    } catch (...) {
        Close();
        throw;
    }
    timespec done{};
    ::clock_gettime(CLOCK_MONOTONIC, &done);
    const double ms = double(done.tv_sec - started.tv_sec) * 1e3 + double(done.tv_nsec - started.tv_nsec) / 1e6;
    return FTls->Info(ms);
}

void TSocketConnection::WaitForTls(int want)
{
    if (!WaitFor(FSocket, want == TTlsChannel::twWrite ? POLLOUT : POLLIN, ReadWaitMs(), DataStepMs()))
        throw EReadTimeout();
}

qsizetype TSocketConnection::ReceiveTls(char *target, qsizetype capacity)
{
    for (;;) {
        CheckCancel();
        if (!Connected())
            return 0;
        TTlsChannel::TWant want = TTlsChannel::twNone;
        qsizetype got = 0;
        try {
            got = FTls->Read(target, capacity, want);
        } catch (...) {
            Close();
            throw;
        }
        if (got > 0) {
            FReceivedBytes += got;
            return got;
        }
        if (got == 0) {
            PeerClosed();
            return 0;
        }
        WaitForTls(want);
    }
}

void TSocketConnection::WriteTls(const QByteArray &data)
{
    qsizetype sent = 0;
    while (sent < data.size()) {
        CheckCancel();
        if (!Connected())
            throw EHttpConnClosedGracefully();
        TTlsChannel::TWant want = TTlsChannel::twNone;
        qsizetype written = 0;
        try {
            written = FTls->Write(data.constData() + sent, data.size() - sent, want);
        } catch (...) {
            Close();
            throw;
        }
        if (written > 0)
            sent += written;
        else
            WaitForTls(want);
    }
}
