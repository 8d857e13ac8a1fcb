#include "ui/TTestController.h"

#include "engine/ControlCharacters.h"
#include "engine/KorvaneException.h"
#include "engine/latency/LatencyReport.h"
#include "engine/LogTimestamp.h"
#include "engine/NumberFormat.h"
#include "engine/run/ProgressText.h"
#include "ui/ResultTexts.h"
#include "engine/run/ResultLines.h"
#include "storage/ResultsTable.h"
#include "storage/SlowResults.h"
#include "ui/TDesktopNotice.h"
#include "engine/stream/TKorvane.h"
#include "ui/TLiveRateGraph.h"
#include "ui/TLogPane.h"
#include "ui/TResultsChart.h"
#include "ui/TServerHistory.h"
#include "ui/TStatusPane.h"

namespace {

QString directionText(TSessionDirection direction)
{
    return direction == TSessionDirection::Upload ? QStringLiteral("upload") : QStringLiteral("download");
}

QString capitalized(const QString& text)
{
    return text.at(0).toUpper() + text.mid(1);
}

void addLatency(TResultsTable& table, const TDirectionOutcome& result)
{
    if (!result.LatencyMeasured)
        return;
    const LatencyFigures& l = result.Latency;
    table.SetLatency(l.IdleMs, l.LoadedMs, l.LoadedP90Ms, l.Rpm, l.Grade, l.Lost);
}

} // namespace

TTestController::TTestController(TKorvane& measurement, const TViews& views, QObject* parent)
    : QObject(parent), FViews(views), FRun(new TTestRun(measurement, this))
{
    connect(FRun, &TTestRun::StatusLine, this, [this](const QString& line) {
        // The measurement object's lines get the window's stamp too, as they always have; a
        // session's are stamped once.
        if (FRun->Outcome().Plan.IsSession())
            FViews.Log->AddLine(EscapeControlCharacters(line));
        else
            AddLogLine(line);
    });
    connect(FRun, &TTestRun::IdleProbesStarted, this, [this] {
        // A session says so in the log; before a stream or web test only the pane does, so
        // their log reads as it always has.
        if (FRun->Outcome().Plan.IsSession())
            AddLogLine(QStringLiteral("Measuring idle latency"));
        else
            SetStatusText(QStringLiteral("Measuring idle latency"), 0);
    });
    connect(FRun, &TTestRun::TestStarted, this, [this] {
        if (!FRun->Outcome().Plan.IsSession())
            SetStatusText(FStatusBeforeTest, 0);
    });
    connect(FRun, &TTestRun::DirectionStarted, this, [this](TSessionDirection direction) {
        FElapsedBase = FLastElapsed;
        // Each direction is a curve of its own; the legend names them once there are two.
        FViews.Graph->StartCurve(directionText(direction));
    });
    connect(FRun, &TTestRun::Progress, this, &TTestController::ShowProgress);
    connect(FRun, &TTestRun::DirectionDone, this, [this](const TDirectionOutcome& result) {
        if (!FRun->Outcome().Plan.IsSession())
            return; // recorded once the window's wait has ended
        // A failed row must not stop the session's other direction: the error is logged.
        try {
            RecordSessionDirection(result);
        } catch (const std::exception& e) {
            AddLogLine(QStringLiteral("ERROR - ") + QString::fromUtf8(e.what()));
        }
    });
}

void TTestController::AddLogLine(const QString& text)
{
    FViews.Log->AddLine(LogTimestamp::line(EscapeControlCharacters(text)));
}

void TTestController::SetStatusText(const QString& text, int index)
{
    if (index < FViews.Status->PanelCount())
        FViews.Status->SetPanelText(index, text);
}

