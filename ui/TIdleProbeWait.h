#pragma once

#include <QObject>

class TLatencyProbe;

// The idle probes before a test, run while the event loop is served: the window stays live,
// and Esc can end them before the test starts.
class TIdleProbeWait : public QObject
{
    Q_OBJECT
public:
    explicit TIdleProbeWait(QObject* parent = nullptr);

    // Starts the probe's idle phase and sleeps on the event loop until it is done or
    // cancelled. Returns false when this object went away meanwhile (the window closed).
    bool Run(TLatencyProbe& probe);
    // Ends the wait early: Run returns, with Cancelled() true until the next Reset.
    void Cancel();
    void Reset() { FCancelled = false; }
    bool Waiting() const { return FWaiting; }
    bool Cancelled() const { return FCancelled; }

private:
    bool FWaiting = false;
    bool FCancelled = false;
};
