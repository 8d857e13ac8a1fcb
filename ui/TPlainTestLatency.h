#pragma once

#include "LatencyFigures.h"
#include "TIdleProbeWait.h"
#include "TcpConnect.h"
#include "TTestProgress.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class TLatencyProbe;
class TResultsTable;
class TTestOptions;

// Latency beside the window's stream and web page tests, when the user asked for it: idle
// probes before the test, a probe every interval while it runs. A Korvane server is probed on
// its session port (a connection to its stream port would start a stream), a web page on its
// own host and port. Nothing is logged until the test's own lines are written.
class TPlainTestLatency : public QObject
{
    Q_OBJECT
public:
    explicit TPlainTestLatency(QObject* parent = nullptr);
    ~TPlainTestLatency() override;

    // Where the probes go: false when the target names no host to probe (the test itself
    // then says what is wrong with it).
    static bool ProbeTarget(const QString& target, bool web, int sessionPort, QString& host, int& port);

    // A test is about to start: forgets the last one and says whether probes go beside this
    // one (the user asked for it, and the target names a host).
    bool Prepare(const QString& target, bool web, const TTestOptions& options);
    // Runs the idle probes of a prepared test, serving the event loop until they are done,
    // then starts the loaded ones. Returns false when this object went away meanwhile.
    bool RunIdle();
    // The test's progress: keeps the probes within their share, sends a sample when a probe
    // was answered in the interval, and returns the pane's latency figure, or nothing.
    QString ProgressFigures(const TTestProgress& progress);
    // The test ended: probes still in flight are dropped and the figures fixed.
    void Stop();
    // Ends the idle probes early (Esc before the test started): RunIdle returns with Cancelled().
    void Cancel();
    bool Idling() const { return FIdleWait.Waiting(); }
    bool Cancelled() const { return FIdleWait.Cancelled(); }

    bool Active() const { return FProbe != nullptr; }
    const LatencyFigures& Figures() const { return FFigures; }
    // What a finished test adds: to the live view's figures, the log (after the test's own
    // lines, in the style of the others) and its row. Nothing when no probes ran.
    QString ResultFigures() const;
    QStringList LogLines() const;
    void AddTo(TResultsTable& table) const;

signals:
    // An interval's median probe, at the test's elapsed time.
    void Sample(double seconds, double ms);

private:
    void Reset();

    std::unique_ptr<TLatencyProbe> FProbe;
    LatencyFigures FFigures;
    QString FHost;
    int FPort = 0;
    TIpVersion FVersion = TIpVersion::Automatic;
    bool FWanted = false;
    TIdleProbeWait FIdleWait;
    double FLastMs = -1; // the latest interval's probe, shown until a newer one is answered
};
