#pragma once

#include "tools/korvane-cli/CliOutput.h"

#include <QJsonObject>

#include <cstdio>

// korvane-cli --json: one line per result (a session one per direction), and interval lines.
class CliJsonLines : public CliOutput
{
public:
    explicit CliJsonLines(FILE *out);

    void StatusLine(const QString &) override {}
    void Failure(const QString &) override {}
    void IntervalReport(const Interval &interval) override;
    void DirectionDone(const TTestOutcome &outcome, const TDirectionOutcome &direction) override;
    void TestDone(const TTestOutcome &, bool) override {}

private:
    void Write(const QJsonObject &line);
    QJsonObject PlainResult(const TTestOutcome &outcome, const TDirectionOutcome &result) const;
    QJsonObject SessionResult(const TTestOutcome &outcome, const TDirectionOutcome &result) const;

    FILE *FOut;
};
