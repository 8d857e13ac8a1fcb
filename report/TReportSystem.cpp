#include "report/TReportSystem.h"

#include "report/EReportError.h"
#include "report/TReportPreviewDialog.h"
#include "report/TReportSetupDialog.h"
#include "report/TReportStatusWindow.h"
#include "report/TSystemPrintQueue.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTemporaryDir>

TReportSystem::TReportSystem() : FPrinter(std::make_unique<QPrinter>(QPrinter::HighResolution))
{
}

TReportSystem::~TReportSystem() = default;

QPrinter &TReportSystem::Printer()
{
    return *FPrinter;
}

TReportFileWriter &TReportSystem::Writer(TReportOutputChoice::FileFormat format)
{
    switch (format) {
    case TReportOutputChoice::FileFormat::Html: return wrHTML;
    case TReportOutputChoice::FileFormat::Rtf: return wrRTF;
    case TReportOutputChoice::FileFormat::Pdf: break;
    }
    return wrPDF;
}

void TReportSystem::SetOutputChooser(TReportOutputChooser chooser)
{
    FChooser = std::move(chooser);
}

void TReportSystem::SetWindowWatcher(TReportWindowWatcher watcher)
{
    FWindowWatcher = std::move(watcher);
}

void TReportSystem::SetPrintSubmitter(TPrintSubmitter submitter)
{
    FPrintSubmitter = std::move(submitter);
}

bool TReportSystem::PrinterAvailable()
{
    return !QPrinterInfo::availablePrinters().isEmpty();
}

std::optional<TReportOutputChoice> TReportSystem::ChooseOutput(QWidget *parent, const QString &defaultReport)
{
    if (FChooser)
        return FChooser(parent, *FPrinter);
    TReportSetupDialog dialog(parent, TitleSetup, *FPrinter,
                              {wrPDF.DisplayName, wrHTML.DisplayName, wrRTF.DisplayName},
                              {wrPDF.FileDialogFilter(), wrHTML.FileDialogFilter(),
                               wrRTF.FileDialogFilter()},
                              PrinterAvailable());
    dialog.OfferReports(defaultReport, Reports, ReportsFrom, ReportsTo);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.Choice();
}

TReportRenderer::Progress TReportSystem::StatusProgress(std::unique_ptr<TReportStatusWindow> &window,
                                                        QWidget *parent, const QString &pattern)
{
    // No status window without widgets (a command-line or test process).
    if (!ShowStatus || !qobject_cast<QApplication *>(QCoreApplication::instance()))
        return {};
    return [this, &window, parent, pattern](int page) {
        if (!window) {
            window = std::make_unique<TReportStatusWindow>(parent, TitleStatus);
            if (FWindowWatcher)
                FWindowWatcher(*window);
        }
        return window->ShowPage(pattern, page);
    };
}

void TReportSystem::Execute(QWidget *parent, const QString &layoutFile,
                            const std::function<TReportRow()> &getRow)
{
    const QString fullPath = QFileInfo(layoutFile).absoluteFilePath();
    if (!QFileInfo::exists(fullPath))
        throw EReportError(QStringLiteral("The following reporting project does not exist:\n\"%1\"")
                               .arg(QDir::toNativeSeparators(fullPath)));
    TReportLayout layout = TReportLayout::Load(fullPath);

    const std::optional<TReportOutputChoice> choice = ChooseOutput(parent, layout.title);
    if (!choice)
        return;
    const bool other = !choice->report.isEmpty() && ReportRow;
    if (other)
        layout = layout.ForReport(choice->report);
    const TReportContent content = TReportContent::FromRow(other ? ReportRow(*choice) : getRow());

    switch (choice->destination) {
    case TReportOutputChoice::Destination::Printer:
        PrintPages(parent, layout, content);
        break;
    case TReportOutputChoice::Destination::File: {
        TReportFileWriter &writer = Writer(choice->format);
        if (choice->fileName.isEmpty())
            throw EReportError(QStringLiteral("No file name was given for the report"));
        WriteFile(parent, writer, writer.WithExtension(choice->fileName), layout, content);
        break;
    }
    case TReportOutputChoice::Destination::Preview:
        ShowPreview(parent, layout, content);
        break;
    }
}

