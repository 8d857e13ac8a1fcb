#include "engine/session/TransferVerdict.h"

#include <QLocale>

#include <algorithm>
#include <array>
#include <cmath>

// The rules, in the order they are tried (the first that holds decides):
//
// 1. unknown: no sender's figures, or a kernel that does not time the sender's busy and
//    limited states: nothing below can be told apart, so nothing is guessed.
// 2. receive_window, when the window explains the rate: the sender waited on the receiver's
//    window for at least WindowShare of its busy time, and the window over the round trip
//    allows no more than WindowExplains times the measured rate. The kernel counts a
//    window-limited moment only when it had data ready and the window alone stopped it;
//    past half the busy time the window decides the rate more than anything else.
//    Or when the rate fills the window: the transfer moved at least WindowFull of what the
//    receiver's window allows over the path's lowest round trip. No sender has more than a
//    window in flight, so at that rate a faster path would carry nothing more. The kernel's
//    count misses much of such a wait: a sender that holds back a partial segment until the
//    window opens wider counts as busy, so a 64 KiB window over 40 ms was counted
//    window-limited for a third of the time that it alone set the rate. The lowest round trip,
//    not the loaded one: a window that only fills once a queue has grown (a bloated path) is
//    not what limits the rate.
// 3. client_cpu: the client used at least CpuShare of one processor over the transfer. Its
//    event loop is one thread, so that is all it can do. A reader that falls behind also
//    shows as a window-limited sender, but then the window is open far beyond the rate
//    (rule 2 did not hold), so the machine, not the window's size, is the limit.
// 4. receive_window, where the window is not known: the shared rule of 2 without the check.
// 5. send_buffer: the sender waited on its own send buffer for at least BufferShare of its
//    busy time, for the same reason as 2.
// 6. application: the sender was busy (had data queued or in flight) for less than BusyMin
//    of the transfer's time: for the rest it had nothing to send. A paced server, a slow disk
//    or a busy server process all look like this; a saturated path never lets the sender's
//    queue run dry. Over a long round trip a paced sender always has data in flight, so it
//    counts as busy: then a paced korvane-server's own time waiting on its pace counts as
//    idle, and the kernel's own flag decides, sampled in each report (it marks a
//    delivery of data sent while nothing more was queued and the congestion window had
//    room). At least AppLimitedMin of the samples so marked is application too.
// 7. loss: at least LossShare of the bytes were sent again, while the round trip grew by
//    less than QueueGrowthUs under the load. A
//    bottleneck that drops because its queue is full (a shaper, a router's tail drop) lets
//    the queue grow first: the round trip rises by the queue's depth before each drop, and
//    those drops are how TCP finds the path's rate. Drops without a grown queue come from
//    something else (a bad line, radio, a policer) and cost rate of their own. A queue that
//    drops when it holds less than 2 ms of data is shallow enough to read as loss; at such a
//    queue the two are hard to tell apart anyway. Over a long round trip the bar is a quarter
//    of the idle round trip (QueueGrowthShare) when that is more: a sender probing for more
//    rate (BBR sends at 1.25 times its estimate for one round trip in eight) raises the queue
//    by up to that much without ever filling it, and a queue shallower than that drops as
//    a bad line does. Half a per cent resent is already much: random loss of 1 % held cubic
//    to 5 Mbit/s over 40 ms on a 100 Mbit/s path, and counted only 0.8 % of its bytes resent.
//    And the drops must go on: at least LateLossShare of the retransmits in the run's second
//    half, where the reports tell. A sender that overshoots at its start drops a burst at a
//    full queue once (BBR's start-up) and then keeps the queue short; at half a per cent
//    over a short run, that burst alone would read as loss.
// 8. path: none of the above; the measured rate is the bottleneck's, with the round trip and
//    how much the queue grew.
//
// Queue growth is the loaded minus the idle latency where a latency test ran (a separate
// probe sees the same queue), otherwise the sender's loaded smoothed round trip minus its
// lowest.

namespace {

// Line rates people buy, in bytes per second: advice names the first one well above what
// the window allows.
constexpr std::array<double, 6> kLineRates = {10e6 / 8, 100e6 / 8, 1e9 / 8, 10e9 / 8, 100e9 / 8, 400e9 / 8};

double share(int64_t part, int64_t whole)
{
    if (whole <= 0)
        return -1;
    return std::clamp(double(part) / double(whole), 0.0, 1.0);
}

QString oneDecimal(double v)
{
    return QLocale::system().toString(v, 'f', v < 100 ? 1 : 0);
}

} // namespace

