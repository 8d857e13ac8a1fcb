#include "tools/korvane-cli/CliRunner.h"

#include "engine/ApplicationExceptionHandler.h"
#include "tools/korvane-cli/CliJsonLines.h"
#include "tools/korvane-cli/CliTextLog.h"
#include "engine/KorvaneException.h"
#include "tools/korvane-cli/ProgressMeter.h"
#include "engine/net/ServerTarget.h"
#include "engine/http/Uri.h"
#include "engine/run/ResultLines.h"

#include <QDateTime>
#include <QEventLoop>

#include <cmath>

namespace {

// A server target and the port its test uses, as one label: the same host on two ports is
// two links, and "[::1]:8081" typed or "::1" with --port 8081 is the same one.
QString serverLink(const QString &typed, int defaultPort)
{
    const TServerTarget target = ParseServerTarget(typed.toStdString());
    const QString host = target.Error.empty() ? QString::fromStdString(target.Host) : typed;
    const int port = target.Error.empty() && target.Port > 0 ? target.Port : defaultPort;
    return (host.contains(u':') ? u'[' + host + u']' : host) + u':' + QString::number(port);
}

} // namespace

CliRunner::CliRunner(const CliOptions &options, FILE *out, FILE *meterTerminal)
    : FOptions(options), FRun(FKorvane)
{
    if (meterTerminal)
        FMeter = std::make_unique<ProgressMeter>(meterTerminal);
    if (FOptions.json)
        FOutput = std::make_unique<CliJsonLines>(out);
    else
        FOutput = std::make_unique<CliTextLog>(out, FMeter.get());
    // One report drives both: the meter every quarter second at most, and an interval line
    // every so many reports, so intervals stay whole multiples of the report step.
    int stepMs = FMeter ? TKorvane::DefaultProgressInterval : 0;
    const int intervalMs = int(std::lround(FOptions.intervalSeconds * 1000));
    if (intervalMs > 0) {
        FReportsPerInterval = FMeter ? (intervalMs + stepMs - 1) / stepMs : 1;
        stepMs = std::max(1, int(std::lround(double(intervalMs) / FReportsPerInterval)));
    }
    FProgressStepMs = stepMs;

    QObject::connect(&FRun, &TTestRun::StatusLine, [this](const QString &line) { FOutput->StatusLine(line); });
    QObject::connect(&FRun, &TTestRun::Progress, [this](const TRunProgress &progress) { onProgress(progress); });
    QObject::connect(&FRun, &TTestRun::DirectionDone,
                     [this](const TDirectionOutcome &direction) { onDirectionDone(direction); });
    setApplicationExceptionHandler([this](const std::exception &e) { onApplicationException(e); });
}

CliRunner::~CliRunner()
{
    setApplicationExceptionHandler({});
}

QString CliRunner::normalizedTarget(const QString &target, bool web)
{
    return web ? TUri::WebTarget(target) : target;
}

TTestPlan CliRunner::planFor(const QString &target) const
{
    TTestPlan plan = FOptions.plan(target);
    plan.Secret = FSecret;
    plan.ProgressIntervalMs = FProgressStepMs;
    return plan;
}

int CliRunner::run()
{
    if (!FOptions.metricsFile.isEmpty()) {
        FMetrics.emplace(FOptions.metricsFile);
        QString error;
        if (!FMetrics->Check(error)) {
            std::fprintf(stderr, "korvane-cli: %s\n", qPrintable(error));
            return 2;
        }
    }
    if (!FOptions.secretFile.isEmpty()) {
        QString error;
        if (!TTestPlan::ReadSecretFile(FOptions.secretFile, FSecret, error)) {
            std::fprintf(stderr, "korvane-cli: %s\n", qPrintable(error));
            return 2;
        }
    }
    bool allValid = true;
    for (const QString &target : std::as_const(FOptions.targets))
        allValid = runOne(target) && allValid;
    return allValid ? 0 : 1;
}

void CliRunner::onFailure(const QString &message)
{
    if (FFailureShown)
        return; // the first failure of a test is the one reported
    FFailureShown = true;
    FOutput->Failure(message);
}

void CliRunner::onApplicationException(const std::exception &e)
{
    const QString message = Exception::MessageOf(e);
    FRun.RecordFailure(message);
    onFailure(message);
}

bool CliRunner::runOne(const QString &target)
{
    FIntervalStart = TRunProgress();
    FReportsSinceInterval = 0;
    FFailureShown = false;
    FMetricsRecorded = true;
    FStartedMs = QDateTime::currentMSecsSinceEpoch();
    FRun.Start(planFor(target));
    // Blocks until something happens; the test's notifications arrive here.
    QEventLoop loop;
    while (!FRun.Ended())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    if (FMeter)
        FMeter->Clear();

    const TTestOutcome &outcome = FRun.Outcome();
    if (!outcome.Started || (outcome.TimedOut && outcome.Cancelled && !outcome.Plan.IsSession()))
        onFailure(outcome.Error);
    // A session's directions were handed on as they ended; a test that never started, and a
    // stream or web test, have theirs now.
    if (!outcome.Started || !outcome.Plan.IsSession())
        for (const TDirectionOutcome &direction : outcome.Directions) {
            FOutput->DirectionDone(outcome, direction);
            // A test refused before it ran leaves no series.
            if (outcome.Started || !outcome.Plan.IsSession())
                FMetricsRecorded = recordMetrics(direction) && FMetricsRecorded;
        }
    bool valid = outcome.Started && FMetricsRecorded;
    for (const TDirectionOutcome &direction : outcome.Directions)
        valid = valid && direction.Valid;
    FOutput->TestDone(outcome, valid);
    return valid;
}

