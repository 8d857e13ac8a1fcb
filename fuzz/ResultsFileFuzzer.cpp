// The results file: whatever the loader accepts is written back as a file it reads again,
// with every row and the next Order value equal, numbers bit for bit.

#include "fuzz/FuzzCheck.h"

#include "storage/ResultsFile.h"
#include "storage/StorageError.h"

#include <QByteArray>
#include <QString>

#include <cstring>

namespace {

bool SameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool SameRow(const TResultRow &a, const TResultRow &b)
{
    return a.Order == b.Order && a.Server == b.Server && SameBits(a.StartTime, b.StartTime)
           && a.Duration == b.Duration && SameBits(a.BytesRx, b.BytesRx) && SameBits(a.Result, b.Result)
           && SameBits(a.Speed, b.Speed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString name = QStringLiteral("KorvaneResults.xml");
    TResultsFile::TContent read;
    try {
        read = TResultsFile::Parse(bytes, name);
    } catch (const EStorageError &) {
        return 0; // refused as damaged: nothing is loaded, nothing will be written over it
    }

    TResultsFile::TContent reread;
    try {
        reread = TResultsFile::Parse(TResultsFile::Serialize(read), name);
    } catch (const EStorageError &error) {
        std::fprintf(stderr, "written back unreadable: %s\n", error.what());
        FUZZ_CHECK(!"the written file reads back");
    }
    FUZZ_CHECK(reread.NextOrder == read.NextOrder);
    FUZZ_CHECK(reread.Rows.size() == read.Rows.size());
    for (qsizetype i = 0; i < read.Rows.size(); ++i)
        FUZZ_CHECK(SameRow(reread.Rows[i], read.Rows[i]));
    return 0;
}
