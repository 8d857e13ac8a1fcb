#include "tests/pathemu/PathDirection.h"

#include <algorithm>
#include <cmath>

PathDirection::PathDirection(const PathSettings &settings, uint64_t seed) : FSettings(settings), FRandom(seed)
{
    if (FSettings.RateBitsPerSecond > 0) {
        if (FSettings.QueueNs >= 0)
            FQueueLimitNs = FSettings.QueueNs;
        else if (FSettings.QueueBytes >= 0)
            FQueueLimitNs = TransmitNs(FSettings.QueueBytes);
        else
            FQueueLimitNs = 100'000'000;
    }
}

int64_t PathDirection::TransmitNs(int64_t bytes) const
{
    if (FSettings.RateBitsPerSecond <= 0)
        return 0;
    return std::llround(double(bytes) * 8e9 / FSettings.RateBitsPerSecond);
}

int64_t PathDirection::BacklogBytes(int64_t nowNs) const
{
    const int64_t backlogNs = std::max<int64_t>(0, FLinkFreeNs - nowNs);
    return std::llround(double(backlogNs) * FSettings.RateBitsPerSecond / 8e9);
}

PathDirection::Fate PathDirection::Admit(int64_t nowNs, int64_t bytes, int64_t &dueNs)
{
    // A packet that would wait longer than the queue holds is dropped at its tail, as a
    // router's full buffer does.
    const int64_t waitNs = std::max<int64_t>(0, FLinkFreeNs - nowNs);
    if (FQueueLimitNs >= 0 && waitNs > 0 && waitNs + TransmitNs(bytes) > FQueueLimitNs) {
        ++QueueDrops;
        return Fate::QueueFull;
    }
    FLinkFreeNs = std::max(nowNs, FLinkFreeNs) + TransmitNs(bytes);

    // Lost on the line after the bottleneck: it took its share of the link's time.
    if (FSettings.Loss > 0 && std::uniform_real_distribution<double>(0, 1)(FRandom) < FSettings.Loss) {
        ++Lost;
        return Fate::Lost;
    }

    int64_t delay = FSettings.DelayNs;
    if (FSettings.JitterNs > 0)
        delay += std::uniform_int_distribution<int64_t>(-FSettings.JitterNs, FSettings.JitterNs)(FRandom);
    // Jitter never reorders: a packet leaves no earlier than the one before it.
    dueNs = std::max(FLinkFreeNs + std::max<int64_t>(0, delay), FLastDueNs);
    FLastDueNs = dueNs;
    ++Carried;
    CarriedBytes += bytes;
    return Fate::Carried;
}
