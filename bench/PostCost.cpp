// What one recorded result costs the window with a long history: the row is appended
// and posted (which writes the results file), the speed bar's maximum follows, the chart
// reloads and the grid and chart repaint, as after a test. Prints milliseconds per post
// with an empty store and with the store the given folder holds.
//
//     korvane-bench-post DATA_FOLDER [POSTS]
//
// DATA_FOLDER holds KorvaneResults.xml (bench/make-history.py writes one).

#include "storage/DiskStorage.h"
#include "ui/ResultTexts.h"
#include "storage/ResultsTable.h"
#include "ui/TResultsChart.h"
#include "ui/TResultsGrid.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Figures
{
    int rows = 0;
    double openMs = 0;
    double medianMs = 0;
    double worstMs = 0;
    // Medians of the steps: post (with the file write), chart reload, repaint.
    double postMs = 0;
    double reloadMs = 0;
    double paintMs = 0;
    // A large chart is drawn by a worker: the median time until the chart shows the new
    // result, and the longest the event loop was held meanwhile.
    double shownMs = 0;
    double worstStallMs = 0;
};

// Counts the paint events a widget receives, and those that show the chart's current
// picture.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(const TResultsChart* chart) : chart(chart) {}
    const TResultsChart* chart;
    int count = 0;
    int current = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++count;
            if (!chart->PictureOutdated())
                ++current;
        }
        return false;
    }
};

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

Figures Measure(const QString& folder, int posts, bool chartShown)
{
    Figures f;
    QElapsedTimer clock;
    clock.start();
    TdmDiskStorage store(folder);
    QTabWidget tabs;
    auto* grid = new TResultsGrid;
    auto* chart = new TResultsChart;
    tabs.addTab(grid, QStringLiteral("&Grid"));
    tabs.addTab(chart, QStringLiteral("Speed C&hart"));
    tabs.resize(736, 470);
    grid->SetStore(&store);
    chart->SetTable(store.cdsKorvaneResults());
    grid->SetSpeedMaximum(ResultTexts::RoundHalfEven(store.MaxResult()));
    tabs.setCurrentIndex(chartShown ? 1 : 0);
    tabs.show();
    QApplication::processEvents();
    f.openMs = clock.nsecsElapsed() / 1e6;
    f.rows = store.cdsKorvaneResults()->RecordCount();

    PaintCounter paints(chart);
    (chartShown ? static_cast<QWidget*>(chart) : grid->viewport())->installEventFilter(&paints);

    std::vector<double> times, postTimes, reloadTimes, paintTimes, shownTimes;
    TResultsTable* table = store.cdsKorvaneResults();
    for (int i = 0; i < posts; ++i) {
        const double rate = 1000.0 + i;
        clock.restart();
        table->Append();
        table->SetServer(QStringLiteral("127.0.0.1"));
        table->SetStartTime(QDateTime::currentDateTime());
        table->SetDuration(1234);
        table->SetBytesRx(1048576);
        table->SetResult(rate);
        table->SetSpeed(rate);
        table->Post();
        const double posted = clock.nsecsElapsed() / 1e6;
        grid->SetSpeedMaximum(ResultTexts::RaisedSpeedMaximum(grid->SpeedMaximum(), rate));
        chart->RefreshData();
        const double reloaded = clock.nsecsElapsed() / 1e6;
        // Until the view in front has repainted, once, as the window does after a test.
        const int paintsBefore = paints.count;
        QElapsedTimer waited;
        waited.start();
        while (paints.count == paintsBefore && waited.elapsed() < 2000)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        const double total = clock.nsecsElapsed() / 1e6;
        // Then until the chart's picture is the new one and on screen; each pass of the
        // event loop meanwhile is a stall the user would feel.
        if (chartShown && chart->PictureOutdated()) {
            QElapsedTimer pass;
            const auto serve = [&] {
                pass.start();
                QApplication::processEvents(QEventLoop::AllEvents, 5);
                f.worstStallMs = std::max(f.worstStallMs, pass.nsecsElapsed() / 1e6);
            };
            const int currentBefore = paints.current;
            while (paints.current == currentBefore && waited.elapsed() < 5000)
                serve();
            shownTimes.push_back(clock.nsecsElapsed() / 1e6);
        }
        times.push_back(total);
        postTimes.push_back(posted);
        reloadTimes.push_back(reloaded - posted);
        paintTimes.push_back(total - reloaded);
    }
    std::sort(times.begin(), times.end());
    f.medianMs = times[times.size() / 2];
    f.worstMs = times.back();
    f.postMs = Median(postTimes);
    f.reloadMs = Median(reloadTimes);
    f.paintMs = Median(paintTimes);
    f.shownMs = Median(shownTimes);
    return f;
}

void Print(const char* what, const Figures& f)
{
    std::fflush(stdout);
    std::printf("%-26s rows %6d  open %7.1f ms  result median %7.2f ms  worst %7.2f ms"
                "  (post %.2f, chart reload %.2f, repaint %.2f)",
                what, f.rows, f.openMs, f.medianMs, f.worstMs, f.postMs, f.reloadMs, f.paintMs);
    if (f.shownMs > 0)
        std::printf("  chart shows it after %.1f ms, longest stall %.1f ms", f.shownMs, f.worstStallMs);
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: korvane-bench-post DATA_FOLDER [POSTS]\n");
        return 2;
    }
    const int posts = args.size() > 2 ? std::max(1, args[2].toInt()) : 20;

    // Posts write the file: work on copies, so the history stays as it was.
    QTemporaryDir empty, full;
    QFile::copy(QDir(args[1]).filePath(TdmDiskStorage::ResultsFileName),
                QDir(full.path()).filePath(TdmDiskStorage::ResultsFileName));
    QTemporaryDir emptyChart, fullChart;
    QFile::copy(QDir(args[1]).filePath(TdmDiskStorage::ResultsFileName),
                QDir(fullChart.path()).filePath(TdmDiskStorage::ResultsFileName));

    const Figures e = Measure(empty.path(), posts, false);
    Print("empty store, grid shown", e);
    const Figures g = Measure(full.path(), posts, false);
    Print("history, grid shown", g);
    const Figures ec = Measure(emptyChart.path(), posts, true);
    Print("empty store, chart shown", ec);
    const Figures gc = Measure(fullChart.path(), posts, true);
    Print("history, chart shown", gc);
    std::printf("post with history / empty: grid %.2f, chart %.2f (target: history under 50 ms)\n",
                g.medianMs / std::max(0.001, e.medianMs), gc.medianMs / std::max(0.001, ec.medianMs));
    return 0;
}
