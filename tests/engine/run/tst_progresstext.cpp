#include "engine/run/ProgressText.h"

#include <QLocale>
#include <QtTest>

// The live figures as the window and korvane-cli show them.
class TestProgressText : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void amount_data();
    void amount();
    void rate_data();
    void rate();
    void elapsed_data();
    void elapsed();
    void percentDone_data();
    void percentDone();
    void figures();
};

void TestProgressText::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void TestProgressText::amount_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("nothing") << qint64(0) << QStringLiteral("0.00 KB");
    QTest::newRow("just below a MB") << qint64(1024 * 1024 - 1) << QStringLiteral("1,024.00 KB");
    QTest::newRow("one MB") << qint64(1024 * 1024) << QStringLiteral("1.00 MB");
    QTest::newRow("1.5 GB") << qint64(3) * 512 * 1024 * 1024 << QStringLiteral("1.50 GB");
    QTest::newRow("over 4 GiB") << qint64(5) * 1024 * 1024 * 1024 << QStringLiteral("5.00 GB");
}

void TestProgressText::amount()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(ProgressText::Amount(bytes), text);
}

void TestProgressText::rate_data()
{
    QTest::addColumn<double>("kbps");
    QTest::addColumn<QString>("text");

    QTest::newRow("idle") << 0.0 << QStringLiteral("0.00 KB/s");
    QTest::newRow("KB/s") << 812.5 << QStringLiteral("812.50 KB/s");
    QTest::newRow("MB/s from 1024") << 1024.0 << QStringLiteral("1.00 MB/s");
    QTest::newRow("GB/s") << 5.5 * 1024 * 1024 << QStringLiteral("5.50 GB/s");
    QTest::newRow("nonsense shows as nothing") << std::nan("") << QStringLiteral("0.00 KB/s");
    QTest::newRow("negative shows as nothing") << -3.0 << QStringLiteral("0.00 KB/s");
}

void TestProgressText::rate()
{
    QFETCH(double, kbps);
    QFETCH(QString, text);
    QCOMPARE(ProgressText::Rate(kbps), text);
}

void TestProgressText::elapsed_data()
{
    QTest::addColumn<qint64>("us");
    QTest::addColumn<QString>("text");

    QTest::newRow("start") << qint64(0) << QStringLiteral("0.0 s");
    // Rounded to the nearest tenth, as the result's own figures are.
    QTest::newRow("rounded to tenths") << qint64(20'971'000) << QStringLiteral("21.0 s");
    QTest::newRow("just under a half tenth") << qint64(20'949'999) << QStringLiteral("20.9 s");
    // What rounds to 60 s is a minute, never "60.0 s".
    QTest::newRow("rounds to a minute") << qint64(59'990'000) << QStringLiteral("1:00");
    QTest::newRow("minutes round too") << qint64(754'600'000) << QStringLiteral("12:35");
    QTest::newRow("a minute") << qint64(60'000'000) << QStringLiteral("1:00");
    QTest::newRow("minutes") << qint64(754'400'000) << QStringLiteral("12:34");
    QTest::newRow("hours") << qint64(3'723'000'000) << QStringLiteral("1:02:03");
    QTest::newRow("before the start") << qint64(-5) << QStringLiteral("0.0 s");
}

void TestProgressText::elapsed()
{
    QFETCH(qint64, us);
    QFETCH(QString, text);
    QCOMPARE(ProgressText::Elapsed(us), text);
}

void TestProgressText::percentDone_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("expected");
    QTest::addColumn<int>("percent");

    QTest::newRow("unknown") << qint64(100) << qint64(-1) << -1;
    QTest::newRow("empty body announced") << qint64(0) << qint64(0) << -1;
    QTest::newRow("just under all") << qint64(999) << qint64(1000) << 99;
    QTest::newRow("all") << qint64(1000) << qint64(1000) << 100;
    QTest::newRow("more than announced") << qint64(1500) << qint64(1000) << 100;
    QTest::newRow("large amounts") << qint64(3) * 1024 * 1024 * 1024 << qint64(6) * 1024 * 1024 * 1024 << 50;
}

void TestProgressText::percentDone()
{
    QFETCH(qint64, bytes);
    QFETCH(qint64, expected);
    QFETCH(int, percent);
    TTestProgress p;
    p.BytesSoFar = bytes;
    p.ExpectedBytes = expected;
    QCOMPARE(ProgressText::PercentDone(p), percent);
}

void TestProgressText::figures()
{
    TTestProgress p;
    p.BytesSoFar = 3 * 1024 * 1024;
    p.ElapsedUs = 1'500'000;
    p.IntervalRate = 2048;
    QCOMPARE(ProgressText::Figures(p), QStringLiteral("3.00 MB  1.5 s  2.00 MB/s"));
    p.ExpectedBytes = 4 * 1024 * 1024;
    QCOMPARE(ProgressText::Figures(p, QStringLiteral(" ")), QStringLiteral("3.00 MB 1.5 s 2.00 MB/s 75 %"));
}

QTEST_GUILESS_MAIN(TestProgressText)
#include "tst_progresstext.moc"
