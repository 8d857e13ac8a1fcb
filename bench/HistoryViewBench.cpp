// Times the history tab with 10,000 and 100,000 stored rows: opening it (loading every row
// and drawing it once), redrawing it whole and zoomed in, and one posted result. Beside
// them, as the reference measured in the same run, painting the bare panel at the same size.
#include "ui/ChartStyle.h"
#include "storage/ResultsTable.h"
#include "ui/TResultsHistoryView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

void Post(TResultsTable& table, int n)
{
    static const QString servers[] = {QStringLiteral("speed1.example.net"), QStringLiteral("speed2.example.net"),
                                      QStringLiteral("http://www.example.org/")};
    table.Append();
    table.SetServer(servers[n % 3]);
    // Results an hour apart, as scheduled tests leave them.
    table.SetStartTime(45000.0 + n / 24.0);
    table.SetDuration(1000);
    const double rate = n % 53 == 0 ? -1 : 2000.0 + 1500 * std::sin(n * 0.37) + (n % 3) * 2500;
    table.SetBytesRx(rate * 1024);
    table.SetResult(rate);
    table.SetSpeed(rate);
    table.Post();
}

// Median of runs, in milliseconds.
double Median(int runs, const std::function<void()>& work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const QSize size(900, 500);
    QImage image(size, QImage::Format_ARGB32_Premultiplied);

    const double panel = Median(21, [&] {
        QPainter painter(&image);
        ChartStyle::FillPanel(painter, QRectF(QPointF(0, 0), size));
    });
    std::printf("reference: bare panel %dx%d          %8.2f ms\n", size.width(), size.height(), panel);

    for (int rows : {10000, 100000}) {
        TResultsTable table;
        table.CreateDataSet();
        for (int n = 0; n < rows; ++n)
            Post(table, n);

        TResultsHistoryView view;
        view.resize(size);
        const double open = Median(5, [&] {
            view.SetTable(nullptr);
            view.SetTable(&table);
            QPainter painter(&image);
            view.Draw(painter, QRect(QPoint(0, 0), size));
        });
        const double redraw = Median(11, [&] {
            QPainter painter(&image);
            view.Draw(painter, QRect(QPoint(0, 0), size));
        });
        view.ZoomAt(450, 0.05);
        const double zoomed = Median(11, [&] {
            QPainter painter(&image);
            view.Draw(painter, QRect(QPoint(0, 0), size));
        });
        view.ShowAll();
        int next = rows;
        const double post = Median(5, [&] {
            Post(table, next++);
            QPainter painter(&image);
            view.Draw(painter, QRect(QPoint(0, 0), size));
        });
        std::printf("%6d rows: open %8.2f ms, redraw %8.2f ms (%.0fx panel), zoomed redraw %8.2f ms, "
                    "post and redraw %8.2f ms\n",
                    rows, open, redraw, redraw / std::max(panel, 1e-3), zoomed, post);
    }
    return 0;
}
