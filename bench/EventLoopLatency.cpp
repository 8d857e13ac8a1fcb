// Event-loop latency of the main window while it runs one test: a timer inside the program
// fires every few milliseconds, and how late each tick comes is what a user feels as a
// frozen window. Prints one JSON line; asserts nothing.
//
//   korvane-bench-latency (--stream HOST:PORT | --web URL) [--tick MS] [--no-progress]
//                         [--delay MS] [--hold MS]
//
// --delay: wait before the test starts; --hold: keep the window open after it ended, so an
// outside probe never pings a window that is gone.

#include "engine/stream/TKorvane.h"
#include "ui/TKorvaneApplication.h"
#include "ui/TPortSpinEdit.h"
#include "ui/TfMain.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double Percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(share * double(values.size())));
    return values[index];
}

int Usage()
{
    std::fputs("Usage: korvane-bench-latency (--stream HOST:PORT | --web URL) [--tick MS] [--no-progress] "
               "[--delay MS] [--hold MS]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    // The window keeps its settings and results apart from the user's own.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    TKorvaneApplication app(argc, argv);
    app.SetTitle(QStringLiteral("Korvane Client"));

    QString stream;
    QString web;
    int tickMs = 4;
    int delayMs = 500;
    int holdMs = 0;
    bool progress = true;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == QLatin1String("--stream") && hasValue)
            stream = args[++i];
        else if (a == QLatin1String("--web") && hasValue)
            web = args[++i];
        else if (a == QLatin1String("--tick") && hasValue)
            tickMs = std::max(1, args[++i].toInt());
        else if (a == QLatin1String("--delay") && hasValue)
            delayMs = std::max(0, args[++i].toInt());
        else if (a == QLatin1String("--hold") && hasValue)
            holdMs = std::max(0, args[++i].toInt());
        else if (a == QLatin1String("--no-progress"))
            progress = false;
        else
            return Usage();
    }
    if (stream.isEmpty() == web.isEmpty())
        return Usage();

    TfMain window;
    window.show();
    if (!progress)
        window.Krvn->setProgressInterval(0);

    std::vector<double> lateMs;
    QElapsedTimer clock;
    qint64 lastNs = -1;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(tickMs);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lastNs >= 0)
            lateMs.push_back(std::max(0.0, double(now - lastNs) / 1e6 - tickMs));
        lastNs = now;
    });

    int exitCode = 0;
    QTimer::singleShot(delayMs, &window, [&] {
        if (!stream.isEmpty()) {
            const qsizetype colon = stream.lastIndexOf(u':');
            window.rbKvSrv->setChecked(true);
            window.sePort->setValue(stream.mid(colon + 1).toInt());
            window.cbServerName->setText(stream.left(colon));
        } else {
            window.rbWebSrv->setChecked(true);
            window.cbServerName->setText(web);
        }
        clock.start();
        tick.start();
        // Runs the whole test, serving the event loop as the window does for a user.
        window.btnConnectClick();
        tick.stop();
        const double seconds = double(clock.nsecsElapsed()) / 1e9;

        QJsonObject o;
        o.insert(QStringLiteral("mode"), stream.isEmpty() ? QStringLiteral("web") : QStringLiteral("server"));
        o.insert(QStringLiteral("progress"), progress);
        o.insert(QStringLiteral("valid"), window.Krvn->ValidResult());
        o.insert(QStringLiteral("bytes"), qint64(window.Krvn->BytesTransferred()));
        o.insert(QStringLiteral("rate_kbps"), window.Krvn->TransferRateSec());
        o.insert(QStringLiteral("seconds"), seconds);
        o.insert(QStringLiteral("tick_ms"), tickMs);
        o.insert(QStringLiteral("ticks"), qint64(lateMs.size()));
        o.insert(QStringLiteral("late_p50_ms"), Percentile(lateMs, 0.50));
        o.insert(QStringLiteral("late_p99_ms"), Percentile(lateMs, 0.99));
        o.insert(QStringLiteral("late_max_ms"), lateMs.empty() ? 0.0 : *std::max_element(lateMs.begin(), lateMs.end()));
        std::printf("%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
        exitCode = window.Krvn->ValidResult() ? 0 : 1;
        QTimer::singleShot(holdMs, &window, [&] {
            window.close();
            QCoreApplication::exit(exitCode);
        });
    });
    return app.exec();
}
