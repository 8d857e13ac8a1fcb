#include "tests/ui/LoopbackServer.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <atomic>

class LoopbackServerWorker : public QObject
{
public:
    LoopbackServerWorker(LoopbackServer::Mode mode, const QByteArray& payload)
        : FMode(mode), FPayload(payload)
    {
    }

    quint16 Listen()
    {
        FServer = new QTcpServer(this);
        FServer->listen(QHostAddress::LocalHost, 0);
        connect(FServer, &QTcpServer::newConnection, this, [this] { Accept(); });
        return FServer->serverPort();
    }

    void Stop()
    {
        for (QTcpSocket* socket : findChildren<QTcpSocket*>())
            socket->abort();
        delete FServer;
        FServer = nullptr;
    }

    std::atomic<int> accepted{0};

private:
    void Accept()
    {
        while (QTcpSocket* socket = FServer->nextPendingConnection()) {
            ++accepted;
            socket->setParent(this);
            switch (FMode) {
            case LoopbackServer::Mode::Stream:
                socket->write(FPayload);
                socket->disconnectFromHost();
                break;
            case LoopbackServer::Mode::CloseAtOnce:
                socket->close();
                break;
            case LoopbackServer::Mode::Hold:
                socket->write(FPayload);
                break;
            case LoopbackServer::Mode::StreamSlowly:
                socket->write(FPayload);
                QTimer::singleShot(1000, socket, [socket] { socket->disconnectFromHost(); });
                break;
            case LoopbackServer::Mode::Http:
            case LoopbackServer::Mode::HttpHold:
            case LoopbackServer::Mode::HttpRaw:
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { AnswerHttp(socket); });
                break;
            }
        }
    }

    void AnswerHttp(QTcpSocket* socket)
    {
        QByteArray& request = FRequests[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n") || request.isEmpty())
            return;
        request.clear();
        if (FMode == LoopbackServer::Mode::HttpRaw) {
            socket->write(FPayload);
            socket->disconnectFromHost();
            return;
        }
        const bool hold = FMode == LoopbackServer::Mode::HttpHold;
        const qint64 length = hold ? FPayload.size() * 100 + 1 : FPayload.size();
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
                      + QByteArray::number(length) + "\r\nConnection: close\r\n\r\n" + FPayload);
        if (!hold)
            socket->disconnectFromHost();
    }

    LoopbackServer::Mode FMode;
    QByteArray FPayload;
    QTcpServer* FServer = nullptr;
    QHash<QTcpSocket*, QByteArray> FRequests;
};

LoopbackServer::LoopbackServer(Mode mode, const QByteArray& payload)
    : FWorker(new LoopbackServerWorker(mode, payload))
{
    FWorker->moveToThread(&FThread);
    FThread.start();
    QMetaObject::invokeMethod(FWorker, [this] { return FWorker->Listen(); },
                              Qt::BlockingQueuedConnection, &FPort);
}

LoopbackServer::~LoopbackServer()
{
    QMetaObject::invokeMethod(FWorker, [this] { FWorker->Stop(); }, Qt::BlockingQueuedConnection);
    FThread.quit();
    FThread.wait();
    delete FWorker;
}

int LoopbackServer::Accepted() const
{
    return FWorker->accepted.load();
}

quint16 LoopbackServer::ClosedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}
