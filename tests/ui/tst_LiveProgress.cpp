#include "tests/ui/ServerWindowFixture.h"
#include "tests/ui/UiTestMain.h"

#include "ui/TLiveRateGraph.h"
#include "settings/AppIniFileStorage.h"
#include "engine/stream/TKorvane.h"
#include "ui/TLogPane.h"
#include "ui/TPortSpinEdit.h"
#include "ui/TResultsGrid.h"
#include "ui/TResultsChart.h"
#include "engine/run/ProgressText.h"
#include "ui/ResultTexts.h"
#include "engine/run/ResultLines.h"
#include "ui/TStatusPane.h"

#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QRadioButton>
#include <QSpinBox>

// The window while a test runs: live figures in the first status pane and the live graph.
class tst_LiveProgress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void liveFiguresWhileAStreamRuns_data();
    void liveFiguresWhileAStreamRuns();
    void closingMidTestSavesNoLiveFigures();
    void graphKeepsLongTestsBounded();
    void graphRestartsWithTheTimer();
    void graphDrawsAtAnySize_data();
    void graphDrawsAtAnySize();
    void graphDrawsEachCurveAndTheLatency_data();
    void graphDrawsEachCurveAndTheLatency();
    void graphKeepsCurvesApartWhenMerging();
    void titleShowsTheResultAfterTheTest_data();
    void titleShowsTheResultAfterTheTest();
    void graphKeepsEveryCurveVisible_data();
    void graphKeepsEveryCurveVisible();
    void graphShowsAResultWithoutIntervals();
    void graphDropsTheLiveMarkAfterTheTest();
    void latencyLineStaysInsideItsPlot();

private:
    ServerWindowFixture FFixture;
    std::unique_ptr<TfMain> FWindow;
    quint16 FPort = 0;
};

namespace {
// About 1.5 s per test.
constexpr qint64 kAmount = 3 * 1024 * 1024;
constexpr qint64 kRate = 2 * 1024 * 1024;

TTestProgress Sample(double seconds, double kbps)
{
    TTestProgress p;
    p.ElapsedUs = qint64(seconds * 1e6);
    p.IntervalRate = kbps;
    p.BytesSoFar = qint64(seconds * kbps * 1024);
    return p;
}
} // namespace

void tst_LiveProgress::initTestCase()
{
    FFixture.StartServer({"--bytes", QString::number(kAmount), "--rate", QString::number(kRate)},
                         QStringLiteral("listening"));
    FPort = FFixture.AnnouncedPort(QStringLiteral("listening"));
}

void tst_LiveProgress::cleanupTestCase()
{
    FFixture.StopServer();
}

void tst_LiveProgress::init()
{
    FFixture.NewHome();
}

void tst_LiveProgress::cleanup()
{
    FWindow.reset();
    FFixture.DropHome();
}

void tst_LiveProgress::liveFiguresWhileAStreamRuns_data()
{
    QTest::addColumn<bool>("cancel");

    QTest::newRow("runs to its end") << false;
    QTest::newRow("cancelled with Esc") << true;
}

