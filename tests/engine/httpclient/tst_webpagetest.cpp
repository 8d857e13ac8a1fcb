#include "engine/DateTimeSerial.h"
#include "tests/engine/StatusText.h"
#include "engine/httpclient/EHttpProtocolException.h"
#include "engine/httpclient/EHttpIOHandlerPropInvalid.h"
#include "engine/EKorvnError.h"
#include "tests/engine/httpclient/LoopbackPort.h"
#include "tests/engine/httpclient/ScriptedHttpServer.h"
#include "engine/httpclient/TAntiFreeze.h"
#include "engine/stream/TKorvane.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using Reply = ScriptedHttpServer::Reply;

namespace {

const QString kInitiating = QStringLiteral("Initiating Test to ");
const QString kConnecting = QStringLiteral("Connecting to 127.0.0.1.");
const QString kConnected = QStringLiteral("Connected.");
const QString kTimerStarted = QStringLiteral("Receiving data - timer started.");
const QString kDisconnecting = QStringLiteral("Disconnecting.");
const QString kDisconnected = QStringLiteral("Disconnected.");

} // namespace

class TestWebPageTest : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void countsDecodedText_data();
    void countsDecodedText();
    void statusLinesOfAKeptAliveFetch();
    void fetchThatEndsTheConnection();
    void hostNameIsResolvedFirst();
    void redirectOnSameConnectionKeepsTimer();
    void redirectToAnotherPortRestartsTimer();
    void socketErrorsBecomeKorvnError();
    void otherFailuresPassUnchanged();
    void failedFetchLeavesNoConnectionBehind();
    void httpsFailsBeforeAnyConnectionLine();
    void cancelEndsAWebTest_data();
    void cancelEndsAWebTest();
    void cookiesReachALaterTest();

private:
    void watch(TKorvane &k);
    QStringList FStatus;
};

void TestWebPageTest::init()
{
    FStatus.clear();
}

void TestWebPageTest::watch(TKorvane &k)
{
    k.setOnStatusMsg([this](const QString &line) { FStatus << statusText(line); });
}

void TestWebPageTest::countsDecodedText_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("count");

    const QByteArray ae = "a\xC3\xA9";
    QTest::newRow("utf-8 counts characters") << QByteArray("text/html; charset=utf-8") << ae << 2;
    QTest::newRow("charset name in any case") << QByteArray("text/html; charset=UTF-8") << ae << 2;
    QTest::newRow("iso-8859-1 counts bytes") << QByteArray("text/html; charset=ISO-8859-1") << ae << 3;
    QTest::newRow("text type without charset") << QByteArray("text/html") << ae << 3;
    QTest::newRow("no content type") << QByteArray() << ae << 3;
    QTest::newRow("unknown charset counts bytes") << QByteArray("text/plain; charset=x-nonsense") << ae << 3;
    QTest::newRow("above U+FFFF counts two units")
        << QByteArray("text/plain; charset=utf-8") << QByteArray("\xF0\x9F\x98\x80") << 2;
    QTest::newRow("invalid utf-8 counts nothing") << QByteArray("text/html; charset=utf-8") << QByteArray("\xFF") << 0;
    QTest::newRow("shift_jis") << QByteArray("text/plain; charset=Shift_JIS") << QByteArray("\x82\xA0x") << 2;
    QTest::newRow("empty page") << QByteArray("text/html") << QByteArray() << 0;
}

void TestWebPageTest::countsDecodedText()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(int, count);

    ScriptedHttpServer server;
    server.setReply("/", ScriptedHttpServer::response(
                             "HTTP/1.1 200 OK", body,
                             contentType.isEmpty() ? QByteArray() : "Content-Type: " + contentType + "\r\n"));
    TKorvane k;
    k.DoTest(TKorvane::ttWebPage, QString::fromLatin1(server.url("/")), 0);
    QCOMPARE(k.BytesTransferred(), qint64(count));
    QVERIFY(k.TestDone());
    QCOMPARE(k.ValidResult(), count > 0);
    QCOMPARE(k.AccumulatedTestCount(), 1);
    if (count == 0)
        QCOMPARE(k.AccumulatedAverageSpeed(), 0.0);
}

void TestWebPageTest::statusLinesOfAKeptAliveFetch()
{
    ScriptedHttpServer server;
    server.setReply("/page", ScriptedHttpServer::response("HTTP/1.1 200 OK", QByteArray(5000, 'p')));
    TKorvane k;
    watch(k);
    const QString url = QString::fromLatin1(server.url("/page"));
    const double before = DateTimeSerial::fromDateTime(QDateTime::currentDateTime());
    k.DoTest(TKorvane::ttWebPage, url, 0);

    const QStringList expected{kInitiating + url, kConnecting, kConnected, kTimerStarted, kDisconnecting, kDisconnected};
    QCOMPARE(FStatus, expected);
    QCOMPARE(k.BytesTransferred(), qint64(5000));
    QVERIFY(k.ValidResult());
    QVERIFY(k.TransferTimeMs() > 0);
    QVERIFY(k.StartTime() >= before);
    QVERIFY(!k.stHTTP->Connected());
    QCOMPARE(k.AccumulatedTestCount(), 1);
    QCOMPARE(k.AccumulatedAverageSpeed(), k.TransferRateSec());
}

