#include "tests/ui/UiTestMain.h"

#include "storage/DiskStorage.h"
#include "storage/ResultsTable.h"
#include "ui/TResultsCellDelegate.h"
#include "ui/TResultsChart.h"
#include "ui/TResultsColumn.h"
#include "ui/TResultsGrid.h"
#include "ui/TResultsGridModel.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QPainter>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextStream>
#include <QDir>
#include <QFile>
#include <QToolTip>
#include <QVBoxLayout>

#include <memory>

namespace {

struct RowSpec
{
    QString server;
    double speed;
};

// A results store in a temporary folder, filled with the given rows.
std::unique_ptr<TdmDiskStorage> MakeStore(const QTemporaryDir& dir, const QList<RowSpec>& rows)
{
    auto store = std::make_unique<TdmDiskStorage>(dir.path());
    TResultsTable* table = store->cdsKorvaneResults();
    const QDateTime start(QDate(2024, 3, 5), QTime(9, 7));
    for (const RowSpec& r : rows) {
        table->Append();
        table->SetServer(r.server);
        table->SetStartTime(start);
        table->SetDuration(1234);
        table->SetBytesRx(1048576);
        table->SetResult(r.speed);
        table->SetSpeed(r.speed);
        table->Post();
    }
    return store;
}

// A long history, written as the results file in one go: posting thousands of rows one by
// one would write the file thousands of times.
std::unique_ptr<TdmDiskStorage> MakeHistory(const QTemporaryDir& dir, const QList<double>& rates)
{
    QFile file(QDir(dir.path()).filePath(TdmDiskStorage::ResultsFileName));
    if (!file.open(QIODevice::WriteOnly))
        return nullptr;
    QTextStream out(&file);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<KorvaneResults version=\"1\" nextOrder=\"" << rates.size() + 1 << "\">\n<columns>\n";
    for (const char* column : {"Order\" type=\"autoinc", "Server\" type=\"string255", "StartTime\" type=\"datetime",
                               "Duration\" type=\"int32", "BytesRx\" type=\"double", "Result\" type=\"double",
                               "Speed\" type=\"double"})
        out << "<column name=\"" << column << "\"/>\n";
    out << "</columns>\n<rows>\n";
    for (qsizetype i = 0; i < rates.size(); ++i)
        out << "<row Order=\"" << i + 1 << "\" Server=\"speed" << i % 7 << ".example.net\" StartTime=\""
            << 45000 + i / 24.0 << "\" Duration=\"1234\" BytesRx=\"1048576\" Result=\"" << rates[i]
            << "\" Speed=\"" << rates[i] << "\"/>\n";
    out << "</rows>\n</KorvaneResults>\n";
    out.flush();
    file.close();
    return std::make_unique<TdmDiskStorage>(dir.path());
}

QImage DrawnChart(const TResultsChart& chart, const QSize& size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    QPainter painter(&image);
    chart.Draw(painter, QRect(QPoint(0, 0), size));
    return image;
}

// The chart's size in the main window at its default size (measured from the window).
constexpr int TResultsChartDefaultWidth = 738;
constexpr int TResultsChartDefaultHeight = 536;

QColor PixelAt(const QImage& image, const QPoint& p)
{
    return image.pixelColor(p);
}

}  // namespace

class tst_ResultsViews : public QObject
{
    Q_OBJECT
private slots:
    void barRect_data();
    void barRect();
    void gridStripesSelectionAndBars();
    void gridRaisesItsScaleForNewResults_data();
    void gridRaisesItsScaleForNewResults();
    void headerClickMarksSortedColumn();
    void gridStartWidthsShowWholeValues_data();
    void gridStartWidthsShowWholeValues();
    void gridWidthsChangedWhileHiddenAreNotTheColumns();
    void elidedCellTooltip();
    void chartWalksTheTable();
    void chartPaletteRepeats();
    void chartMarksEveryBar_data();
    void chartMarksEveryBar();
    void chartShowsFewResultsWhole_data();
    void chartShowsFewResultsWhole();
    void chartDrawsIntoAnyRectangle_data();
    void chartDrawsIntoAnyRectangle();
    void chartDrawsLongHistoryOffTheEventLoop();
};

