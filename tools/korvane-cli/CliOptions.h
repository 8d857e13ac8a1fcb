#pragma once

#include <QString>
#include <QStringList>

#include "engine/run/TestPlan.h"

// Command line of korvane-cli.
struct CliOptions
{
    enum class ParseResult { Ok, Help, Version, Error };

    bool web = false;
    int port = 80;
    bool portGiven = false;
    bool json = false;
    double timeoutSeconds = 0; // 0: no limit
    double intervalSeconds = 0; // 0: no interval reports
    bool quiet = false;         // no meter on the terminal
    QString metricsFile;       // empty: none written
    bool allowHttps = false;   // web tests may fetch https pages
    QString caFile;            // trusted for https besides the system's CAs
    int ipVersion = 0;         // 0 both families (IPv6 first), 4 or 6 that family only
    TRatePlan ratePlan;        // --plan: what the user pays for on every target given
    QStringList targets;

    // A session test instead of the stream test, when any of these is given.
    int streams = 0;           // 0: not given (1)
    QString direction;         // empty: not given (download)
    double seconds = 0;        // 0: not given (DefaultSeconds)
    int sessionPort = 0;       // 0: not given (DefaultSessionPort)
    int window = -1;           // -1: not given (the kernel's buffers)
    QString secretFile;        // empty: no secret
    // Latency probes beside the test: -1 not given (on for session tests only), 0 off, 1 on.
    int latency = -1;
    int probeIntervalMs = 0;   // 0: not given (the probes' default)
    bool latencyOn() const { return latency == 1 || (latency < 0 && session()); }
    static constexpr double DefaultSeconds = TestDefaults::Seconds;
    static constexpr int DefaultSessionPort = TestDefaults::SessionPort;

    bool session() const
    {
        return streams > 0 || !direction.isEmpty() || seconds > 0 || sessionPort > 0 || window >= 0
               || !secretFile.isEmpty();
    }

    // The test these options ask for on one target; the secret is read apart, once per run.
    TTestPlan plan(const QString &target) const;

    static ParseResult parse(const QStringList &arguments, CliOptions &options, QString &error);
    static QString usage();
};