void CliRunner::onDirectionDone(const TDirectionOutcome &direction)
{
    const TTestOutcome &outcome = FRun.Outcome();
    if (!outcome.Plan.IsSession())
        return; // handed on once the run has ended, after its failure
    if (FMeter)
        FMeter->Clear();
    FOutput->DirectionDone(outcome, direction);
    FMetricsRecorded = recordMetrics(direction) && FMetricsRecorded;
}

bool CliRunner::recordMetrics(const TDirectionOutcome &direction)
{
    if (!FMetrics)
        return true;
    const TTestOutcome &outcome = FRun.Outcome();
    const TTestPlan &plan = outcome.Plan;
    MetricsFile::Series test;
    test.valid = direction.Valid;
    if (test.valid) {
        test.rateBytesPerSecond = direction.Rate * 1024.0;
        test.bytes = double(direction.Bytes);
        test.durationSeconds = direction.DurationMs / 1000.0;
    }
    test.timestampSeconds = double(FStartedMs) / 1000.0;
    test.planBytesPerSecond = direction.PlanBps / 8;
    if (test.valid && direction.LatencyMeasured) {
        const LatencyFigures &l = direction.Latency;
        // Seconds, the unit Prometheus series of time are kept in.
        const auto seconds = [](double ms) { return ms >= 0 ? ms / 1000.0 : -1.0; };
        test.idleLatencySeconds = seconds(l.IdleMs);
        test.loadedLatencySeconds = seconds(l.LoadedMs);
        test.loadedLatencyP90Seconds = seconds(l.LoadedP90Ms);
        test.rpm = l.Rpm >= 0 ? std::round(l.Rpm) : -1.0;
        test.grade = l.Grade;
        test.lostProbes = l.Lost;
    }
    QString link;
    QString kind;
    if (plan.IsSession()) {
        link = serverLink(plan.Target, plan.SessionPort);
        // Each direction is a link of its own to watch.
        kind = QStringLiteral("session-") + ResultLines::DirectionName(direction.Direction);
        // A session test always leaves its limit, so that the series stay the same from run to run.
        test.limitedBy = TVerdict::LimitName(test.valid && direction.Session ? direction.Session->Verdict.Limit
                                                                             : TLimit::Unknown);
        test.streams = direction.Streams;
        test.family = direction.Session ? direction.Session->Family : QString();
    } else {
        link = plan.Kind == TTestKind::WebPage ? plan.Target : serverLink(plan.Target, plan.Port);
        kind = plan.Kind == TTestKind::WebPage ? QStringLiteral("web") : QStringLiteral("server");
        // As in the results table: a series without a family was measured over IPv4.
        if (test.valid && direction.Family == QLatin1String("ipv6"))
            test.family = direction.Family;
    }
    QString error;
    if (FMetrics->Record({link, kind}, test, error))
        return true;
    std::fprintf(stderr, "korvane-cli: %s\n", qPrintable(error));
    return false;
}

void CliRunner::onProgress(const TRunProgress &progress)
{
    const QString target = FRun.Outcome().Plan.Target;
    if (FMeter)
        FMeter->Show(progress.Session ? target + QStringLiteral(" (") + ResultLines::DirectionName(progress.Direction)
                                            + u')'
                                      : target,
                     progress.Figures);
    if (FReportsPerInterval <= 0)
        return;
    const TTestProgress &from = FIntervalStart.Figures;
    // The timer started again (a redirect to another server), or a session's next direction
    // began: so do the intervals.
    const bool restarted = progress.Session
                               ? progress.Direction != FIntervalStart.Direction
                                     || progress.Figures.ElapsedUs < from.ElapsedUs
                               : progress.Figures.ElapsedUs < from.ElapsedUs || progress.Figures.BytesSoFar < from.BytesSoFar;
    if (restarted) {
        FIntervalStart = TRunProgress();
        FIntervalStart.Direction = progress.Direction;
        FReportsSinceInterval = 0;
    }
    if (++FReportsSinceInterval < FReportsPerInterval)
        return;
    FReportsSinceInterval = 0;

    CliOutput::Interval interval;
    interval.Target = target;
    interval.From = &FIntervalStart;
    interval.Now = &progress;
    interval.Bytes = progress.Figures.BytesSoFar - FIntervalStart.Figures.BytesSoFar;
    interval.Us = progress.Figures.ElapsedUs - FIntervalStart.Figures.ElapsedUs;
    interval.Rate = interval.Us > 0 ? double((long double)interval.Bytes / 1024 / interval.Us * 1000000) : 0.0;
    interval.Seconds = double(progress.Figures.ElapsedUs) / 1e6;
    if (progress.Session) {
        const int64_t before = FIntervalStart.Session ? FIntervalStart.Session->Tcp.Retransmits : 0;
        interval.Retransmits = std::max<int64_t>(0, progress.Session->Tcp.Retransmits - before);
    }
    interval.Latency = FRun.MeasuresLatency();
    interval.LatencyMs = FRun.TakeIntervalLatencyMs();
    FOutput->IntervalReport(interval);
    FIntervalStart = progress;
}
