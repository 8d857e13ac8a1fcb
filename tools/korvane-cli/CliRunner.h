#pragma once

#include "tools/korvane-cli/CliOptions.h"
#include "tools/korvane-cli/CliOutput.h"
#include "tools/korvane-cli/MetricsFile.h"
#include "engine/stream/TKorvane.h"
#include "engine/run/TTestRun.h"

#include <QString>

#include <cstdio>
#include <exception>
#include <memory>
#include <optional>

class ProgressMeter;

// Runs the tests of one korvane-cli invocation, a run per target with one measurement object,
// so the accumulated statistics carry over from target to target, and hands each outcome to
// the output the options chose and to the metrics file.
class CliRunner
{
public:
    // meterTerminal: where the live meter goes (a terminal), or null for no meter.
    explicit CliRunner(const CliOptions &options, FILE *out = stdout, FILE *meterTerminal = nullptr);
    ~CliRunner();

    // Returns the exit code: 0 every test valid, 1 any invalid or failed.
    int run();

    // A target as it is tested: web targets without a scheme get "http://" in front.
    static QString normalizedTarget(const QString &target, bool web);

private:
    TTestPlan planFor(const QString &target) const;
    bool runOne(const QString &target);
    void onFailure(const QString &message);
    void onApplicationException(const std::exception &e);
    void onProgress(const TRunProgress &progress);
    void onDirectionDone(const TDirectionOutcome &direction);
    bool recordMetrics(const TDirectionOutcome &direction);

    CliOptions FOptions;
    QByteArray FSecret;
    std::unique_ptr<ProgressMeter> FMeter;
    std::unique_ptr<CliOutput> FOutput;
    std::optional<MetricsFile> FMetrics;
    TKorvane FKorvane;
    TTestRun FRun;
    int FProgressStepMs = 0;
    int FReportsPerInterval = 0; // 0: no interval lines
    int FReportsSinceInterval = 0;
    TRunProgress FIntervalStart; // where the current interval began
    bool FFailureShown = false;  // a test's first failure is the one shown
    bool FMetricsRecorded = true; // every direction of the running test so far
    qint64 FStartedMs = 0;
};