void TestWebPageTest::fetchThatEndsTheConnection()
{
    ScriptedHttpServer server;
    server.setReply("/", QByteArray("HTTP/1.1 200 OK\r\n\r\nuntil close"), Reply::Close);
    TKorvane k;
    watch(k);
    k.DoTest(TKorvane::ttWebPage, QString::fromLatin1(server.url("/")), 0);
    // The server's close is noticed while reading; nothing is left to disconnect afterwards.
    QCOMPARE(FStatus.mid(1), (QStringList{kConnecting, kConnected, kTimerStarted, kDisconnected}));
    QCOMPARE(k.BytesTransferred(), qint64(11));
}

void TestWebPageTest::hostNameIsResolvedFirst()
{
    ScriptedHttpServer server;
    server.setReply("/", ScriptedHttpServer::response("HTTP/1.1 200 OK", "x"));
    TKorvane k;
    watch(k);
    k.DoTest(TKorvane::ttWebPage, QStringLiteral("http://localhost:%1/").arg(server.port()), 0);
    QCOMPARE(FStatus.at(1), QStringLiteral("Resolving hostname localhost."));
    QCOMPARE(FStatus.at(2), kConnecting);
}

void TestWebPageTest::redirectOnSameConnectionKeepsTimer()
{
    ScriptedHttpServer server;
    server.setReply("/a", ScriptedHttpServer::response("HTTP/1.1 302 Found", "", "Location: /b\r\n"));
    server.setReply("/b", ScriptedHttpServer::response("HTTP/1.1 200 OK", "final"));
    TKorvane k;
    watch(k);
    k.DoTest(TKorvane::ttWebPage, QString::fromLatin1(server.url("/a")), 0);
    const QStringList expected{kConnecting, kConnected, kTimerStarted,
                               QStringLiteral("Redirected to /b. Restarting timer."), kDisconnecting, kDisconnected};
    QCOMPARE(FStatus.mid(1), expected);
    QCOMPARE(k.BytesTransferred(), qint64(5));
    QCOMPARE(server.connectionCount(), 1);
}

void TestWebPageTest::redirectToAnotherPortRestartsTimer()
{
    ScriptedHttpServer first, second;
    const QByteArray target = second.url("/there");
    first.setReply("/", ScriptedHttpServer::response("HTTP/1.1 301 Moved", "", "Location: " + target + "\r\n"));
    second.setReply("/there", ScriptedHttpServer::response("HTTP/1.1 200 OK", "arrived"));
    TKorvane k;
    double atRedirect = 0;
    k.setOnStatusMsg([&](const QString &line) {
        FStatus << statusText(line);
        if (statusText(line).startsWith(QLatin1String("Redirected to ")))
            atRedirect = DateTimeSerial::fromDateTime(QDateTime::currentDateTime());
    });
    k.DoTest(TKorvane::ttWebPage, QString::fromLatin1(first.url("/")), 0);

    const QStringList expected{kConnecting, kConnected, kTimerStarted,
                               QStringLiteral("Redirected to %1. Restarting timer.").arg(QString::fromLatin1(target)),
                               kDisconnecting, kDisconnected, kConnecting, kConnected, kTimerStarted,
                               kDisconnecting, kDisconnected};
    QCOMPARE(FStatus.mid(1), expected);
    QVERIFY(atRedirect > 0);
    QVERIFY(k.StartTime() >= atRedirect); // the second connect started the stopwatch again
    QCOMPARE(k.BytesTransferred(), qint64(7));
}

void TestWebPageTest::socketErrorsBecomeKorvnError()
{
    TKorvane k;
    watch(k);
    try {
        k.DoTest(TKorvane::ttWebPage, QStringLiteral("http://127.0.0.1:%1/").arg(unusedLoopbackPort()), 0);
        QFAIL("no exception");
    } catch (const EKorvnError &e) {
        QCOMPARE(e.Message(), QStringLiteral("Korvane Socket Error #%1 - Connection refused").arg(ECONNREFUSED));
    }
    try {
        k.DoTest(TKorvane::ttWebPage, QStringLiteral("http://no-such-host.invalid/"), 0);
        QFAIL("no exception");
    } catch (const EKorvnError &e) {
        QVERIFY2(QRegularExpression(QStringLiteral("^Korvane Socket Error #-?\\d+ - \\S.*[^.]$")).match(e.Message()).hasMatch(),
                 qPrintable(e.Message()));
    }
    QVERIFY(FStatus.contains(QStringLiteral("Resolving hostname no-such-host.invalid.")));
    QVERIFY(!k.TestDone());
    QCOMPARE(k.AccumulatedTestCount(), 0);
}

