#include "engine/stream/THiresTimer.h"

#include "engine/KorvaneException.h"
#include "engine/stream/PerformanceCounter.h"

#include <limits>

THiresTimer::THiresTimer(PerformanceCounter *counter)
    : FCounter(counter ? counter : &PerformanceCounter::system())
{
    FQryFrequency = FCounter->Frequency();
    if (FQryFrequency <= 0)
        throw Exception(QStringLiteral("Invalid performance counter frequency %1").arg(FQryFrequency));
}

void THiresTimer::setCounter(PerformanceCounter *counter)
{
    PerformanceCounter *next = counter ? counter : &PerformanceCounter::system();
    const int64_t frequency = next->Frequency();
    if (frequency <= 0)
        throw Exception(QStringLiteral("Invalid performance counter frequency %1").arg(frequency));
    FCounter = next;
    FQryFrequency = frequency;
    FStartTime = 0;
}

void THiresTimer::Start()
{
    FStartTime = ReadCounter();
}

int64_t THiresTimer::Lap()
{
    if (FStartTime <= 0)
        return 0;
    return ElapsedSince(ReadCounter());
}

int64_t THiresTimer::Stop()
{
    if (FStartTime <= 0)
        return 0;
    const int64_t result = ElapsedSince(ReadCounter());
    FStartTime = 0;
    return result;
}

int64_t THiresTimer::ReadCounter()
{
    try {
        return FCounter->Read();
    } catch (...) {
        FStartTime = 0;
        throw;
    }
}

int64_t THiresTimer::ElapsedSince(int64_t now) const
{
    // Formed in 128 bits so that long intervals or fast counters never overflow.
    const __int128 product = (__int128(now) - FStartTime) * __int128(FTimeResolution);
    const __int128 result = product / FQryFrequency;
    if (result > std::numeric_limits<int64_t>::max())
        return std::numeric_limits<int64_t>::max();
    if (result < std::numeric_limits<int64_t>::min())
        return std::numeric_limits<int64_t>::min();
    return int64_t(result);
}
