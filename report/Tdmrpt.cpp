#include "report/Tdmrpt.h"

#include "report/TPlanReport.h"

#include "report/EReportError.h"
#include "report/TReportLayout.h"
#include "report/TReportSystem.h"

#include <KorvaneBuildConfig.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPainter>

#include <atomic>

namespace {

std::atomic<int> liveModules{0};

TReportOutputChooser &outputChooser()
{
    static TReportOutputChooser chooser;
    return chooser;
}

Tdmrpt::WindowWatcher &windowWatcher()
{
    static Tdmrpt::WindowWatcher watcher;
    return watcher;
}

TPrintSubmitter &printSubmitter()
{
    static TPrintSubmitter submitter;
    return submitter;
}

} // namespace

Tdmrpt::Tdmrpt() : Tdmrpt(LayoutSearchFolders())
{
}

Tdmrpt::Tdmrpt(const QStringList &searchFolders)
{
    DataModuleCreate(searchFolders);
    ++liveModules;
}

Tdmrpt::~Tdmrpt()
{
    DataModuleDestroy();
    --liveModules;
}

QStringList Tdmrpt::LayoutSearchFolders()
{
    QStringList folders{QDir::currentPath(), QStringLiteral(KORVANE_INSTALL_DATADIR)};
    if (QCoreApplication::instance()) {
        const QString programFolder = QCoreApplication::applicationDirPath();
        // An installed tree moved to another prefix keeps share/ beside bin/.
        folders << QDir::cleanPath(programFolder + QStringLiteral("/../share/korvane")) << programFolder;
    }
    return folders;
}

void Tdmrpt::DataModuleCreate(const QStringList &searchFolders)
{
    for (const QString &folder : searchFolders) {
        const QFileInfo candidate(QDir(folder), QString::fromLatin1(LayoutFileName));
        if (candidate.isFile()) {
            FLayoutFile = candidate.absoluteFilePath();
            break;
        }
    }
    if (FLayoutFile.isEmpty())
        throw EReportError(QStringLiteral("Report file is missing. Resintalling Korvane may fix the issue."));

    FBmp = std::make_unique<QImage>(BmpWidth, BmpHeight, QImage::Format_RGB32);
    FBmp->fill(Qt::white);
    FSystem = std::make_unique<TReportSystem>();
    if (outputChooser())
        FSystem->SetOutputChooser(outputChooser());
    FSystem->SetWindowWatcher(windowWatcher());
    FSystem->SetPrintSubmitter(printSubmitter());
}

void Tdmrpt::DataModuleDestroy()
{
    FSystem.reset();
    FBmp.reset();
}

QImage &Tdmrpt::Bmp()
{
    return *FBmp;
}

const QImage &Tdmrpt::Bmp() const
{
    return *FBmp;
}

void Tdmrpt::setHistoryPicture(const QImage &picture)
{
    FHistory = picture;
}

const QImage &Tdmrpt::historyPicture() const
{
    return FHistory;
}

bool Tdmrpt::layoutPrintsHistory() const
{
    try {
        return TReportLayout::Load(FLayoutFile).history.print;
    } catch (const EReportError &) {
        return false;
    }
}

void Tdmrpt::setMemoLines(const QString &text)
{
    FMemoLines = text;
}

QString Tdmrpt::memoLines() const
{
    return FMemoLines;
}

QString Tdmrpt::layoutFile() const
{
    return FLayoutFile;
}

QList<TReportColumn> Tdmrpt::connKrvnGetCols() const
{
    QList<TReportColumn> columns{{QStringLiteral("SpeedLog"), TReportColumn::DataType::Memo, 30},
                                 {QStringLiteral("SpeedGrp"), TReportColumn::DataType::Graphic, 30}};
    if (!FHistory.isNull())
        columns.append({QStringLiteral("HistoryGrp"), TReportColumn::DataType::Graphic, 30});
    return columns;
}

TReportRow Tdmrpt::connKrvnGetRow() const
{
    TReportRow row;
    QBuffer stream(&row.SpeedGrp);
    stream.open(QIODevice::WriteOnly);
    if (!FBmp->save(&stream, "BMP"))
        throw EReportError(QStringLiteral("The chart picture could not be stored as a bitmap"));
    if (!FHistory.isNull()) {
        QBuffer history(&row.HistoryGrp);
        history.open(QIODevice::WriteOnly);
        if (!FHistory.save(&history, "BMP"))
            throw EReportError(QStringLiteral("The history picture could not be stored as a bitmap"));
    }
    row.SpeedLog = QByteArray(reinterpret_cast<const char *>(FMemoLines.utf16()),
                              FMemoLines.size() * qsizetype(sizeof(char16_t)));
    return row;
}

TReportSystem &Tdmrpt::SvSysKrvn()
{
    return *FSystem;
}

void Tdmrpt::prjKrvnExecute(QWidget *parent)
{
    FSystem->Execute(parent, FLayoutFile, [this] { return connKrvnGetRow(); });
}

void Tdmrpt::PrintReport(QWidget *parent, const QStringList &logLines, const ChartPainter &paintChart,
                         const ChartPainter &paintHistory, const PlanReportSource &plan)
{
    Tdmrpt report; // freed when the command ends, also on error
    {
        QPainter painter(&report.Bmp());
        if (paintChart)
            paintChart(painter, QRect(0, 0, BmpWidth, BmpHeight));
    }
    // Drawn only when asked for: a long history is not painted for nothing.
    if (paintHistory && report.layoutPrintsHistory()) {
        QImage history(BmpWidth, BmpHeight, QImage::Format_RGB32);
        history.fill(Qt::white);
        {
            QPainter painter(&history);
            paintHistory(painter, history.rect());
        }
        report.setHistoryPicture(history);
    }
    report.setMemoLines(logLines.join(QStringLiteral("\r\n")));
    if (plan.text && plan.paint) {
        TReportSystem &system = report.SvSysKrvn();
        system.Reports = {TPlanReport::Title()};
        system.ReportsFrom = plan.from;
        system.ReportsTo = plan.to;
        // Built only once chosen, for the days chosen, through the same connection.
        system.ReportRow = [&report, &plan](const TReportOutputChoice &choice) {
            report.Bmp().fill(Qt::white);
            {
                QPainter painter(&report.Bmp());
                plan.paint(painter, QRect(0, 0, BmpWidth, BmpHeight), choice.from, choice.to);
            }
            report.setHistoryPicture(QImage());
            report.setMemoLines(plan.text(choice.from, choice.to));
            return report.connKrvnGetRow();
        };
    }
    report.prjKrvnExecute(parent);
}

TReportOutputChooser Tdmrpt::SetOutputChooser(TReportOutputChooser chooser)
{
    return std::exchange(outputChooser(), std::move(chooser));
}

TPrintSubmitter Tdmrpt::SetPrintSubmitter(TPrintSubmitter submitter)
{
    return std::exchange(printSubmitter(), std::move(submitter));
}

int Tdmrpt::LiveModules()
{
    return liveModules;
}

Tdmrpt::WindowWatcher Tdmrpt::SetWindowWatcher(WindowWatcher watcher)
{
    return std::exchange(windowWatcher(), std::move(watcher));
}
