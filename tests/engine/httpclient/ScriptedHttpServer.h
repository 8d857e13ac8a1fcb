#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>

// An HTTP server on 127.0.0.1 (or ::1) for tests that answers each request path with scripted raw
// bytes and logs every request head it receives. It runs on threads of its own (one per
// connection), since the client under test blocks the test's thread.
class ScriptedHttpServer
{
public:
    struct Reply
    {
        enum After { KeepOpen, Close, Stall };
        QByteArray bytes;       // sent as they stand
        After after = KeepOpen; // Stall: send, then hold the connection until the server stops
    };

    struct Request
    {
        int connection; // 1 for the first connection accepted, and so on
        QByteArray head; // request line and headers, up to and including the empty line
        QByteArray target() const;
    };

    enum Family { IPv4, IPv6 };
    explicit ScriptedHttpServer(Family family = IPv4);
    ~ScriptedHttpServer();

    uint16_t port() const { return FPort; }
    QByteArray url(const QByteArray &path) const;

    // A path without a reply is answered 404 with an empty body.
    void setReply(const QByteArray &target, const Reply &reply);
    void setReply(const QByteArray &target, const QByteArray &bytes, Reply::After after = Reply::KeepOpen);
    // The nth request of target gets the nth reply; the last one answers every later request.
    void setReplies(const QByteArray &target, const QList<Reply> &replies);

    QList<Request> requests() const;
    int connectionCount() const { return FConnections.load(); }
    // Waits until at least count connections were accepted.
    bool waitForConnections(int count, int timeoutMs = 5000) const;

    // Headers with the usual framing around body.
    static QByteArray response(const QByteArray &statusLine, const QByteArray &body,
                               const QByteArray &extraHeaders = QByteArray());
    static QByteArray chunked(const QList<QByteArray> &chunks);

private:
    void acceptLoop();
    void serve(int fd, int connection);
    bool stopping() const { return FStop.load(); }

    int FListen = -1;
    int FWake = -1; // eventfd: readable once the server stops
    uint16_t FPort = 0;
    Family FFamily = IPv4;
    std::atomic<bool> FStop{false};
    std::atomic<int> FConnections{0};
    std::thread FAcceptThread;
    mutable std::mutex FMutex;
    std::list<std::thread> FSessions;
    QMap<QByteArray, Reply> FReplies;
    QMap<QByteArray, QList<Reply>> FReplySequences;
    QMap<QByteArray, int> FSequenceServed;
    QList<Request> FRequests;
};
