#include "tests/engine/LoopbackStreamServer.h"

#include "engine/ApplicationExceptionHandler.h"
#include "engine/KorvaneException.h"
#include "engine/run/TTestRun.h"
#include "engine/stream/TKorvane.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

// One test run from a plan to its outcome, as every front end sees it.
class tst_TestRun : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void streamOutcome_data();
    void streamOutcome();
    void timeLimitCancelsAndSaysSo();
    void escDuringIdleProbesEndsBeforeTheTest();
    void oneRunAtATime();

private:
    // Serves the event loop until the run has ended; false after timeoutMs.
    bool waitEnded(int timeoutMs = 20000);

    std::unique_ptr<TKorvane> FMeasurement;
    std::unique_ptr<TTestRun> FRun;
};

namespace {

// A stream that never ends by itself: a little data, then silence until the client goes.
void SendALittleThenNothing(int fd, LoopbackStreamServer& server)
{
    LoopbackStreamServer::sendAll(fd, 4096);
    LoopbackStreamServer::holdUntilClientCloses(fd, server);
}

} // namespace

void tst_TestRun::init()
{
    FMeasurement = std::make_unique<TKorvane>();
    FRun = std::make_unique<TTestRun>(*FMeasurement);
    // What escapes a socket's notification reaches the front end's handler; korvane-cli's
    // hands it to the run, as this one does.
    setApplicationExceptionHandler([this](const std::exception& e) {
        FRun->RecordFailure(Exception::MessageOf(e));
    });
}

void tst_TestRun::cleanup()
{
    setApplicationExceptionHandler({});
    FRun.reset();
    FMeasurement.reset();
}

bool tst_TestRun::waitEnded(int timeoutMs)
{
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(timeoutMs);
    while (!FRun->Ended() && guard.isActive())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    return FRun->Ended();
}

void tst_TestRun::streamOutcome_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("serve");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("error");
    QTest::newRow("a whole stream") << "127.0.0.1" << true << true << true << QString();
    QTest::newRow("nobody listens") << "127.0.0.1" << false << true << false
                                    << QStringLiteral("Korvane Socket Error #111 - ");
    QTest::newRow("a target it refuses") << "[::1" << false << false << false << QStringLiteral("Invalid target");
}

void tst_TestRun::streamOutcome()
{
    QFETCH(QString, target);
    QFETCH(bool, serve);
    QFETCH(bool, started);
    QFETCH(bool, valid);
    QFETCH(QString, error);
    constexpr uint64_t Bytes = 3 * 1024 * 1024;
    LoopbackStreamServer server;
    if (serve)
        server.serveOnce([](int fd, LoopbackStreamServer&) { LoopbackStreamServer::sendAll(fd, Bytes); });

    TTestPlan plan;
    plan.Target = target;
    plan.Port = serve ? server.port() : LoopbackStreamServer::unusedPort();
    plan.RatePlan = TRatePlan{100e6, 20e6};
    QSignalSpy finished(FRun.get(), &TTestRun::Finished);
    QSignalSpy directions(FRun.get(), &TTestRun::DirectionDone);
    QSignalSpy lines(FRun.get(), &TTestRun::StatusLine);
    FRun->Start(plan);
    QVERIFY(waitEnded());
    server.join();

    const TTestOutcome& outcome = FRun->Outcome();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(outcome.Started, started);
    QCOMPARE(bool(outcome.StartFailure), !started);
    QCOMPARE(outcome.Valid(), valid);
    // A test that never started leaves one invalid direction to report, and says so once.
    QCOMPARE(directions.count(), started ? 1 : 0);
    QCOMPARE(outcome.Directions.size(), size_t(1));
    const TDirectionOutcome& d = outcome.Directions.front();
    QCOMPARE(d.Valid, valid);
    QVERIFY2(d.Error.startsWith(error), qPrintable(d.Error));
    QCOMPARE(outcome.Error, d.Error);
    if (valid) {
        QCOMPARE(d.Bytes, int64_t(Bytes));
        QVERIFY(d.DurationMs > 0 && d.Rate > 0 && d.StartTime > 0);
        QCOMPARE(d.Address, QStringLiteral("127.0.0.1"));
        QCOMPARE(d.Family, QStringLiteral("ipv4"));
        QCOMPARE(d.AccumulatedCount, 1);
        QCOMPARE(d.AccumulatedAverage, d.Rate);
        QCOMPARE(d.PlanShare, d.Rate * 8192 / 100e6);
    } else {
        QCOMPARE(d.AccumulatedCount, 0);
        // No result, no share of the plan: a failure is not a slow result.
        QCOMPARE(d.PlanShare, -1.0);
    }
    QCOMPARE(d.PlanBps, 100e6);
    // The log's texts, without the stamps the status lines carry.
    if (started) {
        QVERIFY(!d.StatusTexts.isEmpty());
        QCOMPARE(d.StatusTexts.first(), QStringLiteral("Initiating Test to 127.0.0.1"));
        QCOMPARE(qsizetype(lines.count()), d.StatusTexts.size());
    }
    QVERIFY(!d.LatencyMeasured);
}

