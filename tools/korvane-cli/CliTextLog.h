#pragma once

#include "tools/korvane-cli/CliOutput.h"

#include <cstdio>

class ProgressMeter;

// korvane-cli's text log: the test's course and results as timestamped lines.
class CliTextLog : public CliOutput
{
public:
    // meter: the live meter on the same terminal, cleared before each line; may be null.
    CliTextLog(FILE *out, ProgressMeter *meter);

    void StatusLine(const QString &line) override;
    void Failure(const QString &message) override;
    void IntervalReport(const Interval &interval) override;
    void DirectionDone(const TTestOutcome &outcome, const TDirectionOutcome &direction) override;
    void TestDone(const TTestOutcome &outcome, bool valid) override;

private:
    void Line(const QString &text);
    void PlainResult(const TTestOutcome &outcome, const TDirectionOutcome &result);
    void SessionResult(const TDirectionOutcome &result);
    void PlanLine(const TDirectionOutcome &result);
    void LatencyLines(const TDirectionOutcome &result);

    FILE *FOut;
    ProgressMeter *FMeter;
};