void tst_LiveProgress::liveFiguresWhileAStreamRuns()
{
    QFETCH(bool, cancel);

    TfMain* w = ShowMainWindow(FWindow);
    QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    w->sePort->setValue(FPort);
    w->StatusPane1->SetPanelText(0, QStringLiteral("kept"));
    QVERIFY(w->LiveRateGraph1->isHidden());

    // Looks at the window from inside the test's wait, as a user would.
    QStringList paneTexts;
    int graphSamples = 0;
    bool graphShown = false;
    QTimer look;
    look.setInterval(40);
    connect(&look, &QTimer::timeout, w, [&] {
        if (!w->TestRunning())
            return;
        paneTexts << w->StatusPane1->PanelText(0);
        graphSamples = int(w->LiveRateGraph1->Samples().size());
        graphShown = w->LiveRateGraph1->isVisible();
        if (cancel && graphSamples >= 3)
            QTest::keyClick(w, Qt::Key_Escape);
    });
    look.start();
    w->cbServerName->setFocus();
    QTest::keyClicks(w->cbServerName, QStringLiteral("127.0.0.1"));
    QTest::keyClick(w->cbServerName, Qt::Key_Return);
    look.stop();

    QVERIFY(!w->TestRunning());
    QVERIFY(graphShown);
    QVERIFY2(graphSamples >= 3, qPrintable(QString::number(graphSamples)));
    static const QRegularExpression figures(QStringLiteral("^[\\d.,]+ [KMG]B [\\d.,]+ s [\\d.,]+ [KMG]B/s$"));
    int live = 0;
    for (const QString& text : std::as_const(paneTexts)) {
        if (text == QStringLiteral("kept"))
            continue; // before the first report
        QVERIFY2(figures.match(text).hasMatch(), qPrintable(text));
        ++live;
    }
    QVERIFY(live >= 2);

    // After the test the graph keeps its curve; the pane holds what the result made of it.
    QVERIFY(w->LiveRateGraph1->isVisible());
    QVERIFY(!w->LiveRateGraph1->Running());
    QVERIFY(w->LiveRateGraph1->Samples().size() >= 3);
    QCOMPARE(w->LiveRateGraph1->Target(), QStringLiteral("127.0.0.1"));
    const qint64 lastSeen = w->LiveRateGraph1->Latest().BytesSoFar;
    QVERIFY(lastSeen > 0);
    // The title line: the result once there is one; after Esc it says so, since the last
    // interval's figures would read like a result.
    QCOMPARE(w->LiveRateGraph1->Figures(),
             cancel ? QStringLiteral("Test cancelled")
                    : ResultLines::LiveResultFigures(double(kAmount), w->Krvn->TransferTimeMs(), w->Krvn->TransferRateSec()));
    if (cancel) {
        QCOMPARE(w->StatusPane1->PanelText(0), QStringLiteral("kept"));
        QCOMPARE(w->grdResults->model()->rowCount(), 0);
        QVERIFY(w->mmDIsplay->Lines().last().endsWith(QStringLiteral(" - Test cancelled")));
    } else {
        QCOMPARE(w->StatusPane1->PanelText(0), QString());
        QCOMPARE(w->grdResults->model()->rowCount(), 1);
        QCOMPARE(w->Krvn->BytesTransferred(), kAmount);
        QVERIFY(lastSeen <= kAmount);
    }
    // Nothing arrives once the test is over.
    const qsizetype samples = w->LiveRateGraph1->Samples().size();
    QTest::qWait(600);
    QCOMPARE(w->LiveRateGraph1->Samples().size(), samples);
    QCOMPARE(w->StatusPane1->PanelText(0), cancel ? QStringLiteral("kept") : QString());
}

void tst_LiveProgress::closingMidTestSavesNoLiveFigures()
{
    TfMain* w = ShowMainWindow(FWindow);
    QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    w->sePort->setValue(FPort);
    w->StatusPane1->SetPanelText(0, QStringLiteral("kept"));
    bool closed = false;
    QString paneAtClose;
    QTimer look;
    look.setInterval(40);
    connect(&look, &QTimer::timeout, w, [&] {
        if (closed || !w->TestRunning() || w->LiveRateGraph1->Samples().size() < 2)
            return;
        closed = true;
        paneAtClose = w->StatusPane1->PanelText(0);
        w->close();
    });
    look.start();
    w->cbServerName->setFocus();
    QTest::keyClicks(w->cbServerName, QStringLiteral("127.0.0.1"));
    QTest::keyClick(w->cbServerName, Qt::Key_Return);
    look.stop();

    QVERIFY(closed);
    QVERIFY(paneAtClose != QStringLiteral("kept")); // the live figures were showing
    QCOMPARE(w->AppStore->ReadString(QStringLiteral("fMain\\StatusPane1_Panels\\Item0\\Text")),
             QStringLiteral("kept"));
}

