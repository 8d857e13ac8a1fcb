#include "ui/TResultsExport.h"

#include "storage/ResultsExport.h"
#include "storage/ResultsTable.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

namespace {

TResultsExport::TFileChooser& Chooser()
{
    static TResultsExport::TFileChooser chooser;
    return chooser;
}

const QString CsvFilter = QStringLiteral("CSV files (*.csv)");
const QString JsonLinesFilter = QStringLiteral("JSON lines (*.jsonl)");

} // namespace

TResultsExport::TFileChooser TResultsExport::SetFileChooser(TFileChooser chooser)
{
    TFileChooser previous = std::move(Chooser());
    Chooser() = std::move(chooser);
    return previous;
}

QString TResultsExport::ChooseFile(QWidget* parent)
{
    static QString lastFolder = QDir::homePath();
    QFileDialog dialog(parent, QStringLiteral("Export Results"), lastFolder);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters({CsvFilter, JsonLinesFilter});
    // The file's suffix decides the format: switching the type offers a name with its
    // suffix, and a name typed without one gets the suffix of the type shown.
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
        const QString suffix = filter == JsonLinesFilter ? QStringLiteral("jsonl") : QStringLiteral("csv");
        dialog.setDefaultSuffix(suffix);
        dialog.selectFile(QStringLiteral("KorvaneResults.") + suffix);
    });
    dialog.selectFile(QStringLiteral("KorvaneResults.csv"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    const QString fileName = dialog.selectedFiles().constFirst();
    lastFolder = QFileInfo(fileName).absolutePath();
    return fileName;
}

QString TResultsExport::Execute(QWidget* parent, const TResultsTable* table)
{
    if (!table || !table->Active() || table->RecordCount() == 0) {
        // No parent: centred on the screen, like the print command's box.
        QMessageBox box(QMessageBox::Information, QApplication::applicationName(),
                        QStringLiteral("Sorry, nothing to export."), QMessageBox::Ok);
        box.exec();
        return {};
    }
    const QString fileName = Chooser() ? Chooser()(parent) : ChooseFile(parent);
    if (fileName.isEmpty())
        return {};
    ResultsExport::WriteFile(fileName, table->Rows(), ResultsExport::FormatForFileName(fileName));
    return fileName;
}
