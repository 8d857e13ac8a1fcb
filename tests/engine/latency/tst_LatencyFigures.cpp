#include "engine/latency/LatencyFigures.h"

#include <QTest>

using Samples = std::vector<double>;
Q_DECLARE_METATYPE(Samples)

class tst_LatencyFigures : public QObject
{
    Q_OBJECT

private slots:
    void statistics_data();
    void statistics();
    void grade_data();
    void grade();
    void rpm_data();
    void rpm();
    void compute_data();
    void compute();
};

void tst_LatencyFigures::statistics_data()
{
    QTest::addColumn<Samples>("values");
    QTest::addColumn<double>("median");
    QTest::addColumn<double>("p90");
    QTest::addColumn<double>("trimmed95");

    QTest::newRow("none") << Samples{} << -1.0 << -1.0 << -1.0;
    QTest::newRow("one") << Samples{7} << 7.0 << 7.0 << 7.0;
    // An even count takes the mean of the middle two; the order given does not matter.
    QTest::newRow("two, unsorted") << Samples{9, 3} << 6.0 << 9.0 << 6.0;
    QTest::newRow("odd count") << Samples{5, 1, 3} << 3.0 << 5.0 << 3.0;
    // Ten values: nearest rank 9 is the 90th percentile; the 95 % trim keeps all ten.
    QTest::newRow("ten") << Samples{1, 2, 3, 4, 5, 6, 7, 8, 9, 10} << 5.5 << 9.0 << 5.5;
    // Twenty values with one timeout (2 s): the trim drops it, the median ignores it.
    Samples twenty(19, 10.0);
    twenty.push_back(2000);
    QTest::newRow("twenty, one timeout") << twenty << 10.0 << 10.0 << 10.0;
}

void tst_LatencyFigures::statistics()
{
    QFETCH(Samples, values);
    QFETCH(double, median);
    QFETCH(double, p90);
    QFETCH(double, trimmed95);
    QCOMPARE(LatencyFigures::median(values), median);
    QCOMPARE(LatencyFigures::percentile(values, 90), p90);
    QCOMPARE(LatencyFigures::trimmedMean(values, 95), trimmed95);
}

void tst_LatencyFigures::grade_data()
{
    QTest::addColumn<double>("increaseMs");
    QTest::addColumn<QString>("grade");

    // Each bound belongs to the worse grade: "under 5 ms" is A+.
    QTest::newRow("0") << 0.0 << "A+";
    QTest::newRow("4.99") << 4.99 << "A+";
    QTest::newRow("5") << 5.0 << "A";
    QTest::newRow("29.9") << 29.9 << "A";
    QTest::newRow("30") << 30.0 << "B";
    QTest::newRow("60") << 60.0 << "C";
    QTest::newRow("199") << 199.0 << "C";
    QTest::newRow("200") << 200.0 << "D";
    QTest::newRow("400") << 400.0 << "F";
    QTest::newRow("2000") << 2000.0 << "F";
    QTest::newRow("negative: no figure") << -1.0 << "";
    QTest::newRow("not a number") << std::nan("") << "";
}

void tst_LatencyFigures::grade()
{
    QFETCH(double, increaseMs);
    QFETCH(QString, grade);
    QCOMPARE(LatencyFigures::grade(increaseMs), grade);
}

void tst_LatencyFigures::rpm_data()
{
    QTest::addColumn<Samples>("foreign");
    QTest::addColumn<Samples>("self");
    QTest::addColumn<double>("rpm");

    QTest::newRow("nothing") << Samples{} << Samples{} << -1.0;
    // 60 000 ms in a minute over the round trip.
    QTest::newRow("foreign only, 100 ms") << Samples{100, 100} << Samples{} << 600.0;
    QTest::newRow("self only, 50 ms") << Samples{} << Samples{50} << 1200.0;
    // Both kinds weigh equally, however many of each: the mean of their responsiveness,
    // (60000 / 100 + 60000 / 20) / 2, not 60000 over the mean round trip (which gives 1000).
    QTest::newRow("both") << Samples{100} << Samples{20, 20, 20, 20} << 1800.0;
    QTest::newRow("both, each trimmed") << Samples{50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 2000}
                                        << Samples{30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 2000}
                                        << 1600.0;
    // A timeout among twenty foreign probes is trimmed away.
    Samples foreign(19, 60.0);
    foreign.push_back(2000);
    QTest::newRow("outlier trimmed") << foreign << Samples{} << 1000.0;
    QTest::newRow("zero round trip stays finite") << Samples{0} << Samples{} << 60000000.0;
}

void tst_LatencyFigures::rpm()
{
    QFETCH(Samples, foreign);
    QFETCH(Samples, self);
    QFETCH(double, rpm);
    QCOMPARE(LatencyFigures::rpm(foreign, self), rpm);
}

void tst_LatencyFigures::compute_data()
{
    QTest::addColumn<Samples>("idle");
    QTest::addColumn<Samples>("foreign");
    QTest::addColumn<Samples>("self");
    QTest::addColumn<double>("loaded");
    QTest::addColumn<double>("increase");
    QTest::addColumn<QString>("grade");

    QTest::newRow("bloated") << Samples{1, 1, 2} << Samples{80, 90, 100} << Samples{300} << 90.0 << 89.0 << "C";
    // The loaded median compares connect times with connect times; self probes count only
    // where there are no foreign ones.
    QTest::newRow("self only") << Samples{1} << Samples{} << Samples{11, 12, 13} << 12.0 << 11.0 << "A";
    // Faster under load than idle (noise) is no increase, not a negative one.
    QTest::newRow("faster under load") << Samples{5} << Samples{3} << Samples{} << 3.0 << 0.0 << "A+";
    QTest::newRow("no idle probes") << Samples{} << Samples{3} << Samples{} << 3.0 << -1.0 << "";
    QTest::newRow("no loaded probes") << Samples{3} << Samples{} << Samples{} << -1.0 << -1.0 << "";
}

void tst_LatencyFigures::compute()
{
    QFETCH(Samples, idle);
    QFETCH(Samples, foreign);
    QFETCH(Samples, self);
    QFETCH(double, loaded);
    QFETCH(double, increase);
    QFETCH(QString, grade);
    const LatencyFigures f = LatencyFigures::compute(idle, foreign, self, 2);
    QCOMPARE(f.LoadedMs, loaded);
    QCOMPARE(f.IncreaseMs, increase);
    QCOMPARE(f.Grade, grade);
    QCOMPARE(f.Valid(), !grade.isEmpty());
    QCOMPARE(f.Lost, 2);
    QCOMPARE(f.LoadedCount, int(foreign.size() + self.size()));
}

QTEST_GUILESS_MAIN(tst_LatencyFigures)
#include "tst_LatencyFigures.moc"
