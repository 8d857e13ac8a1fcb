#include "UiTestMain.h"

#include "TLiveRateGraph.h"
#include "AppIniFileStorage.h"
#include "TKorvane.h"
#include "TLogPane.h"
#include "TPortSpinEdit.h"
#include "TResultsGrid.h"
#include "TResultsChart.h"
#include "TStatusPane.h"

#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QProcess>
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

private:
    std::unique_ptr<QTemporaryDir> FHome;
    std::unique_ptr<TfMain> FWindow;
    QProcess FServer;
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
    const QString serverPath = qEnvironmentVariable("KORVANE_BIN_DIR") + QStringLiteral("/korvane-server");
    QVERIFY2(QFileInfo(serverPath).isExecutable(), qPrintable(serverPath));
    FServer.start(serverPath, {"--listen", "127.0.0.1", "--port", "0", "--bytes", QString::number(kAmount), "--rate",
                               QString::number(kRate)});
    QVERIFY(FServer.waitForStarted());
    QString announced;
    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QRegularExpressionMatch m;
    QTRY_VERIFY_WITH_TIMEOUT((announced += QString::fromUtf8(FServer.readAllStandardError()),
                              (m = listening.match(announced)).hasMatch()),
                             10000);
    FPort = m.captured(1).toUShort();
}

void tst_LiveProgress::cleanupTestCase()
{
    FServer.kill();
    FServer.waitForFinished();
}

void tst_LiveProgress::init()
{
    FHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", FHome->filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", FHome->filePath(QStringLiteral("config")).toUtf8());
}

void tst_LiveProgress::cleanup()
{
    FWindow.reset();
    FHome.reset();
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

KORVANE_UI_TEST_MAIN(tst_LiveProgress)
#include "tst_LiveProgress.moc"
