#pragma once

#include "engine/run/TTestRun.h"

#include <QString>

// Where korvane-cli writes what a run reports: a text log or JSON lines. The runner decides
// what happened; an output only says it in its own form.
class CliOutput
{
public:
    // The figures of one interval report, worked out once for every output.
    struct Interval
    {
        QString Target;
        const TRunProgress *From = nullptr; // where the interval began
        const TRunProgress *Now = nullptr;
        int64_t Bytes = 0;
        int64_t Us = 0;
        double Rate = 0;       // KB per second
        double Seconds = 0;    // since the test's start
        int64_t Retransmits = 0;
        bool Latency = false;  // probes run beside the test
        double LatencyMs = -1; // the interval's median probe; negative when none was answered
    };

    virtual ~CliOutput() = default;

    // A status line of the test, already timestamped.
    virtual void StatusLine(const QString &line) = 0;
    // The test's first failure, as it happens.
    virtual void Failure(const QString &message) = 0;
    virtual void IntervalReport(const Interval &interval) = 0;
    // One direction ended (a stream or web test has one). metricsRecorded: false when the
    // metrics file could not take it.
    virtual void DirectionDone(const TTestOutcome &outcome, const TDirectionOutcome &direction) = 0;
    // The whole test ended; valid: every direction valid and handed on.
    virtual void TestDone(const TTestOutcome &outcome, bool valid) = 0;
};
