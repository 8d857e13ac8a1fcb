// Loads and saves a settings file whose log holds N lines, for growing N, and prints the
// time per line. Linear work keeps the per-line figure flat as N grows tenfold.
#include "settings/AppIniFileStorage.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <ctime>

namespace {

// CPU time of this process: wall time means little on a machine shared with builds.
double CpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);   // each figure as soon as it is known
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

        double mark = CpuMs();
        {
            TAppIniFileStorage store;
            store.SetFileName(file);
            store.WriteStringList(path, log);
            store.Flush();
        }
        const double saveMs = CpuMs() - mark;
        mark = CpuMs();
        TAppIniFileStorage store;
        store.SetFileName(file);
        const QStringList back = store.ReadStringList(path);
        const double loadMs = CpuMs() - mark;
        mark = CpuMs();
        store.WriteStringList(path, log.mid(0, lines / 2));   // a shorter log drops half the keys
        const double shrinkMs = CpuMs() - mark;
        if (back != log)
            std::fprintf(stderr, "log of %d lines did not come back\n", lines);

        const double perLineUs = (saveMs + loadMs + shrinkMs) * 1000.0 / lines;
        if (firstPerLine == 0)
            firstPerLine = perLineUs;
        std::printf("%7d lines (CPU time): save %8.1f ms  load %8.1f ms  shrink %7.1f ms  %.2f us/line (x%.2f of 1000 lines)\n",
                    lines, saveMs, loadMs, shrinkMs, perLineUs, perLineUs / firstPerLine);
    }
    return 0;
}