void TTestController::Start(const TTestPlan& plan)
{
    FIntervalLatencyMs = -1;
    FElapsedBase = 0;
    FLastElapsed = 0;
    FDirectionsRecorded = 0;
    FLastRate = -1;
    FOneResultFigures.clear();
    FDirectionFigures.clear();
    FStatusBeforeTest = FViews.Status->PanelText(0);
    QString host;
    int port = 0;
    FViews.Graph->Start(plan.Target, plan.Latency && plan.ProbeTarget(host, port));
    if (FViews.Graph->isHidden() && FViews.RevealGraph)
        FViews.RevealGraph();
    FLiveViewOpen = true;
    FRun->Start(plan);
}

void TTestController::Cancel()
{
    if (!FRun->Running())
        return;
    FRun->Cancel();
    // At once: a close saves the panes before the test's wait has ended.
    SetStatusText(FStatusBeforeTest, 0);
}

void TTestController::EndLiveView(double averageRate, const QString& resultFigures)
{
    if (!FLiveViewOpen)
        return;
    FLiveViewOpen = false;
    FViews.Graph->Finish(averageRate, resultFigures);
    SetStatusText(FStatusBeforeTest, 0);
}

void TTestController::ShowProgress(const TRunProgress& progress)
{
    if (!FRun->Running())
        return;
    TTestProgress shown = progress.Figures;
    if (progress.Session)
        shown.ElapsedUs += FElapsedBase;
    FLastElapsed = shown.ElapsedUs;
    if (const double ms = FRun->TakeIntervalLatencyMs(); ms >= 0) {
        FIntervalLatencyMs = ms;
        FViews.Graph->AddLatency(double(shown.ElapsedUs) / 1e6, ms);
    }
    // Single spaces: the pane is narrow, and the graph's title line has the same figures.
    QString figures = ProgressText::Figures(shown, QStringLiteral(" "));
    figures += ResultLines::IntervalLatencyFigure(FIntervalLatencyMs);
    if (progress.Session)
        figures = directionText(progress.Direction) + QLatin1Char(' ') + figures;
    SetStatusText(figures, 0);
    FViews.Graph->AddSample(shown);
}

void TTestController::Conclude()
{
    const TTestOutcome& outcome = FRun->Outcome();
    if (outcome.StartFailure) {
        EndLiveView(-1, outcome.Cancelled ? QStringLiteral("Test cancelled") : QString());
        if (outcome.Cancelled) {
            AddLogLine(QStringLiteral("Test cancelled"));
            return;
        }
        std::rethrow_exception(outcome.StartFailure);
    }
    if (outcome.Plan.IsSession())
        ConcludeSession();
    else
        ConcludePlainTest();
}

void TTestController::ConcludePlainTest()
{
    const TTestOutcome& outcome = FRun->Outcome();
    if (outcome.Cancelled || outcome.Directions.empty()) {
        EndLiveView(-1, QStringLiteral("Test cancelled"));
        AddLogLine(QStringLiteral("Test cancelled"));
        return;
    }
    const TDirectionOutcome& result = outcome.Directions.front();
    // The live figures go before the result is written, which may set the pane itself.
    if (result.Valid) {
        QString figures = ResultLines::LiveResultFigures(double(result.Bytes), result.DurationMs, result.Rate);
        if (const QString latency = result.LatencyMeasured
                                        ? ResultLines::LiveLatencyFigures(result.Latency)
                                        : QString();
            !latency.isEmpty())
            figures += QStringLiteral("   ") + latency;
        EndLiveView(result.Rate, figures);
    } else
        EndLiveView(-1);
    RecordPlainTest(result);
}

void TTestController::AddToServerHistory()
{
    FViews.History->SetActive(false);
    FViews.History->Add(FRun->Outcome().Plan.Target);
    FViews.History->SetActive(true);
}

void TTestController::ShowAverage(const TDirectionOutcome& result)
{
    SetStatusText(ResultTexts::AverageText(result.AccumulatedAverage, result.AccumulatedCount), 1);
}