namespace VerdictText {

QString bytes(double b)
{
    if (b >= 1024.0 * 1024 * 1024)
        return oneDecimal(b / (1024.0 * 1024 * 1024)) + QStringLiteral(" GiB");
    if (b >= 1024.0 * 1024)
        return oneDecimal(b / (1024.0 * 1024)) + QStringLiteral(" MiB");
    if (b >= 1024.0)
        return QLocale::system().toString(b / 1024.0, 'f', 0) + QStringLiteral(" KiB");
    return QLocale::system().toString(qint64(b)) + QStringLiteral(" bytes");
}

QString rate(double bps)
{
    if (bps >= 1e9)
        return oneDecimal(bps / 1e9) + QStringLiteral(" GB/s");
    if (bps >= 1e6)
        return oneDecimal(bps / 1e6) + QStringLiteral(" MB/s");
    return oneDecimal(bps / 1e3) + QStringLiteral(" kB/s");
}

QString bits(double bps)
{
    const double b = bps * 8;
    if (b >= 1e9)
        return oneDecimal(b / 1e9) + QStringLiteral(" Gbit/s");
    if (b >= 1e6)
        return oneDecimal(b / 1e6) + QStringLiteral(" Mbit/s");
    return oneDecimal(b / 1e3) + QStringLiteral(" kbit/s");
}

QString millis(int64_t us)
{
    const double ms = double(us) / 1000.0;
    return QLocale::system().toString(ms, 'f', ms < 1 ? 2 : ms < 10 ? 1 : 0) + QStringLiteral(" ms");
}

QString percent(double s)
{
    return QLocale::system().toString(s * 100, 'f', 0) + QStringLiteral(" %");
}

} // namespace VerdictText

