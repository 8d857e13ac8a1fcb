#pragma once

#include <cstdint>
#include <functional>

// How far a running test has come, sampled on a timer while data arrives.
struct TTestProgress
{
    // Bytes received so far: the stream's bytes, or the web page body's bytes as they
    // arrive on the wire (the final result counts the page's characters).
    int64_t BytesSoFar = 0;
    // Microseconds since the test's timer started.
    int64_t ElapsedUs = 0;
    // Bytes and microseconds since the previous report (or since the timer started).
    int64_t IntervalBytes = 0;
    int64_t IntervalUs = 0;
    // KB (1024 bytes) per second over that interval.
    double IntervalRate = 0;
    // The length the web server announced for the body; -1 when unknown.
    int64_t ExpectedBytes = -1;
};

using TProgressEvent = std::function<void(const TTestProgress &Progress)>;
