#include "ui/ResultTexts.h"

#include "storage/ResultRow.h"
#include "engine/latency/LatencyReport.h"

#include "engine/LogTimestamp.h"
#include "engine/http/Uri.h"
#include "storage/XLabelText.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ResultTexts {

namespace {

// The locale's general number form without thousands separators.
QLocale PlainLocale(const QLocale& locale)
{
    QLocale plain(locale);
    plain.setNumberOptions(plain.numberOptions() | QLocale::OmitGroupSeparator);
    return plain;
}

QString ShortestGeneral(double value, const QLocale& locale)
{
    return PlainLocale(locale).toString(value, 'g', 15);
}

}  // namespace

int RoundHalfEven(double value)
{
    if (std::isnan(value))
        return 0;
    // nearbyint rounds ties to even in the default rounding mode.
    const double rounded = std::nearbyint(value);
    if (rounded >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (rounded <= static_cast<double>(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return static_cast<int>(rounded);
}

QString AverageText(double averageKbPerSecond, int testCount, const QLocale& locale)
{
    const bool megabytes = averageKbPerSecond >= 1024;
    const double shown = megabytes ? averageKbPerSecond / 1024 : averageKbPerSecond;
    return QStringLiteral(" Average speed of ") + FormatLabelNumber(shown, locale)
           + (megabytes ? QStringLiteral("MB/s for ") : QStringLiteral("KB/s for "))
           + QString::number(testCount) + QStringLiteral(" tests.");
}

QString WithWebScheme(const QString& target, const QLocale&)
{
    return TUri::WebTarget(target);
}

int RaisedSpeedMaximum(int currentMaximum, double rate)
{
    if (rate > currentMaximum)
        return std::max(currentMaximum, RoundHalfEven(rate));
    return currentMaximum;
}

QString DurationCell(qint32 milliseconds, const QLocale& locale)
{
    return ShortestGeneral(milliseconds, locale) + QStringLiteral(" ms.");
}

QString BytesRxCell(double bytes, const QLocale& locale)
{
    return ShortestGeneral(bytes, locale);
}

QString ResultCell(double kbPerSecond, const QLocale& locale)
{
    return PlainLocale(locale).toString(kbPerSecond, 'f', 2) + QStringLiteral(" KB/S");
}

QString ShareCell(const TResultRow& row)
{
    if (!(row.PlanBps > 0))
        return {};
    return QStringLiteral("%1 % of plan").arg(std::lround(row.PlanShare() * 100));
}

QString StartTimeCell(const QDateTime& when)
{
    return when.isValid() ? LogTimestamp::format(when) : QString();
}

QString ServerCell(const TResultRow& row)
{
    // The grade, where latency was measured, is what a reader of the grid looks for first.
    const QString grade = !row.Grade.isEmpty() ? QStringLiteral("grade ") + row.Grade
                          : row.HasLatency() ? QStringLiteral("grade: ") + LatencyReport::notEnoughProbes()
                                             : QString();
    if (!row.HasTestShape())
        return grade.isEmpty() ? row.Server : row.Server + QStringLiteral(" (") + grade + QLatin1Char(')');
    const int streams = row.StreamsOrDefault();
    QString shape = row.DirectionOrDefault() + QStringLiteral(", ") + QString::number(streams)
                    + (streams == 1 ? QStringLiteral(" stream") : QStringLiteral(" streams"));
    if (!row.Family.isEmpty())
        shape += QStringLiteral(", ") + row.Family;
    if (!row.LimitedBy.isEmpty())
        shape += QStringLiteral(", limited by ") + QString(row.LimitedBy).replace(u'_', u' ');
    if (!grade.isEmpty())
        shape += QStringLiteral(", ") + grade;
    return row.Server + QStringLiteral(" (") + shape + QLatin1Char(')');
}

}  // namespace ResultTexts
