#include "tests/engine/httpclient/LocalWebServer.h"
#include "tests/engine/httpclient/LoopbackPort.h"
#include "tests/engine/StatusText.h"
#include "tests/engine/httpclient/ScriptedHttpServer.h"
#include "engine/httpclient/TAntiFreeze.h"
#include "engine/stream/TKorvane.h"

#include <QtTest>

#include <random>

using Reply = ScriptedHttpServer::Reply;
Q_DECLARE_METATYPE(Reply::After)

namespace {

// Blanks where a folding client would break the line.
QString LongCookieValue()
{
    return QStringLiteral("word ").repeated(400).trimmed();
}

} // namespace

// The web page test against a real web server (nginx on loopback), and korvane-cli --web
// against it and against the scripted server.
class TestWebRealServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void pagesCountedExactly_data();
    void pagesCountedExactly();
    void cliFetchesRealPages();
    void cliReportsFailures_data();
    void cliReportsFailures();
    void longCookieLineIsSentWhole();
    void cliTextShowsServerTextHarmlessly();

private:
    QString url(const QString &path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(FPort).arg(path); }
    QList<QJsonObject> runCli(const QStringList &arguments, int &exitCode);

    QTemporaryDir FDir;
    LocalWebServer FNginx;
    uint16_t FPort = 0;
    bool FHaveNginx = false;
    QByteArray FLargeFile;
    qint64 FIndexSize = 0;
    QString FUtf8Page;
};

void TestWebRealServer::initTestCase()
{
    QVERIFY(FDir.isValid());
    qputenv("XDG_DATA_HOME", FDir.filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", FDir.filePath(QStringLiteral("config")).toUtf8());
    if (!LocalWebServer::Installed())
        return;

    const QString root = FDir.filePath(QStringLiteral("www"));
    QVERIFY(QDir().mkpath(root));
    QFile ascii(root + QStringLiteral("/index.html"));
    QVERIFY(ascii.open(QIODevice::WriteOnly));
    FIndexSize = ascii.write("<html><head><title>Korvane</title></head><body>" + QByteArray(10000, 'k') + "</body></html>\n");
    ascii.close();

    FUtf8Page = QStringLiteral("<html><body>") + QString(3000, QChar(0x00E9)) + QStringLiteral("\U0001F600</body></html>");
    QFile utf8(root + QStringLiteral("/utf8.html"));
    QVERIFY(utf8.open(QIODevice::WriteOnly));
    utf8.write(FUtf8Page.toUtf8());
    utf8.close();

    FLargeFile.resize(24 * 1024 * 1024 + 123);
    std::mt19937 random(42);
    for (char &byte : FLargeFile)
        byte = char(random());
    QFile large(root + QStringLiteral("/large.bin"));
    QVERIFY(large.open(QIODevice::WriteOnly));
    large.write(FLargeFile);
    large.close();

    FPort = unusedLoopbackPort();
    const QString prefix = FDir.path();
    const QString servers = QStringLiteral(
        "  server {\n    listen 127.0.0.1:%2;\n    root %1/www;\n"
        "    location = /utf8.html { charset utf-8; }\n"
        "    location = /setcookie { add_header Set-Cookie \"long=%3\"; return 200 \"set\\n\"; }\n"
        "  }\n").arg(prefix).arg(FPort).arg(LongCookieValue());
    FNginx.Start(prefix, QStringLiteral("application/octet-stream"), servers, {FPort});
    if (QTest::currentTestFailed())
        return;
    FHaveNginx = true;
}

void TestWebRealServer::cleanupTestCase()
{
    FNginx.Stop();
}

void TestWebRealServer::pagesCountedExactly_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("count");
    QTest::newRow("static page") << "/index.html" << qint64(10000 + 47 + 15);
    QTest::newRow("utf-8 page counts characters") << "/utf8.html" << qint64(12 + 3000 + 2 + 14);
    QTest::newRow("large file counts bytes") << "/large.bin" << qint64(24 * 1024 * 1024 + 123);
}

void TestWebRealServer::pagesCountedExactly()
{
    if (!FHaveNginx)
        QSKIP("/usr/sbin/nginx is not installed");
    QFETCH(QString, path);
    QFETCH(qint64, count);
    if (path == QLatin1String("/utf8.html"))
        QCOMPARE(count, qint64(FUtf8Page.size()));
    if (path == QLatin1String("/index.html"))
        QCOMPARE(count, FIndexSize);

    TAntiFreeze freeze;
    TKorvane k;
    QStringList status;
    k.setOnStatusMsg([&status](const QString &line) { status << statusText(line); });
    k.DoTest(TKorvane::ttWebPage, url(path), 0);
    QCOMPARE(k.BytesTransferred(), count);
    QVERIFY(k.ValidResult());
    QVERIFY(k.TestDone());
    const QStringList expected{QStringLiteral("Initiating Test to ") + url(path), QStringLiteral("Connecting to 127.0.0.1."),
                               QStringLiteral("Connected."), QStringLiteral("Receiving data - timer started."),
                               QStringLiteral("Disconnecting."), QStringLiteral("Disconnected.")};
    QCOMPARE(status, expected);
}

QList<QJsonObject> TestWebRealServer::runCli(const QStringList &arguments, int &exitCode)
{
    QList<QJsonObject> results;
    QProcess cli;
    cli.start(qEnvironmentVariable("KORVANE_BIN_DIR") + QStringLiteral("/korvane-cli"), arguments);
    if (!cli.waitForFinished(120000)) {
        cli.kill();
        cli.waitForFinished();
        exitCode = -1;
        return results;
    }
    exitCode = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    for (const QByteArray &line : cli.readAllStandardOutput().split('\n'))
        if (!line.trimmed().isEmpty())
            results << QJsonDocument::fromJson(line).object();
    return results;
}

