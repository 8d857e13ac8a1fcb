#include "engine/DateTimeSerial.h"
#include "engine/EKorvnError.h"
#include "engine/SystemErrorText.h"
#include "engine/stream/TKorvane.h"

#include <QtTest>

#include <cerrno>
#include <cstring>

Q_DECLARE_METATYPE(TKorvaneResultStatus)

class TestKorvaneCore : public QObject
{
    Q_OBJECT

private slots:
    void newObjectDefaults();
    void classification_data();
    void classification();
    void restoreAndClear_data();
    void restoreAndClear();
    void failedWebTestChangesNothing();
    void cancelWithoutTestChangesNothing();
    void dateSerial_data();
    void dateSerial();
    void errorTexts();
};

void TestKorvaneCore::newObjectDefaults()
{
    TKorvane k;
    QCOMPARE(k.AccumulatedTestCount(), 0);
    QCOMPARE(k.AccumulatedAverageSpeed(), 0.0);
    QCOMPARE(k.TransferRateSec(), 0.0);
    QCOMPARE(k.KorvaneResultStatus(), strsNone);
    QCOMPARE(k.StartTime(), 0.0);
    QCOMPARE(k.BytesTransferred(), 0);
    QVERIFY(!k.ValidResult());
    QVERIFY(!k.TestDone());
    QCOMPARE(k.stHiResTimer->TimeResolution(), 1000000u);
    QCOMPARE(k.stSocket->objectName(), QStringLiteral("ClientSocket1"));
}

void TestKorvaneCore::classification_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<double>("average");
    QTest::addColumn<double>("rate");
    QTest::addColumn<TKorvaneResultStatus>("expected");

    QTest::newRow("no tests yet") << 0 << 0.0 << 500.0 << strsNone;
    QTest::newRow("negative count") << -2 << 100.0 << 500.0 << strsNone;
    QTest::newRow("exactly upper bound") << 1 << 100.0 << 110.0 << strsAboveAverage;
    QTest::newRow("just under upper bound") << 1 << 100.0 << 109.99 << strsAverage;
    QTest::newRow("exactly lower bound") << 1 << 100.0 << 90.0 << strsBelowAverage;
    QTest::newRow("just over lower bound") << 1 << 100.0 << 90.01 << strsAverage;
    QTest::newRow("at the average") << 4 << 100.0 << 100.0 << strsAverage;
    QTest::newRow("average 0, rate 0") << 3 << 0.0 << 0.0 << strsAboveAverage;
}

void TestKorvaneCore::classification()
{
    QFETCH(int, count);
    QFETCH(double, average);
    QFETCH(double, rate);
    QFETCH(TKorvaneResultStatus, expected);

    TKorvane k;
    k.RestoreAccumulatedResults(count, average);
    QCOMPARE(k.CalculateKorvaneStatus(rate), expected);
}

void TestKorvaneCore::restoreAndClear_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<double>("average");
    QTest::addColumn<double>("expectedAverage");

    QTest::newRow("three at 100") << 3 << 100.0 << 100.0;
    QTest::newRow("fractional") << 7 << 1234.5678 << 1234.5678;
    QTest::newRow("count 0") << 0 << 100.0 << 0.0;
    QTest::newRow("negative count") << -1 << 100.0 << 0.0;
}

void TestKorvaneCore::restoreAndClear()
{
    QFETCH(int, count);
    QFETCH(double, average);
    QFETCH(double, expectedAverage);

    TKorvane k;
    k.RestoreAccumulatedResults(count, average);
    QCOMPARE(k.AccumulatedTestCount(), count);
    QCOMPARE(k.AccumulatedAverageSpeed(), expectedAverage);
    k.ClearAccumalatedResults();
    QCOMPARE(k.AccumulatedTestCount(), 0);
    QCOMPARE(k.AccumulatedAverageSpeed(), 0.0);
}

void TestKorvaneCore::failedWebTestChangesNothing()
{
    TKorvane k;
    k.RestoreAccumulatedResults(2, 50.0);
    QStringList lines;
    k.setOnStatusMsg([&](const QString &line) { lines << line; });
    QVERIFY_THROWS_EXCEPTION(EKorvnError, k.DoTest(TKorvane::ttWebPage, QStringLiteral("http://example.invalid/"), 80));
    // The name does not resolve: a socket error, after the lookup was reported.
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.first().endsWith(QStringLiteral(" - Initiating Test to http://example.invalid/")));
    QVERIFY(lines.last().endsWith(QStringLiteral(" - Resolving hostname example.invalid.")));
    QVERIFY(!k.TestDone());
    QVERIFY(!k.ValidResult());
    QCOMPARE(k.StartTime(), -1.0);
    QCOMPARE(k.AccumulatedTestCount(), 2);
    QCOMPARE(k.AccumulatedAverageSpeed(), 50.0);
}

void TestKorvaneCore::cancelWithoutTestChangesNothing()
{
    TKorvane k;
    k.CancelTest();
    QVERIFY(!k.TestCancelled());
    QCOMPARE(k.AccumulatedTestCount(), 0);
}

void TestKorvaneCore::dateSerial_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<double>("serial");

    QTest::newRow("day zero") << QDateTime(QDate(1899, 12, 30), QTime(0, 0)) << 0.0;
    QTest::newRow("before day zero") << QDateTime(QDate(1899, 12, 29), QTime(6, 0)) << -1.25;
    QTest::newRow("noon 2000") << QDateTime(QDate(2000, 1, 1), QTime(12, 0)) << 36526.5;
    QTest::newRow("with milliseconds") << QDateTime(QDate(2024, 2, 29), QTime(18, 0, 0, 500))
                                       << 45351.75 + 0.5 / 86400000.0 * 1000;
}

void TestKorvaneCore::dateSerial()
{
    QFETCH(QDateTime, when);
    QFETCH(double, serial);
    QCOMPARE(DateTimeSerial::fromDateTime(when), serial);
    QCOMPARE(DateTimeSerial::toDateTime(serial), when);
}

void TestKorvaneCore::errorTexts()
{
    // Trailing full stops and blanks go; the code's own text stays.
    QCOMPARE(SystemErrorText(ECONNREFUSED), QString::fromLocal8Bit(strerror(ECONNREFUSED)));
    QVERIFY(!SystemErrorText(-2).isEmpty());
    QVERIFY(!SystemErrorText(-2).endsWith(u'.'));

    const EKorvnError e(QStringLiteral("Korvane Socket Error #111 - Connection refused"));
    QCOMPARE(QString::fromUtf8(e.what()), e.Message());
}

QTEST_GUILESS_MAIN(TestKorvaneCore)
#include "tst_korvanecore.moc"
