#include "engine/ApplicationExceptionHandler.h"
#include "engine/KorvaneException.h"
#include "tests/engine/LoopbackStreamServer.h"
#include "tests/engine/StatusText.h"
#include "tests/engine/WaitForTest.h"
#include "engine/httpclient/TAntiFreeze.h"
#include "engine/stream/TKorvane.h"

#include <QtTest>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

const QString kTimerStarted = QStringLiteral("Receiving data - timer started.");

// Sends total bytes in pieces with a pause after each, so a test lasts long enough for
// several progress reports.
void sendPaced(int fd, const LoopbackStreamServer &server, int64_t total, int piece, int pauseMs)
{
    const QByteArray block(piece, 'x');
    for (int64_t sent = 0; sent < total && !server.stopping();) {
        const int n = int(std::min<int64_t>(piece, total - sent));
        if (!LoopbackStreamServer::sendAll(fd, uint64_t(n)))
            return;
        sent += n;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
}

// Reads the request head, so the reply cannot be taken for an early answer.
void readRequestHead(int fd)
{
    QByteArray head;
    char buffer[4096];
    for (int rounds = 0; rounds < 200 && !head.contains("\r\n\r\n"); ++rounds) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return;
        head.append(buffer, got);
    }
}

struct Recorded
{
    QList<TTestProgress> reports;
    bool timerStartedFirst = true; // every report came after the timer-started line
    int afterDone = 0;             // reports that arrived once the test was done
};

} // namespace

class TestTestProgress : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void streamProgress_data();
    void streamProgress();
    void webProgress_data();
    void webProgress();
    void switchedOff();
    void nothingAfterAnEarlyEnd_data();
    void nothingAfterAnEarlyEnd();

private:
    void watch(TKorvane &k, Recorded &r);
    // Keeps the event loop running a while after the end, where a stray report would land.
    void settle(int ms);
    void checkSeries(const Recorded &r, int64_t finalCount, int minimumReports);

    QStringList FStatus;
    QStringList FErrors;
};

void TestTestProgress::init()
{
    FStatus.clear();
    FErrors.clear();
    setApplicationExceptionHandler([this](const std::exception &e) {
        const auto *own = dynamic_cast<const Exception *>(&e);
        FErrors << (own ? own->Message() : QString::fromUtf8(e.what()));
    });
}

void TestTestProgress::cleanup()
{
    setApplicationExceptionHandler({});
}

void TestTestProgress::watch(TKorvane &k, Recorded &r)
{
    k.setOnStatusMsg([this](const QString &line) { FStatus << statusText(line); });
    k.setOnProgress([this, &k, &r](const TTestProgress &p) {
        if (!FStatus.contains(kTimerStarted))
            r.timerStartedFirst = false;
        if (k.TestDone())
            ++r.afterDone;
        r.reports << p;
    });
}

void TestTestProgress::settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void TestTestProgress::checkSeries(const Recorded &r, int64_t finalCount, int minimumReports)
{
    QVERIFY2(r.reports.size() >= minimumReports, qPrintable(QString::number(r.reports.size())));
    QVERIFY(r.timerStartedFirst);
    QCOMPARE(r.afterDone, 0);
    int64_t bytes = 0;
    int64_t elapsed = 0;
    for (const TTestProgress &p : r.reports) {
        QVERIFY2(p.BytesSoFar >= bytes, "bytes so far went back");
        QVERIFY2(p.ElapsedUs > elapsed, "elapsed time stood still");
        // Each interval is exactly the step from the previous report.
        QCOMPARE(p.IntervalBytes, p.BytesSoFar - bytes);
        QCOMPARE(p.IntervalUs, p.ElapsedUs - elapsed);
        QVERIFY(p.IntervalUs > 0);
        QVERIFY(qAbs(p.IntervalRate - p.IntervalBytes / 1024.0 / (p.IntervalUs / 1e6)) <= 1e-6 * (1 + p.IntervalRate));
        bytes = p.BytesSoFar;
        elapsed = p.ElapsedUs;
    }
    QVERIFY2(bytes <= finalCount, qPrintable(QStringLiteral("%1 > %2").arg(bytes).arg(finalCount)));
    QVERIFY2(bytes > 0, "no data seen while the test ran");
}

void TestTestProgress::streamProgress_data()
{
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<int>("minimumReports");

    // About 1.2 s of paced data.
    QTest::newRow("every 50 ms") << 50 << 10;
    QTest::newRow("every 250 ms") << 250 << 3;
}

