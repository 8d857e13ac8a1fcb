#pragma once

#include <cstdint>

// Source of the stopwatch's ticks. The system one is monotonic in nanoseconds; tests swap
// in a counter they drive themselves.
class PerformanceCounter
{
public:
    virtual ~PerformanceCounter() = default;

    // Ticks per second; throws Exception when it cannot be queried.
    virtual int64_t Frequency() = 0;
    // Current tick count; throws Exception when it cannot be read.
    virtual int64_t Read() = 0;

    // The process-wide monotonic clock (CLOCK_MONOTONIC, 1e9 ticks per second).
    static PerformanceCounter &system();
};