void tst_LiveProgress::graphKeepsLongTestsBounded()
{
    TLiveRateGraph graph;
    graph.Start(QStringLiteral("host"));
    const int count = TLiveRateGraph::MaxSamples * 3;
    for (int i = 1; i <= count; ++i)
        graph.AddSample(Sample(i * 0.25, 100 + i % 7));
    const QVector<QPointF>& s = graph.Samples();
    QVERIFY(s.size() <= TLiveRateGraph::MaxSamples);
    QVERIFY(s.size() > TLiveRateGraph::MaxSamples / 4);
    // Still in time order, reaching the latest report, with rates from the range fed in.
    for (qsizetype i = 1; i < s.size(); ++i)
        QVERIFY(s[i].x() > s[i - 1].x());
    QCOMPARE(s.last().x(), count * 0.25);
    for (const QPointF& p : s)
        QVERIFY(p.y() >= 100 && p.y() <= 106);
}

void tst_LiveProgress::graphRestartsWithTheTimer()
{
    TLiveRateGraph graph;
    graph.Start(QStringLiteral("http://a/"));
    for (int i = 1; i <= 5; ++i)
        graph.AddSample(Sample(i * 0.25, 50));
    // A redirect to another server starts the timer again.
    graph.AddSample(Sample(0.25, 80));
    QCOMPARE(graph.Samples().size(), 1);
    QCOMPARE(graph.Samples().first().y(), 80.0);
    graph.Finish(70);
    graph.AddSample(Sample(0.5, 90)); // late: the test is over
    QCOMPARE(graph.Samples().size(), 1);
    graph.Start(QStringLiteral("next"));
    QVERIFY(graph.Samples().isEmpty());
    QVERIFY(graph.Running());
}

void tst_LiveProgress::graphDrawsAtAnySize_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("samples");

    QTest::newRow("strip, KB/s") << QSize(740, 170) << 300.0 << 40;
    QTest::newRow("page, GB/s") << QSize(1200, 800) << 6e6 << 400;
    QTest::newRow("tiny") << QSize(30, 10) << 10.0 << 3;
    QTest::newRow("no data yet") << QSize(740, 170) << 0.0 << 0;
    QTest::newRow("only zero rates") << QSize(740, 170) << 0.0 << 10;
}

void tst_LiveProgress::graphDrawsAtAnySize()
{
    QFETCH(QSize, size);
    QFETCH(double, rate);
    QFETCH(int, samples);

    TLiveRateGraph graph;
    graph.Start(QStringLiteral("127.0.0.1"));
    for (int i = 1; i <= samples; ++i)
        graph.AddSample(Sample(i * 0.25, rate * (1 + (i % 3) / 10.0)));
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::black);
    {
        QPainter painter(&image);
        graph.Draw(painter, QRect(QPoint(0, 0), size));
    }
    // The panel is painted over the whole rectangle, whatever fits inside it.
    QVERIFY(image.pixelColor(size.width() / 2, 0).red() >= 240);
    QVERIFY(image.pixelColor(size.width() - 1, size.height() - 1).red() >= 200);
    if (samples > 0 && rate > 0 && size.height() > 100) {
        // The curve's colour appears in the plot.
        const QColor curve = TResultsChart::BarColor(0);
        bool found = false;
        for (int y = 0; y < size.height() && !found; ++y) {
            const QColor c = image.pixelColor(size.width() / 2, y);
            found = qAbs(c.red() - curve.red()) < 40 && qAbs(c.green() - curve.green()) < 40
                    && qAbs(c.blue() - curve.blue()) < 40;
        }
        QVERIFY(found);
    }
}

namespace {
// How many pixels of the plot are near colour.
int PixelsNear(const QImage& image, const QColor& colour)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            count += qAbs(c.red() - colour.red()) < 24 && qAbs(c.green() - colour.green()) < 24
                     && qAbs(c.blue() - colour.blue()) < 24;
        }
    return count;
}
} // namespace

void tst_LiveProgress::graphDrawsEachCurveAndTheLatency_data()
{
    QTest::addColumn<QStringList>("curves");
    QTest::addColumn<bool>("latency");
    QTest::newRow("both directions") << QStringList{"download", "upload"} << false;
    QTest::newRow("one direction, latency") << QStringList{"upload"} << true;
    QTest::newRow("both directions, latency") << QStringList{"download", "upload"} << true;
}

