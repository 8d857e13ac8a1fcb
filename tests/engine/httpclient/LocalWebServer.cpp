#include "tests/engine/httpclient/LocalWebServer.h"

#include <QtTest>

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kProgram = QStringLiteral("/usr/sbin/nginx");

bool canConnect(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace

LocalWebServer::~LocalWebServer()
{
    Stop();
}

bool LocalWebServer::Installed()
{
    return QFile::exists(kProgram);
}

void LocalWebServer::Start(const QString &folder, const QString &defaultType, const QString &servers,
                           const QList<uint16_t> &ports)
{
    // In the foreground and as one process, so that the test owns it; everything it writes stays in folder.
    const QString config = QStringLiteral(
        "daemon off;\nmaster_process off;\nworker_processes 1;\npid %1/nginx.pid;\nerror_log %1/error.log;\n"
        "events { worker_connections 64; }\n"
        "http {\n  access_log off;\n"
        "  client_body_temp_path %1/body; proxy_temp_path %1/proxy; fastcgi_temp_path %1/fastcgi;\n"
        "  uwsgi_temp_path %1/uwsgi; scgi_temp_path %1/scgi;\n"
        "  types { text/html html; application/octet-stream bin; }\n  default_type %2;\n%3}\n")
        .arg(folder, defaultType, servers);
    QFile conf(folder + QStringLiteral("/nginx.conf"));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write(config.toUtf8());
    conf.close();

    FProcess.setProcessChannelMode(QProcess::ForwardedChannels);
    FProcess.start(kProgram, {QStringLiteral("-p"), folder, QStringLiteral("-e"), folder + QStringLiteral("/error.log"),
                              QStringLiteral("-c"), folder + QStringLiteral("/nginx.conf")});
    QVERIFY(FProcess.waitForStarted());
    const auto allAnswer = [&ports] {
        return std::all_of(ports.begin(), ports.end(), [](uint16_t port) { return canConnect(port); });
    };
    QTRY_VERIFY_WITH_TIMEOUT(allAnswer() || FProcess.state() != QProcess::Running, 10000);
    QVERIFY2(FProcess.state() == QProcess::Running, "nginx did not start; see error.log in the temp folder");
}

void LocalWebServer::Stop()
{
    if (FProcess.state() == QProcess::Running) {
        FProcess.terminate();
        if (!FProcess.waitForFinished(5000))
            FProcess.kill();
        FProcess.waitForFinished(5000);
    }
}
