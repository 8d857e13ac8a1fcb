#include "DiskStorage.h"

#include "ResultsTable.h"
#include "ResultsTableModel.h"
#include "StorageError.h"
#include "XLabelText.h"

#include <QFile>

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
    DataModuleCreate();
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
    try {
        if (!QFile::exists(FTable->FileName()))
            FTable->CreateDataSet();
        FTable->Open();
    } catch (const std::exception &e) {
        // A damaged file stays closed and untouched until DeleteAll replaces it.
        ReportError(QString::fromUtf8(e.what()));
    }
}

void TdmDiskStorage::DataModuleDestroy()
{
    try {
        FTable->Close();
    } catch (const std::exception &e) {
        ReportError(QString::fromUtf8(e.what()));
    }
}

void TdmDiskStorage::DeleteAll()
{
    // The rows are thrown away, so they are not written before the file goes.
    // A file that cannot be removed is overwritten by the next write.
    QFile::remove(FTable->FileName());
    FTable->CreateDataSet();
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
    } catch (const std::exception &e) {
        ReportError(QString::fromUtf8(e.what()));
    }
}

QString TdmDiskStorage::cdsKorvaneResultsXLabelGetText(const QLocale &locale) const
{
    return FTable->CurrentXLabel(locale);
}
