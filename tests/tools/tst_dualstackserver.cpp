#include "tests/tools/RawSessionIo.h"
#include "protocol/SessionMessage.h"

#include <QtTest>

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <chrono>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// korvane-server over both address families, spoken to over raw sockets on 127.0.0.1 and ::1.
class TestDualStackServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void defaultServesBothFamiliesAtOnce();
    void listenAddresses_data();
    void listenAddresses();
    void badListenAddresses_data();
    void badListenAddresses();
    void mappedClientsCountAsIPv4();
    void metricsOnIPv6_data();
    void metricsOnIPv6();
    void ipv6SwitchedOffStillServesIPv4();

private:
    struct Server
    {
        std::unique_ptr<QProcess> process;
        QByteArray log;
        ~Server()
        {
            if (process && process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished();
            }
        }
        QByteArray readLog()
        {
            log += process->readAllStandardError();
            return log;
        }
        // Waits for a line of the log and returns its first group, or an empty string.
        QString waitFor(const QRegularExpression &line, int timeoutMs = 10000)
        {
            QDeadlineTimer deadline(timeoutMs);
            for (;;) {
                if (const auto m = line.match(QString::fromUtf8(readLog())); m.hasMatch())
                    return m.captured(1);
                if (deadline.hasExpired() || process->state() == QProcess::NotRunning)
                    return {};
                process->waitForReadyRead(50);
            }
        }
    };

    void startServer(Server &s, const QStringList &arguments);

    QString FBinDir;
};

using namespace RawSessionIo;

namespace {

// A blocking connection to a numeric address; -1 when it is refused.
int connectTo(const char *host, int port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *ai = nullptr;
    if (getaddrinfo(host, std::to_string(port).c_str(), &hints, &ai) != 0)
        return -1;
    int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        ::close(fd);
        fd = -1;
    }
    freeaddrinfo(ai);
    return fd;
}

// Opens a session on the control connection: the server's error, or "" with the session id.
std::string requestSession(int control, const SessionRequest &request, std::string &session)
{
    SessionMessage m;
    if (control < 0 || !readMessage(control, m) || !std::holds_alternative<SessionHello>(m))
        return "no hello";
    if (!sendAll(control, SessionProtocol::write(request)) || !readMessage(control, m))
        return "no answer to the request";
    if (const auto *e = std::get_if<SessionError>(&m))
        return e->error;
    session = std::get<SessionAccepted>(m).session;
    return {};
}

// A download of one stream: the bytes the client received and the server's summary, or -1.
int64_t downloadSession(const char *host, int port, uint64_t bytes, uint64_t &summarized)
{
    const int control = connectTo(host, port);
    SessionRequest request;
    request.bytes = bytes;
    std::string session;
    if (!requestSession(control, request, session).empty()) {
        ::close(control);
        return -1;
    }
    const int data = connectTo(host, port);
    std::string hello;
    sendAll(data, SessionProtocol::write(SessionJoin{session, 0}));
    readLine(data, hello);
    int64_t received = -1;
    std::thread reader([&] { received = drain(data); });
    SessionMessage m;
    bool ended = false;
    while (!ended && readMessage(control, m)) {
        if (const auto *s = std::get_if<SessionSummary>(&m))
            summarized = s->bytes;
        ended = std::holds_alternative<SessionEnd>(m) || std::holds_alternative<SessionError>(m);
    }
    reader.join();
    ::close(data);
    ::close(control);
    return ended ? received : -1;
}

QByteArray httpGet(const char *host, int port)
{
    const int fd = connectTo(host, port);
    if (fd < 0)
        return {};
    sendAll(fd, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray response;
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0)
            break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        response.append(buffer, n);
    }
    ::close(fd);
    return response;
}

const QString kPort = QStringLiteral("(\\d+)");

} // namespace

void TestDualStackServer::initTestCase()
{
    FBinDir = qEnvironmentVariable("KORVANE_BIN_DIR");
    QVERIFY2(QFileInfo::exists(FBinDir + QStringLiteral("/korvane-server")), "KORVANE_BIN_DIR must hold the programs");
    const int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (probe < 0)
        QSKIP("no IPv6 on this machine");
    ::close(probe);
}

