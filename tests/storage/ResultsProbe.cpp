// A copy of the program's results store in a process of its own, for tests that run two
// copies from two paths. Commands on standard input, one a line:
//   post <server>   posts a row, then prints "posted <rows in the table>"
//   rows            prints "rows <rows in the table>" once pending events were served
// It ends, closing the store as the program does at exit, when its input closes.
#include "storage/DiskStorage.h"
#include "storage/ResultsTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // The window makes the folder at start; so does this copy.
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Korvane");
    QDir().mkpath(folder);
    auto* store = new TdmDiskStorage(folder, [](const QString& message) { std::printf("error %s\n", qPrintable(message)); });
    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            input.setEnabled(false);
            app.quit();
            return;
        }
        pending.append(buffer, got);
        for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QString line = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            TResultsTable* t = store->cdsKorvaneResults();
            if (line.startsWith(QStringLiteral("post "))) {
                t->Append();
                t->SetServer(line.mid(5));
                t->SetStartTime(46000.5);
                t->SetDuration(1000);
                t->SetBytesRx(1048576);
                t->SetResult(1024);
                t->SetSpeed(1024);
                t->Post();
                std::printf("posted %d\n", t->RecordCount());
            } else if (line == QStringLiteral("rows")) {
                QCoreApplication::processEvents();
                std::printf("rows %d\n", t->RecordCount());
            }
            std::fflush(stdout);
        }
    });
    const int status = app.exec();
    delete store;
    std::fflush(stdout);
    return status;
}
