#pragma once

#include "ResultRow.h"

#include <QDateTime>
#include <QLocale>
#include <QObject>
#include <QString>
#include <QVector>

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
    // Does nothing when already open. Throws on a damaged or unreadable file
    // and then stays closed; the file is left untouched.
    void Open();
    // Closes the table. Writes the file first when the data changed since the
    // last write or the file does not exist; a closed table is never written.
    // The table is closed afterwards even when the write throws.
    void Close();
    bool Active() const { return FActive; }

    // Writes all rows and the next Order value to FileName() now (temporary
    // file renamed over the old one) and clears Modified(). Throws on failure.
    void SaveToFile();
    // True when rows changed (or the table was created empty) since the last
    // successful write.
    bool Modified() const { return FModified; }

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

private:
    void CheckActive() const;
    void CheckInserting() const;
    void SetCurrent(int index);
    void ReportCurrent();
    void Reset(QVector<TResultRow> rows);

    QString FFileName;
    QVector<TResultRow> FRows;
    TResultRow FPending;
    qint64 FNextOrder = 1;
    int FCurrent = -1;
    bool FActive = false;
    bool FModified = false;
    bool FInserting = false;
    bool FEof = true;
    bool FBof = true;
    int FDisableCount = 0;
    int FReportedCurrent = -1;
};
