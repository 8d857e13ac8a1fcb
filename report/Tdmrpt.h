#pragma once

#include "report/TPrintJob.h"
#include "report/TReportData.h"
#include "report/TReportOutputChoice.h"

#include <QByteArray>
#include <QDate>
#include <QImage>
#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QDialog;
class QPainter;
class QWidget;
class TReportSystem;

// The printed report: a short-lived module that lives for one Print command.
//
// Print command wiring (the "nothing to print" check stays with the caller):
//     Tdmrpt::PrintReport(this, logLines,
//                         [&](QPainter &p, const QRect &r) { chart->paintChart(p, r); });
// Errors are thrown as EReportError; let them reach the application-wide handler.
class Tdmrpt
{
public:
    using ChartPainter = std::function<void(QPainter &, const QRect &)>;

    static constexpr int BmpWidth = 1024;
    static constexpr int BmpHeight = 768;
    static constexpr const char *LayoutFileName = "Korvn.layout";

    // Looks for "Korvn.layout" in LayoutSearchFolders(); throws EReportError
    // "Report file is missing. Resintalling Korvane may fix the issue." when none has it.
    Tdmrpt();
    // Same, searching only the given folders.
    explicit Tdmrpt(const QStringList &searchFolders);
    ~Tdmrpt();

    Tdmrpt(const Tdmrpt &) = delete;
    Tdmrpt &operator=(const Tdmrpt &) = delete;

    // Working folder, then the installed data folder, then the executable's folder.
    static QStringList LayoutSearchFolders();

    // The chart picture, 1024 x 768; paint into it with a QPainter before running.
    QImage &Bmp();
    const QImage &Bmp() const;

    // The history picture, printed only where the layout asks for it; null leaves it out.
    void setHistoryPicture(const QImage &picture);
    const QImage &historyPicture() const;

    // Whether the layout found at creation prints the history picture; a layout that
    // cannot be read says no here and reports its fault when the report runs.
    bool layoutPrintsHistory() const;

    // The log text to print (write-only in use; the getter serves tests).
    void setMemoLines(const QString &text);
    QString memoLines() const;

    // Full path of the layout file found at creation.
    QString layoutFile() const;

    // The data connection: columns, then the one row, built afresh from MemoLines and Bmp.
    QList<TReportColumn> connKrvnGetCols() const;
    TReportRow connKrvnGetRow() const;

    // The engine driver with its dialogs, titles and writers.
    TReportSystem &SvSysKrvn();

    // Runs the report: "Output Options", page generation, then printer, preview or file.
    // Returns when the user is done; cancelling returns quietly. Throws EReportError.
    void prjKrvnExecute(QWidget *parent);

    // The whole Print command after the "nothing to print" check: creates a module,
    // paints the chart into Bmp, joins the log lines with CR LF, runs, frees. paintHistory
    // is called only when the layout prints the history picture (1024 x 768 as well).
    //
    // plan, when given, offers "Results against the plan" beside the default report: its text
    // and its picture for the days the user chose, and the days it starts with.
    struct PlanReportSource
    {
        std::function<QString(const QDate &from, const QDate &to)> text;
        std::function<void(QPainter &, const QRect &, const QDate &from, const QDate &to)> paint;
        QDate from, to;
    };
    static void PrintReport(QWidget *parent, const QStringList &logLines,
                            const ChartPainter &paintChart, const ChartPainter &paintHistory = {},
                            const PlanReportSource &plan = {});

    // Replaces how every new module asks for the output (tests drive PDF/HTML/RTF
    // this way without dialogs); an empty chooser restores the dialog. Returns the old one.
    static TReportOutputChooser SetOutputChooser(TReportOutputChooser chooser);

    // Tells watcher of each window the engine of every new module opens ("Report
    // Status", "Report Preview"), so tests can answer them; empty stops. Returns the old one.
    using WindowWatcher = std::function<void(QDialog &window)>;
    static WindowWatcher SetWindowWatcher(WindowWatcher watcher);

    // Replaces who takes every new module's finished print jobs (tests record them
    // instead of printing); empty restores the system's print queue. Returns the old one.
    static TPrintSubmitter SetPrintSubmitter(TPrintSubmitter submitter);

    // Modules alive right now; each Print command creates and frees one.
    static int LiveModules();

private:
    void DataModuleCreate(const QStringList &searchFolders);
    void DataModuleDestroy();

    QString FMemoLines;
    QString FLayoutFile;
    std::unique_ptr<QImage> FBmp;
    QImage FHistory;
    std::unique_ptr<TReportSystem> FSystem;
};
