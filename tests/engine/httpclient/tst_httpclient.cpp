#include "engine/httpclient/EHttpConnClosedGracefully.h"
#include "engine/httpclient/EHttpConnectTimeout.h"
#include "engine/httpclient/EHttpException.h"
#include "engine/httpclient/EFetchCancelled.h"
#include "engine/httpclient/EHttpProtocolException.h"
#include "engine/httpclient/EHeaderBlockTooLarge.h"
#include "engine/httpclient/EHttpIOHandlerPropInvalid.h"
#include "engine/http/EHttpInvalidUrl.h"
#include "engine/httpclient/EHttpReadLnMaxLineLengthExceeded.h"
#include "engine/httpclient/EHttpSocketError.h"
#include "tests/engine/httpclient/LoopbackPort.h"
#include "tests/engine/httpclient/ScriptedHttpServer.h"
#include "engine/httpclient/TAntiFreeze.h"
#include "engine/httpclient/THttpClient.h"

#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

using Reply = ScriptedHttpServer::Reply;
Q_DECLARE_METATYPE(Reply::After)
Q_DECLARE_METATYPE(QList<Reply>)

namespace {

struct RedirectCall
{
    QString dest;
    int numRedirect;
    bool handled;
    QString method;
};

// A client with its notifications recorded.
struct Client
{
    THttpClient http;
    QStringList statuses;
    QList<RedirectCall> redirects;

    Client()
    {
        http.setHandleRedirects(true);
        http.OnStatus = [this](QObject *, THttpStatus, const QString &text) { statuses << text; };
        http.OnRedirect = [this](QObject *, QString &dest, int &num, bool &handled, QString &method) {
            redirects << RedirectCall{dest, num, handled, method};
        };
    }
};

// count header lines "X-Filler-<n>: " followed by filler, as one block of bytes.
QByteArray headerLines(int count, int fillerLength)
{
    QByteArray lines;
    const QByteArray filler(fillerLength, 'f');
    for (int i = 0; i < count; ++i)
        lines += "X-Filler-" + QByteArray::number(i) + ": " + filler + "\r\n";
    return lines;
}

QStringList connectLines()
{
    return {QStringLiteral("Connecting to 127.0.0.1."), QStringLiteral("Connected.")};
}

} // namespace

class TestHttpClient : public QObject
{
    Q_OBJECT

private slots:
    void requestIsSentExactly();
    void bodyFraming_data();
    void bodyFraming();
    void textLengthWithoutText_data();
    void textLengthWithoutText();
    void textLengthUsesMetaCharsetOfEarlierPage();
    void statusCode_data();
    void statusCode();
    void errorStatus_data();
    void errorStatus();
    void noContentReturnsEmptyText();
    void redirectOnKeptAliveConnection();
    void redirectToAnotherPortReconnects();
    void redirectLimitEndsWithEmptyText();
    void locationHeader_data();
    void locationHeader();
    void unhandledRedirectIsAnError();
    void httpsIsRefusedBeforeConnecting();
    void redirectToHttpsIsRefused();
    void closeBeforeStatusLine();
    void lineLength_data();
    void lineLength();
    void headerBlockSize_data();
    void headerBlockSize();
    void streamingLinesServeTheQueue();
    void keepAliveRule_data();
    void keepAliveRule();
    void connectionReuseIgnoresHostCase();
    void cookiesAreSentBack();
    void metaCookiesBelongToTheirPage();
    void longHeaderLinesAreSentWhole();
    void responsesWithoutBody_data();
    void responsesWithoutBody();
    void closedKeptAliveConnectionIsRetriedOnce_data();
    void closedKeptAliveConnectionIsRetriedOnce();
    void redirectFromHttp10ServerUsesANewConnection();
    void redirectTargets_data();
    void redirectTargets();
    void redirectToInvalidHostIsRefused();
    void ipv6LiteralHostWithRedirectsAndCookies();
    void errorBodyKeepsOnlyItsStart();
    void errorTextCutBetweenCharacters_data();
    void errorTextCutBetweenCharacters();
    void htmlPageCountedAsItArrives();
    void cookieFloodIsBounded();
    void chunkSize_data();
    void chunkSize();
    void nonAsciiBytesInLinesAreSubstituted();
    void refusedConnectionIsSocketError();
    void connectWithoutDescriptorsLeaksNoSocket();
    void cancelEndsEveryWait_data();
    void cancelEndsEveryWait();
    void antiFreezeServesEventsWhileWaiting();
    void onlyOneAntiFreeze();
    void connectTimeout();
};

void TestHttpClient::requestIsSentExactly()
{
    ScriptedHttpServer server;
    server.setReply("/a/b.html?x=1", ScriptedHttpServer::response("HTTP/1.1 200 OK", "hi"));
    Client c;
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/a/b.html?x=1"))), QStringLiteral("hi"));
    const auto requests = server.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.at(0).head,
             "GET /a/b.html?x=1 HTTP/1.1\r\n"
             "Host: 127.0.0.1:" + QByteArray::number(server.port()) + "\r\n"
             "Accept: text/html, */*\r\n"
             "Accept-Encoding: identity\r\n"
             "User-Agent: Mozilla/3.0 (compatible; Korvane Client)\r\n"
             "\r\n");
}

void TestHttpClient::bodyFraming_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Reply::After>("after");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("chunkStarted");

    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    QTest::newRow("content-length") << ok + "Content-Length: 5\r\n\r\nhello" << Reply::KeepOpen
                                    << "hello" << false;
    QTest::newRow("content-length 0") << ok + "Content-Length: 0\r\n\r\n" << Reply::KeepOpen << "" << false;
    QTest::newRow("chunked with extension and trailer")
        << ok + "Transfer-Encoding: chunked\r\n\r\n"
                "1a;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n3\r\n123\r\n0\r\nX-Trailer: t\r\n\r\n"
        << Reply::KeepOpen << "abcdefghijklmnopqrstuvwxyz123" << true;
    QTest::newRow("chunked, case and blanks")
        << ok + "Transfer-Encoding: Chunked\r\n\r\n 4 \r\nwiki\r\n0\r\n\r\n" << Reply::KeepOpen << "wiki" << true;
    QTest::newRow("chunk size not hexadecimal ends the body")
        << ok + "Transfer-Encoding: chunked\r\n\r\n2\r\nab\r\nzz\r\n\r\n" << Reply::KeepOpen << "ab" << true;
    QTest::newRow("short body keeps what arrived")
        << ok + "Content-Length: 100\r\n\r\n" + QByteArray(60, 'x') << Reply::Close << QString(60, u'x') << false;
    QTest::newRow("huge content-length, early close")
        << ok + "Content-Length: 9223372036854775807\r\n\r\nabc" << Reply::Close << "abc" << false;
    QTest::newRow("until close") << ok + "\r\nbody until close" << Reply::Close << "body until close" << false;
    QTest::newRow("negative length reads until close")
        << ok + "Content-Length: -5\r\n\r\nall of it" << Reply::Close << "all of it" << false;
    QTest::newRow("length not a number reads until close")
        << ok + "Content-Length: 12abc\r\n\r\nall of it" << Reply::Close << "all of it" << false;
    QTest::newRow("length beyond 64 bits reads until close")
        << ok + "Content-Length: 99999999999999999999\r\n\r\nall of it" << Reply::Close << "all of it" << false;
    QTest::newRow("header without colon, continuation line")
        << ok + "garbage line\r\nContent-Length:\r\n 3\r\n\r\nabcdef" << Reply::KeepOpen << "abc" << false;
    QTest::newRow("100 continue first")
        << "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Content-Length: 2\r\n\r\nok" << Reply::KeepOpen << "ok" << false;
    QTest::newRow("close inside the header block")
        << ok + "Content-Type: text/plain\r\nX-Half: yes" << Reply::Close << "" << false;
    QTest::newRow("large body in many blocks")
        << ok + "Content-Length: 300000\r\n\r\n" + QByteArray(300000, 'z') << Reply::KeepOpen
        << QString(300000, u'z') << false;
}