void TestDualStackServer::startServer(Server &s, const QStringList &arguments)
{
    s.process = std::make_unique<QProcess>();
    s.process->start(FBinDir + QStringLiteral("/korvane-server"), arguments);
}

void TestDualStackServer::defaultServesBothFamiliesAtOnce()
{
    Server server;
    startServer(server, {"--port", "0", "--session-port", "0", "--bytes", "1000000"});
    const int port = server.waitFor(QRegularExpression("listening on \\[::\\]:" + kPort + " \\(IPv4 and IPv6\\)\n")).toInt();
    const int sessionPort = server.waitFor(QRegularExpression("sessions on \\[::\\]:" + kPort + " \\(IPv4 and IPv6\\)\n")).toInt();
    QVERIFY2(port > 0 && sessionPort > 0, server.log.constData());

    // Both streams are open before either is read: one socket serves the two families together.
    const int v4 = connectTo("127.0.0.1", port);
    const int v6 = connectTo("::1", port);
    QVERIFY(v4 >= 0 && v6 >= 0);
    int64_t got4 = 0;
    int64_t got6 = 0;
    std::thread reader4([&] { got4 = drain(v4); });
    std::thread reader6([&] { got6 = drain(v6); });
    reader4.join();
    reader6.join();
    ::close(v4);
    ::close(v6);
    QCOMPARE(got4, 1000000);
    QCOMPARE(got6, 1000000);

    uint64_t summary4 = 0;
    uint64_t summary6 = 0;
    int64_t session4 = 0;
    int64_t session6 = 0;
    std::thread s4([&] { session4 = downloadSession("127.0.0.1", sessionPort, 3000000, summary4); });
    std::thread s6([&] { session6 = downloadSession("::1", sessionPort, 3000000, summary6); });
    s4.join();
    s6.join();
    QCOMPARE(session4, 3000000);
    QCOMPARE(session6, 3000000);
    QCOMPARE(summary4, 3000000u);
    QCOMPARE(summary6, 3000000u);

    // An IPv4 client is named by its IPv4 address, never as ::ffff:127.0.0.1.
    server.waitFor(QRegularExpression("(\\[::1\\]): session \\w+ download"));
    server.waitFor(QRegularExpression("(127\\.0\\.0\\.1): session \\w+ download"));
    const QString log = QString::fromUtf8(server.log);
    QVERIFY2(log.contains(QRegularExpression("\n127\\.0\\.0\\.1:\\d+: 1000000 bytes in")), qPrintable(log));
    QVERIFY2(log.contains(QRegularExpression("\n\\[::1\\]:\\d+: 1000000 bytes in")), qPrintable(log));
    QVERIFY2(log.contains(QRegularExpression("\n127\\.0\\.0\\.1: session \\w+ download, 1 streams: 3000000 bytes")), qPrintable(log));
    QVERIFY2(log.contains(QRegularExpression("\n\\[::1\\]: session \\w+ download, 1 streams: 3000000 bytes")), qPrintable(log));
    QVERIFY2(!log.contains("ffff"), qPrintable(log));
}

void TestDualStackServer::listenAddresses_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("ipv4");
    QTest::addColumn<bool>("ipv6");

    QTest::newRow("IPv6 loopback") << "::1" << "[::1]" << false << true;
    QTest::newRow("IPv6 loopback in brackets") << "[::1]" << "[::1]" << false << true;
    QTest::newRow("IPv4 loopback") << "127.0.0.1" << "127.0.0.1" << true << false;
    QTest::newRow("IPv4 wildcard") << "0.0.0.0" << "0.0.0.0" << true << false;
    QTest::newRow("IPv6 wildcard written out") << "::" << "[::]" << true << true;
    QTest::newRow("IPv6 wildcard in brackets") << "[::]" << "[::]" << true << true;
}

