#pragma once

#include "engine/latency/TLatencyProbe.h"
#include "engine/net/TcpConnect.h"
#include "engine/run/RatePlan.h"
#include "engine/run/TestDefaults.h"
#include "engine/session/TSessionTest.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

// What kind of test a plan runs.
enum class TTestKind : uint8_t { ServerStream, WebPage, Session };

// Everything one test needs, from whichever front end asked for it: the window's options and
// korvane-cli's command line both turn into a plan. The defaults are TestDefaults'.
struct TTestPlan
{
    TTestKind Kind = TTestKind::ServerStream;
    // As the user gave it; a web page's already carries its scheme.
    QString Target;
    // The stream test's port (a port written in the target wins); unused by the others.
    int Port = 0;
    int SessionPort = TestDefaults::SessionPort;
    TSessionRequest::Directions Direction = TSessionRequest::Download;
    int Streams = 1;
    double Seconds = TestDefaults::Seconds;
    int64_t Bytes = 0;           // above 0: each session direction's length in bytes instead
    int Window = 0;              // the session sockets' buffers in bytes; 0 the kernel's
    QByteArray Secret;           // the session server's shared secret; empty for none
    TIpVersion IpVersion = TIpVersion::Automatic;
    bool Latency = false;        // idle probes first, then probes beside the load
    int ProbeIntervalMs = 0;     // 0: the probe's default
    bool AllowHttps = false;
    QString TrustedCaFile;       // trusted for https besides the system's CAs
    double TimeLimitSeconds = 0; // 0: none; counted from the test's start, after the idle probes
    int ProgressIntervalMs = TestDefaults::ProgressIntervalMs;
    // What the user pays for on this link; results carry their share of it.
    TRatePlan RatePlan;

    bool IsSession() const { return Kind == TTestKind::Session; }
    TSessionRequest SessionRequest() const;

    // Where latency probes go without starting a test: a Korvane server on its session port
    // (its stream port would start a stream), a web page on its own host and port. False when
    // the target names no host (the test itself then says what is wrong with it).
    bool ProbeTarget(QString &host, int &port) const;
    static bool ProbeTarget(const QString &target, bool web, int sessionPort, QString &host, int &port);

    // The shared secret from a file as korvane-server's --secret-file reads it. False with a
    // text that names the file when it cannot be read or holds none.
    static bool ReadSecretFile(const QString &path, QByteArray &secret, QString &error);
};