void TTestController::RecordPlainTest(const TDirectionOutcome& result)
{
    const TTestOutcome& outcome = FRun->Outcome();
    // After the test's own lines, which read as they always have.
    const auto addConnectedLine = [this, &outcome] {
        if (!outcome.ConnectedLine.isEmpty())
            AddLogLine(LogTimestamp::line(outcome.ConnectedLine));
    };
    if (!result.Valid) {
        AddLogLine(QStringLiteral("Test results are not valid!"));
        addConnectedLine();
        return;
    }
    AddToServerHistory();
    AddLogLine(ResultLines::ReceivedLine(result.KBytes(), result.Bytes, result.DurationMs));
    AddLogLine(ResultLines::RateLine(result.Rate));
    if (const QString plan = ResultLines::PlanLine(result.PlanShare, result.PlanBps); !plan.isEmpty())
        AddLogLine(plan);
    SetStatusText(QString(), 0);
    AddLogLine(QStringLiteral("Test finished"));
    addConnectedLine();
    // Latency, when it was measured, after the test's own lines.
    if (result.LatencyMeasured)
        for (const QString& line : LatencyReport::logLines(result.Latency, result.LatencyError))
            AddLogLine(line);

    PostRow(result, [&result, &outcome](TResultsTable& table) {
        if (outcome.Plan.Kind == TTestKind::ServerStream)
            table.SetPort(outcome.Plan.Port);
        // Rows have always been IPv4 when nothing is written, so only IPv6 is marked.
        if (result.Family == QLatin1String("ipv6"))
            table.SetFamily(result.Family);
    });
}

void TTestController::ConcludeSession()
{
    const TTestOutcome& outcome = FRun->Outcome();
    if (outcome.Cancelled) {
        EndLiveView(-1, QStringLiteral("Test cancelled"));
        AddLogLine(QStringLiteral("Test cancelled"));
        return;
    }
    // The graph's average line: the rate when one direction ran, none for both, whose curve
    // holds two different measurements.
    EndLiveView(FDirectionsRecorded == 1 ? FLastRate : -1,
                FDirectionsRecorded == 1 ? FOneResultFigures : FDirectionFigures.join(QStringLiteral("   ")));
    if (FLastRate >= 0)
        AddToServerHistory();
    AddLogLine(QStringLiteral("Test finished"));
}

void TTestController::RecordSessionDirection(const TDirectionOutcome& result)
{
    const QString direction = directionText(result.Direction);
    if (!result.Valid) {
        AddLogLine(QStringLiteral("Test results are not valid!")
                   + (result.Error.isEmpty() ? QString()
                                             : QStringLiteral(" (") + direction + QStringLiteral(": ") + result.Error
                                                   + QLatin1Char(')')));
        return;
    }
    const TSessionResult& session = *result.Session;
    const QString prefix = result.Direction == TSessionDirection::Upload ? QStringLiteral("Upload: server r")
                                                                          : QStringLiteral("Download: r");
    // The stream test's result lines, with the direction in front.
    QString received = ResultLines::ReceivedLine(result.KBytes(), result.Bytes, result.DurationMs);
    received.replace(0, 1, prefix);
    AddLogLine(received);
    const QString label = capitalized(direction) + QStringLiteral(": ");
    AddLogLine(label + ResultLines::RateLine(result.Rate));
    if (const QString plan = ResultLines::PlanLine(result.PlanShare, result.PlanBps); !plan.isEmpty())
        AddLogLine(label + plan);
    // What korvane-cli prints of a session, so the window's log tells as much.
    if (session.PerStream.size() > 1)
        for (const TSessionStreamFigures& stream : session.PerStream)
            AddLogLine(label + ResultLines::StreamLine(stream));
    for (const QString& line : ResultLines::ServerTcpLines(session))
        AddLogLine(label + line);
    if (result.LatencyMeasured)
        for (const QString& line : LatencyReport::logLines(result.Latency, result.LatencyError))
            AddLogLine(line);
    AddLogLine(label + session.Verdict.Text);
    if (const QString advice = ResultLines::LimitAdvice(session); !advice.isEmpty())
        AddLogLine(label + advice);

    FLastRate = result.Rate;
    ++FDirectionsRecorded;
    const LatencyFigures& latency = result.Latency;
    const QString latencyText =
        result.LatencyMeasured ? ResultLines::LiveLatencyFigures(latency) : QString();
    FOneResultFigures = ResultLines::LiveResultFigures(double(result.Bytes), result.DurationMs, result.Rate);
    // Both directions share the title line: each in brief, the legend says what the ms are.
    QString shortText = direction + QLatin1Char(' ') + ProgressText::Rate(result.Rate);
    if (!latencyText.isEmpty()) {
        FOneResultFigures += QStringLiteral("   ") + latencyText;
        shortText += QStringLiteral(" (") + ResultLines::ShortLatencyFigures(latency) + QLatin1Char(')');
    }
    FDirectionFigures << shortText;

    PostRow(result, [this, &result, &session, &direction](TResultsTable& table) {
        table.SetDirection(direction);
        table.SetStreams(result.Streams);
        table.SetPort(FRun->Outcome().Plan.SessionPort);
        table.SetFamily(FRun->Session().PeerFamily());
        table.SetLimitedBy(TVerdict::LimitName(session.Verdict.Limit));
    });
}