void TestDualStackServer::listenAddresses()
{
    QFETCH(QString, listen);
    QFETCH(QString, shown);
    QFETCH(bool, ipv4);
    QFETCH(bool, ipv6);

    Server server;
    startServer(server, {"--listen", listen, "--port", "0", "--session-port", "0", "--bytes", "5000"});
    const QString both = ipv4 && ipv6 ? QStringLiteral(" \\(IPv4 and IPv6\\)") : QString();
    const int port = server.waitFor(QRegularExpression("listening on " + QRegularExpression::escape(shown) + ":" + kPort + both + "\n")).toInt();
    const int sessionPort = server.waitFor(QRegularExpression("sessions on " + QRegularExpression::escape(shown) + ":" + kPort + both + "\n")).toInt();
    QVERIFY2(port > 0 && sessionPort > 0, server.log.constData());

    for (const auto &[host, served] : {std::pair{"127.0.0.1", ipv4}, std::pair{"::1", ipv6}}) {
        const int fd = connectTo(host, port);
        QCOMPARE(fd >= 0, served);
        if (fd >= 0) {
            QCOMPARE(drain(fd), 5000);
            ::close(fd);
        }
        uint64_t summary = 0;
        QCOMPARE(downloadSession(host, sessionPort, 20000, summary), served ? 20000 : -1);
    }
}

void TestDualStackServer::badListenAddresses_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    const QString usage = QStringLiteral("listen address must be a numeric IPv4 or IPv6 address (the port goes in --port): ");
    QTest::newRow("IPv4 in brackets") << "[127.0.0.1]" << 2 << usage + "[127.0.0.1]";
    QTest::newRow("port with the address") << "[::1]:8081" << 2 << usage + "[::1]:8081";
    QTest::newRow("IPv4 with a port") << "127.0.0.1:8081" << 2 << usage + "127.0.0.1:8081";
    QTest::newRow("open bracket") << "[::1" << 2 << usage + "[::1";
    QTest::newRow("close bracket") << "::1]" << 2 << usage + "::1]";
    QTest::newRow("empty brackets") << "[]" << 2 << usage + "[]";
    QTest::newRow("nested brackets") << "[[::1]]" << 2 << usage + "[[::1]]";
    QTest::newRow("host name") << "localhost" << 2 << usage + "localhost";
    QTest::newRow("too many groups") << "1:2:3:4:5:6:7:8:9" << 2 << usage + "1:2:3:4:5:6:7:8:9";
    QTest::newRow("IPv4 not on this machine") << "192.0.2.1" << 1
                                             << "cannot listen on 192.0.2.1 port 0: Cannot assign requested address";
    QTest::newRow("IPv6 not on this machine") << "2001:db8::1" << 1
                                             << "cannot listen on [2001:db8::1] port 0: Cannot assign requested address";
    // The same rules for the metrics address, which carries its port.
    QTest::newRow("metrics IPv6 without brackets")
        << "::1 --metrics ::1:9101" << 2
        << "metrics address must be ADDR:PORT with a numeric address, an IPv6 one in brackets ([::1]:9101): ::1:9101";
    QTest::newRow("metrics IPv6 not on this machine") << "::1 --metrics [2001:db8::1]:0" << 1
        << "cannot listen for metrics on [2001:db8::1] port 0: Cannot assign requested address";
    QTest::newRow("IPv6 in brackets not on this machine")
        << "[2001:db8::1]" << 1 << "cannot listen on [2001:db8::1] port 0: Cannot assign requested address";
}

void TestDualStackServer::badListenAddresses()
{
    QFETCH(QString, listen);
    QFETCH(int, status);
    QFETCH(QString, message);

    QProcess bad;
    // Further options may follow the address in the row.
    bad.start(FBinDir + QStringLiteral("/korvane-server"),
              QStringList{"--listen"} + listen.split(u' ') + QStringList{"--port", "0", "--session-port", "0"});
    QVERIFY(bad.waitForFinished(10000));
    QCOMPARE(bad.exitStatus(), QProcess::NormalExit);
    QCOMPARE(bad.exitCode(), status);
    const QString err = QString::fromUtf8(bad.readAllStandardError());
    QVERIFY2(err.startsWith(QStringLiteral("korvane-server: ") + message + QLatin1Char('\n')), qPrintable(err));
    QCOMPARE(err.contains(QStringLiteral("Usage:")), status == 2);
    QVERIFY(!err.contains(QStringLiteral("listening")));
}

