#pragma once

#include "engine/run/TTestRun.h"
#include "settings/TargetPlans.h"
#include "storage/ResultRow.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

class TKorvane;
class TLiveRateGraph;
class TLogPane;
class TResultsChart;
class TResultsTable;
class TServerHistory;
class TStatusPane;
class TDesktopNotice;

// The window's side of a test: starts one run from a plan and turns what it reports into log
// lines, the live graph, the status pane and rows. What a test is lives in the run.
class TTestController : public QObject
{
    Q_OBJECT
public:
    struct TViews
    {
        TLogPane* Log = nullptr;
        TLiveRateGraph* Graph = nullptr;
        TStatusPane* Status = nullptr;
        TResultsChart* Chart = nullptr;
        TServerHistory* History = nullptr;
        // The results table, or null when the store is not open.
        std::function<TResultsTable*()> Table;
        // Makes room for the live graph below the log.
        std::function<void()> RevealGraph;
    };

    TTestController(TKorvane& measurement, const TViews& views, QObject* parent = nullptr);

    // Opens the live view and starts the run; Finished() tells when it has ended.
    void Start(const TTestPlan& plan);
    void Cancel();
    bool Running() const { return FRun->Running(); }
    bool Finished() const { return FRun->Ended(); }
    // Records the ended run: log lines, the graph's result, a row per valid direction. Throws
    // what kept the test from starting, and when a row cannot be recorded.
    void Conclude();

    // When a recorded result makes NoticeSlow of its series' last NoticeOf slow, and plans.Notify
    // is on, a desktop notice says so through notice (which the caller keeps alive).
    void SetPlanNotice(const TTargetPlans& plans) { FPlans = plans; }
    void SetDesktopNotice(TDesktopNotice* notice) { FNotice = notice; }
    // The notice for the row just posted at index, when it is due: its summary and body.
    static bool NoticeDue(const QVector<TResultRow>& rows, int index, const TTargetPlans& plans, QString& summary,
                          QString& body);

    const TTestOutcome& Outcome() const { return FRun->Outcome(); }
    TTestRun& Run() { return *FRun; }

private:
    void AddLogLine(const QString& text);
    void SetStatusText(const QString& text, int index);
    void ShowProgress(const TRunProgress& progress);
    // Ends the live view: the pane shows what it showed before the test.
    void EndLiveView(double averageRate, const QString& resultFigures = QString());
    void ConcludePlainTest();
    void ConcludeSession();
    void RecordPlainTest(const TDirectionOutcome& result);
    void RecordSessionDirection(const TDirectionOutcome& result);
    // A row for a valid direction: the figures every row has, then addKind's, then latency.
    void PostRow(const TDirectionOutcome& result, const std::function<void(TResultsTable&)>& addKind);
    void AddToServerHistory();
    // The running average, this result included, in the second pane.
    void ShowAverage(const TDirectionOutcome& result);

    void NoticeIfSlow();

    TViews FViews;
    TTargetPlans FPlans;
    TDesktopNotice* FNotice = nullptr;
    TTestRun* FRun;
    QString FStatusBeforeTest;
    bool FLiveViewOpen = false;
    double FIntervalLatencyMs = -1; // the latest interval's probe, shown until a newer one
    // A session's graph shows one time axis: a later direction continues where the earlier ended.
    qint64 FElapsedBase = 0;
    qint64 FLastElapsed = 0;
    int FDirectionsRecorded = 0;
    double FLastRate = -1;
    QString FOneResultFigures;     // the one direction's result, in full
    QStringList FDirectionFigures; // each direction's rate and latency, in short
};