void tst_ResultsViews::barRect_data()
{
    // Cell 108 x 20: frame inset 2, bar area inset 2 more, so the area is 100 pixels wide.
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("width");
    QTest::newRow("half") << 50.0 << 100 << 50;
    QTest::newRow("zero") << 0.0 << 100 << 0;
    QTest::newRow("at maximum") << 100.0 << 100 << 100;
    QTest::newRow("above maximum stops at the frame") << 151.0 << 100 << 100;
    QTest::newRow("rounds to nearest") << 33.6 << 100 << 34;
    QTest::newRow("half pixel to even") << 0.5 << 100 << 0;
    QTest::newRow("negative drawn by size") << -25.0 << 100 << 25;
    QTest::newRow("no maximum yet") << 12.0 << 0 << 100;
}

void tst_ResultsViews::barRect()
{
    QFETCH(double, value);
    QFETCH(int, maximum);
    QFETCH(int, width);
    const QRect cell(10, 20, 108, 20);
    QCOMPARE(TResultsCellDelegate::BarFrame(cell), QRect(12, 22, 104, 16));
    const QRect bar = TResultsCellDelegate::BarRect(cell, value, maximum);
    QCOMPARE(bar.width(), width);
    if (width > 0) {
        QCOMPARE(bar.topLeft(), QPoint(14, 24));
        QCOMPARE(bar.height(), 12);
    }
}

void tst_ResultsViews::gridRaisesItsScaleForNewResults_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<QList<double>>("posted");
    QTest::addColumn<int>("maximum");
    QTest::newRow("a faster result raises it") << 100 << QList<double>{250.4} << 250;
    QTest::newRow("halves go to the even neighbour") << 100 << QList<double>{250.5} << 250;
    QTest::newRow("a slower one never lowers it") << 300 << QList<double>{250.0, 12.0} << 300;
    QTest::newRow("the fastest of several") << 1 << QList<double>{80.0, 990.6, 400.0} << 991;
}

void tst_ResultsViews::gridRaisesItsScaleForNewResults()
{
    QFETCH(int, start);
    QFETCH(QList<double>, posted);
    QFETCH(int, maximum);
    QTemporaryDir dir;
    auto store = MakeStore(dir, {});
    TResultsGrid grid;
    grid.SetStore(store.get());
    grid.SetSpeedMaximum(start);
    // Whoever posts a result, the grid reads its scale from what was posted.
    for (double speed : posted) {
        TResultsTable* table = store->cdsKorvaneResults();
        table->Append();
        table->SetServer(QStringLiteral("srv"));
        table->SetResult(speed);
        table->SetSpeed(speed);
        table->Post();
    }
    QCOMPARE(grid.SpeedMaximum(), maximum);
}

