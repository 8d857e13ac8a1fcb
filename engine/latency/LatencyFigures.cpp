#include "LatencyFigures.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {
// Responsiveness drops the slowest 5 % of each kind of probe before averaging.
constexpr double kTrimPercentile = 95.0;
} // namespace

double LatencyFigures::median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double LatencyFigures::percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * double(values.size()));
    const size_t index = size_t(std::clamp(rank, 1.0, double(values.size()))) - 1;
    return values[index];
}

double LatencyFigures::trimmedMean(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    // Keep the nearest-rank count, so one or two samples are never trimmed to nothing.
    const size_t keep = std::max<size_t>(1, size_t(std::ceil(p / 100.0 * double(values.size()))));
    return std::accumulate(values.begin(), values.begin() + long(std::min(keep, values.size())), 0.0)
           / double(std::min(keep, values.size()));
}

double LatencyFigures::rpm(const std::vector<double> &foreignMs, const std::vector<double> &selfMs)
{
    const double foreign = trimmedMean(foreignMs, kTrimPercentile);
    const double self = trimmedMean(selfMs, kTrimPercentile);
    double roundTripMs = -1;
    if (foreign >= 0 && self >= 0)
        roundTripMs = (foreign + self) / 2;
    else
        roundTripMs = std::max(foreign, self);
    if (roundTripMs < 0)
        return -1;
    // A round trip below a microsecond is a clock artefact, not a responsive link.
    return 60000.0 / std::max(roundTripMs, 0.001);
}

QString LatencyFigures::grade(double increaseMs)
{
    if (increaseMs < 0 || !std::isfinite(increaseMs))
        return {};
    if (increaseMs < 5)
        return QStringLiteral("A+");
    if (increaseMs < 30)
        return QStringLiteral("A");
    if (increaseMs < 60)
        return QStringLiteral("B");
    if (increaseMs < 200)
        return QStringLiteral("C");
    if (increaseMs < 400)
        return QStringLiteral("D");
    return QStringLiteral("F");
}

LatencyFigures LatencyFigures::compute(const std::vector<double> &idleMs, const std::vector<double> &loadedForeignMs,
                                       const std::vector<double> &loadedSelfMs, int lost)
{
    LatencyFigures f;
    f.IdleCount = int(idleMs.size());
    f.LoadedCount = int(loadedForeignMs.size() + loadedSelfMs.size());
    f.Lost = lost;
    f.IdleMs = median(idleMs);
    // The loaded median and percentile are of the connect-time probes where there are any:
    // they compare like with like against the idle probes, which are connect times too.
    const std::vector<double> &loaded = loadedForeignMs.empty() ? loadedSelfMs : loadedForeignMs;
    f.LoadedMs = median(loaded);
    f.LoadedP90Ms = percentile(loaded, 90);
    f.Rpm = rpm(loadedForeignMs, loadedSelfMs);
    if (f.IdleMs >= 0 && f.LoadedMs >= 0) {
        f.IncreaseMs = std::max(0.0, f.LoadedMs - f.IdleMs);
        f.Grade = grade(f.IncreaseMs);
    }
    return f;
}
