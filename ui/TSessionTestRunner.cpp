#include "TSessionTestRunner.h"

#include "ControlCharacters.h"
#include "LatencyReport.h"
#include "LogTimestamp.h"
#include "NumberFormat.h"
#include "TLatencyProbe.h"
#include "ProgressText.h"
#include "ResultTexts.h"
#include "ResultsTable.h"
#include "TKorvane.h"
#include "TLiveRateGraph.h"
#include "TLogPane.h"
#include "TResultsChart.h"
#include "TResultsGrid.h"
#include "TSessionTest.h"
#include "TStatusPane.h"
#include "KorvaneException.h"

#include <QCoreApplication>
#include <QPointer>

namespace {

QString directionText(TSessionDirection direction)
{
    return direction == TSessionDirection::Upload ? QStringLiteral("upload") : QStringLiteral("download");
}

} // namespace

TSessionTestRunner::TSessionTestRunner(const TViews& views, QObject* parent)
    : QObject(parent), FViews(views), FSession(new TSessionTest(this))
{
    connect(FSession, &TSessionTest::StatusMsg, this,
            [this](const QString& line) { FViews.Log->AddLine(EscapeControlCharacters(line)); });
    connect(FSession, &TSessionTest::DirectionStarted, this, [this](TSessionDirection direction) {
        FElapsedBase = FLastElapsed;
        // Each direction is a curve of its own; the legend names them once there are two.
        FViews.Graph->StartCurve(directionText(direction));
        if (FProbe)
            FProbe->StartLoaded();
    });
    connect(FSession, &TSessionTest::EchoReply, this, [this](quint64 id) {
        if (FProbe)
            FProbe->SelfReply(id);
    });
    connect(FSession, &TSessionTest::Progress, this, &TSessionTestRunner::ShowProgress);
    connect(FSession, &TSessionTest::Result, this, [this](const TSessionResult& result) {
        // A failed row must not stop the session's other direction: the error is logged.
        if (FProbe)
            FProbe->StopLoaded();
        try {
            Record(result);
        } catch (const std::exception& e) {
            Log(QStringLiteral("ERROR - ") + QString::fromUtf8(e.what()));
        }
    });
}

TSessionTestRunner::~TSessionTestRunner() = default;

bool TSessionTestRunner::Running() const
{
    return FIdleWait.Waiting() || FSession->Running();
}

bool TSessionTestRunner::Cancelled() const
{
    return FIdleWait.Cancelled() || FSession->Cancelled();
}

void TSessionTestRunner::Cancel()
{
    // Esc during the idle probes: the session itself never starts.
    if (FIdleWait.Waiting())
        FIdleWait.Cancel();
    else if (FSession->Running())
        FSession->Cancel();
}

void TSessionTestRunner::Log(const QString& text)
{
    FViews.Log->AddLine(LogTimestamp::line(EscapeControlCharacters(text)));
}

void TSessionTestRunner::Run(const QString& host, const TTestOptions& options)
{
    TSessionRequest request;
    request.Host = host;
    request.SessionPort = options.SessionPort;
    request.Direction = TSessionRequest::Directions(int(options.Direction));
    request.Streams = options.Streams;
    request.Seconds = options.Seconds;
    request.IpVersion = options.IpVersion;
    FHost = host;
    FLastRate = -1;
    FDirectionsRecorded = 0;
    FElapsedBase = 0;
    FLastElapsed = 0;
    FProbe.reset();
    FIdleWait.Reset();
    FIntervalLatencyMs = -1;
    FOneResultFigures.clear();
    FDirectionFigures.clear();
    const QPointer<TSessionTestRunner> alive(this);
    if (options.Latency) {
        if (!RunIdleProbes(request.ConnectHost(), request.ConnectPort(), options.IpVersion) || !alive
            || FIdleWait.Cancelled())
            return;
        FProbe->setSelfSender([this](uint64_t id) { FSession->SendEcho(id); });
    }
    bool finished = false;
    const auto connection = connect(FSession, &TSessionTest::Finished, this, [&finished] { finished = true; });
    try {
        FSession->Start(request);
    } catch (...) {
        disconnect(connection);
        throw;
    }
    // Sleep until something happens, then look again; never spin. The window may be
    // destroyed meanwhile, and this object with it.
    while (!finished && alive)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QObject::disconnect(connection);
}

bool TSessionTestRunner::RunIdleProbes(const QString& host, int port, TIpVersion version)
{
    FProbe = std::make_unique<TLatencyProbe>();
    FProbe->setTarget(host, port, version);
    Log(QStringLiteral("Measuring idle latency"));
    return FIdleWait.Run(*FProbe);
}

void TSessionTestRunner::LogLatency()
{
    if (!FProbe)
        return;
    for (const QString& line : LatencyReport::logLines(FProbe->Figures(), FProbe->ErrorText()))
        Log(line);
}

