#include "engine/KorvaneException.h"
#include "engine/stream/PerformanceCounter.h"
#include "engine/stream/THiresTimer.h"

#include <QtTest>

#include <limits>

// A counter the test moves by hand; it can also be told to fail.
class ManualCounter : public PerformanceCounter
{
public:
    explicit ManualCounter(int64_t frequency) : frequency(frequency) {}
    int64_t Frequency() override { return frequency; }
    int64_t Read() override
    {
        ++reads;
        if (failReads)
            throw Exception(QStringLiteral("counter unavailable"));
        return now;
    }

    int64_t frequency;
    int64_t now = 1000;
    int reads = 0;
    bool failReads = false;
};

class TestHiresTimer : public QObject
{
    Q_OBJECT

private slots:
    void elapsedConversion_data();
    void elapsedConversion();
    void notRunningReadsNoCounter();
    void restartAndSecondStop();
    void failedReadStopsAndThrows();
    void systemClockAdvances();
};

void TestHiresTimer::elapsedConversion_data()
{
    QTest::addColumn<qint64>("frequency");
    QTest::addColumn<uint>("resolution");
    QTest::addColumn<qint64>("ticks");
    QTest::addColumn<qint64>("expected");

    QTest::newRow("1.5 us truncates to 1") << qint64(10000000) << 1000000u << qint64(15) << qint64(1);
    QTest::newRow("9999999 ticks") << qint64(10000000) << 1000000u << qint64(9999999) << qint64(999999);
    QTest::newRow("resolution 0") << qint64(10000000) << 0u << qint64(123456) << qint64(0);
    QTest::newRow("milliseconds") << qint64(1000000000) << 1000u << qint64(2500000000) << qint64(2500);
    // Beyond the range of a 64-bit product: a month on a nanosecond clock in microseconds.
    QTest::newRow("no overflow") << qint64(1000000000) << 1000000u << qint64(2592000) * 1000000000
                                 << qint64(2592000) * 1000000;
    QTest::newRow("2^62 ticks") << qint64(1000000000) << 1000000u << (qint64(1) << 62)
                                << (qint64(1) << 62) / 1000;
}

void TestHiresTimer::elapsedConversion()
{
    QFETCH(qint64, frequency);
    QFETCH(uint, resolution);
    QFETCH(qint64, ticks);
    QFETCH(qint64, expected);

    ManualCounter counter(frequency);
    THiresTimer timer(&counter);
    QCOMPARE(timer.QryFrequency(), frequency);
    timer.setTimeResolution(resolution);
    timer.Start();
    counter.now += ticks;
    QCOMPARE(timer.Lap(), expected);
    QVERIFY(timer.Running());
    QCOMPARE(timer.Stop(), expected);
    QVERIFY(!timer.Running());
}

void TestHiresTimer::notRunningReadsNoCounter()
{
    ManualCounter counter(10000000);
    THiresTimer timer(&counter);
    timer.setTimeResolution(1000000);
    QCOMPARE(timer.Stop(), 0);
    QCOMPARE(timer.Lap(), 0);
    QCOMPARE(counter.reads, 0);
}

void TestHiresTimer::restartAndSecondStop()
{
    ManualCounter counter(1000000);
    THiresTimer timer(&counter);
    timer.setTimeResolution(1000000);
    timer.Start();
    counter.now += 500;
    timer.Start(); // counts from here
    counter.now += 20;
    QCOMPARE(timer.Stop(), 20);
    counter.now += 20;
    QCOMPARE(timer.Stop(), 0);
}

void TestHiresTimer::failedReadStopsAndThrows()
{
    ManualCounter counter(1000000);
    THiresTimer timer(&counter);
    timer.setTimeResolution(1000000);
    timer.Start();
    counter.failReads = true;
    QVERIFY_THROWS_EXCEPTION(Exception, timer.Lap());
    QVERIFY(!timer.Running());
    counter.failReads = false;
    QCOMPARE(timer.Stop(), 0);
}

void TestHiresTimer::systemClockAdvances()
{
    THiresTimer timer;
    QCOMPARE(timer.QryFrequency(), qint64(1000000000));
    timer.setTimeResolution(1000000);
    timer.Start();
    QThread::msleep(20);
    const qint64 us = timer.Stop();
    QVERIFY2(us >= 20000 && us < 5000000, qPrintable(QString::number(us)));
}

QTEST_GUILESS_MAIN(TestHiresTimer)
#include "tst_hirestimer.moc"
