#include "storage/ResultsTable.h"

#include "storage/DayCountDate.h"
#include "storage/FileLock.h"
#include "storage/ResultsFile.h"
#include "storage/StorableText.h"
#include "storage/StorageError.h"
#include "storage/XLabelText.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

QString cutServer(const QString &text)
{
    qsizetype length = std::min<qsizetype>(text.size(), TResultRow::ServerMaxLength);
    // Never split a surrogate pair at the cut.
    if (length < text.size() && length > 0 && text.at(length - 1).isHighSurrogate())
        --length;
    return text.left(length);
}

} // namespace

TResultsTable::TResultsTable(QObject *parent) : QObject(parent) {}

TResultsTable::~TResultsTable() = default;

void TResultsTable::SetFileName(const QString &fileName)
{
    FFileName = fileName;
}

void TResultsTable::CheckActive() const
{
    if (!FActive)
        throw EStorageError(QStringLiteral("Cannot perform this operation on a closed dataset"));
}

void TResultsTable::CheckInserting() const
{
    CheckActive();
    if (!FInserting)
        throw EStorageError(QStringLiteral("Dataset not in edit or insert mode"));
}

void TResultsTable::Reset(QVector<TResultRow> rows)
{
    emit AboutToReset();
    FInserting = false;
    FPending = TResultRow();
    FRows = std::move(rows);
    FCurrent = FRows.isEmpty() ? -1 : 0;
    FBof = true;
    FEof = FRows.isEmpty();
    emit AfterReset();
    ReportCurrent();
}

void TResultsTable::CreateDataSet()
{
    FActive = true;
    Reset({});
    FUnsavedFrom = 0;
    FModified = true;
}

QString TResultsTable::DamagedFileName(const QString &fileName, const QDateTime &when)
{
    const QFileInfo info(fileName);
    return info.absolutePath() + u'/' + info.completeBaseName() + QStringLiteral(".damaged-")
           + when.toString(QStringLiteral("yyyy-MM-dd-HHmmss")) + u'.' + info.suffix();
}

std::optional<TResultsFile::TContent> TResultsTable::ReadLocked()
{
    FStamp = TFileStamp::Of(FFileName);
    if (!FStamp.Exists)
        return std::nullopt;
    QFile probe(FFileName);
    if (!probe.open(QIODevice::ReadOnly))   // unreadable is not damaged: leave it where it is
        throw EStorageError(QStringLiteral("Cannot read results file %1: %2").arg(FFileName, probe.errorString()));
    probe.close();
    try {
        return TResultsFile::Read(FFileName);
    } catch (const EStorageError &damaged) {
        // Set aside, not deleted and not overwritten: the user may still want its rows.
        const QDateTime now = QDateTime::currentDateTime();
        QString aside = DamagedFileName(FFileName, now);
        for (int n = 2; QFileInfo::exists(aside) && n < 1000; ++n)
            aside = DamagedFileName(FFileName, now).chopped(4) + QStringLiteral("-%1.xml").arg(n);
        if (QFileInfo::exists(aside) || !QFile::rename(FFileName, aside))
            throw EStorageError(damaged.message() + QStringLiteral("; it could not be moved aside"));
        FStamp = TFileStamp::Of(FFileName);
        emit Notice(damaged.message()
                    + QStringLiteral(". The damaged file was moved to %1 and a new results table was started.")
                          .arg(aside));
        return std::nullopt;
    }
}

void TResultsTable::TakeInFile(const std::optional<TResultsFile::TContent> &content)
{
    QVector<TResultRow> rows = content ? content->Rows : QVector<TResultRow>();
    const qint64 fileNext = content ? content->NextOrder : 1;
    const QVector<TResultRow> unsaved = FRows.mid(FUnsavedFrom);
    // Rows not stored yet follow the file's rows; another copy may have used their Order.
    const qint64 base = unsaved.isEmpty() ? fileNext : std::max<qint64>(fileNext, unsaved.first().Order);
    const qint32 currentOrder = GetBookmark();
    const bool currentUnsaved = !FInserting && FCurrent >= FUnsavedFrom;
    const qsizetype currentInUnsaved = FCurrent - FUnsavedFrom;
    const qsizetype unsavedFrom = rows.size();
    for (qsizetype i = 0; i < unsaved.size(); ++i) {
        TResultRow row = unsaved[i];
        row.Order = qint32(std::min<qint64>(base + i, std::numeric_limits<qint32>::max()));
        rows.append(row);
    }
    FNextOrder = std::max({FNextOrder, fileNext, base + qint64(unsaved.size())});
    if (rows == FRows) {
        FUnsavedFrom = unsavedFrom;
        return;
    }

    int current = -1;
    if (currentUnsaved)
        current = int(unsavedFrom + currentInUnsaved);
    for (int i = 0; current < 0 && currentOrder != 0 && i < rows.size(); ++i)
        if (rows[i].Order == currentOrder)
            current = i;
    if (current < 0 && !rows.isEmpty())
        current = int(rows.size() - 1);

    emit AboutToReset();
    FRows = std::move(rows);
    FUnsavedFrom = unsavedFrom;
    FCurrent = current;
    FBof = FRows.isEmpty();
    FEof = FRows.isEmpty();
    emit AfterReset();
    ReportCurrent();
}

