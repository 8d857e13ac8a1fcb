#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// What a window test against a real korvane-server needs: the server on 127.0.0.1 for the
// whole test class, and a fresh per-user folder for each case.
class ServerWindowFixture
{
public:
    ServerWindowFixture() = default;
    ~ServerWindowFixture();
    ServerWindowFixture(const ServerWindowFixture&) = delete;
    ServerWindowFixture& operator=(const ServerWindowFixture&) = delete;

    // For initTestCase: korvane-server --listen 127.0.0.1 --port 0 and the arguments given,
    // waited for until it prints "<awaited> on 127.0.0.1:<port>". Fails the test otherwise.
    void StartServer(const QStringList& arguments, const QString& awaited);
    // For cleanupTestCase.
    void StopServer();
    // The port of the "<service> on 127.0.0.1:<port>" line printed while starting, 0 if none.
    quint16 AnnouncedPort(const QString& service) const;
    // All the server printed while starting.
    QString Announced() const { return FAnnounced; }

    // For init: a new temporary folder holds the data and settings of the case.
    void NewHome();
    // For cleanup, once the window is gone.
    void DropHome();
    QString HomeFile(const QString& relative) const { return FHome->filePath(relative); }

private:
    QProcess FServer;
    QString FAnnounced;
    std::unique_ptr<QTemporaryDir> FHome;
};