// A session's directions are curves of their own, each in its colour from where the one
// before ended; latency is a line on its own axis.
void tst_LiveProgress::graphDrawsEachCurveAndTheLatency()
{
    QFETCH(QStringList, curves);
    QFETCH(bool, latency);
    TLiveRateGraph graph;
    graph.Start(QStringLiteral("127.0.0.1"), latency);
    QCOMPARE(graph.ShowsLatency(), latency);
    double t = 0;
    for (const QString& name : std::as_const(curves)) {
        graph.StartCurve(name);
        for (int i = 0; i < 20; ++i) {
            t += 0.25;
            graph.AddSample(Sample(t, 2000 + 100 * (i % 3)));
            if (latency)
                graph.AddLatency(t, 40 + i);
        }
    }
    QCOMPARE(graph.CurveNames(), curves);
    QCOMPARE(graph.SampleCurves().size(), graph.Samples().size());
    for (int i = 0; i < graph.SampleCurves().size(); ++i)
        QCOMPARE(graph.SampleCurves().at(i), i / 20);
    QCOMPARE(graph.LatencySamples().size(), latency ? 20 * curves.size() : 0);
    if (latency)
        QVERIFY2(graph.Figures().endsWith(QStringLiteral("latency 59.00 ms")), qPrintable(graph.Figures()));

    QImage image(QSize(740, 170), QImage::Format_ARGB32);
    image.fill(Qt::black);
    {
        QPainter painter(&image);
        graph.Draw(painter, image.rect());
    }
    QVERIFY(PixelsNear(image, TResultsChart::BarColor(0)) > 500);
    // The second direction's area, in a colour of its own.
    const int second = PixelsNear(image, TResultsChart::BarColor(2));
    QVERIFY2(curves.size() > 1 ? second > 500 : second < 50, qPrintable(QString::number(second)));
    const int line = PixelsNear(image, TResultsChart::BarColor(1));
    QVERIFY2(latency ? line > 100 : line < 20, qPrintable(QString::number(line)));
}

void tst_LiveProgress::graphKeepsCurvesApartWhenMerging()
{
    TLiveRateGraph graph;
    graph.Start(QStringLiteral("host"), true);
    graph.StartCurve(QStringLiteral("download"));
    const int half = TLiveRateGraph::MaxSamples * 3 / 2 + 1; // odd: a pair would straddle the switch
    for (int i = 1; i <= half; ++i)
        graph.AddSample(Sample(i * 0.25, 100));
    graph.StartCurve(QStringLiteral("upload"));
    for (int i = half + 1; i <= 2 * half; ++i) {
        graph.AddSample(Sample(i * 0.25, 500));
        graph.AddLatency(i * 0.25, 30);
    }
    const QVector<QPointF>& s = graph.Samples();
    QVERIFY(s.size() <= TLiveRateGraph::MaxSamples);
    QVERIFY(graph.LatencySamples().size() <= TLiveRateGraph::MaxSamples);
    QCOMPARE(graph.SampleCurves().size(), s.size());
    // No merged point mixes the two directions: each keeps its own rate and time span.
    for (qsizetype i = 0; i < s.size(); ++i) {
        const bool upload = graph.SampleCurves().at(i) == 1;
        QCOMPARE(s[i].y(), upload ? 500.0 : 100.0);
        QVERIFY(upload ? s[i].x() > half * 0.25 : s[i].x() <= half * 0.25);
        if (i > 0)
            QVERIFY(graph.SampleCurves().at(i) >= graph.SampleCurves().at(i - 1));
    }
    QCOMPARE(s.last().x(), 2 * half * 0.25);
}

void tst_LiveProgress::titleShowsTheResultAfterTheTest_data()
{
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("title");
    const QString figures = ResultLines::LiveResultFigures(3.0 * 1024 * 1024, 1500, 2048);
    QTest::newRow("a result") << figures << figures;
    QTest::newRow("cancelled") << "Test cancelled" << "Test cancelled";
    // The last interval's figures would read like a result.
    QTest::newRow("no result") << QString() << "no result";
}

