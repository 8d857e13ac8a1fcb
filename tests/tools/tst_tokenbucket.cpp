#include "tools/korvane-server/TokenBucket.h"

#include <QTest>

class TestTokenBucket : public QObject
{
    Q_OBJECT

private slots:
    void creditOverTime_data();
    void creditOverTime();
    void stallIsCaughtUpToTheCap();
    void dueTime_data();
    void dueTime();
};

void TestTokenBucket::creditOverTime_data()
{
    QTest::addColumn<quint64>("rate");
    QTest::addColumn<quint64>("block");
    QTest::addColumn<qint64>("stepNs");
    QTest::addColumn<int>("steps");

    // Sent block by block as the credit comes in; the total must be exactly rate x time.
    QTest::newRow("1 MB/s in 5 ms steps") << quint64(1000000) << quint64(5000) << qint64(5000000) << 2000;
    QTest::newRow("10 MiB/s, odd steps") << quint64(10485760) << quint64(52428) << qint64(4999999) << 3000;
    QTest::newRow("100 MB/s, 1 ms steps") << quint64(100000000) << quint64(500000) << qint64(1000000) << 5000;
    QTest::newRow("3 B/s, 1 ns steps") << quint64(3) << quint64(1) << qint64(1) << 10000;
    QTest::newRow("7 B/s, 0.1 s steps") << quint64(7) << quint64(1) << qint64(100000000) << 1000;
    QTest::newRow("1 B/s, 1 s steps") << quint64(1) << quint64(1) << qint64(1000000000) << 100;
    QTest::newRow("largest rate") << quint64(UINT64_MAX) << quint64(4 << 20) << qint64(1) << 100;
}

void TestTokenBucket::creditOverTime()
{
    QFETCH(quint64, rate);
    QFETCH(quint64, block);
    QFETCH(qint64, stepNs);
    QFETCH(int, steps);

    const int64_t start = 1000000000000;
    TokenBucket bucket(rate, block, UINT64_MAX, start);
    QCOMPARE(bucket.available(start), block); // one block is there at once

    uint64_t sent = 0;
    int64_t now = start;
    for (int i = 0; i < steps; ++i) {
        now += stepNs;
        const uint64_t available = bucket.available(now);
        bucket.take(available);
        sent += available;
    }
    // Whole bytes earned so far, the first block included; no drift however small the steps.
    const unsigned __int128 earned = (unsigned __int128)(now - start) * rate / 1000000000 + block;
    QCOMPARE(sent, uint64_t(earned));
}

void TestTokenBucket::stallIsCaughtUpToTheCap()
{
    TokenBucket bucket(1000, 10, 500, 0);
    bucket.take(bucket.available(0));
    QCOMPARE(bucket.available(200000000), quint64(200)); // 0.2 s
    QCOMPARE(bucket.available(10000000000), quint64(500)); // 10 s, but capped
    bucket.take(500);
    QCOMPARE(bucket.available(10000000000), quint64(0));
    QCOMPARE(bucket.available(9000000000), quint64(0)); // time never runs back
}

void TestTokenBucket::dueTime_data()
{
    QTest::addColumn<quint64>("rate");
    QTest::addColumn<quint64>("bytes");
    QTest::addColumn<qint64>("expectedNs");

    QTest::newRow("one second's worth") << quint64(1000) << quint64(1000) << qint64(1000000000);
    QTest::newRow("rounded up") << quint64(3) << quint64(1) << qint64(333333334);
    QTest::newRow("nothing needed") << quint64(1000) << quint64(0) << qint64(0);
    QTest::newRow("10 MiB/s block") << quint64(10485760) << quint64(52428) << qint64(4999924);
}

void TestTokenBucket::dueTime()
{
    QFETCH(quint64, rate);
    QFETCH(quint64, bytes);
    QFETCH(qint64, expectedNs);

    auto emptyBucket = [&] {
        TokenBucket bucket(rate, 1, rate * 2 + bytes, 0);
        bucket.take(bucket.available(0));
        return bucket;
    };
    TokenBucket bucket = emptyBucket();
    const int64_t due = bucket.dueNs(bytes, 0);
    QCOMPARE(due, expectedNs);
    QCOMPARE(TokenBucket::durationNs(bytes, rate), expectedNs);
    QCOMPARE(TokenBucket::bytesEarned(expectedNs, rate), bytes);
    QVERIFY(emptyBucket().available(due) >= bytes);
    if (due > 0) {
        QVERIFY(emptyBucket().available(due - 1) < bytes); // not a nanosecond too late either
        QVERIFY(TokenBucket::bytesEarned(due - 1, rate) < bytes);
    }
}

QTEST_GUILESS_MAIN(TestTokenBucket)
#include "tst_tokenbucket.moc"