void TTestController::PostRow(const TDirectionOutcome& result, const std::function<void(TResultsTable&)>& addKind)
{
    TResultsTable* table = FViews.Table ? FViews.Table() : nullptr;
    if (!table)
        throw Exception(QStringLiteral("The results store is not open; the result was not recorded"));
    try {
        table->Append();
        table->SetServer(FRun->Outcome().Plan.Target);
        if (result.StartTime >= 0)
            table->SetStartTime(result.StartTime);
        table->SetDuration(result.DurationMs);
        table->SetBytesRx(double(result.Bytes));
        table->SetResult(result.Rate);
        table->SetSpeed(result.Rate);
        addKind(*table);
        addLatency(*table, result);
        if (result.PlanShare >= 0)
            table->SetPlanBps(result.PlanBps);
        table->Post();
    } catch (...) {
        // A half-built row must not linger into the next append.
        if (table->Inserting())
            table->Cancel();
        throw;
    }
    ShowAverage(result);
    FViews.Chart->RefreshData();
    NoticeIfSlow();
}

bool TTestController::NoticeDue(const QVector<TResultRow>& rows, int index, const TTargetPlans& plans,
                                QString& summary, QString& body)
{
    if (!plans.Notify || index < 0 || index >= rows.size() || !SlowResults::Slow(rows[index], plans.Share()))
        return false;
    // Once, as the count reaches the threshold: a line that stays slow is not news every test.
    const int slow = SlowResults::CountInLast(rows, index, plans.Share(), plans.NoticeOf);
    if (slow != plans.NoticeSlow)
        return false;
    const TResultRow& row = rows[index];
    const QString series = ResultTexts::ServerCell(row);
    summary = QStringLiteral("%1 is below its plan").arg(row.Server);
    body = QStringLiteral("%1 of the last %2 results of %3 reached less than %4 % of the plan (%5); the latest %6 %.")
               .arg(slow)
               .arg(plans.NoticeOf)
               .arg(series)
               .arg(plans.SharePercent)
               .arg(TRatePlan::RateText(row.PlanBps), QString::number(row.PlanShare() * 100, 'f', 1));
    return true;
}

void TTestController::NoticeIfSlow()
{
    TResultsTable* table = FViews.Table ? FViews.Table() : nullptr;
    QString summary, body;
    if (!FNotice || !table || !NoticeDue(table->Rows(), table->RecordCount() - 1, FPlans, summary, body))
        return;
    AddLogLine(summary + QStringLiteral(": ") + body);
    FNotice->Show(summary, body);
}
