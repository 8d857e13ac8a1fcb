#include "storage/DiskStorage.h"

#include "storage/ResultsTable.h"
#include "storage/ResultsTableModel.h"
#include "storage/StorageError.h"
#include "storage/XLabelText.h"

#include "storage/FileLock.h"
#include "storage/SafeFileWrite.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>

#include <exception>

TdmDiskStorage *dmDiskStorage = nullptr;

namespace {

QString withoutTrailingSeparator(QString path)
{
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

} // namespace

TdmDiskStorage::TdmDiskStorage(const QString &DataPath, TErrorHandler onError)
    : QObject(nullptr), FStoragePath(withoutTrailingSeparator(DataPath)), FOnError(std::move(onError))
{
    FTable = new TResultsTable(this);
    FTable->setObjectName(QStringLiteral("cdsKorvaneResults"));
    FModel = new TResultsTableModel(FTable, this);
    FModel->setObjectName(QStringLiteral("dsKorvaneResults"));
    connect(FTable, &TResultsTable::BeforeScroll, this, &TdmDiskStorage::cdsKorvaneResultsBeforeScroll);
    connect(FTable, &TResultsTable::AfterPost, this, &TdmDiskStorage::cdsKorvaneResultsAfterPost);
    connect(FTable, &TResultsTable::Notice, this, &TdmDiskStorage::ReportError);
    DataModuleCreate();
    // Another copy of the program (started from another path) may post to the same file;
    // its rows show up here as soon as it has written them.
    FWatcher = new QFileSystemWatcher(this);
    if (QFileInfo(FStoragePath).isDir())
        FWatcher->addPath(FStoragePath);
    connect(FWatcher, &QFileSystemWatcher::directoryChanged, this, &TdmDiskStorage::FileMayHaveChanged);
}

TdmDiskStorage::~TdmDiskStorage()
{
    DataModuleDestroy();
}

QString TdmDiskStorage::fileName() const
{
    return FStoragePath + u'/' + ResultsFileName;
}

void TdmDiskStorage::ReportError(const QString &message) const
{
    if (FOnError)
        FOnError(message);
}

void TdmDiskStorage::DataModuleCreate()
{
    FMaxResult = 1.0;
    FTable->SetFileName(fileName());
    {
        TFileLock lock(fileName());
        if (lock.Locked())
            TSafeFileWrite::RemoveLeftovers(fileName());
    }
    try {
        if (!QFile::exists(FTable->FileName()))
            FTable->CreateDataSet();
        FTable->Open();
    } catch (const std::exception &e) {
        // Only a file that can be neither read nor moved aside leaves the table closed;
        // DeleteAll replaces it.
        ReportError(QString::fromUtf8(e.what()));
    }
}

void TdmDiskStorage::DataModuleDestroy()
{
    try {
        FTable->Close();
    } catch (const std::exception &e) {
        FLastWriteError.clear();   // the last chance: always said
        ReportWriteError(QString::fromUtf8(e.what()));
    }
}

void TdmDiskStorage::DeleteAll()
{
    // The rows are thrown away, so they are not written before the file goes.
    // A file that cannot be removed is overwritten by the next write.
    FTable->DeleteFile();
    FTable->CreateDataSet();
}

void TdmDiskStorage::FileMayHaveChanged()
{
    try {
        FTable->RefreshFromFile();
    } catch (const std::exception &e) {
        ReportWriteError(QString::fromUtf8(e.what()));
    }
}

void TdmDiskStorage::cdsKorvaneResultsBeforeScroll()
{
    if (!FTable->Active() || FTable->RecIndex() < 0 || FTable->RecIndex() >= FTable->RecordCount())
        return;
    const double speed = FTable->CurrentRow().Speed;
    if (speed > FMaxResult)
        FMaxResult = speed;
}

void TdmDiskStorage::cdsKorvaneResultsAfterPost()
{
    // Written at once so a crash or a killed program loses no result.
    try {
        FTable->SaveToFile();
        FLastWriteError.clear();
    } catch (const std::exception &e) {
        ReportWriteError(QString::fromUtf8(e.what()));
    }
}

void TdmDiskStorage::ReportWriteError(const QString &message)
{
    // The rows stay in the table and go with the next write; saying so again after every
    // test while the disk stays full would bury the log.
    if (message == FLastWriteError)
        return;
    FLastWriteError = message;
    ReportError(message);
}

QString TdmDiskStorage::cdsKorvaneResultsXLabelGetText(const QLocale &locale) const
{
    return FTable->CurrentXLabel(locale);
}