void tst_TestRun::timeLimitCancelsAndSaysSo()
{
    // Only the limit ends the test.
    LoopbackStreamServer server;
    server.serveOnce(SendALittleThenNothing);
    TTestPlan plan;
    plan.Target = QStringLiteral("127.0.0.1");
    plan.Port = server.port();
    plan.TimeLimitSeconds = 0.3;
    QElapsedTimer clock;
    clock.start();
    FRun->Start(plan);
    QVERIFY(waitEnded());
    const qint64 took = clock.elapsed();
    server.join();
    const TTestOutcome& outcome = FRun->Outcome();
    QVERIFY(outcome.TimedOut && outcome.Cancelled);
    QVERIFY2(took >= 300, qPrintable(QString::number(took)));
    QCOMPARE(outcome.Directions.size(), size_t(1));
    QVERIFY(!outcome.Directions.front().Valid);
    QCOMPARE(outcome.Error, QStringLiteral("Test cancelled: no result within 0.3 seconds"));
    QCOMPARE(FMeasurement->AccumulatedTestCount(), 0);
}

void tst_TestRun::escDuringIdleProbesEndsBeforeTheTest()
{
    LoopbackStreamServer server;
    TTestPlan plan;
    plan.Target = QStringLiteral("127.0.0.1");
    plan.Port = server.port();
    plan.SessionPort = LoopbackStreamServer::unusedPort();
    plan.Latency = true;
    QSignalSpy idle(FRun.get(), &TTestRun::IdleProbesStarted);
    QSignalSpy started(FRun.get(), &TTestRun::TestStarted);
    QSignalSpy finished(FRun.get(), &TTestRun::Finished);
    FRun->Start(plan);
    QCOMPARE(idle.count(), 1);
    QVERIFY(FRun->Idling());
    FRun->Cancel();
    QVERIFY(FRun->Ended());
    // The probes' own end, when it comes, must not start the test after all.
    QTest::qWait(300);
    QCOMPARE(started.count(), 0);
    QCOMPARE(finished.count(), 1);
    const TTestOutcome& outcome = FRun->Outcome();
    QVERIFY(outcome.Cancelled && !outcome.Started);
    QVERIFY(outcome.Directions.empty());
    QVERIFY(!FMeasurement->TestDone() || FMeasurement->BytesTransferred() == 0);
}

void tst_TestRun::oneRunAtATime()
{
    LoopbackStreamServer server;
    server.serveOnce(SendALittleThenNothing);
    TTestPlan plan;
    plan.Target = QStringLiteral("127.0.0.1");
    plan.Port = server.port();
    FRun->Start(plan);
    QVERIFY(FRun->Running());
    // A second start while one runs is ignored: the first keeps its plan and its end.
    TTestPlan other = plan;
    other.Target = QStringLiteral("localhost");
    FRun->Start(other);
    QCOMPARE(FRun->Outcome().Plan.Target, QStringLiteral("127.0.0.1"));
    QTest::qWait(100);
    FRun->Cancel();
    QVERIFY(waitEnded());
    server.join();
    QVERIFY(FRun->Outcome().Cancelled);
    QVERIFY(!FRun->Outcome().Valid());
}

QTEST_GUILESS_MAIN(tst_TestRun)
#include "tst_TestRun.moc"