void tst_ResultsViews::gridStripesSelectionAndBars()
{
    QTemporaryDir dir;
    QList<RowSpec> rows;
    for (int i = 0; i < 30; ++i)
        rows.append({QStringLiteral("srv%1").arg(i), i == 0 ? 500.0 : 50.0});
    // One row above the maximum, one negative.
    rows[1].speed = 250;
    rows[2].speed = -50;
    auto store = MakeStore(dir, rows);

    QWidget host;
    auto* layout = new QVBoxLayout(&host);
    auto* other = new QLineEdit(&host);
    auto* grid = new TResultsGrid(&host);
    layout->addWidget(other);
    layout->addWidget(grid);
    host.resize(740, 300);
    grid->SetStore(store.get());
    grid->SetSpeedMaximum(100);
    host.show();
    QApplication::setActiveWindow(&host);
    QVERIFY(QTest::qWaitForWindowActive(&host));

    QAbstractItemModel* model = grid->model();
    QCOMPARE(model->rowCount(), 30);
    const QColor stripe(205, 250, 255);
    const QColor base = grid->palette().color(QPalette::Base);
    const QColor highlight = grid->palette().color(QPalette::Active, QPalette::Highlight);
    auto cellPixel = [&](int row, int column) {
        const QImage image = grid->viewport()->grab().toImage();
        const QRect r = grid->visualRect(model->index(row, column));
        return PixelAt(image, r.topLeft() + QPoint(1, 1));
    };

    // Focus on the grid with the cell (0, Duration) selected.
    grid->setFocus();
    grid->setCurrentIndex(model->index(0, TResultsGridModel::colDuration));
    QTRY_VERIFY(grid->hasFocus());
    QCOMPARE(cellPixel(0, TResultsGridModel::colDuration), highlight);
    QCOMPARE(cellPixel(0, TResultsGridModel::colServer), stripe);
    QCOMPARE(cellPixel(1, TResultsGridModel::colDuration), base);
    QCOMPARE(cellPixel(2, TResultsGridModel::colDuration), stripe);
    QCOMPARE(cellPixel(4, TResultsGridModel::colResult), stripe);
    QCOMPARE(store->cdsKorvaneResults()->RecIndex(), 0);

    // Without the focus the selected cell is striped like its row.
    other->setFocus();
    QTRY_VERIFY(!grid->hasFocus());
    QCOMPARE(cellPixel(0, TResultsGridModel::colDuration), stripe);

    // Speed bars: grey frame; full at and above the maximum; black when negative.
    const QImage image = grid->viewport()->grab().toImage();
    auto speedCell = [&](int row) { return grid->visualRect(model->index(row, TResultsGridModel::colSpeed)); };
    const QRect full = speedCell(1);
    QCOMPARE(PixelAt(image, TResultsCellDelegate::BarFrame(full).topLeft()), QColor(128, 128, 128));
    const QRect fullBar = TResultsCellDelegate::BarRect(full, 250, 100);
    QCOMPARE(PixelAt(image, fullBar.topRight()), highlight);
    QCOMPARE(PixelAt(image, fullBar.topRight() + QPoint(1, 0)), base);  // the gap before the frame
    QCOMPARE(PixelAt(image, TResultsCellDelegate::BarRect(speedCell(2), -50, 100).center()), QColor(Qt::black));
    const QRect half = TResultsCellDelegate::BarRect(speedCell(3), 50, 100);
    QCOMPARE(PixelAt(image, half.topRight()), highlight);
    QCOMPARE(PixelAt(image, half.topRight() + QPoint(2, 0)), base);
    QVERIFY(half.width() * 2 - fullBar.width() <= 1);

    // Stripes stay on the displayed rows when the grid scrolls by one row.
    grid->verticalScrollBar()->setValue(1);
    QCOMPARE(grid->rowAt(0), 1);
    QCOMPARE(cellPixel(1, TResultsGridModel::colDuration), stripe);
    QCOMPARE(cellPixel(2, TResultsGridModel::colDuration), base);

    // Moving the selection moves the table's cursor.
    grid->setFocus();
    grid->setCurrentIndex(model->index(5, TResultsGridModel::colServer));
    QCOMPARE(store->cdsKorvaneResults()->RecIndex(), 5);
}

void tst_ResultsViews::headerClickMarksSortedColumn()
{
    QTemporaryDir dir;
    auto store = MakeStore(dir, {{"b", 1}, {"a", 2}, {"c", 3}});
    TResultsGrid grid;
    grid.SetStore(store.get());
    grid.resize(740, 200);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    QVERIFY(!grid.coldbServer()->Sorted());

    QHeaderView* header = grid.horizontalHeader();
    const int x = header->sectionViewportPosition(TResultsGridModel::colServer) + 10;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    QVERIFY(grid.coldbServer()->Sorted());
    QCOMPARE(header->sortIndicatorSection(), int(TResultsGridModel::colServer));
    const QStringList order{grid.model()->index(0, 0).data().toString(), grid.model()->index(1, 0).data().toString(),
                            grid.model()->index(2, 0).data().toString()};
    QCOMPARE(order, (QStringList{"b", "a", "c"}));

    const int xr = header->sectionViewportPosition(TResultsGridModel::colResult) + 10;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(xr, header->height() / 2));
    QVERIFY(!grid.coldbServer()->Sorted());
    QVERIFY(grid.coldbResult()->Sorted());

    // Layout properties by name, as the settings use them.
    grid.coldbResult()->SetPosition(0);
    QCOMPARE(grid.coldbResult()->Position(), 0);
    QCOMPARE(grid.coldbServer()->Position(), 1);
    grid.coldbDuration()->SetWidth(123);
    QCOMPARE(grid.coldbDuration()->property("Width").toInt(), 123);
    QVERIFY(header->sectionsMovable());
    QCOMPARE(header->sectionResizeMode(TResultsGridModel::colServer), QHeaderView::Interactive);
}

