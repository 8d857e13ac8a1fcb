#include "engine/session/SessionFigures.h"

#include "engine/DateTimeSerial.h"
#include "engine/session/SessionClock.h"
#include "engine/session/SessionDataStreams.h"

#include <QDateTime>

#include <algorithm>

#include <sys/resource.h>

namespace {

// The processor time of this whole process, user and system.
int64_t processCpuUs()
{
    rusage u{};
    if (::getrusage(RUSAGE_SELF, &u) != 0)
        return -1;
    return (int64_t(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000000 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

int64_t median(std::vector<int64_t> v)
{
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
    return v[v.size() / 2];
}

double rateKBps(int64_t bytes, int64_t us)
{
    if (bytes <= 0 || us <= 0)
        return 0.0;
    return double((long double)bytes / 1024 / us * 1000000);
}

TSessionTcpFigures fromWire(const SessionTcpFigures &w)
{
    TSessionTcpFigures t;
    t.RttUs = int64_t(w.RttUs);
    t.MinRttUs = int64_t(w.MinRttUs);
    t.Retransmits = int64_t(w.Retransmits);
    t.CwndBytes = int64_t(w.CwndBytes);
    t.DeliveryRateBps = int64_t(w.DeliveryRateBps);
    t.BusyUs = int64_t(w.BusyUs);
    t.RwndLimitedUs = int64_t(w.RwndLimitedUs);
    t.SndbufLimitedUs = int64_t(w.SndbufLimitedUs);
    t.RcvSpace = int64_t(w.RcvSpace);
    t.RcvRttUs = int64_t(w.RcvRttUs);
    t.AppLimited = w.AppLimited != 0;
    return t;
}

} // namespace

void SessionFigures::beginDirection(TSessionDirection direction, int64_t earlyFirstUs)
{
    direction_ = direction;
    summary_ = {};
    firstByteUs_ = -1;
    earlyFirstUs_ = earlyFirstUs;
    startTime_ = -1.0;
    serverElapsedUs_ = 0;
    senderRttSamples_.clear();
    rateSamples_ = 0;
    appLimitedSamples_ = 0;
    retransmitSamples_.clear();
    cpuStartUs_ = processCpuUs();
    cpuWallStartUs_ = SessionNowUs();
}

bool SessionFigures::downloadPayload(int64_t seenUs, int64_t nowUs)
{
    if (firstByteUs_ >= 0)
        return false;
    firstByteUs_ = earlyFirstUs_ >= 0 ? std::min(earlyFirstUs_, seenUs) : seenUs;
    startTime_ = DateTimeSerial::fromDateTime(QDateTime::currentDateTime().addMSecs(-(nowUs - firstByteUs_) / 1000));
    return true;
}

void SessionFigures::uploadStarted()
{
    startTime_ = DateTimeSerial::fromDateTime(QDateTime::currentDateTime());
}

void SessionFigures::takeReport(const SessionReport &m, SessionDataStreams &streams)
{
    serverElapsedUs_ = int64_t(m.elapsedUs);
    for (const SessionStreamFigures &f : m.streams) {
        if (SessionStream *s = streams.forWire(int(f.stream), direction_)) {
            s->serverBytes = int64_t(f.bytes);
            s->tcp = fromWire(f.tcp);
            s->pacedUs = int64_t(f.pacedUs);
        }
    }
    // The sender's round trip while loaded: the server's in a download, ours in an upload.
    int64_t rtt = 0;
    int64_t retransmits = 0;
    for (SessionStream &s : streams.all()) {
        if (s.direction != direction_)
            continue;
        if (direction_ == TSessionDirection::Upload && s.fd >= 0 && !s.finished)
            TSocketTcpInfo::Read(s.fd, s.own);
        const bool download = direction_ == TSessionDirection::Download;
        rtt = std::max(rtt, download ? s.tcp.RttUs : s.own.RttUs);
        retransmits += download ? s.tcp.Retransmits : s.own.Retransmits;
        // Whether the sender had nothing queued, where its kernel says (it has a delivery rate).
        if (download ? s.tcp.DeliveryRateBps > 0 : s.own.DeliveryRateBps > 0) {
            ++rateSamples_;
            appLimitedSamples_ += download ? s.tcp.AppLimited : s.own.AppLimited;
        }
    }
    if (rtt > 0)
        senderRttSamples_.push_back(rtt);
    retransmitSamples_.push_back(retransmits);
}

void SessionFigures::restartProgress()
{
    progressBytes_ = 0;
    progressUs_ = 0;
    progressRetransmits_ = 0;
}

bool SessionFigures::sampleProgress(const std::vector<SessionStream> &streams, TSessionProgress &p)
{
    p = {};
    p.Direction = direction_;
    std::vector<TSessionTcpFigures> tcps;
    for (const SessionStream &s : streams) {
        if (s.direction != direction_)
            continue;
        TSessionStreamFigures f;
        f.Stream = int(tcps.size());
        f.Bytes = direction_ == TSessionDirection::Download ? s.bytes : s.serverBytes;
        f.Tcp = s.tcp;
        p.BytesSoFar += f.Bytes;
        p.Streams.push_back(f);
        tcps.push_back(s.tcp);
    }
    // An upload is seen through the server's reports: its bytes over its time.
    p.ElapsedUs = direction_ == TSessionDirection::Download ? SessionNowUs() - firstByteUs_ : serverElapsedUs_;
    if (p.ElapsedUs <= progressUs_)
        return false; // nothing new from the server yet
    p.Tcp = TSessionTcpFigures::Aggregate(tcps);
    p.IntervalBytes = p.BytesSoFar - progressBytes_;
    p.IntervalUs = p.ElapsedUs - progressUs_;
    p.IntervalRate = rateKBps(p.IntervalBytes, p.IntervalUs);
    p.IntervalRetransmits = std::max<int64_t>(0, p.Tcp.Retransmits - progressRetransmits_);
    progressBytes_ = p.BytesSoFar;
    progressUs_ = p.ElapsedUs;
    progressRetransmits_ = p.Tcp.Retransmits;
    return true;
}

TSessionResult SessionFigures::result(SessionDataStreams &streams, int64_t lastUs, const TSessionRequest &request,
                                      const QString &family)
{
    for (const SessionStreamFigures &f : summary_.streams) {
        if (SessionStream *s = streams.forWire(int(f.stream), direction_)) {
            s->serverBytes = int64_t(f.bytes);
            s->serverDurationUs = int64_t(f.durationUs);
            s->tcp = fromWire(f.tcp);
            s->pacedUs = int64_t(f.pacedUs);
        }
    }

    if (direction_ == TSessionDirection::Upload) {
        for (SessionStream &s : streams.all()) {
            if (s.direction == direction_ && s.fd >= 0)
                TSocketTcpInfo::Read(s.fd, s.own);
        }
    }

    TSessionResult r;
    r.Direction = direction_;
    r.Streams = request.Streams;
    r.StartTime = startTime_;
    r.Family = family;
    r.ServerBytes = int64_t(summary_.bytes);
    r.ServerDurationUs = int64_t(summary_.durationUs);
    std::vector<TSessionTcpFigures> tcps;
    for (const SessionStream &s : streams.all()) {
        if (s.direction != direction_)
            continue;
        TSessionStreamFigures f;
        f.Stream = int(tcps.size());
        f.Tcp = s.tcp;
        if (direction_ == TSessionDirection::Download) {
            f.Bytes = s.bytes;
            f.DurationUs = s.firstUs >= 0 ? s.lastUs - s.firstUs : 0;
        } else {
            f.Bytes = s.serverBytes;
            f.DurationUs = s.serverDurationUs;
        }
        f.Rate = rateKBps(f.Bytes, f.DurationUs);
        tcps.push_back(s.tcp);
        r.PerStream.push_back(f);
    }
    r.Tcp = TSessionTcpFigures::Aggregate(tcps);
    if (direction_ == TSessionDirection::Download) {
        for (const TSessionStreamFigures &f : r.PerStream)
            r.Bytes += f.Bytes;
        r.DurationUs = firstByteUs_ >= 0 ? lastUs - firstByteUs_ : 0;
    } else {
        // What the server received over its own span, not what left this machine.
        r.Bytes = int64_t(summary_.bytes);
        r.DurationUs = int64_t(summary_.durationUs);
    }
    r.Rate = rateKBps(r.Bytes, r.DurationUs);
    r.Valid = r.Bytes > 0 && r.DurationUs > 0;
    if (!r.Valid)
        r.Error = QStringLiteral("No data was transferred");
    r.VerdictInput = verdictInput(streams.all(), r, request);
    r.Verdict = TVerdict::Decide(r.VerdictInput);
    return r;
}

TVerdictInput SessionFigures::verdictInput(const std::vector<SessionStream> &streams, const TSessionResult &r,
                                           const TSessionRequest &request) const
{
    TVerdictInput in;
    in.Upload = direction_ == TSessionDirection::Upload;
    in.Streams = request.Streams;
    in.Bytes = r.Bytes;
    in.DurationUs = r.DurationUs;
    in.RequestedWindow = request.Window;
    int64_t minRtt = 0;
    int64_t lastRtt = 0;
    bool times = false;
    for (const SessionStream &s : streams) {
        if (s.direction != direction_)
            continue;
        if (in.Upload) {
            const TSocketTcpInfo &t = s.own;
            in.SenderKnown = in.SenderKnown || t.RttUs > 0 || t.BusyUs > 0;
            times = times || t.HasSenderTimes;
            in.BusyUs += t.BusyUs;
            in.RwndLimitedUs += t.RwndLimitedUs;
            in.SndbufLimitedUs += t.SndbufLimitedUs;
            in.Retransmits += t.Retransmits;
            in.SentBytes += t.BytesSent;
            in.MssBytes = std::max(in.MssBytes, t.SndMss);
            in.WindowBytes = std::max(in.WindowBytes, t.SndWnd);
            lastRtt = std::max(lastRtt, t.RttUs);
            if (t.MinRttUs > 0 && (minRtt == 0 || t.MinRttUs < minRtt))
                minRtt = t.MinRttUs;
        } else {
            const TSessionTcpFigures &t = s.tcp;
            in.SenderKnown = in.SenderKnown || t.RttUs > 0 || t.BusyUs > 0;
            // The server sends 0 for a field its kernel lacks; the delivery rate came one
            // release before the busy and limited times, so a kernel with neither has none.
            times = times || t.BusyUs > 0 || t.RwndLimitedUs > 0 || t.SndbufLimitedUs > 0 || t.DeliveryRateBps > 0;
            in.BusyUs += t.BusyUs;
            in.RwndLimitedUs += t.RwndLimitedUs;
            in.SndbufLimitedUs += t.SndbufLimitedUs;
            in.PacedUs += s.pacedUs;
            in.Retransmits += t.Retransmits;
            in.MssBytes = std::max(in.MssBytes, s.own.RcvMss);
            // The kernel keeps about half the buffer for its bookkeeping.
            in.WindowBytes = std::max(in.WindowBytes, s.own.RcvBuf / 2);
            lastRtt = std::max(lastRtt, t.RttUs);
            if (t.MinRttUs > 0 && (minRtt == 0 || t.MinRttUs < minRtt))
                minRtt = t.MinRttUs;
        }
    }
    if (!in.Upload)
        in.SentBytes = r.ServerBytes;
    in.SenderTimesKnown = times;
    in.RttUs = senderRttSamples_.empty() ? lastRtt : median(senderRttSamples_);
    in.MinRttUs = minRtt;
    // How many of the retransmits came in the second half of the reports.
    if (retransmitSamples_.size() >= 4 && retransmitSamples_.back() > 0) {
        const int64_t total = retransmitSamples_.back();
        const int64_t half = retransmitSamples_[retransmitSamples_.size() / 2 - 1];
        in.LateRetransmitShare = double(total - half) / double(total);
    }
    in.RateSamples = rateSamples_;
    in.AppLimitedSamples = appLimitedSamples_;
    if (cpuStartUs_ >= 0) {
        const int64_t cpu = processCpuUs();
        if (cpu >= 0) {
            in.ClientCpuUs = cpu - cpuStartUs_;
            in.ClientWallUs = SessionNowUs() - cpuWallStartUs_;
        }
    }
    return in;
}
