#include "engine/latency/LatencyReport.h"

#include "engine/NumberFormat.h"

#include <cmath>

namespace {

QJsonValue msValue(double ms)
{
    return ms >= 0 ? QJsonValue(std::round(ms * 1000) / 1000) : QJsonValue(QJsonValue::Null);
}

QString ms(double value)
{
    return NumberFormat::twoDecimals(value);
}

} // namespace

QString LatencyReport::notEnoughProbes()
{
    return QStringLiteral("not enough probes");
}

QStringList LatencyReport::logLines(const LatencyFigures &f, const QString &probeError)
{
    // A figure that too few probes would give is named and left out, never shown as a number.
    const auto shortOf = [](int answered) {
        return QStringLiteral(": %1 (%2 answered, %3 needed)")
            .arg(notEnoughProbes())
            .arg(answered)
            .arg(LatencyFigures::MinimumProbes);
    };
    QStringList lines;
    if (f.IdleMs >= 0)
        lines << QStringLiteral("Idle latency %1 ms (median of %2 probes)").arg(ms(f.IdleMs)).arg(f.IdleCount);
    else if (f.IdleCount > 0)
        lines << QStringLiteral("Idle latency") + shortOf(f.IdleCount);
    if (f.LoadedMs >= 0)
        lines << QStringLiteral("Loaded latency %1 ms, 90th percentile %2 ms (%3 probes)")
                     .arg(ms(f.LoadedMs), ms(f.LoadedP90Ms))
                     .arg(f.LoadedCount);
    else if (f.LoadedCount > 0)
        lines << QStringLiteral("Loaded latency") + shortOf(f.LoadedCount);
    // "850 RPM (Fair; 90th percentile 610 RPM)"
    const QString rpm = f.Rpm < 0 ? QString()
                                  : QStringLiteral("%1 RPM (%2; 90th percentile %3 RPM)")
                                        .arg(qint64(std::llround(f.Rpm)))
                                        .arg(f.RpmRating)
                                        .arg(qint64(std::llround(f.RpmP90)));
    if (f.Valid() && f.Rpm >= 0)
        lines << QStringLiteral("Latency increase under load %1 ms, bufferbloat grade %2, responsiveness %3")
                     .arg(ms(f.IncreaseMs), f.Grade, rpm);
    else if (f.Valid())
        lines << QStringLiteral("Latency increase under load %1 ms, bufferbloat grade %2").arg(ms(f.IncreaseMs), f.Grade);
    else if (f.Rpm >= 0)
        lines << QStringLiteral("Responsiveness ") + rpm;
    if (f.Lost > 0)
        lines << QStringLiteral("%1 latency %2 got no answer within 2 seconds")
                     .arg(f.Lost)
                     .arg(f.Lost == 1 ? QStringLiteral("probe") : QStringLiteral("probes"));
    if (!f.Valid())
        lines << (probeError.isEmpty() ? QStringLiteral("No bufferbloat grade: ") + notEnoughProbes() : probeError);
    return lines;
}

void LatencyReport::addJson(QJsonObject &o, const LatencyFigures &f, qint64 probeBytes)
{
    o.insert(QStringLiteral("idle_latency_ms"), msValue(f.IdleMs));
    o.insert(QStringLiteral("loaded_latency_ms"), msValue(f.LoadedMs));
    o.insert(QStringLiteral("loaded_latency_p90_ms"), msValue(f.LoadedP90Ms));
    o.insert(QStringLiteral("latency_increase_ms"), msValue(f.IncreaseMs));
    o.insert(QStringLiteral("rpm"), f.Rpm >= 0 ? QJsonValue(std::round(f.Rpm)) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("rpm_p90"), f.RpmP90 >= 0 ? QJsonValue(std::round(f.RpmP90)) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("rpm_rating"), f.RpmRating.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(f.RpmRating));
    o.insert(QStringLiteral("bufferbloat_grade"), f.Valid() ? QJsonValue(f.Grade) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("latency_probes"), f.IdleCount + f.LoadedCount);
    o.insert(QStringLiteral("lost_probes"), f.Lost);
    // Why figures are null when probes were answered but too few of them.
    o.insert(QStringLiteral("latency_note"),
             f.ShortOfProbes() ? QJsonValue(notEnoughProbes()) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("latency_probe_bytes"), probeBytes);
}
