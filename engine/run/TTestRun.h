#pragma once

#include "engine/run/TestOutcome.h"
#include "engine/run/TestPlan.h"
#include "engine/run/TTestProgress.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QTimer;
class TKorvane;
class TLatencyProbe;

// How far a running test has come: a stream or web page test's figures, or a session
// direction's (Figures then holds the same totals, in the stream test's terms).
struct TRunProgress
{
    TSessionDirection Direction = TSessionDirection::Download;
    TTestProgress Figures;
    std::optional<TSessionProgress> Session;
};

// One test from a plan to its outcome, for every front end: the idle latency probes, the test
// itself (stream, web page or session), the probes beside the load and what feeds them, the
// verdict, the running average and the time limit. It never waits: everything arrives
// through the event loop and the signals, ending with Finished.
class TTestRun : public QObject
{
    Q_OBJECT
public:
    enum class TPhase : uint8_t { Ready, IdleProbes, Testing, Done };

    // measurement: the front end's measurement object, which keeps the running average and
    // runs the stream and web page tests; it outlives this run.
    explicit TTestRun(TKorvane &measurement, QObject *parent = nullptr);
    ~TTestRun() override;

    // Starts the plan. Nothing escapes: a test that cannot start ends at once with its
    // outcome's StartFailure set.
    void Start(const TTestPlan &plan);
    // Esc: ends the idle probes (the test never starts) or the test itself.
    void Cancel();
    // A failure reported outside the test's own path (the front end's exception handler):
    // the first one is the outcome's Error.
    void RecordFailure(const QString &message);

    TPhase Phase() const { return FPhase; }
    bool Running() const { return FPhase == TPhase::IdleProbes || FPhase == TPhase::Testing; }
    bool Idling() const { return FPhase == TPhase::IdleProbes; }
    bool Ended() const { return FPhase == TPhase::Done; }
    const TTestOutcome &Outcome() const { return FOutcome; }

    bool MeasuresLatency() const { return FProbe != nullptr; }
    // The median probe answered since the last call; negative when none was.
    double TakeIntervalLatencyMs();

    TSessionTest &Session() { return *FSession; }

signals:
    // The idle probes started; nothing is logged until the test's own lines.
    void IdleProbesStarted();
    // The test itself starts (after the idle probes, when they ran).
    void TestStarted();
    // A status line, timestamped, as the measurement object or the session wrote it.
    void StatusLine(const QString &line);
    void DirectionStarted(TSessionDirection direction);
    void Progress(const TRunProgress &progress);
    // A direction ended, valid or not; the last one is followed by Finished.
    void DirectionDone(const TDirectionOutcome &outcome);
    void Finished();

private:
    // Every direction ends here, with its share of the plan.
    void AddDirection(TDirectionOutcome &d);
    // The one place the phase changes.
    void SetPhase(TPhase phase);
    void StartTest();
    void StartPlainTest();
    void StartSession();
    void ArmTimeLimit();
    void ConcludePlainTest();
    void SessionResult(const TSessionResult &result);
    void SessionFinished();
    // A test that could not start: one invalid direction, as the plan would have run first.
    void RecordStartFailure();
    // A status line of the stream, web or session test: kept for the outcome, then passed on.
    void AddStatusLine(const QString &line);
    void FeedProbe(const TRunProgress &progress);
    void StopProbe(TDirectionOutcome &into);
    QString TimedOutText() const;

    TKorvane &FMeasurement;
    TSessionTest *FSession;
    std::unique_ptr<TLatencyProbe> FProbe;
    std::unique_ptr<QTimer> FTimeLimit;
    TTestPlan FPlan;
    TTestOutcome FOutcome;
    TPhase FPhase = TPhase::Ready;
    QStringList FStatusTexts; // of the direction running now
};

Q_DECLARE_METATYPE(TRunProgress)
Q_DECLARE_METATYPE(TDirectionOutcome)