void TestDualStackServer::mappedClientsCountAsIPv4()
{
    // One client is one address over either form, so the limit of one session holds.
    Server server;
    startServer(server, {"--port", "0", "--session-port", "0", "--max-sessions-per-address", "1"});
    const int sessionPort = server.waitFor(QRegularExpression("sessions on \\[::\\]:" + kPort)).toInt();
    QVERIFY2(sessionPort > 0, server.log.constData());

    SessionRequest request;
    request.seconds = 2;
    std::string session;
    const int first = connectTo("127.0.0.1", sessionPort);
    QCOMPARE(requestSession(first, request, session), std::string());
    const int mapped = connectTo("::ffff:127.0.0.1", sessionPort);
    QCOMPARE(requestSession(mapped, request, session), std::string("too many sessions from your address"));
    const int other = connectTo("::1", sessionPort);
    QCOMPARE(requestSession(other, request, session), std::string());
    for (int fd : {first, mapped, other})
        ::close(fd);

    const QString refused = server.waitFor(QRegularExpression("\n(\\S+): session refused: too many sessions from your address\n"));
    QCOMPARE(refused, QStringLiteral("127.0.0.1"));
}

void TestDualStackServer::metricsOnIPv6_data()
{
    QTest::addColumn<QString>("metrics");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("ipv4");

    QTest::newRow("IPv6 loopback") << "[::1]:0" << "\\[::1\\]:(\\d+)\n" << false;
    QTest::newRow("both families") << "[::]:0" << "\\[::\\]:(\\d+) \\(IPv4 and IPv6\\)\n" << true;
}

void TestDualStackServer::metricsOnIPv6()
{
    QFETCH(QString, metrics);
    QFETCH(QString, shown);
    QFETCH(bool, ipv4);

    Server server;
    startServer(server, {"--listen", "::1", "--port", "0", "--session-port", "0", "--bytes", "7000", "--metrics", metrics});
    const int metricsPort = server.waitFor(QRegularExpression("metrics on " + shown)).toInt();
    const int port = server.waitFor(QRegularExpression("listening on \\[::1\\]:" + kPort)).toInt();
    QVERIFY2(metricsPort > 0 && port > 0, server.log.constData());
    const int fd = connectTo("::1", port);
    QCOMPARE(drain(fd), 7000);
    ::close(fd);
    // The finished connection is counted once its line is written.
    QVERIFY(!server.waitFor(QRegularExpression("(\\[::1\\]):\\d+: 7000 bytes")).isEmpty());

    const QByteArray response = httpGet("::1", metricsPort);
    QVERIFY2(response.startsWith("HTTP/1.1 200 OK\r\n"), response.constData());
    QVERIFY2(response.contains("\nkorvane_server_connections_total 1\n"), response.constData());
    QCOMPARE(httpGet("127.0.0.1", metricsPort).startsWith("HTTP/1.1 200 OK\r\n"), ipv4);
}

void TestDualStackServer::ipv6SwitchedOffStillServesIPv4()
{
    // A host with IPv6 switched off by its sysctls, in a network namespace of the test's own:
    // the default socket still opens, and IPv4 clients reach it.
    if (QStandardPaths::findExecutable("unshare").isEmpty() || QStandardPaths::findExecutable("ip").isEmpty())
        QSKIP("unshare or ip is missing");
    static const char script[] = R"(
ip link set lo up || exit 90
for f in all default lo; do echo 1 > /proc/sys/net/ipv6/conf/$f/disable_ipv6 || exit 90; done
"$1" --port 0 --session-port 0 --bytes 3000 2>"$2" &
for i in $(seq 200); do
  port=$(sed -n 's/.*listening on .*:\([0-9]*\).*/\1/p' "$2")
  [ -n "$port" ] && break
  sleep 0.05
done
exec 3<>/dev/tcp/127.0.0.1/"$port" && wc -c <&3
kill $!
wait
)";
    QTemporaryDir dir;
    QProcess p;
    p.start("unshare", {"-rn", "bash", "-c", script, "namespace", FBinDir + "/korvane-server", dir.filePath("log")});
    QVERIFY(p.waitForFinished(30000));
    if (p.exitCode() == 90 || p.readAllStandardError().contains("unshare failed"))
        QSKIP("no network namespace of our own here");
    QFile log(dir.filePath("log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    QCOMPARE(p.readAllStandardOutput().trimmed(), QByteArray("3000"));
    QVERIFY2(text.contains("listening on [::]:") && text.contains("\n127.0.0.1:"), text.constData());
}

QTEST_GUILESS_MAIN(TestDualStackServer)
#include "tst_dualstackserver.moc"
