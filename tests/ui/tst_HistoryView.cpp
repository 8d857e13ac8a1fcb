#include "settings/AppIniFileStorage.h"
#include "storage/DayCountDate.h"
#include "storage/ResultsTable.h"
#include "ui/ChartStyle.h"
#include "ui/TResultsHistoryView.h"
#include "tests/ui/UiTestMain.h"

#include <QAction>
#include <QMenu>
#include <QRegularExpression>
#include <QTabBar>
#include <QTabWidget>

#include <cmath>

namespace {

const QStringList Targets = {QStringLiteral("speed1.example.net"), QStringLiteral("speed2.example.net"),
                             QStringLiteral("http://www.example.org/")};
constexpr double FirstDay = 46000;  // day count of the first result

void AddRow(TResultsTable& table, const QString& server, double day, double rate, int port = 0,
            const QString& direction = QString(), double planBps = 0)
{
    table.Append();
    table.SetPlanBps(planBps);
    table.SetServer(server);
    table.SetPort(port);
    if (!direction.isEmpty())
        table.SetDirection(direction);
    table.SetStartTime(day);
    table.SetDuration(1000);
    table.SetBytesRx(rate * 1024);
    table.SetResult(rate);
    table.SetSpeed(rate);
    table.Post();
}

// A year of results, three targets every three hours, with uneven rates (a daily dip, a slow
// slide over the year, a different level per target) and every 97th row invalid.
int FillYear(TResultsTable& table)
{
    int valid = 0;
    for (int i = 0; i < 365 * 8; ++i) {
        for (int t = 0; t < Targets.size(); ++t) {
            const double day = FirstDay + i / 8.0 + t * 0.01;
            const double hour = std::fmod(day, 1.0) * 24;
            double rate = (t + 1) * 3000.0 * (1 - 0.3 * i / (365 * 8.0))
                          * (hour >= 18 ? 0.6 : 1.0) * (1 + 0.25 * std::sin(i * 1.7 + t));
            const bool invalid = (i * 3 + t) % 97 == 0;
            if (invalid)
                rate = -1;
            AddRow(table, Targets.at(t), day, rate);
            valid += !invalid;
        }
    }
    return valid;
}

bool HasColour(const QImage& image, const QColor& colour)
{
    const QRgb wanted = colour.rgb();
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if ((line[x] & 0xffffff) == (wanted & 0xffffff))
                return true;
    }
    return false;
}

QImage Shot(QWidget& view)
{
    return view.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

}  // namespace

class HistoryViewTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        FTable = std::make_unique<TResultsTable>();
        FTable->CreateDataSet();
    }

    void yearOfResults()
    {
        const int valid = FillYear(*FTable);
        TResultsHistoryView view;
        view.resize(900, 500);
        view.SetTable(FTable.get());
        QCOMPARE(view.PointCount(), valid);
        QStringList series;
        for (const QString& target : Targets)
            series << target + QStringLiteral(" (download)");
        QCOMPARE(view.Targets(), series);

        const QImage image = Shot(view);
        if (const QByteArray dir = qgetenv("KORVANE_SCREENSHOT_DIR"); !dir.isEmpty())
            image.save(QString::fromLocal8Bit(dir) + QStringLiteral("/history-year.png"));

        const QRectF plot = view.PlotRect(view.rect());
        const QVector<QPointF> points = view.PointPositions(view.rect());
        QCOMPARE(points.size(), valid);
        for (const QPointF& point : points)
            QVERIFY2(plot.contains(point), qPrintable(QStringLiteral("%1,%2").arg(point.x()).arg(point.y())));
        for (int t = 0; t < Targets.size(); ++t)
            QVERIFY2(HasColour(image, TResultsHistoryView::TargetColor(t)), qPrintable(Targets.at(t)));

        // A year reads in months.
        const QStringList labels = view.TimeLabels(view.rect());
        QVERIFY(labels.size() >= 3);
        QVERIFY(labels.first().contains(QStringLiteral("20")));
    }

    void zoomChangesTimeLabels()
    {
        FillYear(*FTable);
        TResultsHistoryView view;
        view.resize(900, 500);
        view.SetTable(FTable.get());
        const QStringList year = view.TimeLabels(view.rect());

        const double middle = view.PlotRect(view.rect()).center().x();
        view.ZoomAt(middle, 0.02);  // about a week
        const QStringList week = view.TimeLabels(view.rect());
        QVERIFY(week != year);
        QVERIFY(view.ViewEnd() - view.ViewStart() < 10);

        view.ZoomAt(middle, 0.05);  // some hours
        const QStringList hours = view.TimeLabels(view.rect());
        QVERIFY(hours != week);
        QVERIFY2(hours.first().contains(QLatin1Char(':')), qPrintable(hours.join(QLatin1Char('|'))));

        // Fewer points are drawn, all inside the plot, and every target still shows.
        const QVector<QPointF> points = view.PointPositions(view.rect());
        QVERIFY(!points.isEmpty());
        const QRectF plot = view.PlotRect(view.rect());
        for (const QPointF& point : points)
            QVERIFY(plot.contains(point));

        view.ShowAll();
        QCOMPARE(view.TimeLabels(view.rect()), year);
    }

    void wheelAndDrag()
    {
        FillYear(*FTable);
        TResultsHistoryView view;
        view.resize(900, 500);
        view.SetTable(FTable.get());
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QPoint centre = view.PlotRect(view.rect()).center().toPoint();

        QWheelEvent wheel(centre, view.mapToGlobal(centre), QPoint(), QPoint(0, 120 * 5), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&view, &wheel);
        const double span = view.ViewEnd() - view.ViewStart();
        QVERIFY(span > 0 && span < 380 * 0.5);

        const double start = view.ViewStart();
        QTest::mousePress(&view, Qt::LeftButton, {}, centre);
        QTest::mouseMove(&view, centre + QPoint(100, 0));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, centre + QPoint(100, 0));
        // Dragging right shows earlier results; the span stays.
        QVERIFY(view.ViewStart() < start);
        QCOMPARE(view.ViewEnd() - view.ViewStart(), span);
    }

    void postedResultAppearsAtOnce()
    {
        AddRow(*FTable, Targets.at(0), FirstDay, 1000);
        AddRow(*FTable, Targets.at(0), FirstDay + 1, 2000);
        TResultsHistoryView view;
        view.resize(600, 400);
        view.SetTable(FTable.get());
        QCOMPARE(view.Targets().size(), 1);

        AddRow(*FTable, Targets.at(1), FirstDay + 0.5, 1500);
        QCOMPARE(view.PointCount(), 3);
        QCOMPARE(view.Targets().size(), 2);
        QVERIFY(HasColour(Shot(view), TResultsHistoryView::TargetColor(1)));

        // An invalid post adds nothing; a reset empties the view.
        AddRow(*FTable, Targets.at(1), FirstDay + 0.7, -1);
        QCOMPARE(view.PointCount(), 3);
        FTable->CreateDataSet();
        QCOMPARE(view.PointCount(), 0);
    }

    void chosenTargetsOnly()
    {
        FillYear(*FTable);
        TResultsHistoryView view;
        view.resize(900, 500);
        view.SetTable(FTable.get());
        view.SetChosenTargets({Targets.at(1)});
        const QImage image = Shot(view);
        QVERIFY(HasColour(image, TResultsHistoryView::TargetColor(1)));
        QVERIFY(!HasColour(image, TResultsHistoryView::TargetColor(0)));
        QVERIFY(!HasColour(image, TResultsHistoryView::TargetColor(2)));
    }

    void toolTipNamesTheRow()
    {
        AddRow(*FTable, Targets.at(2), FirstDay, 1000);
        AddRow(*FTable, Targets.at(2), FirstDay + 2, 3000);
        TResultsHistoryView view;
        view.resize(600, 400);
        view.SetTable(FTable.get());
        const QPointF second = view.PointPositions(view.rect()).at(1);
        const QString text = view.ToolTipAt(second.toPoint());
        QVERIFY2(text.startsWith(Targets.at(2) + QStringLiteral(" (download)\n")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("3000")) || text.contains(QStringLiteral("3,000")), qPrintable(text));
        QVERIFY(view.ToolTipAt(QPoint(second.x(), 5)).isEmpty());
    }

    void stateInItsOwnSection()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("settings.ini"));
        {
            TAppIniFileStorage store;
            store.SetFileName(file);
            QTabWidget tabs;
            TResultsHistoryView view;
            view.SetView(FirstDay, FirstDay + 30);
            view.SaveState(store);  // never shown: nothing written
            QVERIFY(!store.ValueStored(QStringLiteral("History\\Shown")));

            view.AttachTo(&tabs);
            view.SetTabShown(true);
            view.SetChosenTargets({Targets.at(0), Targets.at(2)});
            view.SaveState(store);
            QCOMPARE(store.Flush(), QString());
        }
        TAppIniFileStorage store;
        store.SetFileName(file);
        QTabWidget tabs;
        tabs.addTab(new QWidget, QStringLiteral("&Grid"));
        TResultsHistoryView view;
        view.AttachTo(&tabs);
        view.RestoreState(store);
        QVERIFY(view.TabShown());
        QCOMPARE(tabs.count(), 2);
        QCOMPARE(view.ViewStart(), FirstDay);
        QCOMPARE(view.ViewEnd(), FirstDay + 30);
        QCOMPARE(view.ChosenTargets(), (QStringList{Targets.at(2), Targets.at(0)}));
    }

    void mainWindowTabIsOptIn()
    {
        std::unique_ptr<TfMain> window;
        TfMain* w = ShowMainWindow(window);
        QCOMPARE(w->pcResults->count(), 2);
        QAction* toggle = w->pcResults->tabBar()->findChild<QAction*>(QStringLiteral("acShowHistory"));
        QVERIFY(toggle);
        // The View menu offers the same switch, so the tab can be found without the context menu.
        auto* viewMenu = w->findChild<QMenu*>(QStringLiteral("ViewMenu1"));
        QVERIFY(viewMenu);
        QVERIFY(viewMenu->actions().contains(toggle));
        toggle->setChecked(true);
        QCOMPARE(w->pcResults->count(), 3);
        QCOMPARE(w->pcResults->tabText(2), TResultsHistoryView::TabCaption());
        w->pcResults->setCurrentIndex(2);
        QVERIFY(w->pcResults->currentWidget()->isVisible());
        if (const QByteArray dir = qgetenv("KORVANE_SCREENSHOT_DIR"); !dir.isEmpty())
            w->grab().save(QString::fromLocal8Bit(dir) + QStringLiteral("/history-window.png"));
        toggle->setChecked(false);
        QCOMPARE(w->pcResults->count(), 2);
    }

    void seriesPerPortAndDirection_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("direction");
        QTest::addColumn<QString>("series");
        QTest::newRow("stream test") << "host" << 8081 << QString() << "host:8081 (download)";
        QTest::newRow("session upload") << "host" << 8082 << "upload" << "host:8082 (upload)";
        QTest::newRow("no port recorded") << "host" << 0 << QString() << "host (download)";
        QTest::newRow("port in the target") << "host:9000" << 8081 << QString() << "host:9000 (download)";
        QTest::newRow("web page") << "http://host:8080/a" << 0 << QString() << "http://host:8080/a (download)";
        QTest::newRow("ipv6 address") << "::1" << 8081 << QString() << "::1 port 8081 (download)";
        QTest::newRow("ipv6 address with its port") << "[::1]:9000" << 8081 << QString() << "[::1]:9000 (download)";
    }
    void seriesPerPortAndDirection()
    {
        QFETCH(QString, server);
        QFETCH(int, port);
        QFETCH(QString, direction);
        QFETCH(QString, series);
        TResultRow row;
        row.Server = server;
        row.Port = port;
        row.Direction = direction;
        QCOMPARE(TResultsHistoryView::SeriesName(row), series);
    }

    // Two servers on one host and both directions of a session are four series, each with its
    // colour, and a dot's tooltip names its own.
    void seriesKeepServersAndDirectionsApart()
    {
        AddRow(*FTable, QStringLiteral("host"), FirstDay, 1000, 8081);
        AddRow(*FTable, QStringLiteral("host"), FirstDay + 0.1, 2000, 9081);
        AddRow(*FTable, QStringLiteral("host"), FirstDay + 0.2, 3000, 8082, QStringLiteral("download"));
        AddRow(*FTable, QStringLiteral("host"), FirstDay + 0.3, 4000, 8082, QStringLiteral("upload"));
        TResultsHistoryView view;
        view.resize(600, 400);
        view.SetTable(FTable.get());
        QCOMPARE(view.Targets(), (QStringList{"host:8081 (download)", "host:9081 (download)", "host:8082 (download)",
                                              "host:8082 (upload)"}));
        const QImage image = Shot(view);
        for (int t = 0; t < 4; ++t)
            QVERIFY2(HasColour(image, TResultsHistoryView::TargetColor(t)), qPrintable(view.Targets().at(t)));
        const QPointF upload = view.PointPositions(view.rect()).at(3);
        QVERIFY2(view.ToolTipAt(upload.toPoint()).startsWith(QStringLiteral("host:8082 (upload)\n")),
                 qPrintable(view.ToolTipAt(upload.toPoint())));
        // A choice saved when series were bare targets still picks that target's series.
        view.SetChosenTargets({QStringLiteral("host")});
        QCOMPARE(view.PointPositions(view.rect()).size(), 4);
    }

    void mediansOnlyWhereThereAreResults_data()
    {
        QTest::addColumn<QVector<double>>("times");  // hours from FirstDay
        QTest::addColumn<int>("lines");
        // Hours zoomed in: 1:00 and 1:30, then nothing until 5:00.
        QTest::newRow("hours with a gap") << QVector<double>{1, 1.5, 5} << 2;
        QTest::newRow("neighbouring hours") << QVector<double>{1, 2.2, 3.1} << 1;
        // A week, in days: the empty day breaks the line.
        QTest::newRow("days with a gap") << QVector<double>{10, 30, 80, 130} << 3;
        QTest::newRow("one result") << QVector<double>{7} << 1;
    }
    void mediansOnlyWhereThereAreResults()
    {
        QFETCH(QVector<double>, times);
        QFETCH(int, lines);
        for (int i = 0; i < times.size(); ++i)
            AddRow(*FTable, Targets.at(0), FirstDay + times[i] / 24, 1000 + 100 * i);
        TResultsHistoryView view;
        view.resize(800, 400);
        view.SetTable(FTable.get());
        const QVector<QPointF> dots = view.PointPositions(view.rect());
        const QVector<QPolygonF> medians = view.MedianLines(view.rect());
        QCOMPARE(medians.size(), lines);
        // No line reaches past the first or last result (beyond a short stroke at a lone dot),
        // nor into the future.
        const double reach = TResultsHistoryView::DotRadius + 2;
        for (const QPolygonF& line : medians) {
            QVERIFY(line.first().x() >= dots.first().x() - reach - 0.5);
            QVERIFY(line.last().x() <= dots.last().x() + reach + 0.5);
        }
    }

    void readableRateAxis_data()
    {
        QTest::addColumn<QVector<double>>("rates");
        QTest::addColumn<QString>("unit");
        QTest::newRow("KB/s") << QVector<double>{120, 480} << "KB/s";
        // Once "4.5e+06" stood beside "500,000".
        QTest::newRow("GB/s") << QVector<double>{500000, 4500000} << "GB/s";
        QTest::newRow("MB/s") << QVector<double>{2000, 90000} << "MB/s";
        QTest::newRow("small") << QVector<double>{0.2, 0.5} << "KB/s";
    }
    void readableRateAxis()
    {
        QFETCH(QVector<double>, rates);
        QFETCH(QString, unit);
        for (int i = 0; i < rates.size(); ++i)
            AddRow(*FTable, Targets.at(0), FirstDay + i, rates[i]);
        TResultsHistoryView view;
        view.resize(800, 400);
        view.SetTable(FTable.get());
        QStringList labels = view.RateLabels(view.rect());
        QCOMPARE(labels.takeLast(), unit);
        QVERIFY(labels.size() >= 3);
        // Plain numbers, all with the same decimals.
        static const QRegularExpression plain(QStringLiteral("^\\d+([.,]\\d+)?$"));
        const auto decimalsOf = [](const QString& label) {
            const qsizetype point = label.indexOf(QRegularExpression(QStringLiteral("[.,]")));
            return point < 0 ? 0 : label.size() - point - 1;
        };
        for (const QString& label : std::as_const(labels)) {
            QVERIFY2(plain.match(label).hasMatch(), qPrintable(labels.join(QLatin1Char('|'))));
            QCOMPARE(decimalsOf(label), decimalsOf(labels.first()));
        }
    }

    void closestZoomHasTimeLabels()
    {
        FillYear(*FTable);
        TResultsHistoryView view;
        view.resize(900, 500);
        view.SetTable(FTable.get());
        const double middle = view.PlotRect(view.rect()).center().x();
        for (int i = 0; i < 40; ++i)
            view.ZoomAt(middle, 0.5);
        QVERIFY(view.ViewEnd() - view.ViewStart() < 1.0 / 24);
        const QStringList labels = view.TimeLabels(view.rect());
        QVERIFY2(labels.size() >= 3, qPrintable(labels.join(QLatin1Char('|'))));
        QCOMPARE(QStringList(labels).removeDuplicates(), 0);
    }

    // A dot is 5 x 5 pixels: big enough to see and to point at. (Two results in one hour, so
    // their median runs between them, not over the dot.)
    void dotsAreVisible()
    {
        AddRow(*FTable, Targets.at(0), FirstDay, 1000);
        AddRow(*FTable, Targets.at(0), FirstDay + 1.0 / 144, 3000);
        TResultsHistoryView view;
        view.resize(600, 400);
        view.SetTable(FTable.get());
        const QImage image = Shot(view);
        const QPoint centre = view.PointPositions(view.rect()).at(0).toPoint();
        const QRgb colour = TResultsHistoryView::TargetColor(0).rgb() & 0xffffff;
        int covered = 0;
        for (int dy = -3; dy <= 3; ++dy)
            for (int dx = -3; dx <= 3; ++dx)
                covered += (image.pixel(centre + QPoint(dx, dy)) & 0xffffff) == colour;
        if (const QByteArray dir = qgetenv("KORVANE_SCREENSHOT_DIR"); !dir.isEmpty())
            image.save(QString::fromLocal8Bit(dir) + QStringLiteral("/history-dots.png"));
        QVERIFY2(covered >= 25, qPrintable(QStringLiteral("%1 at %2,%3").arg(covered).arg(centre.x()).arg(centre.y())));
    }

    // A month of a 100M line tested every six hours, slower each evening; the plan changes to
    // 200M half way. The plan is a dashed line per run of results under it, at its rate, and
    // exactly the results below the chosen share sit on a shaded square.
    void planLineAndShadedResults_data()
    {
        QTest::addColumn<int>("sharePercent");
        QTest::newRow("80 %") << 80;
        QTest::newRow("50 %") << 50;
    }
    void planLineAndShadedResults()
    {
        QFETCH(int, sharePercent);
        const double share = sharePercent / 100.0;
        int below = 0;
        for (int i = 0; i < 30 * 4; ++i) {
            const double plan = i < 60 ? 100e6 : 200e6;
            const double planKBps = plan / 8192;
            // Evenings at 45 % or 70 % of the plan, the rest at 85 % to 100 %.
            const double reached = i % 4 == 3 ? (i % 8 == 3 ? 0.45 : 0.7) : 0.85 + 0.05 * (i % 3);
            AddRow(*FTable, Targets.at(0), FirstDay + i / 4.0, planKBps * reached, 8081, QString(), plan);
            below += reached < share;
        }
        // A series without a plan: no line, never shaded.
        for (int i = 0; i < 30; ++i)
            AddRow(*FTable, Targets.at(1), FirstDay + i + 0.5, 3000 + 500 * (i % 3), 8081);

        TResultsHistoryView view;
        view.resize(900, 500);
        view.SetPlanShare(share);
        view.SetTable(FTable.get());
        const QRect rect = view.rect();
        const QRectF plot = view.PlotRect(rect);

        const QVector<QLineF> lines = view.PlanLines(rect);
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].y1() == lines[0].y2() && lines[1].y1() == lines[1].y2());
        // Twice the rate is twice the height above the plot's floor.
        QVERIFY(qAbs((plot.bottom() - lines[1].y1()) - 2 * (plot.bottom() - lines[0].y1())) < 1.5);
        // The first plan holds until the second begins, which holds to the plot's edge.
        QCOMPARE(lines[0].x2(), lines[1].x1());
        QCOMPARE(lines[1].x2(), plot.right());

        const QVector<QPointF> shaded = view.ShadedPositions(rect);
        QCOMPARE(shaded.size(), below);
        QVERIFY(below > 0);

        const QImage image = Shot(view);
        if (const QByteArray dir = qgetenv("KORVANE_SCREENSHOT_DIR"); !dir.isEmpty())
            image.save(QString::fromLocal8Bit(dir) + QStringLiteral("/history-plan-%1.png").arg(sharePercent));
        // Each shaded result shows the shade around its dot; the plan line shows its dashes.
        const QRgb shade = ChartStyle::BelowPlanShade.rgb() & 0xffffff;
        for (const QPointF& at : shaded) {
            int pale = 0;
            for (int dy = -TResultsHistoryView::ShadeRadius; dy <= TResultsHistoryView::ShadeRadius; ++dy)
                for (int dx = -TResultsHistoryView::ShadeRadius; dx <= TResultsHistoryView::ShadeRadius; ++dx)
                    pale += (image.pixel(at.toPoint() + QPoint(dx, dy)) & 0xffffff) == shade;
            QVERIFY2(pale >= 20, qPrintable(QStringLiteral("%1 at %2,%3").arg(pale).arg(at.x()).arg(at.y())));
        }
        const QRgb dash = TResultsHistoryView::TargetColor(0).darker(130).rgb() & 0xffffff;
        const int y = int(std::lround(lines[1].y1()));
        int dashed = 0;
        for (int x = int(lines[1].x1()) + 2; x < int(lines[1].x2()) - 2; ++x)
            dashed += ((image.pixel(x, y) & 0xffffff) == dash) || ((image.pixel(x, y + 1) & 0xffffff) == dash);
        const int length = int(lines[1].x2() - lines[1].x1()) - 4;
        QVERIFY2(dashed > length / 4 && dashed < length, qPrintable(QStringLiteral("%1 of %2").arg(dashed).arg(length)));
    }

private:
    std::unique_ptr<TResultsTable> FTable;
};

KORVANE_UI_TEST_MAIN(HistoryViewTest)
#include "tst_HistoryView.moc"
