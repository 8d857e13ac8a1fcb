#pragma once

#include <QList>
#include <QProcess>
#include <QString>

#include <cstdint>

// A real web server on loopback, run from a temporary folder with the sites a test writes for
// it; stopped when this goes.
class LocalWebServer
{
public:
    LocalWebServer() = default;
    ~LocalWebServer();
    LocalWebServer(const LocalWebServer &) = delete;
    LocalWebServer &operator=(const LocalWebServer &) = delete;

    // Whether the server program is installed at all; tests skip without it.
    static bool Installed();

    // For initTestCase: writes folder/nginx.conf around the server blocks given (they may use the
    // folder, and www below it, as their root), starts the server there and waits until each of
    // the ports answers. Fails the test when it does not start.
    void Start(const QString &folder, const QString &defaultType, const QString &servers, const QList<uint16_t> &ports);
    // For cleanupTestCase.
    void Stop();

private:
    QProcess FProcess;
};
