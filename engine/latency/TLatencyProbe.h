#pragma once

#include "engine/latency/LatencyFigures.h"
#include "engine/net/TcpConnect.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// Measures latency beside a test: idle probes before the load, then a probe every interval
// while it runs. A foreign probe is a new TCP connection, timed from connect to established and
// closed at once, so it never waits behind the test's data in this program's own queues. Self
// probes (round trips on the loaded session's control connection) are sent through SelfSender
// and answered through SelfReply. Runs on the event loop of its thread and never blocks it.
class TLatencyProbe : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultIdleProbes = 10;
    static constexpr int DefaultIntervalMs = 100;
    static constexpr int TimeoutMs = 2000; // an unanswered probe counts as this long
    // Probes may use at most this share of the test's bytes.
    static constexpr double MaxShare = 0.05;
    // What one probe costs on the wire, on the generous side: a connect probe's handshake,
    // close and the server's greeting (about 11 packets), an echo's line each way with headers.
    static constexpr int64_t ProbeBytes = 800;
    static constexpr int64_t EchoBytes = 200;

    explicit TLatencyProbe(QObject *parent = nullptr);
    ~TLatencyProbe() override;

    // host is looked up once, off the event loop, before the first probe; an IPv6 address
    // may be in brackets. Probes use the family a test would reach first.
    void setTarget(const QString &Host, int Port, TIpVersion Version = TIpVersion::Automatic);
    void setIntervalMs(int Milliseconds);
    int IntervalMs() const;
    // Sends one self probe with this id; empty: no self probes.
    void setSelfSender(std::function<void(uint64_t Id)> Sender);

    // Idle probes one after another, about an interval apart; IdleDone follows.
    void StartIdle(int Count = DefaultIdleProbes);
    // Probes every interval until StopLoaded, with the loaded figures of any earlier load
    // dropped (the idle ones stay, for the next direction of a session).
    void StartLoaded();
    // The load is over: probes still in flight are dropped, uncounted, as what they would
    // measure from now on is no longer the loaded link.
    void StopLoaded();
    // The bytes the test has moved so far, to keep the probes within their share.
    void setTestBytes(int64_t Bytes);
    // A round trip seen on the loaded session (the sender's smoothed rtt, for one).
    void AddSelfSample(double Ms);
    void SelfReply(uint64_t Id);

    // The median of the probes answered since the last call; -1 when none.
    double TakeIntervalMs();
    LatencyFigures Figures() const;
    // Why probes could not run (the lookup failed, every probe was refused); empty when fine.
    QString ErrorText() const;
    // What the probes have cost on the wire, by the estimates above.
    int64_t ProbeBytesSent() const;
    int LoadedProbeCount() const;

signals:
    void IdleDone();
    // One answered (or timed out) probe.
    void Sample(double Ms, bool Loaded);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