void TestHttpClient::bodyFraming()
{
    QFETCH(QByteArray, reply);
    QFETCH(Reply::After, after);
    QFETCH(QString, text);
    QFETCH(bool, chunkStarted);

    ScriptedHttpServer server;
    server.setReply("/", reply, after);
    Client c;
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/"))), text);
    QCOMPARE(c.statuses.contains(QStringLiteral("Chunk Started")), chunkStarted);
    QCOMPARE(c.http.ResponseCode(), 200);

    // Counting instead of decoding reads the same body in the same way.
    ScriptedHttpServer again;
    again.setReply("/", reply, after);
    Client counting;
    QCOMPARE(counting.http.GetTextLength(QString::fromLatin1(again.url("/"))), qint64(text.size()));
    QCOMPARE(counting.statuses, c.statuses);
    QCOMPARE(counting.http.Connected(), c.http.Connected());
}

void TestHttpClient::textLengthWithoutText_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<qint64>("length");

    QByteArray binary(200000, Qt::Uninitialized);
    for (qsizetype i = 0; i < binary.size(); ++i)
        binary[i] = char((i * 7919) >> 3);
    QTest::newRow("binary without charset") << QByteArray("application/octet-stream") << binary << qint64(binary.size());
    QTest::newRow("no content type") << QByteArray() << QByteArray("a\xC3\xA9") << qint64(3);
    QTest::newRow("utf-8") << QByteArray("text/plain; charset=utf-8") << QByteArray("a\xC3\xA9") << qint64(2);
    QTest::newRow("utf-8 astral") << QByteArray("application/json; charset=UTF-8") << QByteArray("\xF0\x9F\x98\x80")
                                  << qint64(2);
    QTest::newRow("invalid utf-8") << QByteArray("text/plain; charset=utf-8") << QByteArray(70000, 'a') + "\xFF"
                                   << qint64(0);
    QTest::newRow("utf-7") << QByteArray("text/plain; charset=UTF-7") << QByteArray("Hi Mom -+Jjo--!") << qint64(11);
    QTest::newRow("utf-16le") << QByteArray("text/plain; charset=utf-16le") << QByteArray("a\0\xE9\0", 4) << qint64(2);
    QTest::newRow("shift_jis") << QByteArray("text/plain; charset=Shift_JIS") << QByteArray("\x82\xA0\x82\xA2")
                               << qint64(2);
    const QByteArray page("<html><head><meta http-equiv=Content-Type content='text/html; charset=utf-8'></head>"
                          "<body>\xC3\xA9</body></html>");
    // The response's ISO-8859-1 wins over the meta charset: one character per byte.
    QTest::newRow("html page with meta charset") << QByteArray("text/html") << page << qint64(page.size());
}

// GetTextLength gives the length of Get's text, whether the body is counted as it arrives
// or held for a meta scan or a code page converter.
void TestHttpClient::textLengthWithoutText()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(qint64, length);

    const QByteArray headers = contentType.isEmpty() ? QByteArray() : "Content-Type: " + contentType + "\r\n";
    ScriptedHttpServer server;
    server.setReply("/", ScriptedHttpServer::response("HTTP/1.1 200 OK", body, headers));
    server.setReply("/chunked", "HTTP/1.1 200 OK\r\n" + headers + "Transfer-Encoding: chunked\r\n\r\n"
                                    + ScriptedHttpServer::chunked({body.left(body.size() / 2), body.mid(body.size() / 2)}));
    Client c;
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/"))).size(), length);
    QCOMPARE(c.http.GetTextLength(QString::fromLatin1(server.url("/"))), length);
    QCOMPARE(c.http.GetTextLength(QString::fromLatin1(server.url("/chunked"))), length);
    QCOMPARE(server.connectionCount(), 1);
}

void TestHttpClient::textLengthUsesMetaCharsetOfEarlierPage()
{
    ScriptedHttpServer server;
    server.setReply("/page", ScriptedHttpServer::response(
                                 "HTTP/1.1 200 OK",
                                 "<html><head><meta http-equiv=Content-Type content='text/html; charset=UTF-8'>",
                                 "Content-Type: text/html\r\n"));
    server.setReply("/data", ScriptedHttpServer::response("HTTP/1.1 200 OK", "a\xC3\xA9",
                                                          "Content-Type: application/octet-stream\r\n"));
    // A body without a charset takes the meta charset of the latest page.
    Client c;
    c.http.Get(QString::fromLatin1(server.url("/page")));
    QCOMPARE(c.http.GetTextLength(QString::fromLatin1(server.url("/data"))), qint64(2));
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/data"))).size(), 2);
}

void TestHttpClient::statusCode_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("code");
    QTest::newRow("plain") << "HTTP/1.1 200 OK" << 200;
    QTest::newRow("blanks skipped") << "HTTP/1.1   404   Not Found" << 404;
    QTest::newRow("no reason") << "HTTP/1.0 302" << 302;
    QTest::newRow("not a number") << "HTTP/1.1 OK 200" << -1;
    QTest::newRow("digits and letters") << "HTTP/1.1 20x OK" << -1;
    QTest::newRow("signed") << "HTTP/1.1 +200 OK" << -1;
    QTest::newRow("no blank") << "garbage" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("too large") << "HTTP/1.1 99999999999 OK" << -1;
}

void TestHttpClient::statusCode()
{
    QFETCH(QString, line);
    QFETCH(int, code);
    QCOMPARE(THttpResponse::ParseStatusCode(line), code);
}

