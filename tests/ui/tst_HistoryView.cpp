#include "settings/AppIniFileStorage.h"
#include "storage/DayCountDate.h"
#include "storage/ResultsTable.h"
#include "ui/TResultsHistoryView.h"
#include "tests/ui/UiTestMain.h"

#include <QAction>
#include <QTabBar>
#include <QTabWidget>

#include <cmath>

namespace {

const QStringList Targets = {QStringLiteral("speed1.example.net"), QStringLiteral("speed2.example.net"),
                             QStringLiteral("http://www.example.org/")};
constexpr double FirstDay = 46000;  // day count of the first result

void AddRow(TResultsTable& table, const QString& server, double day, double rate)
{
    table.Append();
    table.SetServer(server);
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
        QCOMPARE(view.Targets(), Targets);

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
        QVERIFY2(text.startsWith(Targets.at(2) + QLatin1Char('\n')), qPrintable(text));
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

private:
    std::unique_ptr<TResultsTable> FTable;
};

KORVANE_UI_TEST_MAIN(HistoryViewTest)
#include "tst_HistoryView.moc"
