// What one recorded result costs the window with a long history: the row is appended
// and posted (which writes the results file), the speed bar's maximum follows, the chart
// reloads and the grid and chart repaint, as after a test. Prints milliseconds per post
// with an empty store and with the store the given folder holds.
//
//     korvane-bench-post DATA_FOLDER [POSTS]
//
// DATA_FOLDER holds KorvaneResults.xml (bench/make-history.py writes one).

#include "DiskStorage.h"
#include "ResultTexts.h"
#include "ResultsTable.h"
#include "TResultsChart.h"
#include "TResultsGrid.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
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

    std::vector<double> times, postTimes, reloadTimes, paintTimes;
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
        // Until the views have repainted.
        QApplication::sendPostedEvents();
        QApplication::processEvents();
        tabs.repaint();
        const double total = clock.nsecsElapsed() / 1e6;
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
    return f;
}

void Print(const char* what, const Figures& f)
{
    std::fflush(stdout);
    std::printf("%-26s rows %6d  open %7.1f ms  result median %7.2f ms  worst %7.2f ms"
                "  (post %.2f, chart reload %.2f, repaint %.2f)\n",
                what, f.rows, f.openMs, f.medianMs, f.worstMs, f.postMs, f.reloadMs, f.paintMs);
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