// While the test runs the title shows the last interval; after it, the result or why there is none.
void tst_LiveProgress::titleShowsTheResultAfterTheTest()
{
    QFETCH(QString, result);
    QFETCH(QString, title);
    TLiveRateGraph graph;
    graph.Start(QStringLiteral("host"));
    graph.AddSample(Sample(0.25, 100));
    graph.AddSample(Sample(0.5, 4000));
    const QString live = ProgressText::Figures(graph.Latest());
    QCOMPARE(graph.Figures(), live);
    graph.Finish(result.isEmpty() || result == QLatin1String("Test cancelled") ? -1 : 2048, result);
    QCOMPARE(graph.Figures(), title);
    QCOMPARE(ResultLines::LiveResultFigures(3.0 * 1024 * 1024, 1500, 2048), QStringLiteral("3.00 MB  1.5 s  2.00 MB/s"));
    // Rounded, not cut; under a second in ms rather than "0.0 s".
    QCOMPARE(ResultLines::LiveResultFigures(3.0 * 1024 * 1024, 20971, 2048), QStringLiteral("3.00 MB  21.0 s  2.00 MB/s"));
    QCOMPARE(ResultLines::LiveResultFigures(12.0 * 1024, 34, 352.94), QStringLiteral("12.00 KB  34 ms  352.94 KB/s"));
    // The next test starts with its own figures.
    graph.Start(QStringLiteral("next"));
    QVERIFY(graph.Figures().isEmpty());
}

namespace {
bool Near(const QColor& c, const QColor& colour, int tolerance)
{
    return qAbs(c.red() - colour.red()) < tolerance && qAbs(c.green() - colour.green()) < tolerance
           && qAbs(c.blue() - colour.blue()) < tolerance;
}

// The tallest run of pixels near colour in any one column: how tall a curve stands.
int TallestRun(const QImage& image, const QColor& colour)
{
    int tallest = 0;
    for (int x = 0; x < image.width(); ++x) {
        int run = 0;
        for (int y = 0; y < image.height(); ++y) {
            run = Near(image.pixelColor(x, y), colour, 40) ? run + 1 : 0;
            tallest = std::max(tallest, run);
        }
    }
    return tallest;
}

QImage Drawn(const TLiveRateGraph& graph, QSize size = QSize(740, 300))
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    graph.Draw(painter, image.rect());
    return image;
}
} // namespace

void tst_LiveProgress::graphKeepsEveryCurveVisible_data()
{
    QTest::addColumn<double>("download");
    QTest::addColumn<double>("upload");
    QTest::addColumn<bool>("logScale");
    // A loopback session: 19 MB/s down against 4 GB/s up once left the download a hairline.
    QTest::newRow("19 MB/s and 4 GB/s") << 19.0 * 1024 << 4.0 * 1024 * 1024 << true;
    QTest::newRow("4 GB/s and 19 MB/s") << 4.0 * 1024 * 1024 << 19.0 * 1024 << true;
    QTest::newRow("300 KB/s and 90 MB/s") << 300.0 << 90.0 * 1024 << true;
    // Close rates keep the plain axis a reader takes in at a glance.
    QTest::newRow("2 and 5 MB/s") << 2.0 * 1024 << 5.0 * 1024 << false;
}

// Every curve the legend names has an area a user can see, and the legend shows each entry.
void tst_LiveProgress::graphKeepsEveryCurveVisible()
{
    QFETCH(double, download);
    QFETCH(double, upload);
    QFETCH(bool, logScale);
    TLiveRateGraph graph;
    graph.Start(QStringLiteral("127.0.0.1"), true);
    double t = 0;
    for (const auto& [name, rate] : {std::pair{QStringLiteral("download"), download}, std::pair{QStringLiteral("upload"), upload}}) {
        graph.StartCurve(name);
        for (int i = 0; i < 20; ++i) {
            t += 0.25;
            graph.AddSample(Sample(t, rate * (1 + (i % 3) / 20.0)));
            graph.AddLatency(t, 1 + i % 4);
        }
    }
    graph.Finish(-1, QStringLiteral("download 19.00 MB/s   upload 4.00 GB/s"));
    QCOMPARE(graph.LogScale(), logScale);
    const QImage image = Drawn(graph);
    // The legend's swatch is under 20 pixels tall: a run that tall is the curve's own area.
    for (int curve : {0, 1}) {
        const int tallest = TallestRun(image, TResultsChart::BarColor(curve == 0 ? 0 : 2));
        QVERIFY2(tallest >= 20, qPrintable(QStringLiteral("curve %1 stands %2 px").arg(curve).arg(tallest)));
    }
    QVERIFY(PixelsNear(image, TResultsChart::BarColor(1)) > 20);
}

