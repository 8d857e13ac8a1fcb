#pragma once

#include <cstdint>

class PerformanceCounter;

// Stopwatch over a monotonic counter, returning whole result units (TimeResolution per second).
class THiresTimer
{
public:
    // counter: the tick source, not owned; the system's monotonic clock when null.
    explicit THiresTimer(PerformanceCounter *counter = nullptr);

    int64_t QryFrequency() const { return FQryFrequency; }
    uint32_t TimeResolution() const { return FTimeResolution; }
    void setTimeResolution(uint32_t value) { FTimeResolution = value; }

    void Start();
    int64_t Lap();
    int64_t Stop();
    bool Running() const { return FStartTime > 0; }

    // Swaps the tick source (tests); stops the stopwatch and re-reads the frequency.
    void setCounter(PerformanceCounter *counter);

private:
    int64_t ReadCounter();
    int64_t ElapsedSince(int64_t now) const;

    PerformanceCounter *FCounter;
    int64_t FQryFrequency = 0;
    int64_t FStartTime = 0;
    uint32_t FTimeResolution = 0;
};