void tst_ResultsViews::gridStartWidthsShowWholeValues_data()
{
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("duration");
    QTest::addColumn<double>("bytes");
    const QDateTime late(QDate(2026, 12, 28), QTime(22, 58, 58));
    QTest::newRow("a slow line") << QDateTime(QDate(2026, 1, 5), QTime(9, 7, 3)) << 12.35 << 1234 << 1048576.0;
    QTest::newRow("late in the year, evening") << late << 829.44 << 0 << 0.0;
    QTest::newRow("loopback rate") << late << 5123456.78 << 873 << 4294967296.0;
    QTest::newRow("ten million KB/s") << late << 9999999.99 << 9999999 << 99999999999.0;
}

void tst_ResultsViews::gridStartWidthsShowWholeValues()
{
    QFETCH(QDateTime, start);
    QFETCH(double, rate);
    QFETCH(int, duration);
    QFETCH(double, bytes);
    QTemporaryDir dir;
    auto store = std::make_unique<TdmDiskStorage>(dir.path());
    TResultsTable* table = store->cdsKorvaneResults();
    table->Append();
    table->SetServer(QStringLiteral("127.0.0.1"));
    table->SetStartTime(start);
    table->SetDuration(duration);
    table->SetBytesRx(bytes);
    table->SetResult(rate);
    table->SetSpeed(rate);
    table->Post();

    // The grid as the window shows it at its default width.
    TResultsGrid grid;
    grid.SetStore(store.get());
    grid.resize(736, 200);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    const QImage image = grid.viewport()->grab().toImage();
    const QFontMetrics fm(grid.font());
    for (int column : {int(TResultsGridModel::colStartTime), int(TResultsGridModel::colDuration),
                       int(TResultsGridModel::colBytesRx), int(TResultsGridModel::colResult)}) {
        const QModelIndex index = grid.model()->index(0, column);
        const QString text = index.data().toString();
        const QRect cell = grid.visualRect(index);
        // Where the text's ink lies in the cell: an elided text ends short of its full width.
        int left = cell.right(), right = cell.left() - 1;
        for (int x = cell.left(); x <= cell.right(); ++x) {
            for (int y = cell.top(); y <= cell.bottom(); ++y) {
                if (qGray(image.pixel(x, y)) < 128) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                    break;
                }
            }
        }
        const int full = fm.horizontalAdvance(text);
        QVERIFY2(right - left + 1 >= full - 3,
                 qPrintable(QStringLiteral("%1 is cut: %2 of %3 px shown in a %4 px cell")
                                .arg(text).arg(right - left + 1).arg(full).arg(cell.width())));
        QVERIFY(left >= cell.left() + 1 && right <= cell.right() - 1);
    }
}

void tst_ResultsViews::gridWidthsChangedWhileHiddenAreNotTheColumns()
{
    QTabWidget tabs;
    auto* grid = new TResultsGrid;
    tabs.addTab(grid, QStringLiteral("&Grid"));
    tabs.addTab(new QWidget, QStringLiteral("Speed C&hart"));
    tabs.resize(740, 300);
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));
    QHeaderView* header = grid->horizontalHeader();
    const int seenServer = grid->coldbServer()->Width();
    QCOMPARE(seenServer, header->sectionSize(TResultsGridModel::colServer));

    // Another tab shows; the grid's header changes behind it.
    tabs.setCurrentIndex(1);
    QVERIFY(!grid->isVisible());
    header->resizeSection(TResultsGridModel::colServer, seenServer + 300);
    header->resizeSection(TResultsGridModel::colResult, 33);
    tabs.resize(1200, 300);
    QCOMPARE(grid->coldbServer()->Width(), seenServer);
    QCOMPARE(grid->coldbResult()->Width(), TResultsGrid::StartWidth(TResultsGridModel::colResult,
                                                                     QFontMetrics(grid->font())));

    // Once the grid shows again, what it shows is the columns' width.
    tabs.setCurrentIndex(0);
    QTRY_VERIFY(grid->isVisible());
    QCOMPARE(grid->coldbServer()->Width(), header->sectionSize(TResultsGridModel::colServer));
    QCOMPARE(grid->coldbResult()->Width(), 33);
}

