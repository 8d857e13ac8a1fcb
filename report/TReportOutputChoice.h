#pragma once

#include <QDate>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>

// What the user picked in "Output Options". Copies, collation, duplex and the
// printer itself live on the engine's QPrinter, which the dialog edits in place.
struct TReportOutputChoice
{
    enum class Destination { Printer, Preview, File };
    enum class FileFormat { Pdf, Html, Rtf };

    Destination destination = Destination::Preview;
    FileFormat format = FileFormat::Pdf;
    QString fileName;
    // Another report than the default one, by its title, over the days from..to; empty: the
    // default report, as always.
    QString report;
    QDate from, to;
};

class QPrinter;

// Asks for the output; std::nullopt means the user cancelled. The default shows
// the "Output Options" dialog; tests install one that answers without a dialog.
using TReportOutputChooser =
    std::function<std::optional<TReportOutputChoice>(QWidget *parent, QPrinter &printer)>;
