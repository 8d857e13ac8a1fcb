#pragma once

#include <QLocale>
#include <QObject>
#include <QString>
#include <functional>

class QFileSystemWatcher;
class TResultsTable;
class TResultsTableModel;

// The results store: the results table, its file KorvaneResults.xml in the
// folder given, the grid's data source and MaxResult.
//
// Errors of its own file work (a damaged file at creation, a failed write
// after a post, at DeleteAll or at destruction) never throw; each is reported
// once through the error handler given to the constructor, meant to be the
// application-wide handler that logs "ERROR - " + message. Table operations
// used directly (Append on a closed table, ...) throw EStorageError.
//
// Every posted row is written to the file at once (temporary file renamed
// over the old one), so a crash loses no result. Copies of the program that
// share the folder take turns through the file's lock and never erase each
// other's rows; what another copy writes reaches this table (and the views
// on it) when the folder changes. A failed write is reported once until a
// write succeeds again; its rows stay and go with the next write.
class TdmDiskStorage : public QObject
{
    Q_OBJECT
public:
    using TErrorHandler = std::function<void(const QString &message)>;

    // Opens (or creates empty) the table in DataPath; see the class comment for errors.
    explicit TdmDiskStorage(const QString &DataPath, TErrorHandler onError = {});
    // Closes the table, writing the file when its data changed or it is missing.
    ~TdmDiskStorage() override;

    static inline const QString ResultsFileName = QStringLiteral("KorvaneResults.xml");

    QString storagePath() const { return FStoragePath; }
    QString fileName() const;
    // Largest Speed seen on a row the cursor left since creation; at least 1.0.
    double MaxResult() const { return FMaxResult; }

    // Removes all rows and the file; leaves an open, empty table (the file is
    // written again at the next post or at destruction).
    void DeleteAll();

    TResultsTable *cdsKorvaneResults() const { return FTable; }
    TResultsTableModel *dsKorvaneResults() const { return FModel; }

    // XLabel text of the table's current row.
    QString cdsKorvaneResultsXLabelGetText(const QLocale &locale = QLocale()) const;

private:
    void DataModuleCreate();
    void DataModuleDestroy();
    void cdsKorvaneResultsBeforeScroll();
    void cdsKorvaneResultsAfterPost();
    void ReportError(const QString &message) const;
    void ReportWriteError(const QString &message);
    void FileMayHaveChanged();

    QString FStoragePath;
    double FMaxResult = 1.0;
    TResultsTable *FTable = nullptr;
    TResultsTableModel *FModel = nullptr;
    TErrorHandler FOnError;
    QFileSystemWatcher *FWatcher = nullptr;
    QString FLastWriteError;
};

// The one store of the program; set when the saved state is restored and
// cleared before the store is freed. Owned by whoever sets it.
extern TdmDiskStorage *dmDiskStorage;
