#include "engine/session/SessionControlChannel.h"

#include "engine/ApplicationExceptionHandler.h"
#include "engine/net/TcpConnect.h"
#include "engine/session/SessionNotifier.h"

#include <QObject>
#include <QSocketNotifier>

#include <cerrno>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

SessionControlChannel::SessionControlChannel(QObject *context, Listener &listener)
    : context_(context)
    , listener_(listener)
{
}

SessionControlChannel::~SessionControlChannel()
{
    close();
}

bool SessionControlChannel::open(int fd)
{
    fd_ = fd;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const bool known = peer(address, length);
    if (known) {
        TResolvedAddress reached;
        reached.Address = address;
        reached.Length = length;
        peerAddress_ = QString::fromStdString(NumericAddress(reached));
        peerFamily_ = QString::fromLatin1(FamilyName(address.ss_family));
    }
    readNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, context_);
    QObject::connect(readNotifier_, &QSocketNotifier::activated, context_,
                     [this] { dispatchGuarded([this] { readAvailable(); }); });
    return known;
}

bool SessionControlChannel::peer(sockaddr_storage &address, socklen_t &length) const
{
    return ::getpeername(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0;
}

void SessionControlChannel::send(const QByteArray &line)
{
    out_ += line;
    flush();
}

void SessionControlChannel::flush()
{
    while (!out_.isEmpty() && fd_ >= 0) {
        const ssize_t n = ::send(fd_, out_.constData(), size_t(out_.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0) {
            listener_.controlFailed(errno);
            return;
        }
        out_.remove(0, qsizetype(n));
    }
    if (out_.isEmpty()) {
        DropSessionNotifier(writeNotifier_);
    } else if (!writeNotifier_ && fd_ >= 0) {
        writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, context_);
        QObject::connect(writeNotifier_, &QSocketNotifier::activated, context_,
                         [this] { dispatchGuarded([this] { flush(); }); });
    }
}

void SessionControlChannel::readAvailable()
{
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0) {
            listener_.controlFailed(errno);
            return;
        }
        if (n == 0) {
            listener_.controlClosedByServer();
            return;
        }
        // Acknowledged at once, so a server that waits for the acknowledgement before its
        // next short line (the start, a report) is not held back.
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        in_.append(std::string_view(buffer, size_t(n)));
        // Lines are served as they come, so a failure stops the rest.
        std::string line;
        for (;;) {
            const SessionLineReader::Result got = in_.next(line);
            // A greeting is short: a long first line is some other kind of server.
            const bool notGreeting = got == SessionLineReader::Result::NeedMore
                                     && in_.buffered() >= SessionProtocol::MaxLineBytes && listener_.greetingDue();
            if (got == SessionLineReader::Result::NeedMore && !notGreeting)
                break;
            if (got == SessionLineReader::Result::TooLong || notGreeting) {
                listener_.controlLineTooLong();
                return;
            }
            if (!listener_.controlLine(line) || fd_ < 0)
                return;
        }
    }
}

void SessionControlChannel::stopReading()
{
    DropSessionNotifier(readNotifier_);
}

void SessionControlChannel::close()
{
    DropSessionNotifier(readNotifier_);
    DropSessionNotifier(writeNotifier_);
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void SessionControlChannel::reset()
{
    close();
    in_.takeRest();
    out_.clear();
    peerAddress_.clear();
    peerFamily_.clear();
}