void TestWebRealServer::cliFetchesRealPages()
{
    if (!FHaveNginx)
        QSKIP("/usr/sbin/nginx is not installed");
    int exitCode = 0;
    const QList<QJsonObject> results = runCli(
        {QStringLiteral("--web"), QStringLiteral("--json"), url(QStringLiteral("/index.html")),
         QStringLiteral("127.0.0.1:%1/large.bin").arg(FPort)},
        exitCode);
    QCOMPARE(exitCode, 0);
    QCOMPARE(results.size(), 2);
    QCOMPARE(results.at(0).value(QStringLiteral("bytes")).toInteger(), FIndexSize);
    QCOMPARE(results.at(1).value(QStringLiteral("target")).toString(), url(QStringLiteral("/large.bin")));
    QCOMPARE(results.at(1).value(QStringLiteral("bytes")).toInteger(), qint64(FLargeFile.size()));
    QCOMPARE(results.at(1).value(QStringLiteral("accumulated_count")).toInt(), 2);
    for (const QJsonObject &result : results) {
        QVERIFY(result.value(QStringLiteral("valid")).toBool());
        QVERIFY(result.value(QStringLiteral("rate_kbps")).toDouble() > 0);
        const QJsonArray log = result.value(QStringLiteral("log")).toArray();
        QVERIFY(log.contains(QStringLiteral("Connected.")));
        QVERIFY(log.contains(QStringLiteral("Receiving data - timer started.")));
    }
}

void TestWebRealServer::cliReportsFailures_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Reply::After>("after");
    QTest::addColumn<QStringList>("extraArguments");
    QTest::addColumn<QString>("error");
    QTest::newRow("error status") << ScriptedHttpServer::response("HTTP/1.1 404 Not Found", "gone") << Reply::KeepOpen
                                  << QStringList() << "HTTP/1.1 404 Not Found";
    QTest::newRow("close before the status line") << QByteArray() << Reply::Close << QStringList()
                                                  << "Connection Closed Gracefully.";
    QTest::newRow("stalled body, cancelled by the time-out")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nabc") << Reply::Stall
        << QStringList{QStringLiteral("--timeout"), QStringLiteral("0.5")}
        << "Test cancelled: no result within 0.5 seconds";
    QTest::newRow("one second") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nabc") << Reply::Stall
                                << QStringList{QStringLiteral("--timeout"), QStringLiteral("1")}
                                << "Test cancelled: no result within 1 second";
    QTest::newRow("blank status line") << QByteArray("\r\nContent-Length: 0\r\n\r\n") << Reply::KeepOpen
                                       << QStringList() << "Empty status line received.";
}

void TestWebRealServer::cliReportsFailures()
{
    QFETCH(QByteArray, reply);
    QFETCH(Reply::After, after);
    QFETCH(QStringList, extraArguments);
    QFETCH(QString, error);
    ScriptedHttpServer server;
    server.setReply("/", reply, after);
    int exitCode = 0;
    const QList<QJsonObject> results =
        runCli(QStringList{QStringLiteral("--web"), QStringLiteral("--json")} + extraArguments
                   + QStringList{QString::fromLatin1(server.url("/"))},
               exitCode);
    QCOMPARE(exitCode, 1);
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.at(0).value(QStringLiteral("error")).toString(), error);
    QVERIFY(!results.at(0).value(QStringLiteral("valid")).toBool());
    QCOMPARE(results.at(0).value(QStringLiteral("accumulated_count")).toInt(), 0);
}

// A folded Cookie line makes nginx answer 400 to every later request to the host.
void TestWebRealServer::longCookieLineIsSentWhole()
{
    if (!FHaveNginx)
        QSKIP("/usr/sbin/nginx is not installed");
    TAntiFreeze freeze;
    TKorvane k;
    k.DoTest(TKorvane::ttWebPage, url(QStringLiteral("/setcookie")), 0);
    QVERIFY(k.ValidResult());
    k.DoTest(TKorvane::ttWebPage, url(QStringLiteral("/index.html")), 0);
    QVERIFY(k.ValidResult());
    QCOMPARE(k.BytesTransferred(), FIndexSize);
}

// Status lines, redirect targets and error texts come from the server: the terminal gets
// none of their control characters raw, and no line is split or overwritten.
void TestWebRealServer::cliTextShowsServerTextHarmlessly()
{
    ScriptedHttpServer server;
    server.setReply("/", ScriptedHttpServer::response("HTTP/1.1 302 Found", "",
                                                      "Location: /x\x1B[2J\x1B]0;owned\x07\rFAKE\x7F\r\n"));
    server.setReply("/x%1B[2J%1B]0;owned%07%0DFAKE%7F", ScriptedHttpServer::response("HTTP/1.1 500 \x1B[31mred\x1B[0m", ""));
    QProcess cli;
    cli.start(qEnvironmentVariable("KORVANE_BIN_DIR") + QStringLiteral("/korvane-cli"),
              {QStringLiteral("--web"), QString::fromLatin1(server.url("/"))});
    QVERIFY(cli.waitForFinished(60000));
    const QByteArray out = cli.readAllStandardOutput();
    for (const char c : out)
        QVERIFY2(c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F), out.toHex().constData());
    QVERIFY2(out.contains("Redirected to /x\\x1B[2J\\x1B]0;owned\\x07\\rFAKE\\x7F. Restarting timer."), out.constData());
    QVERIFY2(out.contains("ERROR - HTTP/1.1 500 \\x1B[31mred\\x1B[0m\n"), out.constData());
}

QTEST_GUILESS_MAIN(TestWebRealServer)
#include "tst_webrealserver.moc"
