#pragma once

#include <QString>

#include "engine/net/TcpConnect.h"
#include "engine/run/TestDefaults.h"

class TAppIniFileStorage;

// The user's choices for a test on a Korvane server, kept in the settings file's own
// [TestOptions] section. With the defaults the window runs the plain stream test; any
// other direction or stream count runs a session on the session port.
class TTestOptions
{
public:
    enum TDirection { Download, Upload, Both };

    static constexpr int MinStreams = TestDefaults::MinStreams;
    static constexpr int MaxStreams = TestDefaults::MaxStreams;
    static constexpr int MinSeconds = TestDefaults::MinSeconds;
    static constexpr int MaxSeconds = TestDefaults::MaxSeconds;
    static constexpr int DefaultSeconds = TestDefaults::Seconds;
    static constexpr int DefaultSessionPort = TestDefaults::SessionPort;
    // The session sockets' buffers: 0 leaves the kernel's; at most what the kernel may grant.
    static constexpr int MaxWindowKiB = 1 << 20;

    TTestOptions() = default;
    TTestOptions(TDirection direction, int streams, int seconds, int sessionPort)
        : Direction(direction), Streams(streams), Seconds(seconds), SessionPort(sessionPort)
    {
    }

    TDirection Direction = Download;
    int Streams = 1;
    int Seconds = DefaultSeconds;
    int SessionPort = DefaultSessionPort;
    // Latency probes beside a session test.
    bool Latency = true;
    // With Latency, probes beside the stream and web page tests too (off: their log stays as it was).
    bool LatencyAllTests = false;

    // Whether a test of this kind gets latency probes.
    bool LatencyFor(bool session) const { return Latency && (session || LatencyAllTests); }
    // Web page tests may fetch https pages; off, every https page is refused as always.
    bool AllowHttps = false;
    // Families every test may connect over; automatic races them, IPv6 first.
    TIpVersion IpVersion = TIpVersion::Automatic;
    // A file holding the session server's shared secret; empty when it needs none.
    QString SecretFile;
    // The session sockets' buffer size in KiB; 0 leaves the kernel's.
    int WindowKiB = 0;

    static QString DirectionName(TDirection direction);
    static QString IpVersionName(TIpVersion version); // "automatic", "ipv4", "ipv6"

    // True when the choices need a session: the stream test can only download over one stream.
    // A secret or a socket window only a session can use makes one too, as in korvane-cli.
    bool UsesSession() const { return Direction != Download || Streams != 1 || WindowKiB != 0 || !SecretFile.isEmpty(); }

    // Values out of range in the file fall back to their defaults.
    void Load(const TAppIniFileStorage &store);
    // Leaves the file as it was while it has no such section and nothing differs from the
    // defaults, so a user who never changed them keeps today's file.
    void Save(TAppIniFileStorage &store) const;

    bool operator==(const TTestOptions &other) const = default;
};
