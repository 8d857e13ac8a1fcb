#include "tools/korvane-cli/CliTextLog.h"
#include "engine/run/FailureHint.h"

#include "engine/run/ResultLines.h"
#include "engine/ControlCharacters.h"
#include "engine/latency/LatencyReport.h"
#include "engine/LogTimestamp.h"
#include "engine/NumberFormat.h"
#include "tools/korvane-cli/ProgressMeter.h"

#include <QLocale>

CliTextLog::CliTextLog(FILE *out, ProgressMeter *meter) : FOut(out), FMeter(meter) {}

void CliTextLog::Line(const QString &text)
{
    if (FMeter)
        FMeter->Clear(); // the log may share the terminal with the meter
    // Lines carry texts from servers and targets: nothing of them reaches the terminal raw.
    const QByteArray line = LogTimestamp::line(EscapeControlCharacters(text)).toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), FOut);
    std::fputc('\n', FOut);
    std::fflush(FOut);
}

void CliTextLog::StatusLine(const QString &line)
{
    Line(line);
}

void CliTextLog::Failure(const QString &message)
{
    Line(QStringLiteral("ERROR - ") + message);
    if (const QString hint = FailureHint::For(message, FailureHint::TFrontEnd::Cli); !hint.isEmpty())
        Line(hint);
}

void CliTextLog::IntervalReport(const Interval &interval)
{
    const TRunProgress &now = *interval.Now;
    QString line;
    if (!now.Session) {
        line = QStringLiteral("%1 s: %2 KB in the interval, %3 KB so far, %4 KB per second")
                   .arg(QLocale::system().toString(interval.Seconds, 'f', 2))
                   .arg(NumberFormat::twoDecimals(double(interval.Bytes) / 1024))
                   .arg(NumberFormat::twoDecimals(double(now.Figures.BytesSoFar) / 1024))
                   .arg(NumberFormat::twoDecimals(interval.Rate));
    } else {
        line = QStringLiteral("%1 s, %2: %3 KB in the interval, %4 KB so far, %5 KB per second, "
                              "%6 retransmits, round trip %7 ms")
                   .arg(QLocale::system().toString(interval.Seconds, 'f', 2))
                   .arg(ResultLines::DirectionName(now.Direction))
                   .arg(NumberFormat::twoDecimals(double(interval.Bytes) / 1024))
                   .arg(NumberFormat::twoDecimals(double(now.Figures.BytesSoFar) / 1024))
                   .arg(NumberFormat::twoDecimals(interval.Rate))
                   .arg(interval.Retransmits)
                   .arg(NumberFormat::twoDecimals(double(now.Session->Tcp.RttUs) / 1000));
    }
    if (interval.LatencyMs >= 0)
        line += QStringLiteral(", latency %1 ms").arg(NumberFormat::twoDecimals(interval.LatencyMs));
    Line(line);
}

void CliTextLog::DirectionDone(const TTestOutcome &outcome, const TDirectionOutcome &direction)
{
    // A test that never started said why in its failure line, and has nothing more to say.
    if (!outcome.Started)
        return;
    if (outcome.Plan.IsSession())
        SessionResult(direction);
    else
        PlainResult(outcome, direction);
}

void CliTextLog::LatencyLines(const TDirectionOutcome &result)
{
    if (!result.LatencyMeasured)
        return;
    for (const QString &line : LatencyReport::logLines(result.Latency, result.LatencyError))
        Line(line);
}

void CliTextLog::PlanLine(const TDirectionOutcome &result)
{
    if (const QString line = ResultLines::PlanLine(result.PlanShare, result.PlanBps); !line.isEmpty())
        Line(line);
}

void CliTextLog::PlainResult(const TTestOutcome &outcome, const TDirectionOutcome &result)
{
    // After the test's own lines, so they read as they always have; stamped twice, as the
    // "Connecting to" line it answers.
    const auto connectedLine = [this, &outcome] {
        if (!outcome.ConnectedLine.isEmpty())
            Line(LogTimestamp::line(outcome.ConnectedLine));
    };
    if (!result.Valid) {
        Line(QStringLiteral("Test results are not valid!"));
        connectedLine();
        return;
    }
    Line(QStringLiteral("Received ") + ResultLines::Amount(result.KBytes(), result.Bytes, result.DurationMs));
    Line(ResultLines::PlainRateLine(result.Rate));
    PlanLine(result);
    Line(QStringLiteral("Test finished"));
    connectedLine();
    LatencyLines(result);
}

void CliTextLog::SessionResult(const TDirectionOutcome &result)
{
    if (!result.Valid) {
        Failure(result.Error);
        Line(QStringLiteral("Test results are not valid!"));
        return;
    }
    const TSessionResult &session = *result.Session;
    const bool download = result.Direction == TSessionDirection::Download;
    const QString amount = ResultLines::Amount(result.KBytes(), result.Bytes, result.DurationMs);
    Line(download ? QStringLiteral("Received ") + amount : QStringLiteral("The server received ") + amount);
    Line(ResultLines::PlainRateLine(result.Rate));
    PlanLine(result);
    if (session.PerStream.size() > 1)
        for (const TSessionStreamFigures &f : session.PerStream)
            Line(ResultLines::StreamLine(f));
    for (const QString &line : ResultLines::ServerTcpLines(session))
        Line(line);
    LatencyLines(result);
    Line(session.Verdict.Text);
    if (const QString advice = ResultLines::LimitAdvice(session); !advice.isEmpty())
        Line(advice);
}

void CliTextLog::TestDone(const TTestOutcome &outcome, bool valid)
{
    // A stream or web test said so with its result.
    if (outcome.Plan.IsSession() && valid)
        Line(QStringLiteral("Test finished"));
}
