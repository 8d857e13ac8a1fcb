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

QStringList LatencyReport::logLines(const LatencyFigures &f, const QString &probeError)
{
    QStringList lines;
    if (f.IdleMs >= 0)
        lines << QStringLiteral("Idle latency %1 ms (median of %2 probes)").arg(ms(f.IdleMs)).arg(f.IdleCount);
    if (f.LoadedMs >= 0)
        lines << QStringLiteral("Loaded latency %1 ms, 90th percentile %2 ms (%3 probes)")
                     .arg(ms(f.LoadedMs), ms(f.LoadedP90Ms))
                     .arg(f.LoadedCount);
    if (f.Valid())
        lines << QStringLiteral("Latency increase under load %1 ms, bufferbloat grade %2, responsiveness %3 RPM")
                     .arg(ms(f.IncreaseMs), f.Grade)
                     .arg(qint64(std::llround(f.Rpm)));
    if (f.Lost > 0)
        lines << QStringLiteral("%1 latency %2 got no answer within 2 seconds")
                     .arg(f.Lost)
                     .arg(f.Lost == 1 ? QStringLiteral("probe") : QStringLiteral("probes"));
    if (!f.Valid())
        lines << (probeError.isEmpty() ? QStringLiteral("No latency figures: too few probes were answered")
                                       : probeError);
    return lines;
}

void LatencyReport::addJson(QJsonObject &o, const LatencyFigures &f, qint64 probeBytes)
{
    o.insert(QStringLiteral("idle_latency_ms"), msValue(f.IdleMs));
    o.insert(QStringLiteral("loaded_latency_ms"), msValue(f.LoadedMs));
    o.insert(QStringLiteral("loaded_latency_p90_ms"), msValue(f.LoadedP90Ms));
    o.insert(QStringLiteral("latency_increase_ms"), msValue(f.IncreaseMs));
    o.insert(QStringLiteral("rpm"), f.Rpm >= 0 ? QJsonValue(std::round(f.Rpm)) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("bufferbloat_grade"), f.Valid() ? QJsonValue(f.Grade) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("latency_probes"), f.IdleCount + f.LoadedCount);
    o.insert(QStringLiteral("lost_probes"), f.Lost);
    o.insert(QStringLiteral("latency_probe_bytes"), probeBytes);
}
