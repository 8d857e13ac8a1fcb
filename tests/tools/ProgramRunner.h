#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// korvane-server and korvane-cli run as a user would: the server in the background for the
// life of the object, the client to its end.
class ProgramRunner
{
public:
    // A korvane-server that prints its ports; killed when this goes.
    struct Server
    {
        std::unique_ptr<QProcess> process;
        int streamPort = 0;
        int sessionPort = 0;
        QByteArray errors; // what it printed while starting
        bool started() const { return streamPort > 0; }
        Server() = default;
        Server(Server &&) = default;
        Server &operator=(Server &&) = default;
        ~Server();
    };

    // KORVANE_BIN_DIR from the environment.
    ProgramRunner();
    bool found() const;
    QString binDir() const { return FBinDir; }

    // --port 0 --session-port 0 and the arguments given; waits for both address lines.
    Server startServer(const QStringList &arguments) const;
    // Exit status, or -1 when it crashed or ran past timeoutMs.
    int runCli(const QStringList &arguments, QByteArray *out = nullptr, QByteArray *err = nullptr,
               int timeoutMs = 60000) const;
    // The same, with the program and its arguments run by another one (unshare, sh).
    static int run(const QString &program, const QStringList &arguments, QByteArray *out = nullptr,
                   QByteArray *err = nullptr, int timeoutMs = 60000);
    // The same in the given environment (a case script's settings).
    static int run(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                   QByteArray *out, QByteArray *err, int timeoutMs = 60000);
    static QList<QJsonObject> jsonLines(const QByteArray &out);

private:
    QString FBinDir;
};