void TestTestProgress::streamProgress()
{
    QFETCH(int, intervalMs);
    QFETCH(int, minimumReports);

    constexpr int64_t total = 64 * 1024 * 60;
    LoopbackStreamServer server;
    server.serveOnce([](int fd, LoopbackStreamServer &s) { sendPaced(fd, s, total, 64 * 1024, 20); });

    TKorvane k;
    Recorded r;
    watch(k, r);
    k.setProgressInterval(intervalMs);
    k.DoTest(TKorvane::ttServerStream, QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(waitDone(k));
    server.join();
    settle(intervalMs * 3);

    QVERIFY(FErrors.isEmpty());
    QCOMPARE(k.BytesTransferred(), total);
    QVERIFY(k.ValidResult());
    QCOMPARE(k.AccumulatedTestCount(), 1);
    checkSeries(r, k.BytesTransferred(), minimumReports);
    for (const TTestProgress &p : std::as_const(r.reports))
        QCOMPARE(p.ExpectedBytes, int64_t(-1));
    // The paced rate is about 3 MB/s; the middle half of the reports sees it, not a burst or a
    // standstill (a single short interval on a busy machine may hold no data at all).
    const TTestProgress &from = r.reports.at(r.reports.size() / 4);
    const TTestProgress &to = r.reports.at(r.reports.size() * 3 / 4);
    QVERIFY(to.ElapsedUs > from.ElapsedUs);
    const double middleRate = (to.BytesSoFar - from.BytesSoFar) / 1024.0 / ((to.ElapsedUs - from.ElapsedUs) / 1e6);
    QVERIFY2(middleRate > 500 && middleRate < 20000, qPrintable(QString::number(middleRate)));
}

void TestTestProgress::webProgress_data()
{
    QTest::addColumn<bool>("announced");
    QTest::addColumn<bool>("chunked");

    QTest::newRow("content length") << true << false;
    QTest::newRow("read until close") << false << false;
    QTest::newRow("chunked") << false << true;
}

void TestTestProgress::webProgress()
{
    QFETCH(bool, announced);
    QFETCH(bool, chunked);

    constexpr int piece = 32 * 1024;
    constexpr int pieces = 40;
    constexpr int64_t total = int64_t(piece) * pieces;
    LoopbackStreamServer server;
    server.serveOnce([=](int fd, LoopbackStreamServer &s) {
        readRequestHead(fd);
        QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=us-ascii\r\nConnection: close\r\n";
        if (announced)
            head += "Content-Length: " + QByteArray::number(total) + "\r\n";
        if (chunked)
            head += "Transfer-Encoding: chunked\r\n";
        head += "\r\n";
        ::send(fd, head.constData(), size_t(head.size()), MSG_NOSIGNAL);
        const QByteArray body(piece, 'a');
        for (int i = 0; i < pieces && !s.stopping(); ++i) {
            QByteArray out = chunked ? QByteArray::number(piece, 16) + "\r\n" + body + "\r\n" : body;
            ::send(fd, out.constData(), size_t(out.size()), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        if (chunked)
            ::send(fd, "0\r\n\r\n", 5, MSG_NOSIGNAL);
    });

    // The web fetch serves the event loop, and so the progress timer, through the anti-freeze.
    TAntiFreeze freeze;
    TKorvane k;
    Recorded r;
    watch(k, r);
    k.setProgressInterval(50);
    k.DoTest(TKorvane::ttWebPage, QStringLiteral("http://127.0.0.1:%1/").arg(server.port()), 0);
    QVERIFY(k.TestDone());
    server.join();
    settle(150);

    QVERIFY2(FErrors.isEmpty(), qPrintable(FErrors.join(u'\n')));
    QCOMPARE(k.BytesTransferred(), total);
    checkSeries(r, k.BytesTransferred(), 8);
    for (const TTestProgress &p : std::as_const(r.reports))
        QCOMPARE(p.ExpectedBytes, announced ? total : int64_t(-1));
}

void TestTestProgress::switchedOff()
{
    LoopbackStreamServer server;
    server.serveOnce([](int fd, LoopbackStreamServer &s) { sendPaced(fd, s, 16 * 64 * 1024, 64 * 1024, 20); });

    TKorvane k;
    Recorded r;
    watch(k, r);
    k.setProgressInterval(0);
    k.DoTest(TKorvane::ttServerStream, QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(waitDone(k));
    server.join();
    settle(100);
    QVERIFY(k.ValidResult());
    QCOMPARE(r.reports.size(), 0);
}

void TestTestProgress::nothingAfterAnEarlyEnd_data()
{
    QTest::addColumn<bool>("cancel");

    QTest::newRow("cancelled") << true;
    QTest::newRow("connection reset") << false;
}

void TestTestProgress::nothingAfterAnEarlyEnd()
{
    QFETCH(bool, cancel);

    LoopbackStreamServer server;
    server.serveOnce([cancel](int fd, LoopbackStreamServer &s) {
        sendPaced(fd, s, 10 * 64 * 1024, 64 * 1024, 20);
        if (cancel) {
            LoopbackStreamServer::holdUntilClientCloses(fd, s);
        } else {
            const linger reset{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
    });

    TKorvane k;
    Recorded r;
    watch(k, r);
    k.setProgressInterval(20);
    if (cancel) {
        // Cancelled from inside a report, the way a user's Esc arrives mid-test.
        k.setOnProgress([this, &k, &r](const TTestProgress &p) {
            if (k.TestDone())
                ++r.afterDone;
            r.reports << p;
            if (p.ElapsedUs > 300000)
                k.CancelTest();
        });
    }
    k.DoTest(TKorvane::ttServerStream, QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(waitDone(k));
    const qsizetype atEnd = r.reports.size();
    settle(200);
    server.join();

    QCOMPARE(k.TestCancelled(), cancel);
    QVERIFY(!k.ValidResult());
    QVERIFY(atEnd > 0);
    QCOMPARE(r.reports.size(), atEnd);
    QCOMPARE(r.afterDone, 0);
    QCOMPARE(FErrors.size(), cancel ? 0 : 1);
}

QTEST_GUILESS_MAIN(TestTestProgress)
#include "tst_testprogress.moc"
