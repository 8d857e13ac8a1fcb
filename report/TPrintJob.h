#pragma once

#include <QPrinter>
#include <QString>

#include <functional>

// A finished print job: every page already spooled into one PDF file, handed to the
// print queue in one piece, so a cancelled report never reaches the printer.
struct TPrintJob
{
    QString printerName;  // empty: the system's default printer
    QString fileName;     // the spooled pages
    QString title;
    int pageCount = 0;
    int copies = 1;
    bool collate = true;
    QPrinter::DuplexMode duplex = QPrinter::DuplexNone;
};

// Hands a finished job to the print queue; throws EReportError when the queue refuses it.
using TPrintSubmitter = std::function<void(const TPrintJob &job)>;
