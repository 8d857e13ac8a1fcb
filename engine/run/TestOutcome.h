#pragma once

#include "engine/httpclient/TTlsInfo.h"
#include "engine/latency/LatencyFigures.h"
#include "engine/run/TestPlan.h"
#include "engine/session/TSessionTest.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <exception>
#include <optional>
#include <vector>

// One direction of a finished test: a stream or web page test has one, a session one per
// direction it ran. Front ends only turn these into rows, lines and pictures.
struct TDirectionOutcome
{
    TSessionDirection Direction = TSessionDirection::Download;
    int Streams = 1;
    bool Valid = false;
    QString Error;           // why it is not valid, when a reason is known
    int64_t Bytes = 0;
    double DurationMs = 0;
    double Rate = 0;         // KB (1024 bytes) per second
    double StartTime = -1;   // days since 30 December 1899, local time; -1 when none
    // The plan's rate in this direction (bits per second, 0: none) and the share of it the
    // rate reached (-1: no plan, or no valid result).
    double PlanBps = 0;
    double PlanShare = -1;
    QString Address;         // numeric address and family of the peer; empty before a connection
    QString Family;

    // Latency probes beside it; LatencyMeasured false when none ran.
    bool LatencyMeasured = false;
    LatencyFigures Latency;
    QString LatencyError;
    int64_t ProbeBytes = 0;

    // The status lines logged while it ran, without their timestamps.
    QStringList StatusTexts;
    // The session's own figures, per stream and from the server, and the verdict decided
    // once (with the probes' figures where they were measured).
    std::optional<TSessionResult> Session;
    std::optional<TTlsInfo> Tls;

    // The running average over every valid result so far, this one included.
    int AccumulatedCount = 0;
    double AccumulatedAverage = 0;

    double KBytes() const { return double(Bytes) / 1024.0; }
};

// A whole test: what was planned and how each direction ended.
struct TTestOutcome
{
    TTestPlan Plan;
    bool Started = false;   // the test itself started (the idle probes may have ended it before)
    bool Cancelled = false;
    bool TimedOut = false;  // cancelled by the plan's time limit
    // The first failure: an exception that stopped the test from starting is kept whole, so a
    // front end can hand it to its own handler; later failures arrive as text.
    std::exception_ptr StartFailure;
    QString Error;
    std::vector<TDirectionOutcome> Directions;
    // A stream or web test's "Connected to ..." line, where the log does not name the address.
    QString ConnectedLine;

    bool Valid() const
    {
        if (Directions.empty() || Cancelled || StartFailure)
            return false;
        for (const TDirectionOutcome &d : Directions)
            if (!d.Valid)
                return false;
        return true;
    }
};