void TSessionTestRunner::ShowProgress(const TSessionProgress& progress)
{
    if (FProbe) {
        FProbe->setTestBytes(progress.BytesSoFar);
        if (progress.Direction == TSessionDirection::Download) {
            std::vector<double> rtts;
            for (const TSessionStreamFigures& f : progress.Streams)
                if (f.Tcp.RttUs > 0)
                    rtts.push_back(double(f.Tcp.RttUs) / 1000.0);
            if (!rtts.empty())
                FProbe->AddSelfSample(LatencyFigures::median(rtts));
        }
    }
    TTestProgress shown;
    shown.BytesSoFar = progress.BytesSoFar;
    shown.ElapsedUs = FElapsedBase + progress.ElapsedUs;
    shown.IntervalBytes = progress.IntervalBytes;
    shown.IntervalUs = progress.IntervalUs;
    shown.IntervalRate = progress.IntervalRate;
    FLastElapsed = shown.ElapsedUs;
    if (FProbe) {
        if (const double ms = FProbe->TakeIntervalMs(); ms >= 0) {
            FIntervalLatencyMs = ms;
            FViews.Graph->AddLatency(double(shown.ElapsedUs) / 1e6, ms);
        }
    }
    QString figures = ProgressText::Figures(shown, QStringLiteral(" "));
    figures += ResultTexts::IntervalLatencyFigure(FIntervalLatencyMs);
    if (FViews.Status->PanelCount() > 0)
        FViews.Status->SetPanelText(0, directionText(progress.Direction) + QLatin1Char(' ') + figures);
    FViews.Graph->AddSample(shown);
}

QString TSessionTestRunner::ResultFigures() const
{
    if (FDirectionsRecorded == 1)
        return FOneResultFigures;
    return FDirectionFigures.join(QStringLiteral("   "));
}

void TSessionTestRunner::Record(const TSessionResult& given)
{
    TSessionResult result = given;
    LatencyFigures latency;
    if (FProbe) {
        latency = FProbe->Figures();
        // Probes beside the load saw the queue as any other traffic would: they decide how
        // much it grew, as in korvane-cli.
        if (latency.IdleMs >= 0 && latency.LoadedMs >= 0) {
            result.VerdictInput.IdleLatencyMs = latency.IdleMs;
            result.VerdictInput.LoadedLatencyMs = latency.LoadedMs;
            result.Verdict = TVerdict::Decide(result.VerdictInput);
        }
    }
    const QString direction = directionText(result.Direction);
    if (!result.Valid || result.Bytes <= 0 || result.DurationUs <= 0) {
        Log(QStringLiteral("Test results are not valid!") + (result.Error.isEmpty() ? QString()
                                                              : QStringLiteral(" (") + direction + QStringLiteral(": ")
                                                                    + result.Error + QLatin1Char(')')));
        return;
    }
    const QString prefix = result.Direction == TSessionDirection::Upload ? QStringLiteral("Upload: server r")
                                                                          : QStringLiteral("Download: r");
    // Today's result lines, with the direction in front.
    QString received = ResultTexts::ReceivedLine(result.KBytes(), result.Bytes, result.DurationMs());
    received.replace(0, 1, prefix);
    Log(received);
    Log(direction.at(0).toUpper() + direction.mid(1) + QStringLiteral(": ") + ResultTexts::RateLine(result.Rate));
    LogLatency();
    Log(direction.at(0).toUpper() + direction.mid(1) + QStringLiteral(": ") + result.Verdict.Text);

    const int testCount = FViews.Totals->AccumulatedTestCount();
    const double sum = FViews.Totals->AccumulatedAverageSpeed() * testCount;
    FViews.Totals->RestoreAccumulatedResults(testCount + 1, (sum + result.Rate) / (testCount + 1));
    FLastRate = result.Rate;
    ++FDirectionsRecorded;
    const QString latencyText = FProbe ? ResultTexts::LiveLatencyFigures(latency.LoadedMs, latency.Grade) : QString();
    FOneResultFigures = ResultTexts::LiveResultFigures(double(result.Bytes), result.DurationMs(), result.Rate);
    // Both directions share the title line: each in brief, the legend says what the ms are.
    QString shortText = direction + QLatin1Char(' ') + ProgressText::Rate(result.Rate);
    if (!latencyText.isEmpty()) {
        FOneResultFigures += QStringLiteral("   ") + latencyText;
        shortText += QStringLiteral(" (") + NumberFormat::twoDecimals(latency.LoadedMs) + QStringLiteral(" ms")
                     + (latency.Grade.isEmpty() ? QString() : QStringLiteral(", ") + latency.Grade) + QLatin1Char(')');
    }
    FDirectionFigures << shortText;

    TResultsTable* table = FViews.Table ? FViews.Table() : nullptr;
    if (!table)
        throw Exception(QStringLiteral("The results store is not open; the result was not recorded"));
    try {
        table->Append();
        table->SetServer(FHost);
        if (result.StartTime >= 0)
            table->SetStartTime(result.StartTime);
        table->SetDuration(result.DurationMs());
        table->SetBytesRx(double(result.Bytes));
        table->SetResult(result.Rate);
        table->SetSpeed(result.Rate);
        table->SetDirection(direction);
        table->SetStreams(result.Streams);
        table->SetFamily(FSession->PeerFamily());
        table->SetLimitedBy(TVerdict::LimitName(result.Verdict.Limit));
        if (FProbe)
            table->SetLatency(latency.IdleMs, latency.LoadedMs, latency.LoadedP90Ms, latency.Rpm, latency.Grade,
                              latency.Lost);
        table->Post();
    } catch (...) {
        if (table->Inserting())
            table->Cancel();
        throw;
    }
    FViews.Grid->SetSpeedMaximum(ResultTexts::RaisedSpeedMaximum(FViews.Grid->SpeedMaximum(), result.Rate));
    if (FViews.Status->PanelCount() > 1)
        FViews.Status->SetPanelText(1, ResultTexts::AverageText(FViews.Totals->AccumulatedAverageSpeed(),
                                                                FViews.Totals->AccumulatedTestCount()));
    FViews.Chart->RefreshData();
}
