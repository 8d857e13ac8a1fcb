#include "tests/pathemu/PathDirection.h"

#include <QTest>

// The path emulator's model of one direction, on a clock of its own: whether the paths the
// tests run on are the paths they claim.
class TestPathDirection : public QObject
{
    Q_OBJECT

private slots:
    void rateAndDelay();
    void queueDropsAtItsTail_data();
    void queueDropsAtItsTail();
    void jitterKeepsOrder();
    void lossIsItsShare();
};

void TestPathDirection::rateAndDelay()
{
    // 12 Mbit/s: a 1500-byte packet takes 1 ms on the link, then 20 ms on the line.
    PathSettings s;
    s.RateBitsPerSecond = 12e6;
    s.DelayNs = 20'000'000;
    PathDirection p(s, 1);
    int64_t due = 0;
    QCOMPARE(p.Admit(0, 1500, due), PathDirection::Fate::Carried);
    QCOMPARE(due, int64_t(21'000'000));
    // A burst queues behind it: each leaves a link time after the one before.
    QCOMPARE(p.Admit(0, 1500, due), PathDirection::Fate::Carried);
    QCOMPARE(due, int64_t(22'000'000));
    QCOMPARE(p.BacklogBytes(0), int64_t(3000));
    QCOMPARE(p.BacklogBytes(1'500'000), int64_t(750));
    // An idle link sends at once.
    QCOMPARE(p.Admit(10'000'000, 1500, due), PathDirection::Fate::Carried);
    QCOMPARE(due, int64_t(31'000'000));

    // No rate: no link time and no queue.
    PathDirection open(PathSettings{}, 1);
    for (int i = 0; i < 10000; ++i)
        QCOMPARE(open.Admit(5, 65535, due), PathDirection::Fate::Carried);
    QCOMPARE(due, int64_t(5));
}

void TestPathDirection::queueDropsAtItsTail_data()
{
    QTest::addColumn<qint64>("queueNs");
    QTest::addColumn<qint64>("queueBytes");
    QTest::addColumn<int>("carried"); // of 100 packets of 1500 bytes at once, 1 ms each on the link

    QTest::newRow("10 ms") << qint64(10'000'000) << qint64(-1) << 10;
    QTest::newRow("15000 bytes") << qint64(-1) << qint64(15000) << 10;
    QTest::newRow("default 100 ms") << qint64(-1) << qint64(-1) << 100;
    QTest::newRow("no room but the link") << qint64(0) << qint64(-1) << 1;
}

void TestPathDirection::queueDropsAtItsTail()
{
    QFETCH(qint64, queueNs);
    QFETCH(qint64, queueBytes);
    QFETCH(int, carried);

    PathSettings s;
    s.RateBitsPerSecond = 12e6;
    s.QueueNs = queueNs;
    s.QueueBytes = queueBytes;
    PathDirection p(s, 1);
    int64_t due = 0;
    int n = 0;
    for (int i = 0; i < 100; ++i)
        n += p.Admit(0, 1500, due) == PathDirection::Fate::Carried;
    QCOMPARE(n, carried);
    QCOMPARE(p.QueueDrops, int64_t(100 - carried));
    // Once the link has sent one, there is room for one more.
    if (carried < 100)
        QCOMPARE(p.Admit(1'000'000, 1500, due), PathDirection::Fate::Carried);
}

void TestPathDirection::jitterKeepsOrder()
{
    PathSettings s;
    s.DelayNs = 20'000'000;
    s.JitterNs = 5'000'000;
    PathDirection p(s, 7);
    // Packets further apart than the jitter's range: each gets 15 to 25 ms.
    int64_t lowest = INT64_MAX, highest = 0;
    for (int64_t t = 0; t < 20'000'000'000; t += 20'000'000) {
        int64_t due = 0;
        QCOMPARE(p.Admit(t, 100, due), PathDirection::Fate::Carried);
        lowest = std::min(lowest, due - t);
        highest = std::max(highest, due - t);
    }
    QVERIFY2(lowest >= 15'000'000 && lowest < 15'500'000, qPrintable(QString::number(lowest)));
    QVERIFY2(highest <= 25'000'000 && highest > 24'500'000, qPrintable(QString::number(highest)));
    // Close together: a packet never overtakes the one before it.
    int64_t last = 0;
    for (int64_t t = 30'000'000'000; t < 31'000'000'000; t += 100'000) {
        int64_t due = 0;
        QCOMPARE(p.Admit(t, 100, due), PathDirection::Fate::Carried);
        QVERIFY(due >= last);
        QVERIFY(due - t <= 25'000'000);
        last = due;
    }
}

void TestPathDirection::lossIsItsShare()
{
    PathSettings s;
    s.Loss = 0.01;
    PathDirection p(s, 3);
    int64_t due = 0;
    for (int i = 0; i < 100000; ++i)
        p.Admit(i, 1500, due);
    QVERIFY2(p.Lost > 850 && p.Lost < 1150, qPrintable(QString::number(p.Lost)));
    QCOMPARE(p.Carried + p.Lost, int64_t(100000));
}

QTEST_GUILESS_MAIN(TestPathDirection)
#include "tst_PathDirection.moc"