void TestHttpClient::errorStatus_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("errorMessage");

    QTest::newRow("404 with body")
        << ScriptedHttpServer::response("HTTP/1.1 404 Not Found", "<p>gone</p>", "Content-Type: text/html\r\n")
        << "HTTP/1.1 404 Not Found" << 404 << "<p>gone</p>";
    QTest::newRow("error body decoded by its charset")
        << ScriptedHttpServer::response("HTTP/1.1 500 Oops", "a\xC3\xA9", "Content-Type: text/plain; charset=utf-8\r\n")
        << "HTTP/1.1 500 Oops" << 500 << QStringLiteral("a\u00E9");
    QTest::newRow("401 without credentials")
        << ScriptedHttpServer::response("HTTP/1.1 401 Unauthorized", "no", "WWW-Authenticate: Basic realm=\"x\"\r\n")
        << "HTTP/1.1 401 Unauthorized" << 401 << "no";
    QTest::newRow("304 is an error") << QByteArray("HTTP/1.1 304 Not Modified\r\n\r\n")
                                     << "HTTP/1.1 304 Not Modified" << 304 << "";
    QTest::newRow("informational other than 100")
        << QByteArray("HTTP/1.1 199 Odd\r\nContent-Length: 0\r\n\r\n") << "HTTP/1.1 199 Odd" << 199 << "";
    QTest::newRow("malformed status line")
        << QByteArray("ICY 200 OK\r\nContent-Length: 0\r\n\r\n") << "ICY 200 OK" << 200 << "";
    QTest::newRow("blank status line") << QByteArray("\r\nContent-Length: 2\r\n\r\nno")
                                       << "Empty status line received." << -1 << "no";
    QTest::newRow("status line without code")
        << QByteArray("nonsense\r\nContent-Length: 2\r\n\r\nno") << "nonsense" << -1 << "no";
}

void TestHttpClient::errorStatus()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, message);
    QFETCH(int, code);
    QFETCH(QString, errorMessage);

    if (code == 200) {
        // Not HTTP, but its code reads as 200: accepted like any success.
        ScriptedHttpServer server;
        server.setReply("/", reply);
        Client c;
        QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/"))), QString());
        QCOMPARE(c.http.ResponseText(), message);
        return;
    }
    ScriptedHttpServer server;
    server.setReply("/", reply);
    server.setReply("/next", ScriptedHttpServer::response("HTTP/1.1 200 OK", "next"));
    Client c;
    try {
        c.http.Get(QString::fromLatin1(server.url("/")));
        QFAIL("no exception");
    } catch (const EHttpProtocolException &e) {
        QCOMPARE(e.Message(), message);
        QCOMPARE(e.ErrorCode(), code);
        QCOMPARE(e.ErrorMessage(), errorMessage);
    }
    // The error body was read to its end, so the kept-alive connection serves the next fetch.
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/next"))), QStringLiteral("next"));
    QCOMPARE(server.connectionCount(), 1);
}

void TestHttpClient::noContentReturnsEmptyText()
{
    ScriptedHttpServer server;
    server.setReply("/", "HTTP/1.1 204 No Content\r\n\r\n");
    server.setReply("/next", ScriptedHttpServer::response("HTTP/1.1 200 OK", "after"));
    Client c;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/"))), QString());
    QVERIFY2(timer.elapsed() < 3000, "the discard of a 204 body waits briefly only");
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/next"))), QStringLiteral("after"));
    QCOMPARE(server.connectionCount(), 1);
}

void TestHttpClient::redirectOnKeptAliveConnection()
{
    ScriptedHttpServer server;
    server.setReply("/dir/start",
                    ScriptedHttpServer::response("HTTP/1.1 302 Found", "moved body", "Location: ../final.html\r\n"));
    server.setReply("/final.html", ScriptedHttpServer::response("HTTP/1.1 200 OK", "final"));
    Client c;
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/dir/start"))), QStringLiteral("final"));

    QCOMPARE(c.redirects.size(), 1);
    QCOMPARE(c.redirects.at(0).dest, QStringLiteral("../final.html"));
    QCOMPARE(c.redirects.at(0).numRedirect, 1);
    QCOMPARE(c.redirects.at(0).handled, true);
    QCOMPARE(c.redirects.at(0).method, QStringLiteral("GET"));
    QCOMPARE(c.statuses, connectLines());
    const auto requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(1).target(), QByteArray("/final.html"));
    QCOMPARE(requests.at(1).connection, 1);
}

void TestHttpClient::redirectToAnotherPortReconnects()
{
    ScriptedHttpServer first, second;
    first.setReply("/", ScriptedHttpServer::response("HTTP/1.1 301 Moved", "",
                                                     "Location: " + second.url("/there") + "\r\n"));
    second.setReply("/there", ScriptedHttpServer::response("HTTP/1.1 200 OK", "there"));
    Client c;
    QCOMPARE(c.http.Get(QString::fromLatin1(first.url("/"))), QStringLiteral("there"));
    const QStringList expected = connectLines() + QStringList{QStringLiteral("Disconnecting."), QStringLiteral("Disconnected.")}
                                 + connectLines();
    QCOMPARE(c.statuses, expected);
    QCOMPARE(second.requests().size(), 1);
}

void TestHttpClient::redirectLimitEndsWithEmptyText()
{
    ScriptedHttpServer server;
    for (int i = 0; i < 20; ++i)
        server.setReply("/r" + QByteArray::number(i),
                        ScriptedHttpServer::response("HTTP/1.1 302 Found", "x",
                                                     "Location: /r" + QByteArray::number(i + 1) + "\r\n"));
    Client c;
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/r0"))), QString());
    QCOMPARE(c.redirects.size(), 15);
    QCOMPARE(c.redirects.last().numRedirect, 15);
    QCOMPARE(server.requests().size(), 15);
}

void TestHttpClient::locationHeader_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("redirects");
    QTest::newRow("200 with Location is followed") << QByteArray("HTTP/1.1 200 OK") << "target" << 1;
    QTest::newRow("201 with Location is not") << QByteArray("HTTP/1.1 201 Created") << "created" << 0;
}

void TestHttpClient::locationHeader()
{
    QFETCH(QByteArray, status);
    QFETCH(QString, text);
    QFETCH(int, redirects);
    ScriptedHttpServer server;
    server.setReply("/", ScriptedHttpServer::response(status, "created", "Location: /target\r\n"));
    server.setReply("/target", ScriptedHttpServer::response("HTTP/1.1 200 OK", "target"));
    Client c;
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/"))), text);
    QCOMPARE(c.redirects.size(), redirects);
}

