#include "engine/session/SessionPhase.h"

#include <QTest>

#include <vector>

Q_DECLARE_METATYPE(std::vector<SessionPhase>)

// The session's phases as it walks them: every path a session takes is allowed step by step,
// and the steps that would revive or skip a phase are refused.
class TestSessionPhase : public QObject
{
    Q_OBJECT

private slots:
    void paths_data();
    void paths();
    void liveAndRunning();
};

void TestSessionPhase::paths_data()
{
    using P = SessionPhase;
    QTest::addColumn<std::vector<SessionPhase>>("path");
    QTest::addColumn<bool>("allowed");

    QTest::newRow("download") << std::vector<P>{P::Idle, P::Connecting, P::Hello, P::Requested, P::Joining,
                                                P::Running, P::Draining, P::Joining, P::Ended}
                              << true;
    QTest::newRow("download then upload")
        << std::vector<P>{P::Idle,    P::Connecting, P::Hello,   P::Requested, P::Joining, P::Running,
                          P::Draining, P::Joining,   P::Running, P::Draining,  P::Joining, P::Ended}
        << true;
    QTest::newRow("start repeated") << std::vector<P>{P::Joining, P::Running, P::Running, P::Draining} << true;
    QTest::newRow("connect fails") << std::vector<P>{P::Idle, P::Connecting, P::Ended} << true;
    QTest::newRow("no connect thread") << std::vector<P>{P::Idle, P::Connecting, P::Idle, P::Connecting} << true;
    QTest::newRow("refused") << std::vector<P>{P::Connecting, P::Hello, P::Requested, P::Ended} << true;
    QTest::newRow("fails while joining") << std::vector<P>{P::Requested, P::Joining, P::Ended} << true;
    QTest::newRow("cancelled running") << std::vector<P>{P::Joining, P::Running, P::Ended} << true;
    QTest::newRow("cancelled draining") << std::vector<P>{P::Running, P::Draining, P::Ended} << true;
    QTest::newRow("started again") << std::vector<P>{P::Running, P::Ended, P::Connecting, P::Hello} << true;

    QTest::newRow("ended then greeted") << std::vector<P>{P::Ended, P::Hello} << false;
    QTest::newRow("ended then joining") << std::vector<P>{P::Ended, P::Joining} << false;
    QTest::newRow("ended twice") << std::vector<P>{P::Ended, P::Ended} << false;
    QTest::newRow("idle ends") << std::vector<P>{P::Idle, P::Ended} << false;
    QTest::newRow("idle greeted") << std::vector<P>{P::Idle, P::Hello} << false;
    QTest::newRow("accepted unasked") << std::vector<P>{P::Hello, P::Joining} << false;
    QTest::newRow("summary before start") << std::vector<P>{P::Joining, P::Draining} << false;
    QTest::newRow("start while draining") << std::vector<P>{P::Draining, P::Running} << false;
    QTest::newRow("result without summary") << std::vector<P>{P::Running, P::Joining} << false;
    QTest::newRow("back to greeting") << std::vector<P>{P::Requested, P::Hello} << false;
    QTest::newRow("session abandoned as idle") << std::vector<P>{P::Hello, P::Idle} << false;
}

void TestSessionPhase::paths()
{
    QFETCH(std::vector<SessionPhase>, path);
    QFETCH(bool, allowed);
    bool all = true;
    for (size_t i = 1; i < path.size(); ++i) {
        const bool step = SessionPhaseChangeAllowed(path[i - 1], path[i]);
        if (allowed && !step)
            QFAIL(qPrintable(QStringLiteral("%1 to %2 refused")
                                 .arg(QLatin1String(SessionPhaseName(path[i - 1])),
                                      QLatin1String(SessionPhaseName(path[i])))));
        all = all && step;
    }
    QCOMPARE(all, allowed);
}

void TestSessionPhase::liveAndRunning()
{
    using P = SessionPhase;
    const std::vector<P> all{P::Idle,    P::Connecting, P::Hello,    P::Requested,
                             P::Joining, P::Running,    P::Draining, P::Ended};
    for (P p : all) {
        const QByteArray name = SessionPhaseName(p);
        // Finished comes once: a live session ends, an ended or idle one cannot end again.
        QCOMPARE(SessionPhaseLive(p), SessionPhaseChangeAllowed(p, P::Ended));
        QCOMPARE(SessionPhaseDirectionRuns(p), p == P::Running || p == P::Draining);
        QVERIFY2(!SessionPhaseDirectionRuns(p) || SessionPhaseLive(p), name.constData());
    }
}

QTEST_APPLESS_MAIN(TestSessionPhase)
#include "tst_SessionPhase.moc"
