#pragma once

#include <QString>

#include "TcpConnect.h"

class TAppIniFileStorage;

// The user's choices for a test on a Korvane server, kept in the settings file's own
// [TestOptions] section. With the defaults the window runs the plain stream test; any
// other direction or stream count runs a session on the session port.
class TTestOptions
{
public:
    enum TDirection { Download, Upload, Both };

    static constexpr int MinStreams = 1;
    static constexpr int MaxStreams = 64;
    static constexpr int MinSeconds = 1;
    static constexpr int MaxSeconds = 3600;
    static constexpr int DefaultSeconds = 10;
    static constexpr int DefaultSessionPort = 8082;

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
    // Web page tests may fetch https pages; off, every https page is refused as always.
    bool AllowHttps = false;
    // Families every test may connect over; automatic races them, IPv6 first.
    TIpVersion IpVersion = TIpVersion::Automatic;

    static QString DirectionName(TDirection direction);
    static QString IpVersionName(TIpVersion version); // "automatic", "ipv4", "ipv6"

    // True when the choices need a session: the stream test can only download over one stream.
    bool UsesSession() const { return Direction != Download || Streams != 1; }

    // Values out of range in the file fall back to their defaults.
    void Load(const TAppIniFileStorage &store);
    // Leaves the file as it was while it has no such section and nothing differs from the
    // defaults, so a user who never changed them keeps today's file.
    void Save(TAppIniFileStorage &store) const;

    bool operator==(const TTestOptions &other) const = default;
};
