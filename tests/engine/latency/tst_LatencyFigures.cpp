#include "engine/latency/LatencyFigures.h"
#include "engine/latency/LatencyReport.h"

#include <QJsonObject>
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
    void rpmP90AndRating_data();
    void rpmP90AndRating();
    void compute_data();
    void compute();
    void tooFewProbes_data();
    void tooFewProbes();
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

void tst_LatencyFigures::rpmP90AndRating_data()
{
    QTest::addColumn<Samples>("foreign");
    QTest::addColumn<Samples>("self");
    QTest::addColumn<double>("rpmP90");
    QTest::addColumn<QString>("rating");
    QTest::addColumn<QString>("logLine");

    // Nine of ten at 40 ms, one at 200: of ten, the trimmed mean keeps all (56 ms, 1071 RPM),
    // the 90th percentile is the ninth (40 ms, 1500 RPM); with two slow ones, 200 ms and 300.
    Samples one(9, 40.0), two(8, 40.0);
    one.push_back(200);
    two.push_back(200);
    two.push_back(200);
    QTest::newRow("one slow probe in ten") << one << Samples{} << 1500.0 << "Good"
                                           << "responsiveness 1071 RPM (Good; 90th percentile 1500 RPM)";
    QTest::newRow("two slow probes in ten") << two << Samples{} << 300.0 << "Fair"
                                            << "90th percentile 300 RPM";
    // Each kind's percentile, then the mean of their responsiveness.
    QTest::newRow("both kinds") << Samples(10, 100.0) << Samples(10, 20.0) << 1800.0 << "Good" << "1800 RPM (Good";
    // The bands' edges: below 300 Poor, 300 Fair, 1000 Good, 6000 Good, above Excellent.
    QTest::newRow("299 RPM") << Samples(10, 60000.0 / 299) << Samples{} << 299.0 << "Poor" << "(Poor;";
    QTest::newRow("300 RPM") << Samples(10, 200.0) << Samples{} << 300.0 << "Fair" << "(Fair;";
    QTest::newRow("1000 RPM") << Samples(10, 60.0) << Samples{} << 1000.0 << "Good" << "(Good;";
    QTest::newRow("6000 RPM") << Samples(10, 10.0) << Samples{} << 6000.0 << "Good" << "(Good;";
    QTest::newRow("6001 RPM") << Samples(10, 60000.0 / 6001) << Samples{} << 6001.0 << "Excellent" << "(Excellent;";
}

void tst_LatencyFigures::rpmP90AndRating()
{
    QFETCH(Samples, foreign);
    QFETCH(Samples, self);
    QFETCH(double, rpmP90);
    QFETCH(QString, rating);
    QFETCH(QString, logLine);

    const LatencyFigures f = LatencyFigures::compute(Samples(10, 40.0), foreign, self, 0);
    QCOMPARE(qRound64(f.RpmP90), qRound64(rpmP90));
    QCOMPARE(f.RpmRating, rating);
    QCOMPARE(LatencyFigures::rpmRating(f.Rpm), rating);
    const QStringList lines = LatencyReport::logLines(f, QString());
    QVERIFY2(lines.join(u'\n').contains(logLine), qPrintable(lines.join(u'\n')));
    QJsonObject json;
    LatencyReport::addJson(json, f, 0);
    QCOMPARE(json.value("rpm_rating").toString(), rating);
    QCOMPARE(qRound64(json.value("rpm_p90").toDouble()), qRound64(rpmP90));
}

