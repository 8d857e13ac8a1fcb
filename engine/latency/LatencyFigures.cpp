#include "engine/latency/LatencyFigures.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {
// Responsiveness as draft-ietf-ippm-responsiveness-04 (unchanged to -06) aggregates it: a
// single-sided trimmed mean of each kind of probe at its 95th percentile (TMP = 95 %).
constexpr double kTrimPercentile = 95.0;

double perMinute(double roundTripMs)
{
    // A round trip below a microsecond is a clock artefact, not a responsive link.
    return 60000.0 / std::max(roundTripMs, 0.001);
}

bool enough(const std::vector<double> &values)
{
    return values.size() >= size_t(LatencyFigures::MinimumProbes);
}

const std::vector<double> &enoughOrNone(const std::vector<double> &values)
{
    static const std::vector<double> none;
    return enough(values) ? values : none;
}
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

namespace {
// Each kind's round trip by `pick`; the mean of the kinds' round trips per minute, or the one
// kind alone.
template <typename Pick>
double perMinuteOfKinds(const std::vector<double> &foreignMs, const std::vector<double> &selfMs, Pick pick)
{
    const double foreign = foreignMs.empty() ? -1 : pick(foreignMs);
    const double self = selfMs.empty() ? -1 : pick(selfMs);
    if (foreign >= 0 && self >= 0)
        return (perMinute(foreign) + perMinute(self)) / 2;
    if (foreign >= 0)
        return perMinute(foreign);
    if (self >= 0)
        return perMinute(self);
    return -1;
}
} // namespace

double LatencyFigures::rpmP90(const std::vector<double> &foreignMs, const std::vector<double> &selfMs)
{
    return perMinuteOfKinds(foreignMs, selfMs, [](const std::vector<double> &v) { return percentile(v, 90); });
}

QString LatencyFigures::rpmRating(double rpm)
{
    if (rpm < 0 || !std::isfinite(rpm))
        return {};
    if (rpm < 300)
        return QStringLiteral("Poor");
    if (rpm < 1000)
        return QStringLiteral("Fair");
    if (rpm <= 6000)
        return QStringLiteral("Good");
    return QStringLiteral("Excellent");
}

double LatencyFigures::rpm(const std::vector<double> &foreignMs, const std::vector<double> &selfMs)
{
    // The draft's TCP-only case: Foreign = 60000 / mean(TM(tcp_f), TM(http_f)) and Loaded =
    // 60000 / TM(http_l), the result their mean. A probe here is a connect alone (no request
    // follows on its connection), so the foreign term is TM(tcp_f); the self term is the echo
    // on the control connection with the sender's smoothed rtt, which the draft allows in place
    // of http_l where a request cannot ride the loaded connections.
    // One kind alone (a web page has no self probes): its own responsiveness.
    return perMinuteOfKinds(foreignMs, selfMs,
                            [](const std::vector<double> &v) { return trimmedMean(v, kTrimPercentile); });
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
    f.IdleMs = median(enoughOrNone(idleMs));
    // The loaded median and percentile are of the connect-time probes where there are enough:
    // they compare like with like against the idle probes, which are connect times too.
    const std::vector<double> &loaded = enough(loadedForeignMs) ? loadedForeignMs : enoughOrNone(loadedSelfMs);
    f.LoadedMs = median(loaded);
    f.LoadedP90Ms = percentile(loaded, 90);
    f.Rpm = rpm(enoughOrNone(loadedForeignMs), enoughOrNone(loadedSelfMs));
    f.RpmP90 = rpmP90(enoughOrNone(loadedForeignMs), enoughOrNone(loadedSelfMs));
    f.RpmRating = rpmRating(f.Rpm);
    if (f.IdleMs >= 0 && f.LoadedMs >= 0) {
        f.IncreaseMs = std::max(0.0, f.LoadedMs - f.IdleMs);
        f.Grade = grade(f.IncreaseMs);
    }
    return f;
}
