#include "engine/run/ResultLines.h"

#include "engine/run/RatePlan.h"

#include "engine/NumberFormat.h"
#include "engine/run/ProgressText.h"
#include "engine/latency/LatencyReport.h"
#include "engine/session/ReceiveWindowAdvice.h"

#include <algorithm>
#include <cmath>

namespace ResultLines {

QString FormatNumber2(double value, const QLocale& locale)
{
    QLocale grouped(locale);
    grouped.setNumberOptions(grouped.numberOptions() & ~QLocale::OmitGroupSeparator);
    return grouped.toString(value, 'f', 2);
}

QString ReceivedLine(double kBytes, qint64 bytes, double milliseconds, const QLocale& locale)
{
    return QStringLiteral("Received %1 KB (%2) in %3 milliseconds")
        .arg(FormatNumber2(kBytes, locale), QString::number(bytes), FormatNumber2(milliseconds, locale));
}

QString RateLine(double kbPerSecond, const QLocale& locale)
{
    return FormatNumber2(kbPerSecond, locale) + QStringLiteral(" KB per second");
}

QString LiveResultFigures(double bytes, double milliseconds, double kbPerSecond)
{
    TTestProgress result;
    result.BytesSoFar = std::isfinite(bytes) ? qint64(std::max(bytes, 0.0)) : 0;
    result.ElapsedUs = std::isfinite(milliseconds) ? qint64(std::llround(std::max(milliseconds, 0.0) * 1000)) : 0;
    result.IntervalRate = kbPerSecond;
    // A test shorter than a second would read "0.0 s": its result says how long in ms.
    if (result.ElapsedUs < 999'500)
        return ProgressText::Amount(result.BytesSoFar) + QStringLiteral("  ")
               + QString::number(qint64(std::llround(result.ElapsedUs / 1000.0))) + QStringLiteral(" ms  ")
               + ProgressText::Rate(kbPerSecond);
    return ProgressText::Figures(result);
}

QString LiveLatencyFigures(const LatencyFigures& figures)
{
    const QString missing = LatencyReport::notEnoughProbes();
    if (!(figures.LoadedMs >= 0))
        return QStringLiteral("latency: ") + missing;
    return QStringLiteral("loaded latency ") + NumberFormat::twoDecimals(figures.LoadedMs) + QStringLiteral(" ms, grade")
           + (figures.Grade.isEmpty() ? QStringLiteral(": ") + missing : QLatin1Char(' ') + figures.Grade);
}

QString ShortLatencyFigures(const LatencyFigures& figures)
{
    if (!(figures.LoadedMs >= 0))
        return QStringLiteral("latency: ") + LatencyReport::notEnoughProbes();
    return NumberFormat::twoDecimals(figures.LoadedMs) + QStringLiteral(" ms")
           + (figures.Grade.isEmpty() ? QString() : QStringLiteral(", ") + figures.Grade);
}

QString IntervalLatencyFigure(double ms)
{
    if (!(ms >= 0))
        return {};
    return QStringLiteral(" latency ") + NumberFormat::twoDecimals(ms) + QStringLiteral(" ms");
}

QString DirectionName(TSessionDirection direction)
{
    return direction == TSessionDirection::Upload ? QStringLiteral("upload") : QStringLiteral("download");
}

QString Amount(double kBytes, int64_t bytes, double milliseconds)
{
    return QStringLiteral("%1 KB (%2) in %3 milliseconds")
        .arg(NumberFormat::twoDecimals(kBytes))
        .arg(bytes)
        .arg(NumberFormat::twoDecimals(milliseconds));
}

QString PlainRateLine(double kbPerSecond)
{
    return QStringLiteral("%1 KB per second").arg(NumberFormat::twoDecimals(kbPerSecond));
}

QString PlanLine(double share, double planBps)
{
    if (share < 0 || !(planBps > 0))
        return {};
    return QStringLiteral("%1 % of the plan (%2)").arg(QString::number(share * 100, 'f', 1), TRatePlan::RateText(planBps));
}

QString StreamLine(const TSessionStreamFigures &f)
{
    return QStringLiteral("Stream %1: %2 KB in %3 milliseconds, %4 KB per second")
        .arg(f.Stream)
        .arg(NumberFormat::twoDecimals(double(f.Bytes) / 1024))
        .arg(NumberFormat::twoDecimals(double(f.DurationUs) / 1000))
        .arg(NumberFormat::twoDecimals(f.Rate));
}

QStringList ServerTcpLines(const TSessionResult &result)
{
    const TSessionTcpFigures &t = result.Tcp;
    const bool download = result.Direction == TSessionDirection::Download;
    QStringList lines;
    // For an upload the server is the receiving side, and its figures are a receiver's.
    lines << (download ? QStringLiteral("Server's TCP figures: ") : QStringLiteral("Server's TCP figures as receiver: "))
                 + QStringLiteral("round trip %1 ms (lowest %2 ms), %3 retransmits, "
                                  "congestion window %4 KB, delivery rate %5 KB per second")
                       .arg(NumberFormat::twoDecimals(double(t.RttUs) / 1000))
                       .arg(NumberFormat::twoDecimals(double(t.MinRttUs) / 1000))
                       .arg(t.Retransmits)
                       .arg(NumberFormat::twoDecimals(double(t.CwndBytes) / 1024))
                       .arg(NumberFormat::twoDecimals(double(t.DeliveryRateBps) / 1024));
    if (download)
        lines << QStringLiteral("Server's sending time: busy %1 ms, limited by the receive window %2 ms, "
                                "by the send buffer %3 ms")
                     .arg(NumberFormat::twoDecimals(double(t.BusyUs) / 1000))
                     .arg(NumberFormat::twoDecimals(double(t.RwndLimitedUs) / 1000))
                     .arg(NumberFormat::twoDecimals(double(t.SndbufLimitedUs) / 1000));
    return lines;
}

QString LimitAdvice(const TSessionResult &result)
{
    if (result.Verdict.Limit != TLimit::ReceiveWindow || result.Verdict.NeededWindowBytes <= 0)
        return {};
    return ReceiveWindowAdvice::Text(TReceiveWindowSettings::ReadThisMachine(), result.Verdict.NeededWindowBytes,
                                     result.VerdictInput.RequestedWindow,
                                     result.Direction == TSessionDirection::Download);
}

} // namespace ResultLines