void TestHttpClient::unhandledRedirectIsAnError()
{
    ScriptedHttpServer server;
    server.setReply("/", ScriptedHttpServer::response("HTTP/1.1 302 Found", "see", "Location: /x\r\n"));
    Client c;
    c.http.setHandleRedirects(false);
    try {
        c.http.Get(QString::fromLatin1(server.url("/")));
        QFAIL("no exception");
    } catch (const EHttpProtocolException &e) {
        QCOMPARE(e.ErrorCode(), 302);
        QCOMPARE(e.ErrorMessage(), QStringLiteral("see"));
    }
    QCOMPARE(c.redirects.size(), 1);
    QCOMPARE(c.redirects.at(0).handled, false);
}

void TestHttpClient::httpsIsRefusedBeforeConnecting()
{
    ScriptedHttpServer server;
    Client c;
    QVERIFY_THROWS_EXCEPTION(EHttpIOHandlerPropInvalid,
                             c.http.Get(QStringLiteral("https://127.0.0.1:%1/").arg(server.port())));
    try {
        c.http.Get(QStringLiteral("https://127.0.0.1/"));
    } catch (const EHttpException &e) {
        QCOMPARE(e.Message(), QStringLiteral("IOHandler value is not valid"));
    }
    QCOMPARE(c.statuses, QStringList());
    QCOMPARE(server.connectionCount(), 0);
}

void TestHttpClient::redirectToHttpsIsRefused()
{
    ScriptedHttpServer server;
    server.setReply("/", ScriptedHttpServer::response("HTTP/1.1 302 Found", "",
                                                      "Location: https://127.0.0.1/secure\r\n"));
    Client c;
    QVERIFY_THROWS_EXCEPTION(EHttpIOHandlerPropInvalid, c.http.Get(QString::fromLatin1(server.url("/"))));
    QCOMPARE(c.redirects.size(), 1);
    const QStringList expected = connectLines() + QStringList{QStringLiteral("Disconnecting."), QStringLiteral("Disconnected.")};
    QCOMPARE(c.statuses, expected);
}

void TestHttpClient::closeBeforeStatusLine()
{
    ScriptedHttpServer server;
    server.setReply("/", "HTTP/1.1 20", Reply::Close);
    Client c;
    try {
        c.http.Get(QString::fromLatin1(server.url("/")));
        QFAIL("no exception");
    } catch (const EHttpConnClosedGracefully &e) {
        QCOMPARE(e.Message(), QStringLiteral("Connection Closed Gracefully."));
    }
    const QStringList expected = connectLines() + QStringList{QStringLiteral("Disconnected.")};
    QCOMPARE(c.statuses, expected);
    QVERIFY(!c.http.Connected());
}

void TestHttpClient::lineLength_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("fails");
    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    // The limit counts the bytes before the LF, CR included.
    QTest::newRow("LF 16384 bytes ahead") << "HTTP/1.1 200 " + QByteArray(16383 - 13, 'r') + "\r\nContent-Length: 0\r\n\r\n"
                                          << false;
    QTest::newRow("LF 16385 bytes ahead") << "HTTP/1.1 200 " + QByteArray(16384 - 13, 'r') + "\r\n\r\n" << true;
    QTest::newRow("header line far too long") << ok + "X-Long: " + QByteArray(100000, 'h') + "\r\n\r\n" << true;
    QTest::newRow("chunk size line too long")
        << ok + "Transfer-Encoding: chunked\r\n\r\n" + QByteArray(20000, '0') + "1\r\n" << true;
}

void TestHttpClient::lineLength()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, fails);
    ScriptedHttpServer server;
    server.setReply("/", reply);
    Client c;
    if (!fails) {
        QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/"))), QString());
        return;
    }
    try {
        c.http.Get(QString::fromLatin1(server.url("/")));
        QFAIL("no exception");
    } catch (const EHttpReadLnMaxLineLengthExceeded &e) {
        QCOMPARE(e.Message(), QStringLiteral("Max line length exceeded."));
    }
    // The rest of that response must not be taken for the next one.
    QVERIFY(!c.http.Connected());
}

void TestHttpClient::headerBlockSize_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("fails");
    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    QTest::newRow("large block within the limit")
        << ok + headerLines(20000, 30) + "Content-Length: 2\r\n\r\nok" << false;
    QTest::newRow("endless header lines") << ok + headerLines(40000, 40) << true;
    QTest::newRow("endless short lines") << ok + QByteArray(600000, '\n').replace("\n", "a:\n") << true;
    QTest::newRow("endless trailer lines")
        << ok + "Transfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n" + headerLines(40000, 40) << true;
}

// A server cannot make the client hold header or trailer lines without end.
void TestHttpClient::headerBlockSize()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, fails);
    ScriptedHttpServer server;
    server.setReply("/", reply, Reply::Close);
    Client c;
    if (!fails) {
        QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/"))), QStringLiteral("ok"));
        QCOMPARE(c.http.Response().RawHeaders().size(), 20001);
        return;
    }
    try {
        c.http.Get(QString::fromLatin1(server.url("/")));
        QFAIL("no exception");
    } catch (const EHeaderBlockTooLarge &e) {
        QCOMPARE(e.Message(), QStringLiteral("Response header block too large."));
    }
    QVERIFY(!c.http.Connected());
    // The rest of the block is not taken for a next response: the client closed the connection.
    QCOMPARE(c.statuses.mid(c.statuses.size() - 2),
             (QStringList{QStringLiteral("Disconnecting."), QStringLiteral("Disconnected.")}));
}

// Lines that arrive without a pause never reach an idle wait; the queue is still served.
void TestHttpClient::streamingLinesServeTheQueue()
{
    ScriptedHttpServer server;
    server.setReply("/", "HTTP/1.1 200 OK\r\n" + headerLines(20000, 30) + "Content-Length: 2\r\n\r\nok");
    TAntiFreeze freeze;
    Client c;
    c.http.OnStatus = [&c](QObject *, THttpStatus status, const QString &) {
        if (status == hsConnected)
            QTimer::singleShot(0, [&c] { c.http.Cancel(); });
    };
    QVERIFY_THROWS_EXCEPTION(EFetchCancelled, c.http.Get(QString::fromLatin1(server.url("/"))));
    QVERIFY(!c.http.Connected());
}

