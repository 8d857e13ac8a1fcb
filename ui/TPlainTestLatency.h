#pragma once

#include "LatencyFigures.h"
#include "TcpConnect.h"
#include "TTestProgress.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class TLatencyProbe;

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

    // Runs the idle probes, serving the event loop until they are done, then starts the
    // loaded ones. Returns false when this object went away meanwhile.
    bool Start(const QString& host, int port, TIpVersion version = TIpVersion::Automatic);
    // The test's progress: keeps the probes within their share; returns the interval's
    // median probe in ms, or -1 when none was answered since the last call.
    double Progress(const TTestProgress& progress);
    // The test ended: probes still in flight are dropped and the figures fixed.
    void Stop();
    void Reset();
    // Ends the idle probes early (Esc before the test started): Start returns with Cancelled().
    void Cancel();
    bool Idling() const { return FIdling; }
    bool Cancelled() const { return FCancelled; }

    bool Active() const { return FProbe != nullptr; }
    const LatencyFigures& Figures() const { return FFigures; }
    // The log lines after the test's own, in the style of the others.
    QStringList LogLines() const;

private:
    std::unique_ptr<TLatencyProbe> FProbe;
    LatencyFigures FFigures;
    bool FIdling = false;
    bool FCancelled = false;
};
