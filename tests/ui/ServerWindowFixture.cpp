#include "tests/ui/ServerWindowFixture.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QtTest>

namespace {
QRegularExpression AnnouncedLine(const QString& service)
{
    return QRegularExpression(QRegularExpression::escape(service) + QStringLiteral(" on 127\\.0\\.0\\.1:(\\d+)"));
}
} // namespace

ServerWindowFixture::~ServerWindowFixture()
{
    StopServer();
}

void ServerWindowFixture::StartServer(const QStringList& arguments, const QString& awaited)
{
    const QString serverPath = qEnvironmentVariable("KORVANE_BIN_DIR") + QStringLiteral("/korvane-server");
    QVERIFY2(QFileInfo(serverPath).isExecutable(), qPrintable(serverPath));
    FServer.start(serverPath, QStringList{"--listen", "127.0.0.1", "--port", "0"} + arguments);
    QVERIFY(FServer.waitForStarted());
    const QRegularExpression line = AnnouncedLine(awaited);
    QTRY_VERIFY_WITH_TIMEOUT((FAnnounced += QString::fromUtf8(FServer.readAllStandardError()),
                              line.match(FAnnounced).hasMatch()),
                             10000);
}

void ServerWindowFixture::StopServer()
{
    if (FServer.state() == QProcess::NotRunning)
        return;
    FServer.kill();
    FServer.waitForFinished();
}

quint16 ServerWindowFixture::AnnouncedPort(const QString& service) const
{
    const QRegularExpressionMatch m = AnnouncedLine(service).match(FAnnounced);
    return m.hasMatch() ? m.captured(1).toUShort() : 0;
}

void ServerWindowFixture::NewHome()
{
    FHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", FHome->filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", FHome->filePath(QStringLiteral("config")).toUtf8());
}

void ServerWindowFixture::DropHome()
{
    FHome.reset();
}
