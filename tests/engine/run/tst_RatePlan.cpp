#include "engine/run/RatePlan.h"

#include <QtTest>

class TestRatePlan : public QObject
{
    Q_OBJECT
private slots:
    void parsesRatesWithUnits_data();
    void parsesRatesWithUnits();
    void refusesWhatIsNoPlan_data();
    void refusesWhatIsNoPlan();
    void shareOfPlan_data();
    void shareOfPlan();
};

void TestRatePlan::parsesRatesWithUnits_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("down");
    QTest::addColumn<double>("up");
    QTest::addColumn<QString>("written");
    QTest::newRow("mega both ways") << "100M/20M" << 100e6 << 20e6 << "100M/20M";
    QTest::newRow("giga and kilo") << "1G/500k" << 1e9 << 500e3 << "1G/500k";
    QTest::newRow("capital K") << "800K/64K" << 800e3 << 64e3 << "800k/64k";
    QTest::newRow("fraction") << "1.5G/0.5G" << 1.5e9 << 0.5e9 << "1.5G/500M";
    QTest::newRow("plain bits") << "2000000/512" << 2e6 << 512.0 << "2M/512";
    QTest::newRow("download only") << "250M" << 250e6 << 0.0 << "250M";
    QTest::newRow("blanks around") << " 100M / 20M " << 100e6 << 20e6 << "100M/20M";
}

void TestRatePlan::parsesRatesWithUnits()
{
    QFETCH(QString, text);
    QFETCH(double, down);
    QFETCH(double, up);
    QFETCH(QString, written);
    TRatePlan plan;
    QString error;
    QVERIFY2(TRatePlan::Parse(text, plan, error), qPrintable(error));
    QCOMPARE(plan.DownBps, down);
    QCOMPARE(plan.UpBps, up);
    QCOMPARE(plan.Text(), written);
    // What it writes reads back to the same plan.
    TRatePlan again;
    QVERIFY(TRatePlan::Parse(plan.Text(), again, error));
    QCOMPARE(again, plan);
}

void TestRatePlan::refusesWhatIsNoPlan_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("why");
    QTest::newRow("empty") << "" << "not a rate";
    QTest::newRow("no upload after slash") << "100M/" << "not a rate";
    QTest::newRow("three parts") << "100M/20M/5M" << "more than one /";
    QTest::newRow("milli is a typo") << "100m/20m" << "not a rate";
    QTest::newRow("unknown unit") << "100T/20M" << "not a rate";
    QTest::newRow("bytes word") << "100MB/20MB" << "not a rate";
    QTest::newRow("zero") << "0/20M" << "above 0";
    QTest::newRow("negative") << "-100M/20M" << "above 0";
    QTest::newRow("too fast") << "20000G/1G" << "at most";
    QTest::newRow("not a number") << "inf/nan" << "not a rate";
}

void TestRatePlan::refusesWhatIsNoPlan()
{
    QFETCH(QString, text);
    QFETCH(QString, why);
    TRatePlan plan{1, 2};
    QString error;
    QVERIFY(!TRatePlan::Parse(text, plan, error));
    QVERIFY2(error.contains(why), qPrintable(error));
    QVERIFY2(error.contains(QStringLiteral("such as 100M/20M")), qPrintable(error));
    // A refused text leaves the plan as it was.
    QCOMPARE(plan, (TRatePlan{1, 2}));
}

void TestRatePlan::shareOfPlan_data()
{
    QTest::addColumn<double>("rateKBps");
    QTest::addColumn<double>("planBps");
    QTest::addColumn<double>("share");
    // 12207.03125 KB/s is 100 000 000 bits per second exactly.
    QTest::newRow("all of it") << 12207.03125 << 100e6 << 1.0;
    QTest::newRow("most of it") << 12207.03125 * 0.79 << 100e6 << 0.79;
    QTest::newRow("more than paid for") << 12207.03125 * 1.1 << 100e6 << 1.1;
    QTest::newRow("nothing") << 0.0 << 100e6 << 0.0;
    QTest::newRow("no plan") << 1000.0 << 0.0 << -1.0;
}

void TestRatePlan::shareOfPlan()
{
    QFETCH(double, rateKBps);
    QFETCH(double, planBps);
    QFETCH(double, share);
    QCOMPARE(TRatePlan::Share(rateKBps, planBps), share);
}

QTEST_APPLESS_MAIN(TestRatePlan)
#include "tst_RatePlan.moc"
