// Runs a harness over stored inputs without libFuzzer, so the test suite keeps every corpus
// input and every past finding passing. Arguments are files or folders (read flat, in name
// order, so a failure names the same input every time); a missing one is skipped.

#include "fuzz/FuzzCheck.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace {

bool Replay(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return false;
    }
    const QByteArray bytes = file.readAll();
    std::fprintf(stderr, "replaying %s (%lld bytes)\n", qPrintable(path), static_cast<long long>(bytes.size()));
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()), static_cast<size_t>(bytes.size()));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const QString path = QString::fromLocal8Bit(argv[i]);
        const QFileInfo info(path);
        if (info.isDir()) {
            const QStringList names = QDir(path).entryList(QDir::Files, QDir::Name);
            for (const QString &name : names) {
                ok = Replay(QDir(path).filePath(name)) && ok;
                ++replayed;
            }
        } else if (info.exists()) {
            ok = Replay(path) && ok;
            ++replayed;
        }
        // A harness without past findings has no findings folder: nothing to replay there.
    }
    std::fprintf(stderr, "%d inputs replayed\n", replayed);
    return ok ? 0 : 1;
}
