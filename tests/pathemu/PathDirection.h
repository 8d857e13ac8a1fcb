#pragma once

#include <cstdint>
#include <random>

// One direction of an emulated path: a tail-drop queue in front of a link of a fixed rate,
// then a delay line with jitter and random loss. Times are nanoseconds of one clock.
struct PathSettings
{
    double RateBitsPerSecond = 0; // 0: no bottleneck, and no queue
    int64_t DelayNs = 0;          // one way
    int64_t JitterNs = 0;         // each packet's delay varies by up to this either way
    int64_t QueueNs = -1;         // how long a packet may wait for the link; -1: see QueueBytes
    int64_t QueueBytes = -1;      // how much may wait; both -1: 100 ms worth
    double Loss = 0;              // 0 to 1, of the packets that crossed the link
};

class PathDirection
{
public:
    enum class Fate { Carried, Lost, QueueFull };

    PathDirection(const PathSettings &settings, uint64_t seed);

    // A packet of `bytes` arrives at `nowNs`; when carried, `dueNs` is when it leaves the far
    // end. Arrivals come in time order; so do the packets' due times.
    Fate Admit(int64_t nowNs, int64_t bytes, int64_t &dueNs);

    // Bytes waiting for the link at `nowNs`, the one on it included.
    int64_t BacklogBytes(int64_t nowNs) const;

    int64_t Carried = 0;
    int64_t CarriedBytes = 0;
    int64_t Lost = 0;
    int64_t QueueDrops = 0;

private:
    int64_t TransmitNs(int64_t bytes) const;

    PathSettings FSettings;
    int64_t FQueueLimitNs = -1; // the queue as time on the link
    int64_t FLinkFreeNs = 0;    // when the link has sent all it was given
    int64_t FLastDueNs = 0;
    std::mt19937_64 FRandom;
};
