#pragma once

#include <QByteArray>
#include <QObject>
#include <QThread>

class LoopbackServerWorker;

// A TCP server on 127.0.0.1 that runs in its own thread, so it answers while the GUI
// thread is busy inside a test run. One behaviour per server.
class LoopbackServer
{
public:
    enum class Mode {
        Stream,       // sends the payload, then closes
        CloseAtOnce,  // accepts and closes without sending
        Hold,         // sends the payload and keeps the connection open
        StreamSlowly, // sends the payload, closes a second later
        Http,         // answers one GET with the payload as a text/html page, then closes
        HttpHold,     // answers with headers promising more than it sends, keeps it open
        HttpRaw,      // answers each GET with the payload as the whole response, then closes
    };

    LoopbackServer(Mode mode, const QByteArray& payload = {});
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    quint16 Port() const { return FPort; }
    // Connections accepted so far.
    int Accepted() const;

    // A port on which nothing listens.
    static quint16 ClosedPort();

private:
    QThread FThread;
    LoopbackServerWorker* FWorker;
    quint16 FPort = 0;
};