void TestHttpClient::keepAliveRule_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Reply::After>("after");
    QTest::addColumn<QStringList>("closeLines");
    QTest::addColumn<bool>("connected");
    const QStringList both{QStringLiteral("Disconnecting."), QStringLiteral("Disconnected.")};
    QTest::newRow("HTTP/1.1 default keeps it") << ScriptedHttpServer::response("HTTP/1.1 200 OK", "a")
                                               << Reply::KeepOpen << QStringList() << true;
    // HTTP/1.0 closes after the response unless it says keep-alive, whether or not the
    // server has closed yet.
    QTest::newRow("HTTP/1.0 is closed") << ScriptedHttpServer::response("HTTP/1.0 200 OK", "a")
                                        << Reply::KeepOpen << both << false;
    QTest::newRow("HTTP/1.0 with keep-alive keeps it")
        << ScriptedHttpServer::response("HTTP/1.0 200 OK", "a", "Connection: Keep-Alive\r\n") << Reply::KeepOpen
        << QStringList() << true;
    QTest::newRow("Connection: close") << ScriptedHttpServer::response("HTTP/1.1 200 OK", "a", "Connection:  Close \r\n")
                                       << Reply::KeepOpen << both << false;
    QTest::newRow("Proxy-Connection: close")
        << ScriptedHttpServer::response("HTTP/1.1 200 OK", "a", "Proxy-Connection: close\r\n") << Reply::KeepOpen
        << both << false;
    QTest::newRow("body until the server closes") << QByteArray("HTTP/1.1 200 OK\r\n\r\na") << Reply::Close
                                                   << QStringList{QStringLiteral("Disconnected.")} << false;
}

void TestHttpClient::keepAliveRule()
{
    QFETCH(QByteArray, reply);
    QFETCH(Reply::After, after);
    QFETCH(QStringList, closeLines);
    QFETCH(bool, connected);
    ScriptedHttpServer server;
    server.setReply("/", reply, after);
    Client c;
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/"))), QStringLiteral("a"));
    QCOMPARE(c.statuses, connectLines() + closeLines);
    QCOMPARE(c.http.Connected(), connected);
    c.statuses.clear();
    c.http.Disconnect();
    const QStringList expected = connected ? QStringList{QStringLiteral("Disconnecting."), QStringLiteral("Disconnected.")}
                                           : QStringList();
    QCOMPARE(c.statuses, expected);
}

void TestHttpClient::connectionReuseIgnoresHostCase()
{
    ScriptedHttpServer server;
    server.setReply("/", ScriptedHttpServer::response("HTTP/1.1 200 OK", "a"));
    Client c;
    const QString port = QString::number(server.port());
    c.http.Get(QStringLiteral("http://localhost:%1/").arg(port));
    c.http.Get(QStringLiteral("http://LocalHost:%1/").arg(port));
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(c.statuses.first(), QStringLiteral("Resolving hostname localhost."));
    // Another host name for the same address is another connection.
    c.http.Get(QStringLiteral("http://127.0.0.1:%1/").arg(port));
    QCOMPARE(server.connectionCount(), 2);
}

void TestHttpClient::cookiesAreSentBack()
{
    ScriptedHttpServer server;
    server.setReply("/set", ScriptedHttpServer::response("HTTP/1.1 200 OK", "set",
                                                         "Set-Cookie: a=1\r\nSet-Cookie: b=2; path=/\r\n"));
    server.setReply("/next", ScriptedHttpServer::response("HTTP/1.1 200 OK", "next"));
    Client c;
    QVERIFY(!c.http.CookieManager());
    c.http.Get(QString::fromLatin1(server.url("/set")));
    QVERIFY(c.http.CookieManager());
    c.http.Get(QString::fromLatin1(server.url("/next")));
    const QByteArray head = server.requests().at(1).head;
    QVERIFY2(head.endsWith("User-Agent: Mozilla/3.0 (compatible; Korvane Client)\r\n"
                           "Cookie: a=1\r\nCookie: b=2\r\nCookie2: $Version=\"1\"\r\n\r\n"),
             head.constData());
}

void TestHttpClient::metaCookiesBelongToTheirPage()
{
    ScriptedHttpServer server;
    server.setReply("/page", ScriptedHttpServer::response(
                                 "HTTP/1.1 200 OK",
                                 "<html><head><meta http-equiv=\"Set-Cookie\" content=\"m=1\"></head></html>",
                                 "Content-Type: text/html\r\n"));
    server.setReply("/other", ScriptedHttpServer::response("HTTP/1.1 200 OK", "other", "Set-Cookie: m=2\r\n"));
    server.setReply("/plain", ScriptedHttpServer::response("HTTP/1.1 200 OK", "plain"));
    const QString port = QString::number(server.port());
    Client c;
    c.http.Get(QStringLiteral("http://127.0.0.1:%1/page").arg(port));
    // Another host gets nothing of that page's cookie ...
    c.http.Get(QStringLiteral("http://localhost:%1/plain").arg(port));
    c.http.Get(QStringLiteral("http://localhost:%1/plain").arg(port));
    QVERIFY(!server.requests().at(2).head.contains("m=1"));
    // ... the page's host gets it at once, and a newer value set by a header is not undone.
    c.http.Get(QStringLiteral("http://127.0.0.1:%1/other").arg(port));
    QVERIFY(server.requests().at(3).head.contains("\r\nCookie: m=1\r\n"));
    c.http.Get(QStringLiteral("http://127.0.0.1:%1/plain").arg(port));
    QVERIFY(server.requests().at(4).head.contains("\r\nCookie: m=2\r\n"));
}

void TestHttpClient::chunkSize_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<qint64>("size");
    QTest::newRow("hex") << "1a" << qint64(26);
    QTest::newRow("extension") << "1A;name=value" << qint64(26);
    QTest::newRow("blanks") << "  ff  ; x" << qint64(255);
    QTest::newRow("not hex") << "zz" << qint64(0);
    QTest::newRow("negative") << "-5" << qint64(0);
    QTest::newRow("empty") << "" << qint64(0);
    QTest::newRow("beyond 64 bits") << "1ffffffffffffffff" << qint64(0);
}

void TestHttpClient::chunkSize()
{
    QFETCH(QString, line);
    QFETCH(qint64, size);
    QCOMPARE(THttpClient::ParseChunkSize(line), size);
}

void TestHttpClient::nonAsciiBytesInLinesAreSubstituted()
{
    ScriptedHttpServer server;
    server.setReply("/", ScriptedHttpServer::response("HTTP/1.1 200 Gr\xC3\xBC\xC3\x9F" "e", "ok"));
    Client c;
    c.http.Get(QString::fromLatin1(server.url("/")));
    QCOMPARE(c.http.ResponseText(), QStringLiteral("HTTP/1.1 200 Gr????e"));
    // A URL outside ASCII still leaves as a valid request line.
    QVERIFY_THROWS_EXCEPTION(EHttpProtocolException,
                             c.http.Get(QString::fromLatin1(server.url("/")) + QStringLiteral("\u00E9")));
    const QByteArray head = server.requests().last().head;
    for (char byte : head)
        QVERIFY(static_cast<unsigned char>(byte) < 0x80);
}

void TestHttpClient::refusedConnectionIsSocketError()
{
    Client c;
    try {
        c.http.Get(QStringLiteral("http://127.0.0.1:%1/").arg(unusedLoopbackPort()));
        QFAIL("no exception");
    } catch (const EHttpSocketError &e) {
        QCOMPARE(e.LastError(), ECONNREFUSED);
    }
    QCOMPARE(c.statuses, QStringList(QStringLiteral("Connecting to 127.0.0.1.")));
}