void tst_ResultsViews::elidedCellTooltip()
{
    QTemporaryDir dir;
    const QString longName = QStringLiteral("http://") + QString(200, QLatin1Char('x')) + QStringLiteral(".example/");
    auto store = MakeStore(dir, {{longName, 1}, {"short", 2}, {"fast", 2406241.125}});
    TResultsGrid grid;
    grid.SetStore(store.get());
    grid.resize(740, 200);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));

    auto tooltipAt = [&](int row, int column) {
        QToolTip::hideText();
        const QRect r = grid.visualRect(grid.model()->index(row, column));
        QHelpEvent help(QEvent::ToolTip, r.center(), grid.viewport()->mapToGlobal(r.center()));
        QCoreApplication::sendEvent(grid.viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    QCOMPARE(tooltipAt(0, TResultsGridModel::colServer), longName);
    QCOMPARE(tooltipAt(1, TResultsGridModel::colServer), QStringLiteral("Test results"));
    QCOMPARE(tooltipAt(0, TResultsGridModel::colDuration), QStringLiteral("Test results"));
    // A loopback rate in a Result column the user made narrow.
    grid.coldbResult()->SetWidth(80);
    const QString fastResult = grid.model()->index(2, TResultsGridModel::colResult).data().toString();
    QVERIFY(fastResult.startsWith(QStringLiteral("2406241")));
    QCOMPARE(tooltipAt(2, TResultsGridModel::colResult), fastResult);
    QToolTip::hideText();
}

void tst_ResultsViews::chartWalksTheTable()
{
    QTemporaryDir dir;
    auto store = MakeStore(dir, {{"one", 12.3}, {"two", 4567.8}, {"three", 0.5}});
    TResultsTable* table = store->cdsKorvaneResults();
    table->MoveTo(1);
    // A fresh store knows only the rows its cursor left.
    TdmDiskStorage reopened(dir.path());
    store.reset();
    QCOMPARE(reopened.MaxResult(), 1.0);

    TResultsChart chart;
    chart.SetTable(reopened.cdsKorvaneResults());
    QCOMPARE(chart.PointCount(), 3);
    QCOMPARE(reopened.MaxResult(), 4567.8);
    QCOMPARE(chart.Points()[1].Value, 4567.8);
    QVERIFY(chart.Points()[0].Order < chart.Points()[1].Order);
    QVERIFY(chart.Points()[0].Label.startsWith(QStringLiteral("one\r05 Mar 09:07 - 12.30KB/s - ")));

    // The walk returns to the row that was current.
    reopened.cdsKorvaneResults()->MoveTo(1);
    chart.RefreshData();
    QCOMPARE(reopened.cdsKorvaneResults()->RecIndex(), 1);

    // Clearing the store empties the chart.
    reopened.DeleteAll();
    QCOMPARE(chart.PointCount(), 0);
}

void tst_ResultsViews::chartPaletteRepeats()
{
    QTemporaryDir dir;
    QList<RowSpec> rows;
    for (int i = 0; i < 12; ++i)
        rows.append({QStringLiteral("server%1.example").arg(i), 100.0 + 10 * i});
    auto store = MakeStore(dir, rows);
    TResultsChart chart;
    chart.SetTable(store->cdsKorvaneResults());
    QCOMPARE(chart.PointCount(), 12);

    const QRect rect(0, 0, 1024, 768);
    QImage image(rect.size(), QImage::Format_RGB32);
    {
        QPainter painter(&image);
        chart.Draw(painter, rect);
    }
    const QVector<QRectF> bars = chart.BarRects(rect);
    QCOMPARE(bars.size(), 12);
    const QList<QColor> first{QColor(93, 165, 161), QColor(196, 83, 49), QColor(231, 150, 9)};
    for (int i = 0; i < 12; ++i)
        QCOMPARE(image.pixelColor(bars[i].center().toPoint()), TResultsChart::BarColor(i));
    QCOMPARE(TResultsChart::BarColor(0), first[0]);
    QCOMPARE(TResultsChart::BarColor(1), first[1]);
    QCOMPARE(TResultsChart::BarColor(11), first[0]);
    QCOMPARE(TResultsChart::BarColor(12), first[1]);

    // Bars stand on one baseline, 70 % of their slot wide, heights in proportion.
    for (const QRectF& bar : bars)
        QCOMPARE(bar.bottom(), bars[0].bottom());
    const double slot = bars[1].center().x() - bars[0].center().x();
    QVERIFY(qAbs(bars[0].width() - 0.7 * slot) < 0.01);
    QVERIFY(qAbs(bars[11].height() / bars[0].height() - 210.0 / 100.0) < 0.01);

}

void tst_ResultsViews::chartMarksEveryBar_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("rows");
    QTest::addColumn<bool>("even");  // every bar the same height, so every mark meets its neighbours
    // The chart's tab at the window's default size, and the report's picture.
    const QSize onScreen(TResultsChartDefaultWidth, TResultsChartDefaultHeight);
    const QSize report(1024, 768);
    for (int rows : {1, 6, 12, 50}) {
        QTest::addRow("%d bars on screen", rows) << onScreen << rows << false;
        QTest::addRow("%d bars in the report", rows) << report << rows << false;
    }
    QTest::addRow("12 equal bars on screen") << onScreen << 12 << true;
    QTest::addRow("50 equal bars on screen") << onScreen << 50 << true;
    QTest::addRow("12 equal bars in the report") << report << 12 << true;
}

