#include "tools/korvane-server/TokenBucket.h"

#include <algorithm>

namespace {
constexpr uint64_t kNsPerSecond = 1000000000;
}

TokenBucket::TokenBucket(uint64_t bytesPerSecond, uint64_t blockBytes, uint64_t capacityBytes, int64_t nowNs)
    : FCredit(Wide(blockBytes) * kNsPerSecond)
    , FCapacity(Wide(std::max(capacityBytes, blockBytes)) * kNsPerSecond)
    , FRate(bytesPerSecond)
    , FLastNs(nowNs)
{
}

void TokenBucket::refill(int64_t nowNs)
{
    if (nowNs <= FLastNs)
        return;
    FCredit = std::min(FCapacity, FCredit + Wide(uint64_t(nowNs - FLastNs)) * FRate);
    FLastNs = nowNs;
}

uint64_t TokenBucket::available(int64_t nowNs)
{
    refill(nowNs);
    return uint64_t(FCredit / kNsPerSecond);
}

void TokenBucket::take(uint64_t bytes)
{
    const Wide cost = Wide(bytes) * kNsPerSecond;
    FCredit = cost < FCredit ? FCredit - cost : 0;
}

int64_t TokenBucket::dueNs(uint64_t bytes, int64_t nowNs)
{
    refill(nowNs);
    const Wide needed = Wide(bytes) * kNsPerSecond;
    if (FCredit >= needed || FRate == 0)
        return nowNs;
    const Wide waitNs = (needed - FCredit + FRate - 1) / FRate;
    return waitNs > Wide(INT64_MAX - nowNs) ? INT64_MAX : nowNs + int64_t(waitNs);
}

int64_t TokenBucket::durationNs(uint64_t bytes, uint64_t bytesPerSecond)
{
    if (bytesPerSecond == 0)
        return 0;
    const Wide ns = (Wide(bytes) * kNsPerSecond + bytesPerSecond - 1) / bytesPerSecond;
    return ns > Wide(INT64_MAX) ? INT64_MAX : int64_t(ns);
}

uint64_t TokenBucket::bytesEarned(int64_t ns, uint64_t bytesPerSecond)
{
    if (ns <= 0)
        return 0;
    const Wide bytes = Wide(uint64_t(ns)) * bytesPerSecond / kNsPerSecond;
    return bytes > Wide(UINT64_MAX) ? UINT64_MAX : uint64_t(bytes);
}