void TestHttpClient::connectWithoutDescriptorsLeaksNoSocket()
{
    Client c;
    const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(unusedLoopbackPort());
    // Once with descriptors to spare: a sanitizer's first look at a type needs some of its own.
    QVERIFY_THROWS_EXCEPTION(EHttpSocketError, c.http.Get(url));
    // Leave exactly one descriptor free: the socket takes it, its connect worker finds none.
    const auto isOpen = [](int fd) { return ::fcntl(fd, F_GETFD) != -1; };
    int free = 0;
    while (isOpen(free))
        ++free;
    int nextFree = free + 1;
    while (isOpen(nextFree))
        ++nextFree;
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
    rlimit low = saved;
    low.rlim_cur = rlim_t(nextFree);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
    auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_NOFILE, &saved); });
    int code = 0;
    try {
        c.http.Get(url);
    } catch (const EHttpSocketError &e) {
        code = e.LastError();
    }
    restore.dismiss();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    QCOMPARE(code, EMFILE);
    QVERIFY2(!isOpen(free), "the socket of the failed connect is still open");
}

void TestHttpClient::cancelEndsEveryWait_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("antiFreeze");
    const QByteArray midBody = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\npartial";
    QTest::newRow("before the status line, other thread") << QByteArray() << false;
    QTest::newRow("in the middle of a body, other thread") << midBody << false;
    QTest::newRow("before the status line, event handler") << QByteArray() << true;
    QTest::newRow("in the middle of a body, event handler") << midBody << true;
    QTest::newRow("in the middle of a chunk, event handler")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100\r\nabc") << true;
}

void TestHttpClient::cancelEndsEveryWait()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, antiFreeze);
    ScriptedHttpServer server;
    server.setReply("/", reply, Reply::Stall);
    Client c;
    std::unique_ptr<TAntiFreeze> freeze;
    std::thread canceller;
    if (antiFreeze) {
        freeze = std::make_unique<TAntiFreeze>();
        QTimer::singleShot(300, [&c] { c.http.Cancel(); });
    } else {
        canceller = std::thread([&c] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            c.http.Cancel();
        });
    }
    QElapsedTimer timer;
    timer.start();
    QVERIFY_THROWS_EXCEPTION(EFetchCancelled, c.http.Get(QString::fromLatin1(server.url("/"))));
    if (canceller.joinable())
        canceller.join();
    QVERIFY(timer.elapsed() < 10000);
    QVERIFY(!c.http.Connected());
    // A new fetch is not affected by the earlier cancel.
    server.setReply("/ok", ScriptedHttpServer::response("HTTP/1.1 200 OK", "fine"));
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/ok"))), QStringLiteral("fine"));
}

void TestHttpClient::antiFreezeServesEventsWhileWaiting()
{
    ScriptedHttpServer server;
    server.setReply("/", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", Reply::Stall);
    TAntiFreeze freeze;
    Client c;
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (++ticks == 6)
            c.http.Cancel();
    });
    tick.start(50);
    QVERIFY_THROWS_EXCEPTION(EFetchCancelled, c.http.Get(QString::fromLatin1(server.url("/"))));
    QCOMPARE(ticks, 6);

    // Without an active one the client blocks and serves nothing: only another thread can cancel.
    freeze.setActive(false);
    ticks = 0;
    std::thread canceller([&c] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        c.http.Cancel();
    });
    QVERIFY_THROWS_EXCEPTION(EFetchCancelled, c.http.Get(QString::fromLatin1(server.url("/"))));
    canceller.join();
    QCOMPARE(ticks, 0);
}

void TestHttpClient::onlyOneAntiFreeze()
{
    TAntiFreeze first;
    try {
        TAntiFreeze second;
        QFAIL("a second one was created");
    } catch (const EHttpException &e) {
        QCOMPARE(e.Message(), QStringLiteral("Only one TAntiFreeze can exist per application."));
    }
    QCOMPARE(TAntiFreeze::Instance(), &first);
}

void TestHttpClient::connectTimeout()
{
    // A listener whose accept queue is full drops further SYNs, so a connect to it hangs.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0);
    QVERIFY(::listen(listener, 0) == 0);
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    QList<int> fillers;
    auto cleanup = qScopeGuard([&] {
        for (int fd : fillers)
            ::close(fd);
        ::close(listener);
    });
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), length);
        fillers << fd;
    }
    QTest::qWait(200);

    TAntiFreeze freeze;
    Client c;
    c.http.setConnectTimeout(500);
    QElapsedTimer timer;
    timer.start();
    try {
        c.http.Get(QStringLiteral("http://127.0.0.1:%1/").arg(ntohs(address.sin_port)));
        QSKIP("this kernel completes connects to a full accept queue");
    } catch (const EHttpConnectTimeout &e) {
        QCOMPARE(e.Message(), QStringLiteral("Connect timed out."));
    } catch (const EHttpException &e) {
        QSKIP(qPrintable(QStringLiteral("connect to a full queue ended otherwise: ") + e.Message()));
    }
    QVERIFY(timer.elapsed() < 10000);
    QVERIFY(!c.http.Connected());
}

// Folding a request header makes servers such as nginx refuse every later request.
void TestHttpClient::longHeaderLinesAreSentWhole()
{
    const QByteArray value = QByteArray("v, ").repeated(1000); // separators a folder would break at
    ScriptedHttpServer server;
    server.setReply("/set", ScriptedHttpServer::response("HTTP/1.1 200 OK", "set",
                                                         "Set-Cookie: long=\"" + value + "\"\r\n"));
    server.setReply("/next", ScriptedHttpServer::response("HTTP/1.1 200 OK", "next"));
    Client c;
    c.http.Get(QString::fromLatin1(server.url("/set")));
    c.http.Get(QString::fromLatin1(server.url("/next")));
    const QByteArray head = server.requests().at(1).head;
    QVERIFY2(head.contains("\r\nCookie: long=" + value + "\r\nCookie2: $Version=\"1\"\r\n\r\n"), head.constData());
    QVERIFY(!head.contains("\r\n "));
}

void TestHttpClient::responsesWithoutBody_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("errorCode");

    // Each reply announces a body that never comes and holds the connection open: reading
    // one, or waiting for the close, would hang the fetch.
    QTest::newRow("204 announcing a length") << QByteArray("HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\n")
                                             << "" << 0;
    QTest::newRow("204 without framing") << QByteArray("HTTP/1.0 204 No Content\r\n\r\n") << "" << 0;
    QTest::newRow("304 announcing a length")
        << QByteArray("HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n") << "" << 304;
    QTest::newRow("304 chunked") << QByteArray("HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n")
                                 << "" << 304;
    QTest::newRow("1xx without framing") << QByteArray("HTTP/1.1 199 Odd\r\n\r\n") << "" << 199;
    QTest::newRow("103 early hints then the page")
        << QByteArray("HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n"
                      "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\npage")
        << "page" << 0;
    QTest::newRow("100 and 103 then the page")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\n\r\n"
                      "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\npage")
        << "page" << 0;
}

