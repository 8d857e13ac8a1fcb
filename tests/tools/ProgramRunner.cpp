#include "tests/tools/ProgramRunner.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>

ProgramRunner::Server::~Server()
{
    if (process && process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished();
    }
}

ProgramRunner::ProgramRunner()
    : FBinDir(qEnvironmentVariable("KORVANE_BIN_DIR"))
{
}

bool ProgramRunner::found() const
{
    return QFileInfo::exists(FBinDir + QStringLiteral("/korvane-server"))
           && QFileInfo::exists(FBinDir + QStringLiteral("/korvane-cli"));
}

ProgramRunner::Server ProgramRunner::startServer(const QStringList &arguments) const
{
    Server s;
    s.process = std::make_unique<QProcess>();
    s.process->start(FBinDir + QStringLiteral("/korvane-server"),
                     QStringList({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--session-port"),
                                  QStringLiteral("0")})
                         + arguments);
    // "listening on ADDR:PORT" and "sessions on ADDR:PORT"; an IPv6 address may be in brackets.
    static const QRegularExpression stream(QStringLiteral("listening on \\S+:(\\d+)"));
    static const QRegularExpression sessions(QStringLiteral("sessions on \\S+:(\\d+)"));
    QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired() && (s.streamPort == 0 || s.sessionPort == 0)
           && s.process->state() != QProcess::NotRunning) {
        s.process->waitForReadyRead(100);
        s.errors += s.process->readAllStandardError();
        const QString text = QString::fromUtf8(s.errors);
        if (const auto m = stream.match(text); m.hasMatch())
            s.streamPort = m.captured(1).toInt();
        if (const auto m = sessions.match(text); m.hasMatch())
            s.sessionPort = m.captured(1).toInt();
    }
    return s;
}

int ProgramRunner::runCli(const QStringList &arguments, QByteArray *out, QByteArray *err, int timeoutMs) const
{
    return run(FBinDir + QStringLiteral("/korvane-cli"), arguments, out, err, timeoutMs);
}

int ProgramRunner::run(const QString &program, const QStringList &arguments, QByteArray *out, QByteArray *err,
                       int timeoutMs)
{
    return run(program, arguments, QProcessEnvironment::systemEnvironment(), out, err, timeoutMs);
}

int ProgramRunner::run(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                       QByteArray *out, QByteArray *err, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (out)
        *out = process.readAllStandardOutput();
    if (err)
        *err = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QList<QJsonObject> ProgramRunner::jsonLines(const QByteArray &out)
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : out.split('\n')) {
        if (!line.isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    }
    return objects;
}
