#pragma once

#include "storage/FileStamp.h"
#include "storage/ResultRow.h"
#include "storage/ResultsFile.h"

#include <QDateTime>
#include <QLocale>
#include <QObject>
#include <QString>
#include <QVector>

#include <optional>

// The in-memory results table (cdsKorvaneResults): rows, a current-row cursor,
// one pending appended row, change tracking and loading/saving of its file.
//
// Failures throw EStorageError. Every operation except Close(), Active() and
// the read-only accessors on a closed table throws
// "Cannot perform this operation on a closed dataset".
//
// Typical writer:   t->Append(); t->SetServer(..); ...; t->Post();
// Typical walk:     auto bm = t->GetBookmark();
//                   for (t->First(); !t->Eof(); t->Next()) use(t->CurrentRow());
//                   t->GotoBookmark(bm);
class TResultsTable : public QObject
{
    Q_OBJECT
public:
    explicit TResultsTable(QObject *parent = nullptr);
    ~TResultsTable() override;

    // --- file and lifecycle ---
    void SetFileName(const QString &fileName);
    QString FileName() const { return FFileName; }

    // Replaces whatever the table held by an empty, open table that counts as
    // changed (so Close() writes it). Order numbering continues above every
    // row this object has held.
    void CreateDataSet();
    // Opens the table: reads FileName() when it exists, else starts empty.
    // Does nothing when already open. A file that cannot be read as a results
    // file is moved aside under a name that says so (see DamagedFileName) and
    // the table starts empty, told through Notice(); only when it cannot even
    // be moved does Open throw and the table stay closed.
    void Open();
    // Closes the table. Writes the file first when rows were posted that are
    // not in it yet or the file does not exist; a closed table is never
    // written. The table is closed afterwards even when the write throws.
    void Close();
    bool Active() const { return FActive; }

    // The locked read-modify-write that every change of the file goes
    // through, so copies of the program sharing the file never erase each
    // other's rows: under the file's lock, what another copy wrote since this
    // table last read or wrote the file is read back (an unchanged file is
    // not read again), the rows posted here and not yet stored are added
    // after it with the next free Order values, and the whole is written
    // through a temporary file. Clears Modified(). Throws on failure; the
    // unstored rows stay in the table and go with the next write.
    void SaveToFile();
    // True when rows changed (or the table was created empty) since the last
    // successful write.
    bool Modified() const { return FModified; }
    // Rows posted here that the file does not hold yet.
    int UnsavedCount() const { return int(FRows.size() - FUnsavedFrom); }
    // Takes in what another copy wrote to the file since this table last read
    // or wrote it; does nothing when the file is unchanged, the table is
    // closed or a row is being appended. Throws when the file cannot be read.
    void RefreshFromFile();
    // Removes the file under its lock; the table keeps its rows.
    void DeleteFile();

    // Where a damaged results file goes: beside it, named with the moment.
    static QString DamagedFileName(const QString &fileName, const QDateTime &when);

    // --- rows ---
    int RecordCount() const { return FRows.size(); }
    const TResultRow &Row(int index) const { return FRows.at(index); }
    const QVector<TResultRow> &Rows() const { return FRows; }
    // Next Order value a post assigns.
    // Above the 32-bit range once every Order value is used; Post then throws.
    qint64 NextOrder() const { return FNextOrder; }

    // --- cursor (BeforeScroll is emitted before each move, see below) ---
    void First();
    void Last();
    void Next();
    void Prior();
    // Moves to the row at index (0-based); out of range throws.
    void MoveTo(int index);
    bool Eof() const { return FEof; }
    bool Bof() const { return FBof; }
    // Index of the current row; -1 when the table is empty. While a row is
    // pending (inserting), RecordCount().
    int RecIndex() const;
    bool Inserting() const { return FInserting; }
    // The current row, or the pending row while inserting. Throws when there is none.
    const TResultRow &CurrentRow() const;
    // XLabel text of the current row (see XLabelText.h).
    QString CurrentXLabel(const QLocale &locale = QLocale()) const;

    // While disabled (calls nest), CurrentChanged is held back, so a walk over
    // the rows does not drag views along; EnableControls reports the final row
    // once if it moved. BeforeScroll is never held back.
    void DisableControls();
    void EnableControls();

    // A bookmark is the Order value of the current row; 0 when there is none.
    qint32 GetBookmark() const;
    // Moves to the row with that Order. Returns false (and stays) when no row has it.
    bool GotoBookmark(qint32 bookmark);

    // --- appending a row ---
    // Starts a pending row after the last one. A row not yet posted is
    // discarded by Append, Cancel, any cursor move, Close and CreateDataSet.
    void Append();
    // Field setters; only while a row is pending ("Dataset not in edit or insert mode").
    void SetServer(const QString &server);        // cut to 255 characters
    void SetStartTime(const QDateTime &localTime);
    void SetStartTime(double dayCount);           // days since 30 Dec 1899
    void SetDuration(double milliseconds);        // nearest integer, halves to even
    void SetBytesRx(double bytes);
    void SetResult(double kbPerSec);
    void SetSpeed(double kbPerSec);
    // Only for session tests; see TResultRow.
    void SetDirection(const QString &direction); // "download" or "upload"
    void SetStreams(qint32 streams);
    void SetPort(qint32 port);                   // 1 to 65535, or 0 for none
    void SetFamily(const QString &family);       // "ipv4", "ipv6" or empty
    void SetLimitedBy(const QString &limit);    // a verdict's name, or empty
    void SetPlanBps(double bps);                 // above 0, or 0 for no plan
    // Latency beside any test: ms (-1: none), round trips per minute, grade, lost probes.
    void SetLatency(double idleMs, double loadedMs, double loadedP90Ms, double rpm, const QString &grade,
                    qint32 lostProbes);
    // Adds the pending row with the next Order value; it becomes the current
    // row. Does nothing when no row is pending.
    void Post();
    // Drops the pending row, if any.
    void Cancel();

signals:
    // Before the current row changes (navigation, Append). The row about to be
    // left is still CurrentRow(); the table may be empty.
    void BeforeScroll();
    // After the current row changed; index as RecIndex().
    void CurrentChanged(int index);
    // After a posted row was added at index.
    void AfterPost(int index);
    // Around any change of the whole row set: open, close, CreateDataSet.
    void AboutToReset();
    void AfterReset();
    // Before a posted row is inserted at index (for models).
    void AboutToInsertRow(int index);
    // Something the user must learn once that did not stop the table (a
    // damaged file moved aside).
    void Notice(const QString &message);

private:
    void CheckActive() const;
    void CheckInserting() const;
    void SetCurrent(int index);
    void ReportCurrent();
    void Reset(QVector<TResultRow> rows);
    // Under the lock: the file's content, or nullopt when it is missing; a
    // damaged file is moved aside (and reported) and reads as missing.
    std::optional<TResultsFile::TContent> ReadLocked();
    // The file's rows followed by the unstored rows of this table, renumbered
    // above the file's Order values; keeps the current row where it was.
    void TakeInFile(const std::optional<TResultsFile::TContent> &content);

    QString FFileName;
    QVector<TResultRow> FRows;
    TResultRow FPending;
    qint64 FNextOrder = 1;
    qsizetype FUnsavedFrom = 0;   // rows from here on are not in the file yet
    TFileStamp FStamp;            // the file as this table last read or wrote it
    int FCurrent = -1;
    bool FActive = false;
    bool FModified = false;
    bool FInserting = false;
    bool FEof = true;
    bool FBof = true;
    int FDisableCount = 0;
    int FReportedCurrent = -1;
};
