#pragma once

#include "report/THtmlReportWriter.h"
#include "report/TPrintJob.h"
#include "report/TPdfReportWriter.h"
#include "report/TReportData.h"
#include "report/TReportOutputChoice.h"
#include "report/TRtfReportWriter.h"

#include <QDate>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QDialog;
class QPrinter;
class QWidget;
class TReportStatusWindow;

// Told of each window the engine opens, as it opens it: the status window
// before its first page, the preview before it runs.
using TReportWindowWatcher = std::function<void(QDialog &window)>;

// The report engine driver: asks for the output, generates the pages and sends
// them to the printer, the preview or a file.
class TReportSystem
{
public:
    TReportSystem();
    ~TReportSystem();

    QString TitleSetup = QStringLiteral("Output Options");
    QString TitleStatus = QStringLiteral("Report Status");
    QString TitlePreview = QStringLiteral("Report Preview");
    QString StatusTextGenerating = QStringLiteral("Generating page %p");
    QString StatusTextPrinting = QStringLiteral("Printing page %p");
    QString TitlePrinter = QStringLiteral("Korvane Report");
    int PreviewZoom = 100;
    bool ShowStatus = true;

    // Reports offered beside the default one in "Output Options", with the period they start
    // with, and what builds the data row of the one chosen.
    QStringList Reports;
    QDate ReportsFrom, ReportsTo;
    std::function<TReportRow(const TReportOutputChoice &)> ReportRow;

    TPdfReportWriter wrPDF;
    THtmlReportWriter wrHTML;
    TRtfReportWriter wrRTF;

    QPrinter &Printer();
    TReportFileWriter &Writer(TReportOutputChoice::FileFormat format);

    // Who answers "Output Options"; empty means the dialog.
    void SetOutputChooser(TReportOutputChooser chooser);
    // Who is told of the engine's windows (tests answer them without a user).
    void SetWindowWatcher(TReportWindowWatcher watcher);
    // Who takes a finished print job; empty means the system's print queue.
    void SetPrintSubmitter(TPrintSubmitter submitter);

    static bool PrinterAvailable();

    // Runs the report in layoutFile over the row getRow delivers. Cancelling any
    // dialog ends quietly; failures throw EReportError.
    void Execute(QWidget *parent, const QString &layoutFile, const std::function<TReportRow()> &getRow);

private:
    // defaultReport: the title of the report the layout makes, offered first.
    std::optional<TReportOutputChoice> ChooseOutput(QWidget *parent, const QString &defaultReport);
    void PrintPages(QWidget *parent, const TReportLayout &layout, const TReportContent &content);
    void WriteFile(QWidget *parent, TReportFileWriter &writer, const QString &fileName,
                   const TReportLayout &layout, const TReportContent &content);
    void SaveFromPreview(QWidget *parent, const TReportLayout &layout, const TReportContent &content);
    void ShowPreview(QWidget *parent, const TReportLayout &layout, const TReportContent &content);
    TReportRenderer::Progress StatusProgress(std::unique_ptr<TReportStatusWindow> &window,
                                             QWidget *parent, const QString &pattern);

    std::unique_ptr<QPrinter> FPrinter;
    TReportOutputChooser FChooser;
    TReportWindowWatcher FWindowWatcher;
    TPrintSubmitter FPrintSubmitter;
};