void tst_ResultsViews::chartMarksEveryBar()
{
    QFETCH(QSize, size);
    QFETCH(int, rows);
    QFETCH(bool, even);
    QTemporaryDir dir;
    QList<RowSpec> specs;
    // Loopback-sized rates; uneven heights make neighbours' marks meet at all levels.
    for (int i = 0; i < rows; ++i)
        specs.append({QStringLiteral("server%1.example.org").arg(i),
                      1234567.89 + (even ? 0 : 700000.0 * ((i * 7) % 5))});
    auto store = MakeStore(dir, specs);
    TResultsChart chart;
    chart.SetTable(store->cdsKorvaneResults());

    const QRect rect(QPoint(0, 0), size);
    QImage image(size, QImage::Format_RGB32);
    {
        QPainter painter(&image);
        chart.Draw(painter, rect);
    }
    const QVector<QRectF> bars = chart.BarRects(rect);
    const QVector<QRectF> marks = chart.MarkRects(rect);
    const QVector<QStringList> texts = chart.MarkTexts(rect);
    QCOMPARE(marks.size(), rows);
    QCOMPARE(texts.size(), rows);
    const QColor markBack = chart.palette().color(QPalette::ToolTipBase);
    for (int i = 0; i < rows; ++i) {
        const QRectF& mark = marks[i];
        QVERIFY2(!mark.isEmpty(), qPrintable(QStringLiteral("bar %1 has no mark").arg(i)));
        QVERIFY(QRectF(rect).contains(mark));
        QVERIFY(mark.bottom() < bars[i].top());
        // Something readable: the rate at least, never just an ellipsis.
        QVERIFY(!texts[i].isEmpty());
        QVERIFY2(texts[i].join(QString()).contains(QStringLiteral("KB")) || texts[i].size() == 2,
                 qPrintable(texts[i].join(QLatin1Char('|'))));
        for (int j = i + 1; j < rows; ++j)
            QVERIFY2(!mark.intersects(marks[j]), qPrintable(QStringLiteral("marks %1 and %2 overlap").arg(i).arg(j)));
        // Drawn where it says, and not covered by anything drawn after it.
        QCOMPARE(image.pixelColor(mark.topLeft().toPoint() + QPoint(2, 1)), markBack);
    }
}

void tst_ResultsViews::chartShowsFewResultsWhole_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("on screen") << QSize(TResultsChartDefaultWidth, TResultsChartDefaultHeight);
    QTest::newRow("in the report") << QSize(1024, 768);
}

// A slow download beside a loopback upload: long figures, and room enough to show them whole,
// wrapped after a " - " rather than cut.
void tst_ResultsViews::chartShowsFewResultsWhole()
{
    QFETCH(QSize, size);
    QTemporaryDir dir;
    auto store = MakeStore(dir, {{QStringLiteral("127.0.0.1 (download, 1 stream)"), 19532.96},
                                 {QStringLiteral("127.0.0.1 (upload, 1 stream)"), 3160901.46}});
    TResultsChart chart;
    chart.SetTable(store->cdsKorvaneResults());
    const QRect rect(QPoint(0, 0), size);
    const QVector<QStringList> labels = chart.LabelTexts(rect);
    const QVector<QStringList> marks = chart.MarkTexts(rect);
    QCOMPARE(labels.size(), 2);
    QCOMPARE(marks.size(), 2);
    const QStringList rates{QStringLiteral("19,532.96KB/s"), QStringLiteral("3,160,901.46KB/s")};
    for (int i = 0; i < 2; ++i) {
        for (const QStringList& lines : {labels[i], marks[i]}) {
            const QString text = lines.join(QLatin1Char(' '));
            QVERIFY2(!text.contains(QChar(0x2026)), qPrintable(lines.join(QLatin1Char('|'))));
            QVERIFY2(text.contains(rates[i]), qPrintable(lines.join(QLatin1Char('|'))));
            QVERIFY2(text.endsWith(QStringLiteral("KB.")), qPrintable(lines.join(QLatin1Char('|'))));
        }
    }
}

