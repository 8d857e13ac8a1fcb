#pragma once

#include "TIdleProbeWait.h"
#include "TestOptions.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class TKorvane;
class TLatencyProbe;
class TLiveRateGraph;
class TLogPane;
class TResultsChart;
class TResultsGrid;
class TResultsTable;
class TSessionTest;
class TStatusPane;
struct TSessionProgress;
struct TSessionResult;

// Runs a session test for the window: its course goes to the log, its rate to the live
// graph and the status pane, each direction's result becomes a row of the results table
// and counts towards the average like a stream test's.
class TSessionTestRunner : public QObject
{
    Q_OBJECT
public:
    struct TViews
    {
        TLogPane* Log = nullptr;
        TLiveRateGraph* Graph = nullptr;
        TStatusPane* Status = nullptr;
        TResultsGrid* Grid = nullptr;
        TResultsChart* Chart = nullptr;
        TKorvane* Totals = nullptr; // keeps the average over all tests
        // The results table, or null when the store is not open.
        std::function<TResultsTable*()> Table;
    };

    TSessionTestRunner(const TViews& views, QObject* parent = nullptr);
    ~TSessionTestRunner() override;

    // Runs the session and serves the event loop until it has ended. Throws when the
    // options cannot make a request or a row cannot be recorded.
    void Run(const QString& host, const TTestOptions& options);
    void Cancel();

    bool Running() const;
    bool Cancelled() const;
    // KB/s of the last direction that ran to its end; negative when none did.
    double LastRate() const { return FLastRate; }
    // The live graph's average line: the rate when one direction ran, none (negative) for
    // both, whose curve holds two different measurements.
    double GraphAverage() const { return FDirectionsRecorded == 1 ? FLastRate : -1; }
    // The live graph's figures for the session's results (each direction's rate, and the
    // latency figures where they were measured); empty when no direction ran to its end.
    QString ResultFigures() const;

private:
    void ShowProgress(const TSessionProgress& progress);
    void Record(const TSessionResult& result);
    void Log(const QString& text);
    // False when this object went away meanwhile.
    bool RunIdleProbes(const QString& host, int port, TIpVersion version);
    void LogLatency();

    TViews FViews;
    TSessionTest* FSession = nullptr;
    QString FHost;
    double FLastRate = -1;
    int FDirectionsRecorded = 0;
    // The graph shows one time axis: a later direction continues where the earlier ended.
    qint64 FElapsedBase = 0;
    qint64 FLastElapsed = 0;
    std::unique_ptr<TLatencyProbe> FProbe; // null when latency is not measured
    TIdleProbeWait FIdleWait;
    double FIntervalLatencyMs = -1;        // the latest interval's median probe, for the status pane
    QString FOneResultFigures;             // the one direction's result, in full
    QStringList FDirectionFigures;         // each direction's rate and latency, in short
};
