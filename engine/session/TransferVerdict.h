#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// What held a transfer back, as one of a few plain answers.
enum class TLimit : uint8_t { ReceiveWindow, SendBuffer, Application, Loss, Path, ClientCpu, Unknown };

// Everything the verdict is decided from. Times and amounts of the sending side are summed
// over the streams, so that shares are shares of all streams' time together.
struct TVerdictInput
{
    bool Upload = false; // the client is the sender
    int Streams = 1;

    // The transfer as measured.
    int64_t Bytes = 0;
    int64_t DurationUs = 0;

    // The sending side's TCP_INFO, summed over streams; false when it is not known at all.
    bool SenderKnown = false;
    // False when the sender's kernel does not time its busy and limited states (before 4.10).
    bool SenderTimesKnown = true;
    int64_t BusyUs = 0;
    int64_t RwndLimitedUs = 0;
    int64_t SndbufLimitedUs = 0;
    int64_t PacedUs = 0;     // the sender held back by its own pace (a paced korvane-server says)
    int64_t Retransmits = 0; // segments
    int64_t MssBytes = 0;    // 0: not known
    int64_t SentBytes = 0;   // what the sender handed to the network, 0: take Bytes
    // The sender's smoothed round trip while loaded (a middle sample of the run) and the
    // lowest it saw.
    int64_t RttUs = 0;
    int64_t MinRttUs = 0;
    // The sender's figures sampled during the run (a stream's in each report): how many, and
    // in how many its last delivery was of data sent with nothing more queued.
    int RateSamples = 0;
    int AppLimitedSamples = 0;
    // The share of the retransmits that came in the run's second half; -1: not known.
    double LateRetransmitShare = -1;

    // The receiving side: its window in bytes (0: not known), and the buffer the user asked
    // for (0: the kernel's own sizing).
    int64_t WindowBytes = 0;
    int64_t RequestedWindow = 0;

    // Round trips measured beside the load, when a latency test ran.
    std::optional<double> IdleLatencyMs;
    std::optional<double> LoadedLatencyMs;

    // The client's own processor time over the transfer; -1: not measured.
    int64_t ClientCpuUs = -1;
    int64_t ClientWallUs = 0;
};

struct TVerdict
{
    TLimit Limit = TLimit::Unknown;
    QString Text; // one sentence, or two, for a person

    // The figures the verdict was decided on; shares are 0 to 1, -1 where not known.
    double RwndShare = -1;        // of the sender's busy time
    double SndbufShare = -1;      // of the sender's busy time
    double BusyShare = -1;        // of the transfer's time, per stream
    double AppLimitedShare = -1;  // of the sender's samples
    double RetransmitShare = -1;  // of the bytes sent
    double ClientCpuShare = -1;   // of one processor over the wall time
    int64_t RttUs = 0;
    int64_t QueueDelayUs = -1;    // how much the round trip grew under the load
    int64_t WindowBytes = 0;
    double WindowRateBps = 0;     // bytes per second the window allows at the round trip
    double RateBps = 0;           // bytes per second measured
    double TargetRateBps = 0;     // a line rate above what the window allows
    int64_t NeededWindowBytes = 0; // the window that would carry TargetRateBps

    static TVerdict Decide(const TVerdictInput &in);

    // receive_window, send_buffer, application, loss, path, client_cpu, unknown
    static QString LimitName(TLimit limit);
    static bool LimitFromName(const QString &name, TLimit &limit);

    // Thresholds, each with its reason in the .cpp.
    static constexpr double WindowShare = 0.5;
    static constexpr double BufferShare = 0.5;
    static constexpr double BusyMin = 0.8;
    static constexpr double AppLimitedMin = 0.5;
    static constexpr double LossShare = 0.005;
    static constexpr double LateLossShare = 0.2;
    static constexpr int64_t QueueGrowthUs = 2000;
    static constexpr double QueueGrowthShare = 0.25;
    static constexpr double CpuShare = 0.9;
    static constexpr double WindowExplains = 2.0;
    static constexpr double WindowFull = 0.8;
};

// Text helpers shared by the verdict and the tuning advice.
namespace VerdictText {
QString bytes(double bytes);          // "256 KiB", "6.0 MiB"
QString rate(double bytesPerSecond);  // "6.1 MB/s"
QString bits(double bytesPerSecond);  // "19.1 Mbit/s"
QString millis(int64_t us);           // "42 ms", "0.04 ms"
QString percent(double share);        // "73 %"
} // namespace VerdictText
