#include "tests/engine/httpclient/ScriptedHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

QByteArray ScriptedHttpServer::Request::target() const
{
    const QList<QByteArray> parts = head.left(head.indexOf("\r\n")).split(' ');
    return parts.size() >= 2 ? parts.at(1) : QByteArray();
}

ScriptedHttpServer::ScriptedHttpServer(Family family) : FFamily(family)
{
    FListen = ::socket(family == IPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FWake = ::eventfd(0, EFD_CLOEXEC);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (family == IPv6) {
        auto *address = reinterpret_cast<sockaddr_in6 *>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_addr = in6addr_loopback;
        length = sizeof *address;
    } else {
        auto *address = reinterpret_cast<sockaddr_in *>(&storage);
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *address;
    }
    auto *address = reinterpret_cast<sockaddr *>(&storage);
    if (FListen < 0 || FWake < 0 || ::bind(FListen, address, length) != 0 || ::listen(FListen, 16) != 0
        || ::getsockname(FListen, address, &length) != 0)
        throw std::runtime_error(family == IPv6 ? "ScriptedHttpServer: cannot listen on ::1"
                                                : "ScriptedHttpServer: cannot listen on 127.0.0.1");
    FPort = ntohs(family == IPv6 ? reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port
                                 : reinterpret_cast<sockaddr_in *>(&storage)->sin_port);
    FAcceptThread = std::thread([this] { acceptLoop(); });
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    FStop = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(FWake, &one, sizeof one);
    FAcceptThread.join();
    std::list<std::thread> sessions;
    {
        std::lock_guard lock(FMutex);
        sessions.swap(FSessions);
    }
    for (std::thread &session : sessions)
        session.join();
    ::close(FListen);
    ::close(FWake);
}

QByteArray ScriptedHttpServer::url(const QByteArray &path) const
{
    return (FFamily == IPv6 ? "http://[::1]:" : "http://127.0.0.1:") + QByteArray::number(FPort) + path;
}

void ScriptedHttpServer::setReply(const QByteArray &target, const Reply &reply)
{
    std::lock_guard lock(FMutex);
    FReplies.insert(target, reply);
}

void ScriptedHttpServer::setReply(const QByteArray &target, const QByteArray &bytes, Reply::After after)
{
    setReply(target, Reply{bytes, after});
}

void ScriptedHttpServer::setReplies(const QByteArray &target, const QList<Reply> &replies)
{
    std::lock_guard lock(FMutex);
    FReplySequences.insert(target, replies);
    FSequenceServed.insert(target, 0);
}

QList<ScriptedHttpServer::Request> ScriptedHttpServer::requests() const
{
    std::lock_guard lock(FMutex);
    return FRequests;
}

bool ScriptedHttpServer::waitForConnections(int count, int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (FConnections.load() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

QByteArray ScriptedHttpServer::response(const QByteArray &statusLine, const QByteArray &body,
                                        const QByteArray &extraHeaders)
{
    return statusLine + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders
           + "\r\n" + body;
}

QByteArray ScriptedHttpServer::chunked(const QList<QByteArray> &chunks)
{
    QByteArray out;
    for (const QByteArray &chunk : chunks)
        out += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
    return out + "0\r\n\r\n";
}

void ScriptedHttpServer::acceptLoop()
{
    for (;;) {
        pollfd fds[2] = {{FListen, POLLIN, 0}, {FWake, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (stopping())
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const int connection = ++FConnections;
        std::lock_guard lock(FMutex);
        FSessions.emplace_back([this, fd, connection] { serve(fd, connection); });
    }
}

void ScriptedHttpServer::serve(int fd, int connection)
{
    QByteArray pending;
    char buffer[4096];
    for (;;) {
        qsizetype end;
        while ((end = pending.indexOf("\r\n\r\n")) < 0) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {FWake, POLLIN, 0}};
            ::poll(fds, 2, -1);
            if (stopping()) {
                ::close(fd);
                return;
            }
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                ::close(fd);
                return;
            }
            pending.append(buffer, got);
        }
        Request request{connection, pending.left(end + 4)};
        pending.remove(0, end + 4);
        Reply reply{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", Reply::KeepOpen};
        {
            std::lock_guard lock(FMutex);
            FRequests << request;
            reply = FReplies.value(request.target(), reply);
            if (const auto sequence = FReplySequences.constFind(request.target());
                sequence != FReplySequences.constEnd() && !sequence->isEmpty()) {
                int &served = FSequenceServed[request.target()];
                reply = sequence->at(std::min<qsizetype>(served, sequence->size() - 1));
                ++served;
            }
        }
        qsizetype sent = 0;
        while (sent < reply.bytes.size()) {
            const ssize_t put = ::send(fd, reply.bytes.constData() + sent, size_t(reply.bytes.size() - sent),
                                       MSG_NOSIGNAL);
            if (put <= 0)
                break;
            sent += put;
        }
        if (reply.after == Reply::Close) {
            ::close(fd);
            return;
        }
        if (reply.after == Reply::Stall) {
            pollfd wake{FWake, POLLIN, 0};
            ::poll(&wake, 1, -1);
            ::close(fd);
            return;
        }
    }
}