// A test over before its first interval (34 ms) still shows its result, not the empty graph.
void tst_LiveProgress::graphShowsAResultWithoutIntervals()
{
    TLiveRateGraph graph;
    graph.Start(QStringLiteral("127.0.0.1"));
    const QImage before = Drawn(graph);
    const QString figures = ResultLines::LiveResultFigures(12.0 * 1024, 34, 352.94);
    graph.Finish(352.94, figures);
    QCOMPARE(graph.Figures(), figures);
    // The result's dashed line in the title colour crosses the plot.
    const QImage after = Drawn(graph);
    QVERIFY(PixelsNear(after, QColor(0, 0, 128)) > PixelsNear(before, QColor(0, 0, 128)) + 100);
}

// The mark on the last interval's rate is live: beside the result it would be stale.
void tst_LiveProgress::graphDropsTheLiveMarkAfterTheTest()
{
    TLiveRateGraph graph;
    graph.Start(QStringLiteral("127.0.0.1"));
    for (int i = 1; i <= 20; ++i)
        graph.AddSample(Sample(i * 0.25, i == 20 ? 9000 : 2000));
    // The mark's box is filled in the tooltip colour, exactly.
    const QRgb markBack = graph.palette().color(QPalette::ToolTipBase).rgb();
    const auto boxPixels = [markBack](const QImage& image) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                count += image.pixel(x, y) == markBack;
        return count;
    };
    const int live = boxPixels(Drawn(graph));
    QVERIFY(live > 100);
    graph.Finish(2100, ResultLines::LiveResultFigures(10.0 * 1024 * 1024, 5000, 2100));
    QVERIFY2(boxPixels(Drawn(graph)) < live - 100, qPrintable(QString::number(boxPixels(Drawn(graph)))));
}

void tst_LiveProgress::latencyLineStaysInsideItsPlot()
{
    TLiveRateGraph graph;
    graph.Start(QStringLiteral("127.0.0.1"), true);
    for (int i = 1; i <= 40; ++i) {
        graph.AddSample(Sample(i * 0.25, 2000));
        // Zero and a tall peak: the line's extremes.
        graph.AddLatency(i * 0.25, i % 10 == 0 ? 80 : 0);
    }
    const QImage image = Drawn(graph);
    const QColor line = TResultsChart::BarColor(1);
    const QColor axis = line.darker(130);
    // The latency axis is the column with the most of its colour; its ends are the plot's.
    int axisX = -1;
    int axisCount = 0;
    for (int x = 0; x < image.width(); ++x) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            count += Near(image.pixelColor(x, y), axis, 12);
        if (count > axisCount) {
            axisCount = count;
            axisX = x;
        }
    }
    QVERIFY(axisCount > 50);
    int axisBottom = 0;
    for (int y = 0; y < image.height(); ++y)
        if (Near(image.pixelColor(axisX, y), axis, 12))
            axisBottom = y;
    int lineBottom = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < axisX - 2; ++x)
            if (Near(image.pixelColor(x, y), line, 12))
                lineBottom = y;
    // The 2-pixel pen reaches a pixel past its centre line.
    QVERIFY2(lineBottom <= axisBottom + 1, qPrintable(QStringLiteral("line to %1, axis zero at %2").arg(lineBottom).arg(axisBottom)));
    QVERIFY(lineBottom >= axisBottom - 2);
}

KORVANE_UI_TEST_MAIN(tst_LiveProgress)
#include "tst_LiveProgress.moc"
