#include "engine/run/TTestRun.h"

#include "engine/KorvaneException.h"
#include "engine/stream/TKorvane.h"
#include "engine/latency/TLatencyProbe.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <chrono>

TTestRun::TTestRun(TKorvane &measurement, QObject *parent)
    : QObject(parent), FMeasurement(measurement), FSession(new TSessionTest(this))
{
    FMeasurement.setOnStatusMsg([this](const QString &line) { AddStatusLine(line); });
    FMeasurement.setOnProgress([this](const TTestProgress &figures) {
        TRunProgress progress;
        progress.Figures = figures;
        FeedProbe(progress);
        emit Progress(progress);
    });
    // Queued: the test may end inside a handler whose exception is still on its way out, and
    // that failure is logged before the result.
    FMeasurement.setOnTestDone([this] {
        if (FPhase == TPhase::Testing && !FPlan.IsSession())
            QMetaObject::invokeMethod(this, &TTestRun::ConcludePlainTest, Qt::QueuedConnection);
    });

    connect(FSession, &TSessionTest::StatusMsg, this, &TTestRun::AddStatusLine);
    connect(FSession, &TSessionTest::DirectionStarted, this, [this](TSessionDirection direction) {
        if (FProbe)
            FProbe->StartLoaded();
        emit DirectionStarted(direction);
    });
    connect(FSession, &TSessionTest::EchoReply, this, [this](quint64 id) {
        if (FProbe)
            FProbe->SelfReply(id);
    });
    connect(FSession, &TSessionTest::Progress, this, [this](const TSessionProgress &session) {
        TRunProgress progress;
        progress.Direction = session.Direction;
        progress.Figures.BytesSoFar = session.BytesSoFar;
        progress.Figures.ElapsedUs = session.ElapsedUs;
        progress.Figures.IntervalBytes = session.IntervalBytes;
        progress.Figures.IntervalUs = session.IntervalUs;
        progress.Figures.IntervalRate = session.IntervalRate;
        progress.Session = session;
        FeedProbe(progress);
        emit Progress(progress);
    });
    connect(FSession, &TSessionTest::Result, this, &TTestRun::SessionResult);
    connect(FSession, &TSessionTest::Finished, this, &TTestRun::SessionFinished);
}

TTestRun::~TTestRun()
{
    // The measurement object outlives this run: nothing of it may call back here.
    FMeasurement.setOnStatusMsg({});
    FMeasurement.setOnProgress({});
    FMeasurement.setOnTestDone({});
}

void TTestRun::SetPhase(TPhase phase)
{
    if (FPhase == phase)
        return;
    FPhase = phase;
    if (phase == TPhase::Done) {
        if (FTimeLimit)
            FTimeLimit->stop();
        emit Finished();
    }
}

void TTestRun::Start(const TTestPlan &plan)
{
    if (Running())
        return; // one test at a time
    FPlan = plan;
    FOutcome = TTestOutcome();
    FOutcome.Plan = plan;
    FStatusTexts.clear();
    FProbe.reset();
    SetPhase(TPhase::Ready);

    QString host;
    int port = 0;
    if (plan.Latency && plan.ProbeTarget(host, port)) {
        FProbe = std::make_unique<TLatencyProbe>();
        FProbe->setTarget(host, port, plan.IpVersion);
        if (plan.ProbeIntervalMs > 0)
            FProbe->setIntervalMs(plan.ProbeIntervalMs);
        // Queued, so the test starts from the event loop and not inside the probe's own signal.
        connect(FProbe.get(), &TLatencyProbe::IdleDone, this, &TTestRun::StartTest, Qt::QueuedConnection);
        SetPhase(TPhase::IdleProbes);
        emit IdleProbesStarted();
        FProbe->StartIdle();
        return;
    }
    StartTest();
}

void TTestRun::StartTest()
{
    if (FPhase == TPhase::Done)
        return; // cancelled while the probes' end was on its way
    SetPhase(TPhase::Testing);
    FOutcome.Started = true;
    emit TestStarted();
    if (FPlan.IsSession())
        StartSession();
    else
        StartPlainTest();
}

void TTestRun::StartPlainTest()
{
    FMeasurement.setAllowHttps(FPlan.AllowHttps);
    FMeasurement.setTrustedCaFile(FPlan.TrustedCaFile);
    FMeasurement.setIpVersion(FPlan.IpVersion);
    FMeasurement.setProgressInterval(FPlan.ProgressIntervalMs);
    // Armed before the test: a web page test runs inside DoTest, serving events meanwhile.
    ArmTimeLimit();
    if (FProbe)
        FProbe->StartLoaded();
    try {
        FMeasurement.DoTest(FPlan.Kind == TTestKind::WebPage ? TKorvane::ttWebPage : TKorvane::ttServerStream,
                            FPlan.Target, FPlan.Port);
    } catch (...) {
        // A web page test runs inside DoTest: Esc or the time limit may have ended the run
        // already, and what the fetch throws after that is not a second result.
        if (FPhase == TPhase::Done)
            return;
        FOutcome.StartFailure = std::current_exception();
        if (FProbe)
            FProbe->StopLoaded();
        // The test's own end may be queued already; it finds the run done.
        FOutcome.Cancelled = FMeasurement.TestCancelled();
        RecordStartFailure();
        SetPhase(TPhase::Done);
    }
}