void tst_ResultsViews::chartDrawsIntoAnyRectangle_data()
{
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<int>("rows");
    QTest::newRow("report bitmap") << QRect(0, 0, 1024, 768) << 3;
    QTest::newRow("small, offset") << QRect(40, 30, 320, 200) << 3;
    QTest::newRow("empty table") << QRect(0, 0, 640, 480) << 0;
    QTest::newRow("many bars") << QRect(0, 0, 640, 480) << 200;
    QTest::newRow("more bars than pixels") << QRect(0, 0, 640, 480) << 1000;
}

void tst_ResultsViews::chartDrawsIntoAnyRectangle()
{
    QFETCH(QRect, rect);
    QFETCH(int, rows);
    QTemporaryDir dir;
    QList<RowSpec> specs;
    for (int i = 0; i < rows; ++i)
        specs.append({QStringLiteral("s%1").arg(i), 1000.0 * (i + 1)});
    auto store = MakeStore(dir, specs);
    TResultsChart chart;
    chart.resize(200, 150);  // the on-screen size does not matter
    chart.SetTable(store->cdsKorvaneResults());

    QImage image(rect.right() + 20, rect.bottom() + 20, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    {
        QPainter painter(&image);
        chart.Draw(painter, rect);
    }
    // Everything lands inside the rectangle, and all of it is painted.
    QCOMPARE(image.pixelColor(rect.right() + 5, rect.bottom() + 5), QColor(Qt::magenta));
    QVERIFY(image.pixelColor(rect.topLeft()) != QColor(Qt::magenta));
    QVERIFY(image.pixelColor(rect.bottomRight()) != QColor(Qt::magenta));
    for (const QRectF& bar : chart.BarRects(rect))
        QVERIFY(QRectF(rect).contains(bar));
    if (rows > 0) {
        const QRectF last = chart.BarRects(rect).last();
        QVERIFY(last.height() > chart.BarRects(rect).first().height());
    }
}

// With a long history the chart is drawn by a worker: the window shows the last picture
// meanwhile, and then exactly what the chart draws for the current rows.
void tst_ResultsViews::chartDrawsLongHistoryOffTheEventLoop()
{
    QList<double> rates;
    for (int i = 0; i < 1500; ++i)
        rates.append(800.0 + (i * 7919) % 5000000 / 3.0);
    QTemporaryDir dir;
    auto store = MakeHistory(dir, rates);
    QVERIFY(store);
    TResultsChart chart;
    chart.resize(TResultsChartDefaultWidth, TResultsChartDefaultHeight);
    chart.SetTable(store->cdsKorvaneResults());
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    QTRY_VERIFY(!chart.PictureOutdated());
    auto onScreen = [&] { return chart.grab().toImage().convertToFormat(QImage::Format_RGB32); };
    QCOMPARE(onScreen(), DrawnChart(chart, chart.size()));

    // A new result: the picture is out of date until the worker is done, then shows it.
    TResultsTable* table = store->cdsKorvaneResults();
    table->Append();
    table->SetServer(QStringLiteral("127.0.0.1"));
    table->SetStartTime(QDateTime::currentDateTime());
    table->SetDuration(1000);
    table->SetBytesRx(5e9);
    table->SetResult(4.9e6);
    table->SetSpeed(4.9e6);
    table->Post();
    chart.RefreshData();
    QCOMPARE(chart.PointCount(), 1501);
    QVERIFY(chart.PictureOutdated());
    QTRY_VERIFY(!chart.PictureOutdated());
    QCOMPARE(onScreen(), DrawnChart(chart, chart.size()));

    // And after a resize, at the new size.
    chart.resize(500, 300);
    QTRY_VERIFY(!chart.PictureOutdated());
    QCOMPARE(onScreen(), DrawnChart(chart, chart.size()));
}

KORVANE_UI_TEST_MAIN(tst_ResultsViews)
#include "tst_ResultsViews.moc"
