// Loads and saves a settings file whose log holds N lines, for growing N, and prints the
// time per line. Linear work keeps the per-line figure flat as N grows tenfold.
#include "AppIniFileStorage.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir temp;
    if (!temp.isValid())
        return 1;
    const QString path = R"(fMain\mmDIsplay_Lines)";
    double firstPerLine = 0;
    for (int lines : {1000, 10000, 100000}) {
        QStringList log;
        for (int i = 0; i < lines; ++i)
            log << QStringLiteral("10.12.2026 14:00:%1 - Receiving data - timer started. %2").arg(i % 60).arg(i);
        const QString file = temp.filePath(QStringLiteral("Bench%1.ini").arg(lines));

        QElapsedTimer timer;
        timer.start();
        {
            TAppIniFileStorage store;
            store.SetFileName(file);
            store.WriteStringList(path, log);
            store.Flush();
        }
        const double saveMs = timer.nsecsElapsed() / 1e6;
        timer.restart();
        TAppIniFileStorage store;
        store.SetFileName(file);
        const QStringList back = store.ReadStringList(path);
        const double loadMs = timer.nsecsElapsed() / 1e6;
        timer.restart();
        store.WriteStringList(path, log.mid(0, lines / 2));   // a shorter log drops half the keys
        const double shrinkMs = timer.nsecsElapsed() / 1e6;
        if (back != log)
            std::fprintf(stderr, "log of %d lines did not come back\n", lines);

        const double perLineUs = (saveMs + loadMs + shrinkMs) * 1000.0 / lines;
        if (firstPerLine == 0)
            firstPerLine = perLineUs;
        std::printf("%7d lines: save %8.1f ms  load %8.1f ms  shrink %7.1f ms  %.2f us/line (x%.2f of 1000 lines)\n",
                    lines, saveMs, loadMs, shrinkMs, perLineUs, perLineUs / firstPerLine);
    }
    return 0;
}