void TTestRun::StartSession()
{
    if (FProbe)
        FProbe->setSelfSender([this](uint64_t id) { FSession->SendEcho(id); });
    FSession->setProgressInterval(FPlan.ProgressIntervalMs);
    ArmTimeLimit();
    try {
        FSession->Start(FPlan.SessionRequest());
    } catch (...) {
        FOutcome.StartFailure = std::current_exception();
        FProbe.reset();
        RecordStartFailure();
        SetPhase(TPhase::Done);
    }
}

void TTestRun::ArmTimeLimit()
{
    FTimeLimit.reset();
    if (FPlan.TimeLimitSeconds <= 0)
        return;
    FTimeLimit = std::make_unique<QTimer>();
    FTimeLimit->setSingleShot(true);
    // A coarse timer may fire 5 % early; the limit is exact and counts from the test's start.
    FTimeLimit->setTimerType(Qt::PreciseTimer);
    const auto limit = std::chrono::nanoseconds(std::llround(FPlan.TimeLimitSeconds * 1e9));
    const QDeadlineTimer deadline(limit, Qt::PreciseTimer);
    connect(FTimeLimit.get(), &QTimer::timeout, this, [this, deadline] {
        if (const auto left = deadline.remainingTimeAsDuration(); left.count() > 0) {
            FTimeLimit->start(std::chrono::ceil<std::chrono::milliseconds>(left));
            return;
        }
        FOutcome.TimedOut = true;
        Cancel();
    });
    FTimeLimit->start(std::chrono::ceil<std::chrono::milliseconds>(limit));
}

void TTestRun::Cancel()
{
    switch (FPhase) {
    case TPhase::IdleProbes:
        // The test never started: nothing of it is reported.
        FProbe.reset();
        FOutcome.Cancelled = true;
        SetPhase(TPhase::Done);
        break;
    case TPhase::Testing:
        if (FPlan.IsSession())
            FSession->Cancel();
        else
            FMeasurement.CancelTest();
        break;
    default:
        break;
    }
}

void TTestRun::RecordFailure(const QString &message)
{
    if (FOutcome.Error.isEmpty())
        FOutcome.Error = message;
}

double TTestRun::TakeIntervalLatencyMs()
{
    return FProbe ? FProbe->TakeIntervalMs() : -1;
}

void TTestRun::AddStatusLine(const QString &line)
{
    // The line carries its own timestamp; the outcome keeps the text only.
    if (Running()) {
        const qsizetype sep = line.indexOf(QLatin1String(" - "));
        FStatusTexts << (sep >= 0 ? line.mid(sep + 3) : line);
    }
    emit StatusLine(line);
}

void TTestRun::FeedProbe(const TRunProgress &progress)
{
    if (!FProbe)
        return;
    FProbe->setTestBytes(progress.Figures.BytesSoFar);
    // The sender's smoothed rtt of the loaded streams; for an upload the client sends, and
    // the server's figures are a receiver's.
    if (progress.Session && progress.Direction == TSessionDirection::Download) {
        std::vector<double> rtts;
        for (const TSessionStreamFigures &f : progress.Session->Streams)
            if (f.Tcp.RttUs > 0)
                rtts.push_back(double(f.Tcp.RttUs) / 1000.0);
        if (!rtts.empty())
            FProbe->AddSelfSample(LatencyFigures::median(rtts));
    }
}

void TTestRun::StopProbe(TDirectionOutcome &into)
{
    if (!FProbe)
        return;
    FProbe->StopLoaded();
    into.LatencyMeasured = true;
    into.Latency = FProbe->Figures();
    into.LatencyError = FProbe->ErrorText();
    into.ProbeBytes = FProbe->ProbeBytesSent();
}