QString TVerdict::LimitName(TLimit limit)
{
    switch (limit) {
    case TLimit::ReceiveWindow:
        return QStringLiteral("receive_window");
    case TLimit::SendBuffer:
        return QStringLiteral("send_buffer");
    case TLimit::Application:
        return QStringLiteral("application");
    case TLimit::Loss:
        return QStringLiteral("loss");
    case TLimit::Path:
        return QStringLiteral("path");
    case TLimit::ClientCpu:
        return QStringLiteral("client_cpu");
    case TLimit::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

bool TVerdict::LimitFromName(const QString &name, TLimit &limit)
{
    for (TLimit l : {TLimit::ReceiveWindow, TLimit::SendBuffer, TLimit::Application, TLimit::Loss, TLimit::Path,
                     TLimit::ClientCpu, TLimit::Unknown}) {
        if (LimitName(l) == name) {
            limit = l;
            return true;
        }
    }
    return false;
}

TVerdict TVerdict::Decide(const TVerdictInput &in)
{
    using namespace VerdictText;
    TVerdict v;
    const int streams = std::max(1, in.Streams);
    v.RateBps = in.DurationUs > 0 ? double(in.Bytes) * 1e6 / double(in.DurationUs) : 0;
    v.RttUs = in.RttUs;
    v.WindowBytes = in.WindowBytes;
    if (in.ClientCpuUs >= 0 && in.ClientWallUs > 0)
        v.ClientCpuShare = double(in.ClientCpuUs) / double(in.ClientWallUs);
    const QString sender = in.Upload ? QStringLiteral("this machine") : QStringLiteral("the server");

    if (in.Bytes <= 0 || in.DurationUs <= 0) {
        v.Text = QStringLiteral("What limited the transfer is not known: nothing was transferred.");
        return v;
    }
    if (!in.SenderKnown) {
        v.Text = QStringLiteral("What limited the transfer is not known: the sender's figures are missing.");
        return v;
    }
    if (!in.SenderTimesKnown) {
        v.Text = QStringLiteral("What limited the transfer is not known: the sender's kernel does not say how "
                                "long it was busy or held back.");
        return v;
    }

    v.RwndShare = share(in.RwndLimitedUs, in.BusyUs);
    v.SndbufShare = share(in.SndbufLimitedUs, in.BusyUs);
    v.BusyShare = share(in.BusyUs, in.DurationUs * streams);
    // Time waiting on its own pace is time with nothing to send, whatever was in flight.
    if (in.PacedUs > 0)
        v.BusyShare = std::min(v.BusyShare, 1.0 - share(in.PacedUs, in.DurationUs * streams));
    v.AppLimitedShare = share(in.AppLimitedSamples, in.RateSamples);
    const int64_t sent = in.SentBytes > 0 ? in.SentBytes : in.Bytes;
    if (in.MssBytes > 0)
        v.RetransmitShare = share(in.Retransmits * in.MssBytes, sent);
    if (in.IdleLatencyMs && in.LoadedLatencyMs)
        v.QueueDelayUs = std::max<int64_t>(0, std::llround((*in.LoadedLatencyMs - *in.IdleLatencyMs) * 1000));
    else if (in.RttUs > 0 && in.MinRttUs > 0)
        v.QueueDelayUs = std::max<int64_t>(0, in.RttUs - in.MinRttUs);
    if (in.WindowBytes > 0 && in.RttUs > 0) {
        // One window per round trip and stream.
        v.WindowRateBps = double(in.WindowBytes) * streams * 1e6 / double(in.RttUs);
        v.TargetRateBps = kLineRates.back();
        for (double r : kLineRates) {
            if (r >= 2 * v.WindowRateBps) {
                v.TargetRateBps = r;
                break;
            }
        }
        v.NeededWindowBytes = std::llround(v.TargetRateBps * double(in.RttUs) / 1e6 / streams);
    }

    const bool windowWaits = v.RwndShare >= WindowShare;
    const bool windowExplains = v.WindowRateBps > 0 && v.WindowRateBps <= WindowExplains * v.RateBps;
    const int64_t baseRttUs = in.MinRttUs > 0 ? in.MinRttUs : in.RttUs;
    const bool windowFilled = in.WindowBytes > 0 && baseRttUs > 0
                              && v.RateBps >= WindowFull * double(in.WindowBytes) * streams * 1e6 / double(baseRttUs);
    auto windowVerdict = [&] {
        v.Limit = TLimit::ReceiveWindow;
        if (v.WindowRateBps > 0) {
            v.Text = QStringLiteral("Limited by the receive window: %1 at %2 RTT allows %3; the path could carry more. "
                                    "A window of %4 would allow %5.")
                         .arg(bytes(double(in.WindowBytes)), millis(in.RttUs), rate(v.WindowRateBps),
                              bytes(double(v.NeededWindowBytes)), bits(v.TargetRateBps));
        } else {
            v.Text = QStringLiteral("Limited by the receive window: the sender waited on it for %1 of its busy time; "
                                    "the path could carry more.")
                         .arg(percent(v.RwndShare));
        }
    };

    if ((windowWaits && windowExplains) || windowFilled) {
        windowVerdict();
        return v;
    }
    if (v.ClientCpuShare >= CpuShare) {
        v.Limit = TLimit::ClientCpu;
        v.Text = QStringLiteral("Limited by this machine: the client used %1 of a processor over the test, "
                                "at %2.")
                     .arg(percent(v.ClientCpuShare), rate(v.RateBps));
        return v;
    }
    if (windowWaits) {
        windowVerdict();
        return v;
    }
    if (v.SndbufShare >= BufferShare) {
        v.Limit = TLimit::SendBuffer;
        v.Text = QStringLiteral("Limited by the sender's buffer: %1 waited on its send buffer for %2 of its busy "
                                "time; the path could carry more.")
                     .arg(sender, percent(v.SndbufShare));
        return v;
    }
    if (v.BusyShare >= 0 && v.BusyShare < BusyMin) {
        v.Limit = TLimit::Application;
        v.Text = QStringLiteral("Limited by the sender: %1 had nothing to send for %2 of the test (paced, or not "
                                "keeping up); the path could carry more.")
                     .arg(sender, percent(1 - v.BusyShare));
        return v;
    }
    if (v.AppLimitedShare >= AppLimitedMin) {
        v.Limit = TLimit::Application;
        v.Text = QStringLiteral("Limited by the sender: %1 had nothing more to send in %2 of its samples (paced, "
                                "or not keeping up); the path could carry more.")
                     .arg(sender, percent(v.AppLimitedShare));
        return v;
    }
    // The base round trip the queue grew over: the idle probes', else the sender's lowest.
    const int64_t idleUs = in.IdleLatencyMs ? std::llround(*in.IdleLatencyMs * 1000) : baseRttUs;
    const bool queueGrew =
        v.QueueDelayUs >= std::max<int64_t>(QueueGrowthUs, std::llround(QueueGrowthShare * double(idleUs)));
    // Random drops go on all along; a sender's overshoot at its start (BBR's fills a queue
    // once, then keeps it short) is over by the second half.
    const bool dropsLast = in.LateRetransmitShare < 0 || in.LateRetransmitShare >= LateLossShare;
    if (v.RetransmitShare >= LossShare && !queueGrew && dropsLast) {
        v.Limit = TLimit::Loss;
        v.Text = QStringLiteral("Limited by loss: %1 of the data was sent again while the queue grew by only %2, "
                                "so the drops were not a full queue's.")
                     .arg(percent(v.RetransmitShare), millis(std::max<int64_t>(0, v.QueueDelayUs)));
        return v;
    }
    v.Limit = TLimit::Path;
    QString queue;
    if (v.QueueDelayUs < 0)
        queue = QStringLiteral("how much its queue grew is not known");
    else if (queueGrew)
        queue = QStringLiteral("its queue grew by %1 under the load").arg(millis(v.QueueDelayUs));
    else
        queue = QStringLiteral("its queue did not grow");
    v.Text = QStringLiteral("Limited by the path: its bottleneck carries %1 at %2 RTT; %3.")
                 .arg(bits(v.RateBps), millis(in.MinRttUs > 0 ? in.MinRttUs : in.RttUs), queue);
    return v;
}
