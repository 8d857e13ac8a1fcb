#pragma once

#include <cstdint>

// Pacing of one connection: credit in bytes, refilled from the monotonic clock at a fixed
// rate and capped, so a stalled client gets at most a short burst afterwards. It starts
// holding one block, so the block sent at once is paid for by the first interval and the
// stream, timed from its first byte to the end of its last interval, runs exactly at the rate.
class TokenBucket
{
public:
    TokenBucket() = default;
    TokenBucket(uint64_t bytesPerSecond, uint64_t blockBytes, uint64_t capacityBytes, int64_t nowNs);

    // Whole bytes that may be sent at nowNs.
    uint64_t available(int64_t nowNs);
    void take(uint64_t bytes);
    // The earliest time at which bytes will be available (nowNs or later).
    int64_t dueNs(uint64_t bytes, int64_t nowNs);

    // The time it takes to earn bytes, rounded up.
    static int64_t durationNs(uint64_t bytes, uint64_t bytesPerSecond);
    // Whole bytes earned in a time.
    static uint64_t bytesEarned(int64_t ns, uint64_t bytesPerSecond);

private:
    void refill(int64_t nowNs);

    // Credit in byte-nanoseconds (bytes x 1e9), so refills are exact integers.
    using Wide = unsigned __int128;
    Wide FCredit = 0;
    Wide FCapacity = 0;
    uint64_t FRate = 0;
    int64_t FLastNs = 0;
};