void TReportSystem::PrintPages(QWidget *parent, const TReportLayout &layout,
                               const TReportContent &content)
{
    // The pages go to a spool file first and reach the print queue only once all are
    // done: a print system keeps whatever a job sent before it was aborted, so Cancel
    // must come before anything is submitted.
    QTemporaryDir spoolDir;
    if (!spoolDir.isValid())
        throw EReportError(QStringLiteral("The report could not be spooled: %1").arg(spoolDir.errorString()));
    const QString spoolFile = spoolDir.filePath(QStringLiteral("report.pdf"));
    QPrinter spool(QPrinter::HighResolution);
    spool.setOutputFormat(QPrinter::PdfFormat);
    spool.setOutputFileName(spoolFile);
    spool.setDocName(TitlePrinter);
    spool.setCreator(QCoreApplication::applicationName());
    spool.setColorMode(FPrinter->colorMode());
    spool.setFullPage(false);

    std::unique_ptr<TReportStatusWindow> status;
    const int pages = TReportRenderer(layout, content)
                          .Render(spool, StatusProgress(status, parent, StatusTextGenerating),
                                  StatusProgress(status, parent, StatusTextPrinting));
    status.reset();
    if (pages <= 0)
        return;  // cancelled: the spool goes with its folder, nothing was submitted

    // Printing to a file from the print dialog: the file is the spool, finished.
    if (FPrinter->outputFormat() == QPrinter::PdfFormat && !FPrinter->outputFileName().isEmpty()) {
        const QString target = FPrinter->outputFileName();
        QFile::remove(target);
        if (!QFile::copy(spoolFile, target))
            throw EReportError(QStringLiteral("The report could not be written to \"%1\"").arg(target));
        return;
    }

    TPrintJob job;
    job.printerName = FPrinter->printerName();
    job.fileName = spoolFile;
    job.title = TitlePrinter;
    job.pageCount = pages;
    job.copies = FPrinter->copyCount();
    job.collate = FPrinter->collateCopies();
    job.duplex = FPrinter->duplex();
    if (FPrintSubmitter)
        FPrintSubmitter(job);
    else
        TSystemPrintQueue::Submit(job);
}

void TReportSystem::WriteFile(QWidget *parent, TReportFileWriter &writer, const QString &fileName,
                              const TReportLayout &layout, const TReportContent &content)
{
    std::unique_ptr<TReportStatusWindow> status;
    const auto progress = StatusProgress(status, parent, StatusTextGenerating);
    writer.Write(fileName, layout, content, progress, progress);
}

void TReportSystem::SaveFromPreview(QWidget *parent, const TReportLayout &layout,
                                    const TReportContent &content)
{
    const QList<TReportFileWriter *> writers{&wrPDF, &wrHTML, &wrRTF};
    QStringList filters;
    for (const TReportFileWriter *writer : writers)
        filters << writer->FileDialogFilter();
    QString selected = filters.first();
    const QString name = QFileDialog::getSaveFileName(parent, QObject::tr("Save Report As"),
                                                      QString(), filters.join(u";;"_qs), &selected);
    if (name.isEmpty())
        return;
    TReportFileWriter *writer = writers.value(filters.indexOf(selected), &wrPDF);
    WriteFile(parent, *writer, writer->WithExtension(name), layout, content);
}

void TReportSystem::ShowPreview(QWidget *parent, const TReportLayout &layout,
                                const TReportContent &content)
{
    QPrinter previewPrinter(QPrinter::HighResolution);
    const TReportRenderer renderer(layout, content);

    // The pages are generated here, under the status window, and the preview only
    // paints them: its paint callback runs while it shows itself, where a cancel
    // could not end the report cleanly.
    std::shared_ptr<const TReportRenderer::Prepared> pages;
    {
        std::unique_ptr<TReportStatusWindow> status;
        pages = renderer.Prepare(previewPrinter, StatusProgress(status, parent, StatusTextGenerating));
    }
    if (!pages)
        return;

    TReportPreviewDialog *dialogPtr = nullptr;

    // Nothing may be thrown through the dialog's event loop: keep the first
    // failure, close the preview and rethrow it once exec() has returned.
    std::exception_ptr failure;
    auto guarded = [&](const std::function<void()> &step) {
        try {
            step();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
            if (dialogPtr)
                dialogPtr->reject();
        }
    };

    TReportPreviewDialog::Actions actions;
    actions.paint = [&](QPrinter *printer) { guarded([&] { renderer.Paint(*printer, *pages); }); };
    actions.print = [&] {
        guarded([&] {
            QPrintDialog dialog(FPrinter.get(), dialogPtr);
            if (dialog.exec() == QDialog::Accepted)
                PrintPages(dialogPtr, layout, content);
        });
    };
    actions.save = [&] { guarded([&] { SaveFromPreview(dialogPtr, layout, content); }); };

    TReportPreviewDialog dialog(parent, TitlePreview, previewPrinter, actions, PreviewZoom);
    dialogPtr = &dialog;
    if (FWindowWatcher)
        FWindowWatcher(dialog);
    dialog.exec();
    if (failure)
        std::rethrow_exception(failure);
}
