#include "TSessionTestRunner.h"

#include "ControlCharacters.h"
#include "LogTimestamp.h"
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
    connect(FSession, &TSessionTest::DirectionStarted, this, [this](TSessionDirection) {
        FElapsedBase = FLastElapsed;
    });
    connect(FSession, &TSessionTest::Progress, this, &TSessionTestRunner::ShowProgress);
    connect(FSession, &TSessionTest::Result, this, [this](const TSessionResult& result) {
        // A failed row must not stop the session's other direction: the error is logged.
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
    return FSession->Running();
}

bool TSessionTestRunner::Cancelled() const
{
    return FSession->Cancelled();
}

void TSessionTestRunner::Cancel()
{
    if (FSession->Running())
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
    FHost = host;
    FLastRate = -1;
    FElapsedBase = 0;
    FLastElapsed = 0;
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
    const QPointer<TSessionTestRunner> alive(this);
    while (!finished && alive)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QObject::disconnect(connection);
}

void TSessionTestRunner::ShowProgress(const TSessionProgress& progress)
{
    TTestProgress shown;
    shown.BytesSoFar = progress.BytesSoFar;
    shown.ElapsedUs = FElapsedBase + progress.ElapsedUs;
    shown.IntervalBytes = progress.IntervalBytes;
    shown.IntervalUs = progress.IntervalUs;
    shown.IntervalRate = progress.IntervalRate;
    FLastElapsed = shown.ElapsedUs;
    const QString figures = ProgressText::Figures(shown, QStringLiteral(" "));
    if (FViews.Status->PanelCount() > 0)
        FViews.Status->SetPanelText(0, directionText(progress.Direction) + QLatin1Char(' ') + figures);
    FViews.Graph->AddSample(shown);
}

void TSessionTestRunner::Record(const TSessionResult& result)
{
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
    Log(direction.at(0).toUpper() + direction.mid(1) + QStringLiteral(": ") + result.Verdict.Text);

    const int testCount = FViews.Totals->AccumulatedTestCount();
    const double sum = FViews.Totals->AccumulatedAverageSpeed() * testCount;
    FViews.Totals->RestoreAccumulatedResults(testCount + 1, (sum + result.Rate) / (testCount + 1));
    FLastRate = result.Rate;

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
        table->SetLimitedBy(TVerdict::LimitName(result.Verdict.Limit));
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
