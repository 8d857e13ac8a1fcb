#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include "engine/net/TcpConnect.h"

#include <functional>
#include <memory>

// Opens one TCP connection on a worker thread (the name lookup and the connect may block)
// and hands the connected socket to context's thread through its event loop.
// fd: the connected, non-blocking socket (owned by the receiver from then on), or -1 with
// error: why not, in words a person can act on.
using SessionConnectDone = std::function<void(int fd, const QString &error)>;

class SessionConnect
{
public:
    // window: SO_RCVBUF and SO_SNDBUF in bytes, set before the connect; 0 leaves the kernel's.
    // The addresses of host race as everywhere else (IPv6 first), limited to version.
    SessionConnect(QObject *context, const QString &host, int port, int window, int timeoutMs,
                   TIpVersion version, SessionConnectDone done);
    // A connect still running is forgotten: its socket is closed when it ends, and done is
    // never called.
    ~SessionConnect();
    SessionConnect(const SessionConnect &) = delete;
    SessionConnect &operator=(const SessionConnect &) = delete;

    // Applies the socket options every connection of a session gets.
    static bool prepareSocket(int fd, int window);

private:
    struct Relay;
    std::shared_ptr<Relay> FRelay;
};