void TestHttpClient::responsesWithoutBody()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);
    QFETCH(int, errorCode);
    ScriptedHttpServer server;
    server.setReply("/", reply, Reply::Stall);
    Client c;
    try {
        QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/"))), text);
        QCOMPARE(errorCode, 0);
    } catch (const EHttpProtocolException &e) {
        QCOMPARE(e.ErrorCode(), errorCode);
        QCOMPARE(e.ErrorMessage(), QString());
    }
}

void TestHttpClient::closedKeptAliveConnectionIsRetriedOnce_data()
{
    QTest::addColumn<QList<Reply>>("replies");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("connections");

    const Reply page{ScriptedHttpServer::response("HTTP/1.1 200 OK", "page"), Reply::KeepOpen};
    const Reply closeUnanswered{QByteArray(), Reply::Close};
    QTest::newRow("closed before the response") << QList<Reply>{closeUnanswered, page} << "page" << 2;
    QTest::newRow("closed again on the new connection")
        << QList<Reply>{closeUnanswered, closeUnanswered, page} << "" << 2;
    QTest::newRow("closed inside the status line")
        << QList<Reply>{Reply{"HTTP/1.1 2", Reply::Close}, page} << "" << 1;
}

// A kept-alive connection the server closed before answering gets the GET once more on a new
// connection; a response that had begun is never asked for twice.
void TestHttpClient::closedKeptAliveConnectionIsRetriedOnce()
{
    QFETCH(QList<Reply>, replies);
    QFETCH(QString, text);
    QFETCH(int, connections);
    ScriptedHttpServer server;
    server.setReply("/first", ScriptedHttpServer::response("HTTP/1.1 200 OK", "first"));
    server.setReplies("/second", replies);
    Client c;
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/first"))), QStringLiteral("first"));
    c.statuses.clear();
    if (text.isEmpty()) {
        QVERIFY_THROWS_EXCEPTION(EHttpConnClosedGracefully, c.http.Get(QString::fromLatin1(server.url("/second"))));
    } else {
        QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/second"))), text);
        // the new connection is announced, so the test is timed from it
        QCOMPARE(c.statuses, QStringList{QStringLiteral("Disconnected.")} + connectLines());
    }
    QCOMPARE(server.connectionCount(), connections);
}

// The server closes right after its HTTP/1.0 answer; whether the close has arrived when the
// redirect is followed must not matter.
void TestHttpClient::redirectFromHttp10ServerUsesANewConnection()
{
    ScriptedHttpServer server;
    server.setReply("/old", "HTTP/1.0 302 Found\r\nLocation: /new\r\nContent-Length: 0\r\n\r\n", Reply::Close);
    server.setReply("/new", "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nnew", Reply::Close);
    Client c;
    for (int i = 1; i <= 10; ++i) {
        QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/old"))), QStringLiteral("new"));
        QCOMPARE(server.connectionCount(), 2 * i);
        QVERIFY(!c.http.Connected());
    }
}

void TestHttpClient::redirectTargets_data()
{
    QTest::addColumn<QByteArray>("location");
    QTest::addColumn<QByteArray>("requested");

    QTest::newRow("bytes outside ascii are percent-encoded")
        << QByteArray("/caf\xC3\xA9/\xE2\x82\xAC?q=\xC3\xBC") << QByteArray("/caf%C3%A9/%E2%82%AC?q=%C3%BC");
    QTest::newRow("scheme-relative") << QByteArray("//localhost:PORT/there") << QByteArray("/there");
    QTest::newRow("url in the query stays on the host")
        << QByteArray("/login?back=http://elsewhere/") << QByteArray("/login?back=http://elsewhere/");
    QTest::newRow("port with leading zeros") << QByteArray("http://127.0.0.1:000PORT/z") << QByteArray("/z");
}

void TestHttpClient::redirectTargets()
{
    QFETCH(QByteArray, location);
    QFETCH(QByteArray, requested);
    ScriptedHttpServer server;
    location.replace("PORT", QByteArray::number(server.port()));
    server.setReply("/", ScriptedHttpServer::response("HTTP/1.1 302 Found", "", "Location: " + location + "\r\n"));
    server.setReply(requested, ScriptedHttpServer::response("HTTP/1.1 200 OK", "arrived"));
    Client c;
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/"))), QStringLiteral("arrived"));
    QCOMPARE(server.requests().last().target(), requested);
}

void TestHttpClient::ipv6LiteralHostWithRedirectsAndCookies()
{
    const int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (probe < 0)
        QSKIP("no IPv6 on this machine");
    ::close(probe);
    ScriptedHttpServer server(ScriptedHttpServer::IPv6);
    const QByteArray authority = "[::1]:" + QByteArray::number(server.port());
    // An absolute redirect to the literal, then a relative one that keeps it.
    server.setReply("/start", ScriptedHttpServer::response("HTTP/1.1 302 Found", "",
                                                           "Location: http://" + authority
                                                               + "/a/next\r\nSet-Cookie: s=1\r\n"));
    server.setReply("/a/next", ScriptedHttpServer::response("HTTP/1.1 301 Moved", "", "Location: ../final\r\n"));
    server.setReply("/final", ScriptedHttpServer::response("HTTP/1.1 200 OK", "arrived"));
    server.setReply("/again", ScriptedHttpServer::response("HTTP/1.1 200 OK", "again"));
    Client c;
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/start"))), QStringLiteral("arrived"));
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/again"))), QStringLiteral("again"));

    const QList<ScriptedHttpServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 4);
    QStringList targets;
    for (const auto &request : requests) {
        targets << QString::fromLatin1(request.target());
        QVERIFY2(request.head.contains("\r\nHost: " + authority + "\r\n"), request.head.constData());
    }
    QCOMPARE(targets, QStringList({"/start", "/a/next", "/final", "/again"}));
    QVERIFY2(!requests.at(0).head.contains("Cookie: s=1"), requests.at(0).head.constData());
    for (int i = 1; i < requests.size(); ++i)
        QVERIFY2(requests.at(i).head.contains("\r\nCookie: s=1\r\n"), requests.at(i).head.constData());
    const QList<TNetscapeCookie> cookies = c.http.CookieManager()->Cookies();
    QCOMPARE(cookies.size(), 1);
    QCOMPARE(cookies.first().Domain, QStringLiteral(".::1"));
    QCOMPARE(c.redirects.size(), 2);
    QCOMPARE(c.redirects.at(0).dest, QString::fromLatin1("http://" + authority + "/a/next"));
}

