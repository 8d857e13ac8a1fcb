// Times one posted result with 10,000 rows already stored: the locked read-modify-write
// that every post is. Beside it, as references measured in the same run, the write of the
// same file alone and the read of it that an unchanged file is spared.
#include "storage/DiskStorage.h"
#include "storage/ResultsFile.h"
#include "storage/ResultsTable.h"
#include "storage/SafeFileWrite.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

void Post(TdmDiskStorage& store, int n)
{
    TResultsTable* t = store.cdsKorvaneResults();
    t->Append();
    t->SetServer(QStringLiteral("server-%1.example.org").arg(n));
    t->SetStartTime(45000.0 + n / 1000.0);
    t->SetDuration(1000 + n % 100);
    t->SetBytesRx(104857600);
    t->SetResult(5000.0 + n);
    t->SetSpeed(5000.0 + n);
    t->Post();
}

double CpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int stored = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;
    const int runs = 21;
    // A second argument puts the files under that folder (a tmpfs shows the cost without the disk).
    QTemporaryDir temp(argc > 2 ? QString::fromLocal8Bit(argv[2]) + QStringLiteral("/korvane-bench-XXXXXX")
                                : QDir::tempPath() + QStringLiteral("/korvane-bench-XXXXXX"));
    if (!temp.isValid())
        return 1;
    {
        TdmDiskStorage filling(temp.path(), {});
        TResultsFile::TContent content;
        for (int i = 1; i <= stored; ++i)
            content.Rows.append({i, QStringLiteral("server-%1.example.org").arg(i), 45000.0 + i / 1000.0,
                                 1000 + i % 100, 104857600.0, 5000.0 + i, 5000.0 + i});
        content.NextOrder = stored + 1;
        TResultsFile::Write(filling.fileName(), content);
    }

    TdmDiskStorage store(temp.path(), [](const QString& message) { std::printf("error: %s\n", qPrintable(message)); });
    std::vector<double> post, postCpu, write, read;
    QElapsedTimer timer;
    for (int i = 0; i < runs; ++i) {
        const double cpu = CpuMs();
        timer.restart();
        Post(store, stored + i);
        post.push_back(timer.nsecsElapsed() / 1e6);
        postCpu.push_back(CpuMs() - cpu);

        TResultsFile::TContent content;
        content.Rows = store.cdsKorvaneResults()->Rows();
        content.NextOrder = store.cdsKorvaneResults()->NextOrder();
        timer.restart();
        TSafeFileWrite::Write(temp.filePath(QStringLiteral("Reference.xml")), TResultsFile::Serialize(content));
        write.push_back(timer.nsecsElapsed() / 1e6);

        timer.restart();
        TResultsFile::Read(store.fileName());
        read.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::printf("%d rows stored, median of %d (wall time):\n", stored, runs);
    std::printf("  post (locked read-modify-write): %7.2f ms  (target under 50 ms)\n", Median(post));
    std::printf("  post, CPU time only:             %7.2f ms  (the rest is waiting for the disk and the machine)\n",
                Median(postCpu));
    std::printf("  the same file written alone:     %7.2f ms  (post / write = %.2f)\n", Median(write),
                Median(post) / Median(write));
    std::printf("  reading it, spared when unchanged: %5.2f ms\n", Median(read));
    return 0;
}