void TResultsTable::Open()
{
    if (FActive)
        return;
    std::optional<TResultsFile::TContent> content;
    if (!FFileName.isEmpty()) {
        // Reading alone would be safe without the lock (files are replaced whole), but a
        // damaged file must not be moved aside while another copy writes.
        TFileLock lock(FFileName);
        content = ReadLocked();
    }
    QVector<TResultRow> rows;
    if (content) {
        FNextOrder = std::max(FNextOrder, content->NextOrder);
        rows = std::move(content->Rows);
    }
    FActive = true;
    FModified = false;
    Reset(std::move(rows));
    FUnsavedFrom = FRows.size();
}

void TResultsTable::Close()
{
    if (!FActive)
        return;
    Cancel();
    auto finish = [this] {
        FActive = false;
        FModified = false;
        Reset({});
        FUnsavedFrom = 0;
    };
    try {
        if (!FFileName.isEmpty() && (FModified || UnsavedCount() > 0 || !QFile::exists(FFileName)))
            SaveToFile();
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void TResultsTable::SaveToFile()
{
    CheckActive();
    if (FFileName.isEmpty())
        throw EStorageError(QStringLiteral("No file name set for the results table"));
    TFileLock lock(FFileName);
    if (!lock.Locked())
        throw EStorageError(QStringLiteral("Cannot write results file %1: %2").arg(FFileName, lock.Error()));
    // An unchanged file is not read again, so a post stays cheap with many rows.
    if (TFileStamp::Of(FFileName) != FStamp)
        TakeInFile(ReadLocked());
    TResultsFile::TContent content;
    content.Rows = FRows;
    content.NextOrder = FNextOrder;
    TResultsFile::Write(FFileName, content);
    FStamp = TFileStamp::Of(FFileName);
    FUnsavedFrom = FRows.size();
    FModified = false;
}

void TResultsTable::RefreshFromFile()
{
    if (!FActive || FInserting || FFileName.isEmpty() || TFileStamp::Of(FFileName) == FStamp)
        return;
    // Another copy may be writing; its next change brings us here again.
    TFileLock lock(FFileName, 200);
    if (!lock.Locked() || TFileStamp::Of(FFileName) == FStamp)
        return;
    TakeInFile(ReadLocked());
}

void TResultsTable::DeleteFile()
{
    if (FFileName.isEmpty())
        return;
    TFileLock lock(FFileName);
    QFile::remove(FFileName);
    FStamp = TFileStamp::Of(FFileName);
}

void TResultsTable::ReportCurrent()
{
    if (FDisableCount > 0)
        return;
    const int index = RecIndex();
    FReportedCurrent = index;
    emit CurrentChanged(index);
}

void TResultsTable::DisableControls()
{
    ++FDisableCount;
}

void TResultsTable::EnableControls()
{
    if (FDisableCount == 0)
        return;
    if (--FDisableCount == 0 && FReportedCurrent != RecIndex())
        ReportCurrent();
}

void TResultsTable::SetCurrent(int index)
{
    const bool moved = index != FCurrent;
    FCurrent = index;
    if (moved)
        ReportCurrent();
}

int TResultsTable::RecIndex() const
{
    return FInserting ? FRows.size() : FCurrent;
}

void TResultsTable::First()
{
    CheckActive();
    Cancel();
    emit BeforeScroll();
    FBof = true;
    FEof = FRows.isEmpty();
    SetCurrent(FRows.isEmpty() ? -1 : 0);
}

void TResultsTable::Last()
{
    CheckActive();
    Cancel();
    emit BeforeScroll();
    FEof = true;
    FBof = FRows.isEmpty();
    SetCurrent(FRows.size() - 1);
}

void TResultsTable::Next()
{
    CheckActive();
    Cancel();
    emit BeforeScroll();
    if (FCurrent + 1 >= FRows.size()) {
        FEof = true;
        return;
    }
    FBof = false;
    FEof = false;
    SetCurrent(FCurrent + 1);
}

void TResultsTable::Prior()
{
    CheckActive();
    Cancel();
    emit BeforeScroll();
    if (FCurrent <= 0) {
        FBof = true;
        return;
    }
    FBof = false;
    FEof = false;
    SetCurrent(FCurrent - 1);
}

void TResultsTable::MoveTo(int index)
{
    CheckActive();
    if (index < 0 || index >= FRows.size())
        throw EStorageError(QStringLiteral("Record %1 out of range").arg(index));
    Cancel();
    emit BeforeScroll();
    FBof = false;
    FEof = false;
    SetCurrent(index);
}

const TResultRow &TResultsTable::CurrentRow() const
{
    CheckActive();
    if (FInserting)
        return FPending;
    if (FCurrent < 0)
        throw EStorageError(QStringLiteral("No current record"));
    return FRows.at(FCurrent);
}

QString TResultsTable::CurrentXLabel(const QLocale &locale) const
{
    return XLabelText(CurrentRow(), locale);
}

qint32 TResultsTable::GetBookmark() const
{
    if (!FActive || FInserting || FCurrent < 0)
        return 0;
    return FRows.at(FCurrent).Order;
}

bool TResultsTable::GotoBookmark(qint32 bookmark)
{
    CheckActive();
    for (int i = 0; i < FRows.size(); ++i) {
        if (FRows.at(i).Order == bookmark) {
            Cancel();
            emit BeforeScroll();
            FBof = false;
            FEof = false;
            SetCurrent(i);
            return true;
        }
    }
    return false;
}

void TResultsTable::Append()
{
    CheckActive();
    Cancel();
    emit BeforeScroll();
    FPending = TResultRow();
    FInserting = true;
    FBof = false;
    FEof = true;
    ReportCurrent();
}

void TResultsTable::SetServer(const QString &server)
{
    CheckInserting();
    FPending.Server = cutServer(StorableText(server));
}

void TResultsTable::SetStartTime(const QDateTime &localTime)
{
    CheckInserting();
    FPending.StartTime = DayCountDate::fromDateTime(localTime);
}

void TResultsTable::SetStartTime(double dayCount)
{
    CheckInserting();
    if (!DayCountDate::toDateTime(dayCount).isValid())
        throw EStorageError(QStringLiteral("%1 is not a valid date and time").arg(dayCount));
    FPending.StartTime = dayCount;
}

void TResultsTable::SetDuration(double milliseconds)
{
    CheckInserting();
    // The default floating-point rounding mode takes halves to the even neighbour.
    const double rounded = std::nearbyint(milliseconds);
    if (!(rounded >= double(std::numeric_limits<qint32>::min())
          && rounded <= double(std::numeric_limits<qint32>::max())))
        throw EStorageError(QStringLiteral("%1 is not a valid duration in milliseconds").arg(milliseconds));
    FPending.Duration = qint32(rounded);
}

void TResultsTable::SetBytesRx(double bytes)
{
    CheckInserting();
    FPending.BytesRx = bytes;
}

void TResultsTable::SetResult(double kbPerSec)
{
    CheckInserting();
    FPending.Result = kbPerSec;
}

void TResultsTable::SetSpeed(double kbPerSec)
{
    CheckInserting();
    FPending.Speed = kbPerSec;
}

void TResultsTable::SetDirection(const QString &direction)
{
    CheckInserting();
    FPending.Direction = direction;
}

void TResultsTable::SetStreams(qint32 streams)
{
    CheckInserting();
    FPending.Streams = streams;
}

void TResultsTable::SetPort(qint32 port)
{
    CheckInserting();
    FPending.Port = port;
}

void TResultsTable::SetFamily(const QString &family)
{
    CheckInserting();
    FPending.Family = family;
}

void TResultsTable::SetLimitedBy(const QString &limit)
{
    CheckInserting();
    FPending.LimitedBy = limit;
}

void TResultsTable::SetPlanBps(double bps)
{
    CheckInserting();
    FPending.PlanBps = bps > 0 && std::isfinite(bps) ? bps : 0;
}

void TResultsTable::SetLatency(double idleMs, double loadedMs, double loadedP90Ms, double rpm, const QString &grade,
                               qint32 lostProbes)
{
    CheckInserting();
    FPending.IdleLatencyMs = idleMs;
    FPending.LoadedLatencyMs = loadedMs;
    FPending.LoadedLatencyP90Ms = loadedP90Ms;
    FPending.Rpm = rpm;
    FPending.Grade = grade;
    FPending.LostProbes = lostProbes;
}

void TResultsTable::Post()
{
    CheckActive();
    if (!FInserting)
        return;
    if (FNextOrder > std::numeric_limits<qint32>::max())
        throw EStorageError(QStringLiteral("No Order number left for a new row"));
    const int index = FRows.size();
    TResultRow row = FPending;
    row.Order = qint32(FNextOrder);
    emit AboutToInsertRow(index);
    FRows.append(row);
    FInserting = false;
    FPending = TResultRow();
    ++FNextOrder;
    FModified = true;
    FBof = false;
    FEof = false;
    FCurrent = index;
    emit AfterPost(index);
    ReportCurrent();
}

void TResultsTable::Cancel()
{
    if (!FInserting)
        return;
    FInserting = false;
    FPending = TResultRow();
    ReportCurrent();
}