void TestHttpClient::redirectToInvalidHostIsRefused()
{
    ScriptedHttpServer server;
    server.setReply("/", ScriptedHttpServer::response(
                             "HTTP/1.1 302 Found", "",
                             QByteArray("Location: http://evil\0.127.0.0.1:", 33) + QByteArray::number(server.port())
                                 + "/\r\nSet-Cookie: a=1\r\n"));
    Client c;
    try {
        c.http.Get(QString::fromLatin1(server.url("/")));
        QFAIL("no exception");
    } catch (const EHttpInvalidUrl &e) {
        QCOMPARE(e.Message(), QStringLiteral("Invalid URL: the host name is not valid."));
    }
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(c.redirects.size(), 1);
    // the cookie went to the host that set it, nothing to the refused one
    const QList<TNetscapeCookie> cookies = c.http.CookieManager()->Cookies();
    QCOMPARE(cookies.size(), 1);
    QCOMPARE(cookies.first().Domain, QStringLiteral("127.0.0.1"));
}

// A hostile error page of any size is read to its end and only its start kept for the text.
void TestHttpClient::errorBodyKeepsOnlyItsStart()
{
    QByteArray body = "<html><head><meta http-equiv=Set-Cookie content=\"e=1\"></head><body>";
    body += QByteArray("\xC3\xA9").repeated(3 * 1024 * 1024);
    ScriptedHttpServer server;
    server.setReply("/missing", "HTTP/1.1 404 Not Found\r\nContent-Type: text/html; charset=utf-8\r\n"
                                "Transfer-Encoding: chunked\r\n\r\n"
                                    + ScriptedHttpServer::chunked({body.left(100001), body.mid(100001)}));
    server.setReply("/next", ScriptedHttpServer::response("HTTP/1.1 200 OK", "next"));
    Client c;
    try {
        c.http.GetTextLength(QString::fromLatin1(server.url("/missing")));
        QFAIL("no exception");
    } catch (const EHttpProtocolException &e) {
        QCOMPARE(e.ErrorCode(), 404);
        // a whole number of characters: the cut never makes the UTF-8 text invalid
        const QString text = e.ErrorMessage();
        QVERIFY(text.startsWith(QStringLiteral("<html><head>")));
        QVERIFY(text.endsWith(u'\u00e9'));
        QVERIFY(text.toUtf8().size() <= THttpClient::MaxErrorTextBytes);
        QVERIFY(text.toUtf8().size() > THttpClient::MaxErrorTextBytes - 4);
    }
    QCOMPARE(c.http.TextDecoder().MetaSetCookies(), QStringList{QStringLiteral("e=1")});
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/next"))), QStringLiteral("next"));
    QCOMPARE(server.connectionCount(), 1);
}

void TestHttpClient::errorTextCutBetweenCharacters_data()
{
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<int>("kept");
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("ascii") << QByteArray("abc") << 3;
    QTest::newRow("two-byte cut") << QByteArray("a\xC3") << 1;
    QTest::newRow("two-byte whole") << QByteArray("a\xC3\xA9") << 3;
    QTest::newRow("three-byte cut after two") << QByteArray("a\xE2\x82") << 1;
    QTest::newRow("three-byte whole") << QByteArray("a\xE2\x82\xAC") << 4;
    QTest::newRow("four-byte cut after three") << QByteArray("a\xF0\x9F\x98") << 1;
    QTest::newRow("four-byte whole") << QByteArray("a\xF0\x9F\x98\x80") << 5;
    QTest::newRow("stray continuations stay") << QByteArray("\x80\x80") << 2;
}

// The kept start of an error body ends between characters, so a UTF-8 text stays valid.
void TestHttpClient::errorTextCutBetweenCharacters()
{
    QFETCH(QByteArray, prefix);
    QTEST(int(THttpClient::CompleteUtf8Length(prefix)), "kept");
}

// An HTML page is counted block by block while its head is scanned: the count, the meta
// headers and the meta cookies are those of the page held whole.
void TestHttpClient::htmlPageCountedAsItArrives()
{
    QByteArray page = "<html><head><title>t</title><meta http-equiv=\"Set-Cookie\" content=\"m=1\">"
                      "<meta http-equiv=Content-Type content='text/html; charset=koi8-r'></head><body>";
    page += QByteArray("x\xC3\xA9<p>", 6).repeated(200000);
    ScriptedHttpServer server;
    server.setReply("/page", ScriptedHttpServer::response("HTTP/1.1 200 OK", page,
                                                          "Content-Type: text/html; charset=utf-8\r\n"));
    server.setReply("/next", ScriptedHttpServer::response("HTTP/1.1 200 OK", "next"));
    Client held;
    const QString text = held.http.Get(QString::fromLatin1(server.url("/page")));
    QCOMPARE(text.size(), page.size() - 200000);
    Client counted;
    QCOMPARE(counted.http.GetTextLength(QString::fromLatin1(server.url("/page"))), qint64(text.size()));
    QCOMPARE(counted.http.TextDecoder().MetaHeaders().Lines(), held.http.TextDecoder().MetaHeaders().Lines());
    QCOMPARE(counted.http.TextDecoder().MetaCharset(), QStringLiteral("koi8-r"));
    counted.http.Get(QString::fromLatin1(server.url("/next")));
    QVERIFY(server.requests().last().head.contains("\r\nCookie: m=1\r\n"));
}

// Tens of thousands of Set-Cookie lines are stored in linear time and within the limits.
void TestHttpClient::cookieFloodIsBounded()
{
    QByteArray lines;
    for (int i = 0; i < 40000; ++i)
        lines += "Set-Cookie: c" + QByteArray::number(i) + "=" + QByteArray::number(i) + "\r\n";
    ScriptedHttpServer server;
    server.setReply("/", ScriptedHttpServer::response("HTTP/1.1 200 OK", "ok", lines));
    server.setReply("/next", ScriptedHttpServer::response("HTTP/1.1 200 OK", "next"));
    Client c;
    QCOMPARE(c.http.Get(QString::fromLatin1(server.url("/"))), QStringLiteral("ok"));
    const QList<TNetscapeCookie> cookies = c.http.CookieManager()->Cookies();
    QCOMPARE(cookies.size(), TCookieManager::MaxCookiesPerDomain);
    // the newest stay
    QCOMPARE(cookies.first().CookieName, QStringLiteral("c%1").arg(40000 - TCookieManager::MaxCookiesPerDomain));
    QCOMPARE(cookies.last().CookieName, QStringLiteral("c39999"));
    c.http.Get(QString::fromLatin1(server.url("/next")));
    QVERIFY(server.requests().last().head.contains("\r\nCookie: c39999=39999\r\n"));
}

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_httpclient.moc"
