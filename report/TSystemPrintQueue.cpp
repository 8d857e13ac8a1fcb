#include "report/TSystemPrintQueue.h"

#include "report/EReportError.h"

#include <QPrinterInfo>

#include <cups/cups.h>

int TSystemPrintQueue::Submit(const TPrintJob &job)
{
    QString printer = job.printerName;
    if (printer.isEmpty())
        printer = QPrinterInfo::defaultPrinterName();
    if (printer.isEmpty())
        throw EReportError(QStringLiteral("No printer is installed; the report was not printed"));

    cups_option_t *options = nullptr;
    int count = 0;
    count = cupsAddOption("copies", QByteArray::number(std::max(1, job.copies)).constData(), count, &options);
    count = cupsAddOption("collate", job.collate ? "true" : "false", count, &options);
    const char *sides = "one-sided";
    if (job.duplex == QPrinter::DuplexLongSide || job.duplex == QPrinter::DuplexAuto)
        sides = "two-sided-long-edge";
    else if (job.duplex == QPrinter::DuplexShortSide)
        sides = "two-sided-short-edge";
    count = cupsAddOption("sides", sides, count, &options);
    // The spool is a PDF; say so rather than let the queue guess.
    count = cupsAddOption("document-format", "application/pdf", count, &options);

    const int id = cupsPrintFile(printer.toLocal8Bit().constData(), job.fileName.toLocal8Bit().constData(),
                                 job.title.toUtf8().constData(), count, options);
    cupsFreeOptions(count, options);
    if (id <= 0)
        throw EReportError(QStringLiteral("The printer \"%1\" did not take the report: %2")
                               .arg(printer, QString::fromUtf8(cupsLastErrorString())));
    return id;
}
