#pragma once

#include "protocol/SessionLineReader.h"
#include "protocol/SessionMessage.h"

#include <QByteArray>
#include <QString>

#include <string>

#include <sys/socket.h>

class QObject;
class QSocketNotifier;

// A session's control connection: the server's lines in, ours out, and the address it reached.
// What a line means is the listener's business.
class SessionControlChannel
{
public:
    class Listener
    {
    public:
        // The server's greeting is due: a long unfinished first line is some other kind of server.
        virtual bool greetingDue() const = 0;
        // False: stop serving the lines read so far.
        virtual bool controlLine(const std::string &line) = 0;
        virtual void controlLineTooLong() = 0;
        virtual void controlClosedByServer() = 0;
        virtual void controlFailed(int error) = 0;

    protected:
        ~Listener() = default;
    };

    SessionControlChannel(QObject *context, Listener &listener);
    ~SessionControlChannel();
    SessionControlChannel(const SessionControlChannel &) = delete;
    SessionControlChannel &operator=(const SessionControlChannel &) = delete;

    // Takes the connected socket and starts reading; true when its peer could be read.
    bool open(int fd);
    bool isOpen() const { return fd_ >= 0; }
    // The address the connection reached; false (errno set) when the socket cannot say.
    bool peer(sockaddr_storage &address, socklen_t &length) const;
    const QString &peerAddress() const { return peerAddress_; }
    const QString &peerFamily() const { return peerFamily_; }

    void send(const QByteArray &line);
    // Serves what the server has sent so far.
    void readAvailable();
    // Nothing more is read; what was read stays served.
    void stopReading();
    void close();
    // A new session: nothing of the last one's lines or peer is kept.
    void reset();

private:
    void flush();

    QObject *context_;
    Listener &listener_;
    int fd_ = -1;
    QSocketNotifier *readNotifier_ = nullptr;
    QSocketNotifier *writeNotifier_ = nullptr;
    SessionLineReader in_{SessionProtocol::MaxServerLineBytes};
    QByteArray out_;
    QString peerAddress_;
    QString peerFamily_;
};
