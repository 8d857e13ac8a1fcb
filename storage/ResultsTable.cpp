#include "ResultsTable.h"

#include "DayCountDate.h"
#include "ResultsFile.h"
#include "StorageError.h"
#include "XLabelText.h"

#include <QFile>

#include <cmath>
#include <limits>

namespace {

// Replaces what an XML 1.0 document cannot hold (most control characters,
// lone surrogates, U+FFFE/U+FFFF) so a stored name can never damage the file.
QString storableText(const QString &text)
{
    QString result = text;
    for (qsizetype i = 0; i < result.size(); ++i) {
        const char16_t c = result.at(i).unicode();
        bool bad = (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c == 0xFFFE || c == 0xFFFF;
        if (QChar::isHighSurrogate(c)) {
            if (i + 1 < result.size() && QChar::isLowSurrogate(result.at(i + 1).unicode())) {
                ++i;
                continue;
            }
            bad = true;
        } else if (QChar::isLowSurrogate(c)) {
            bad = true;
        }
        if (bad)
            result[i] = u'?';
    }
    return result;
}

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
    FModified = true;
}

void TResultsTable::Open()
{
    if (FActive)
        return;
    QVector<TResultRow> rows;
    if (!FFileName.isEmpty() && QFile::exists(FFileName)) {
        TResultsFile::TContent content = TResultsFile::Read(FFileName);
        FNextOrder = std::max(FNextOrder, content.NextOrder);
        rows = std::move(content.Rows);
    }
    FActive = true;
    FModified = false;
    Reset(std::move(rows));
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
    };
    try {
        if (!FFileName.isEmpty() && (FModified || !QFile::exists(FFileName)))
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
    TResultsFile::TContent content;
    content.Rows = FRows;
    content.NextOrder = FNextOrder;
    TResultsFile::Write(FFileName, content);
    FModified = false;
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
    FPending.Server = cutServer(storableText(server));
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