void tst_LatencyFigures::compute_data()
{
    QTest::addColumn<Samples>("idle");
    QTest::addColumn<Samples>("foreign");
    QTest::addColumn<Samples>("self");
    QTest::addColumn<double>("loaded");
    QTest::addColumn<double>("increase");
    QTest::addColumn<QString>("grade");

    // Five of a kind: the fewest that give a figure.
    QTest::newRow("bloated") << Samples{1, 1, 2, 1, 1} << Samples{80, 90, 100, 90, 90} << Samples{300} << 90.0 << 89.0
                             << "C";
    // The loaded median compares connect times with connect times; self probes count only
    // where there are too few foreign ones.
    QTest::newRow("self only") << Samples(5, 1.0) << Samples{} << Samples{11, 12, 13, 12, 12} << 12.0 << 11.0 << "A";
    QTest::newRow("self, foreign too few") << Samples(5, 1.0) << Samples{50, 50} << Samples{11, 12, 13, 12, 12} << 12.0
                                           << 11.0 << "A";
    // Faster under load than idle (noise) is no increase, not a negative one.
    QTest::newRow("faster under load") << Samples(5, 5.0) << Samples(5, 3.0) << Samples{} << 3.0 << 0.0 << "A+";
    QTest::newRow("no idle probes") << Samples{} << Samples(5, 3.0) << Samples{} << 3.0 << -1.0 << "";
    QTest::newRow("no loaded probes") << Samples(5, 3.0) << Samples{} << Samples{} << -1.0 << -1.0 << "";
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

void tst_LatencyFigures::tooFewProbes_data()
{
    QTest::addColumn<int>("idle");
    QTest::addColumn<int>("foreign");
    QTest::addColumn<int>("self");
    QTest::addColumn<bool>("idleFigure");
    QTest::addColumn<bool>("loadedFigure");
    QTest::addColumn<bool>("rpmFigure");
    QTest::addColumn<QStringList>("logStarts");

    const int enough = LatencyFigures::MinimumProbes;
    const QString grade = QStringLiteral("Latency increase under load ");
    // A 6 ms web page: ten idle probes, one loaded connect. It once gave "(1 probes)", A+ and
    // 20000000 RPM.
    QTest::newRow("6 ms web page") << 10 << 1 << 0 << true << false << false
                                   << QStringList{"Idle latency 0.05 ms (median of 10 probes)",
                                                  "Loaded latency: not enough probes (1 answered, 5 needed)",
                                                  "No bufferbloat grade: not enough probes"};
    QTest::newRow("one short of enough") << 10 << enough - 1 << 0 << true << false << false
                                         << QStringList{"Idle latency ", "Loaded latency: not enough probes (4 answered",
                                                        "No bufferbloat grade"};
    QTest::newRow("just enough") << enough << enough << 0 << true << true << true
                                 << QStringList{"Idle latency ", "Loaded latency 0.05 ms", grade};
    // A session's echoes stand in for connects that were too few, for the RPM as well.
    QTest::newRow("session, few connects") << 10 << 2 << 20 << true << true << true
                                           << QStringList{"Idle latency ", "Loaded latency 0.05 ms, 90th percentile 0.05 ms (22 probes)",
                                                          grade};
    QTest::newRow("too few idle") << 2 << 20 << 0 << false << true << true
                                  << QStringList{"Idle latency: not enough probes (2 answered, 5 needed)", "Loaded latency ",
                                                 "Responsiveness 1200000 RPM", "No bufferbloat grade"};
    QTest::newRow("nothing answered") << 0 << 0 << 0 << false << false << false
                                      << QStringList{"No bufferbloat grade: not enough probes"};
}

void tst_LatencyFigures::tooFewProbes()
{
    QFETCH(int, idle);
    QFETCH(int, foreign);
    QFETCH(int, self);
    QFETCH(bool, idleFigure);
    QFETCH(bool, loadedFigure);
    QFETCH(bool, rpmFigure);
    QFETCH(QStringList, logStarts);

    const LatencyFigures f = LatencyFigures::compute(Samples(size_t(idle), 0.05), Samples(size_t(foreign), 0.05),
                                                     Samples(size_t(self), 0.05), 0);
    QCOMPARE(f.IdleMs >= 0, idleFigure);
    QCOMPARE(f.LoadedMs >= 0, loadedFigure);
    QCOMPARE(f.LoadedP90Ms >= 0, loadedFigure);
    QCOMPARE(f.Rpm >= 0, rpmFigure);
    QCOMPARE(f.Valid(), idleFigure && loadedFigure);
    QCOMPARE(f.ShortOfProbes(), !(idleFigure && loadedFigure && rpmFigure));

    const QStringList lines = LatencyReport::logLines(f, QString());
    QCOMPARE(lines.size(), logStarts.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(lines[i].startsWith(logStarts[i]), qPrintable(lines[i]));

    // JSON: every missing figure is null, and the note says why.
    QJsonObject json;
    LatencyReport::addJson(json, f, 0);
    QCOMPARE(json.value("idle_latency_ms").isNull(), !idleFigure);
    QCOMPARE(json.value("loaded_latency_ms").isNull(), !loadedFigure);
    QCOMPARE(json.value("rpm").isNull(), !rpmFigure);
    QCOMPARE(json.value("rpm_p90").isNull(), !rpmFigure);
    QCOMPARE(json.value("rpm_rating").isNull(), !rpmFigure);
    QCOMPARE(json.value("bufferbloat_grade").isNull(), !f.Valid());
    QCOMPARE(json.value("latency_note").toString(), f.ShortOfProbes() ? QStringLiteral("not enough probes") : QString());
    QVERIFY(json.contains("latency_note"));
    QCOMPARE(json.value("latency_probes").toInt(), idle + foreign + self);
}

QTEST_GUILESS_MAIN(tst_LatencyFigures)
#include "tst_LatencyFigures.moc"