void TTestRun::RecordStartFailure()
{
    FOutcome.Started = false;
    QString message = QStringLiteral("unknown failure");
    try {
        std::rethrow_exception(FOutcome.StartFailure);
    } catch (const std::exception &e) {
        message = Exception::MessageOf(e);
    } catch (...) {
    }
    RecordFailure(message);
    TDirectionOutcome d;
    d.Direction = FPlan.IsSession() && FPlan.Direction == TSessionRequest::Upload ? TSessionDirection::Upload
                                                                                  : TSessionDirection::Download;
    d.Streams = FPlan.IsSession() ? FPlan.Streams : 1;
    d.Error = FOutcome.Error;
    if (!FPlan.IsSession()) {
        d.StartTime = FMeasurement.StartTime();
        d.Bytes = FMeasurement.BytesTransferred();
        d.DurationMs = FMeasurement.TransferTimeMs();
        d.Rate = FMeasurement.TransferRateSec();
        d.Address = FMeasurement.ConnectedAddress();
        d.Family = FMeasurement.ConnectedFamily();
    }
    d.StatusTexts = FStatusTexts;
    d.AccumulatedCount = FMeasurement.AccumulatedTestCount();
    d.AccumulatedAverage = FMeasurement.AccumulatedAverageSpeed();
    AddDirection(d);
}

QString TTestRun::TimedOutText() const
{
    return QStringLiteral("Test cancelled: no result within %1 %2")
        .arg(FPlan.TimeLimitSeconds)
        .arg(FPlan.TimeLimitSeconds == 1 ? QStringLiteral("second") : QStringLiteral("seconds"));
}

void TTestRun::ConcludePlainTest()
{
    if (FPhase != TPhase::Testing)
        return;
    TDirectionOutcome d;
    StopProbe(d);
    FOutcome.Cancelled = FMeasurement.TestCancelled();
    if (FOutcome.TimedOut && FOutcome.Cancelled)
        RecordFailure(TimedOutText());
    d.Valid = !FOutcome.Cancelled && FOutcome.Error.isEmpty() && FMeasurement.ValidResult();
    d.Error = FOutcome.Error;
    d.Bytes = FMeasurement.BytesTransferred();
    d.DurationMs = FMeasurement.TransferTimeMs();
    d.Rate = FMeasurement.TransferRateSec();
    d.StartTime = FMeasurement.StartTime();
    d.Address = FMeasurement.ConnectedAddress();
    d.Family = FMeasurement.ConnectedFamily();
    if (FPlan.Kind == TTestKind::WebPage)
        d.Tls = FMeasurement.stHTTP->TlsInfo();
    d.StatusTexts = FStatusTexts;
    d.AccumulatedCount = FMeasurement.AccumulatedTestCount();
    d.AccumulatedAverage = FMeasurement.AccumulatedAverageSpeed();
    FOutcome.ConnectedLine = FMeasurement.ConnectedLine();
    AddDirection(d);
    emit DirectionDone(FOutcome.Directions.back());
    SetPhase(TPhase::Done);
}

void TTestRun::SessionResult(const TSessionResult &given)
{
    TSessionResult result = given;
    TDirectionOutcome d;
    StopProbe(d);
    // Probes beside the load saw the queue as any other traffic would: they decide how much
    // it grew, rather than the sender's own round trips.
    if (d.Latency.IdleMs >= 0 && d.Latency.LoadedMs >= 0) {
        result.VerdictInput.IdleLatencyMs = d.Latency.IdleMs;
        result.VerdictInput.LoadedLatencyMs = d.Latency.LoadedMs;
        result.Verdict = TVerdict::Decide(result.VerdictInput);
    }
    d.Direction = result.Direction;
    d.Streams = result.Streams;
    d.Error = result.Error;
    if (FOutcome.TimedOut && FSession->Cancelled())
        d.Error = TimedOutText();
    d.Valid = result.Valid && d.Error.isEmpty() && result.Bytes > 0 && result.DurationUs > 0;
    d.Bytes = result.Bytes;
    d.DurationMs = result.DurationMs();
    d.Rate = result.Rate;
    d.StartTime = result.StartTime;
    d.Address = FSession->PeerAddress();
    d.Family = FSession->PeerFamily();
    d.StatusTexts = FStatusTexts;
    FStatusTexts.clear(); // each direction keeps its own part of the log
    if (d.Valid)
        FMeasurement.AccumulateResult(result.Rate);
    d.AccumulatedCount = FMeasurement.AccumulatedTestCount();
    d.AccumulatedAverage = FMeasurement.AccumulatedAverageSpeed();
    d.Session = std::move(result);
    if (!d.Valid && FOutcome.Error.isEmpty())
        FOutcome.Error = d.Error;
    AddDirection(d);
    emit DirectionDone(FOutcome.Directions.back());
}

void TTestRun::SessionFinished()
{
    if (FPhase != TPhase::Testing)
        return;
    FOutcome.Cancelled = FSession->Cancelled();
    FProbe.reset();
    SetPhase(TPhase::Done);
}

void TTestRun::AddDirection(TDirectionOutcome &d)
{
    d.PlanBps = FPlan.RatePlan.Bps(d.Direction);
    d.PlanShare = d.Valid ? TRatePlan::Share(d.Rate, d.PlanBps) : -1;
    FOutcome.Directions.push_back(d);
}