void TestWebPageTest::otherFailuresPassUnchanged()
{
    ScriptedHttpServer server;
    server.setReply("/missing", ScriptedHttpServer::response("HTTP/1.1 404 Not Found", "nope"));
    TKorvane k;
    k.RestoreAccumulatedResults(2, 50.0);
    try {
        k.DoTest(TKorvane::ttWebPage, QString::fromLatin1(server.url("/missing")), 0);
        QFAIL("no exception");
    } catch (const EHttpProtocolException &e) {
        QCOMPARE(e.Message(), QStringLiteral("HTTP/1.1 404 Not Found"));
        QCOMPARE(e.ErrorMessage(), QStringLiteral("nope"));
    }
    QVERIFY(!k.TestDone());
    QVERIFY(!k.ValidResult());
    QCOMPARE(k.BytesTransferred(), qint64(0));
    QCOMPARE(k.AccumulatedTestCount(), 2);
    QCOMPARE(k.AccumulatedAverageSpeed(), 50.0);
}

void TestWebPageTest::failedFetchLeavesNoConnectionBehind()
{
    ScriptedHttpServer server;
    server.setReply("/missing", ScriptedHttpServer::response("HTTP/1.1 404 Not Found", "nope"));
    server.setReply("/page", ScriptedHttpServer::response("HTTP/1.1 200 OK", "page"));
    TKorvane k;
    watch(k);
    QVERIFY_THROWS_EXCEPTION(EHttpProtocolException,
                             k.DoTest(TKorvane::ttWebPage, QString::fromLatin1(server.url("/missing")), 0));
    QVERIFY(!k.stHTTP->Connected());
    FStatus.clear();
    k.DoTest(TKorvane::ttWebPage, QString::fromLatin1(server.url("/page")), 0);
    // The next test connects anew, so its time and start are its own.
    QCOMPARE(FStatus.mid(1, 3), (QStringList{kConnecting, kConnected, kTimerStarted}));
    QCOMPARE(server.connectionCount(), 2);
    QVERIFY(k.StartTime() > 0);
}

void TestWebPageTest::httpsFailsBeforeAnyConnectionLine()
{
    TKorvane k;
    watch(k);
    try {
        k.DoTest(TKorvane::ttWebPage, QStringLiteral("https://127.0.0.1/"), 0);
        QFAIL("no exception");
    } catch (const EHttpIOHandlerPropInvalid &e) {
        QCOMPARE(e.Message(), QStringLiteral("IOHandler value is not valid"));
    }
    QCOMPARE(FStatus, QStringList(kInitiating + QStringLiteral("https://127.0.0.1/")));
    QCOMPARE(k.StartTime(), -1.0);
}

void TestWebPageTest::cancelEndsAWebTest_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("server silent") << QByteArray();
    QTest::newRow("server stalls in the body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc");
}

void TestWebPageTest::cancelEndsAWebTest()
{
    QFETCH(QByteArray, reply);
    ScriptedHttpServer server;
    server.setReply("/", reply, Reply::Stall);
    TAntiFreeze freeze;
    TKorvane k;
    k.RestoreAccumulatedResults(1, 10.0);
    QTimer::singleShot(300, [&k] { k.CancelTest(); });
    k.DoTest(TKorvane::ttWebPage, QString::fromLatin1(server.url("/")), 0);
    QVERIFY(k.TestDone());
    QVERIFY(k.TestCancelled());
    QVERIFY(!k.ValidResult());
    QVERIFY(!k.stHTTP->Connected());
    QCOMPARE(k.AccumulatedTestCount(), 1);
    QCOMPARE(k.AccumulatedAverageSpeed(), 10.0);
}

void TestWebPageTest::cookiesReachALaterTest()
{
    ScriptedHttpServer server;
    server.setReply("/login", ScriptedHttpServer::response("HTTP/1.1 200 OK", "in", "Set-Cookie: session=42\r\n"));
    server.setReply("/page", ScriptedHttpServer::response("HTTP/1.1 200 OK", "page"));
    TKorvane k;
    k.DoTest(TKorvane::ttWebPage, QString::fromLatin1(server.url("/login")), 0);
    k.DoTest(TKorvane::ttWebPage, QString::fromLatin1(server.url("/page")), 0);
    QVERIFY(server.requests().at(1).head.contains("\r\nCookie: session=42\r\n"));
}

QTEST_GUILESS_MAIN(TestWebPageTest)
#include "tst_webpagetest.moc"
