#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>

#include "engine/net/TcpConnect.h"
#include <QString>

#include "engine/session/TransferVerdict.h"

#include <cstdint>
#include <memory>
#include <vector>

// Which way the payload flows, seen from the client.
enum class TSessionDirection : uint8_t { Download, Upload };

// The sending side's TCP figures of one data connection as the server reports them (for an
// upload the server is the receiver and reports its receiver figures). 0 where the kernel
// lacks a field.
struct TSessionTcpFigures
{
    int64_t RttUs = 0;
    int64_t MinRttUs = 0;
    int64_t Retransmits = 0; // total over the connection's life
    int64_t CwndBytes = 0;
    int64_t DeliveryRateBps = 0; // bytes per second
    int64_t BusyUs = 0;
    int64_t RwndLimitedUs = 0;
    int64_t SndbufLimitedUs = 0;
    int64_t RcvSpace = 0;
    int64_t RcvRttUs = 0;
    bool AppLimited = false; // the sender's last delivery was of data sent with nothing more queued

    // Over all streams of a session: retransmits, cwnd, delivery rate and receive space are
    // summed (they add up over parallel connections); rtt, rcv_rtt and the busy and limited
    // times are the worst stream's; min_rtt is the lowest stream's.
    static TSessionTcpFigures Aggregate(const std::vector<TSessionTcpFigures> &streams);
};

// One data connection's figures.
struct TSessionStreamFigures
{
    int Stream = 0;
    int64_t Bytes = 0;
    int64_t DurationUs = 0;
    double Rate = 0; // KB (1024 bytes) per second
    TSessionTcpFigures Tcp;
};

struct TSessionRequest
{
    enum Directions : uint8_t { Download, Upload, Both };

    QString Host;
    int SessionPort = 8082;
    Directions Direction = Download;
    int Streams = 1; // 1 to 64
    // The length of each direction: Bytes when above 0 (the total over all streams),
    // otherwise Seconds.
    double Seconds = 10;
    int64_t Bytes = 0;
    // The client sockets' buffer size in bytes (SO_RCVBUF and SO_SNDBUF); 0 leaves the kernel's.
    int Window = 0;
    // The shared secret's text; empty when the server needs none.
    QByteArray Secret;
    // Families the control connection may use; the data connections follow it.
    TIpVersion IpVersion = TIpVersion::Automatic;

    // Empty when the request can be sent; otherwise why not, in words a person can act on.
    QString Problem() const;
    // Where the session goes: Host without brackets, and the port written in it ("[::1]:9000")
    // or else SessionPort. Host as given where it cannot be read (Problem() says why).
    QString ConnectHost() const;
    int ConnectPort() const;
};

// How far a running direction has come, sampled on a timer.
struct TSessionProgress
{
    TSessionDirection Direction = TSessionDirection::Download;
    // Download: the client's bytes; upload: what the server reports it has received.
    int64_t BytesSoFar = 0;
    // Microseconds since the direction's first byte (download) or its start (upload).
    int64_t ElapsedUs = 0;
    // Since the previous report of this direction.
    int64_t IntervalBytes = 0;
    int64_t IntervalUs = 0;
    double IntervalRate = 0; // KB per second
    // Per stream, bytes so far (as BytesSoFar) and the server's latest TCP figures.
    std::vector<TSessionStreamFigures> Streams;
    // The server's latest figures over all streams, as TSessionTcpFigures::Aggregate.
    TSessionTcpFigures Tcp;
    // The server's retransmits in the interval, over all streams.
    int64_t IntervalRetransmits = 0;
};

// One direction's result.
struct TSessionResult
{
    TSessionDirection Direction = TSessionDirection::Download;
    int Streams = 0;
    bool Valid = false;
    // Download: the client's bytes over all streams, timed from the first byte of any stream
    // to the last close, both as the kernel saw them arrive (its receive timestamps, where it
    // gives them). Upload: what the server received over its own receive span.
    int64_t Bytes = 0;
    int64_t DurationUs = 0;
    double Rate = 0; // KB per second, computed as the stream test computes it
    QString Error; // empty when the direction ran to its end
    // The address family the session reached the server over: "ipv4", "ipv6", or empty before
    // it connected.
    QString Family;
    // Days since 30 December 1899, local time, of the direction's first byte; -1 when none.
    double StartTime = -1.0;
    // Per stream: the client's figures for a download, the server's for an upload; each with
    // the server's last TCP figures.
    std::vector<TSessionStreamFigures> PerStream;
    // The server's summary: what it sent (download) or received (upload), and over what span.
    int64_t ServerBytes = 0;
    int64_t ServerDurationUs = 0;
    TSessionTcpFigures Tcp; // over all streams, as TSessionTcpFigures::Aggregate
    // What limited the direction, and the figures it was decided from (kept, so that a
    // front end that measured latency beside it can decide again with those).
    TVerdictInput VerdictInput;
    TVerdict Verdict;

    double KBytes() const { return double(Bytes) / 1024.0; }
    double DurationMs() const { return double(DurationUs) / 1000.0; }
};

// A test on a session server: many streams, either direction. Runs through the event loop of
// the thread it lives in and never blocks it.
class TSessionTest : public QObject
{
    Q_OBJECT

public:
    explicit TSessionTest(QObject *parent = nullptr);
    ~TSessionTest() override; // a running session is closed quietly

    static constexpr int DefaultProgressInterval = 250;
    static constexpr int MaxStreams = 64;
    int ProgressInterval() const;
    // 0 or less: no progress reports. Takes effect from the next direction.
    void setProgressInterval(int Milliseconds);

    // Starts a session; everything after arrives through the signals, ending with Finished.
    // A failure ends the session and arrives as the Error of the direction it hit (the
    // first direction when none had started); it is not a status line.
    // A request with a Problem() is refused at once with EKorvnError, before any connection.
    void Start(const TSessionRequest &Request);
    // Ends a running session at once: the connections are closed, a direction still running
    // gets an invalid result, and Finished follows.
    void Cancel();

    bool Running() const;
    // A round trip on the control connection, answered by EchoReply; it goes out ahead of
    // nothing but other control lines. Ignored unless the session has been accepted.
    void SendEcho(quint64 Id);
    bool Cancelled() const;
    // The first failure of the last session; empty when it had none.
    QString ErrorText() const;
    // The results of the last session so far, one per direction in the order they ran.
    const std::vector<TSessionResult> &Results() const;
    // The numeric address, family ("ipv4", "ipv6") and port the last session's control
    // connection reached; empty (0) before it connected.
    QString PeerAddress() const;
    QString PeerFamily() const;
    int PeerPort() const;

signals:
    // A status line, already timestamped, in the style of the stream test's.
    void StatusMsg(const QString &Line);
    void DirectionStarted(TSessionDirection Direction);
    void Progress(const TSessionProgress &Progress);
    void Result(const TSessionResult &Result);
    void EchoReply(quint64 Id);
    // The session is over, whether it ran to its end, failed or was cancelled.
    void Finished();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

Q_DECLARE_METATYPE(TSessionDirection)
Q_DECLARE_METATYPE(TSessionProgress)
Q_DECLARE_METATYPE(TSessionResult)
