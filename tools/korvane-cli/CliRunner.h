#pragma once

#include "CliOptions.h"
#include "MetricsFile.h"
#include "TKorvane.h"
#include "TLatencyProbe.h"
#include "TSessionTest.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <exception>
#include <memory>
#include <optional>

class ProgressMeter;
class QTimer;

// Runs the tests of one korvane-cli invocation with one measurement object, so the
// accumulated statistics carry over from target to target, and prints their results.
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
    struct TestOutcome
    {
        QString target;
        QString error; // empty: no failure
        bool failed = false;
        QStringList statusTexts;
    };

    bool runOne(const QString &target);
    bool runSession(const QString &target);
    // Idle probes to host and port; the probe object stays for the loaded ones.
    void runIdleProbes(const QString &host, int port);
    void logLatency();
    void logConnected();
    static void insertAddress(QJsonObject &line, const QString &address, const QString &family);
    TIpVersion ipVersion() const;
    void addLatencyJson(QJsonObject &line) const;
    bool loadSecret();
    void onSessionResult(const TSessionResult &given);
    void onSessionProgress(const TSessionProgress &progress);
    void printSessionInterval(const TSessionProgress &progress);
    void printSessionJson(const TSessionResult &result, const QString &error);
    bool recordSessionMetrics(const TSessionResult &result, qint64 startedMs);
    // Tuning advice for a receive window that held the transfer back; empty otherwise.
    QString limitAdvice(const TSessionResult &result) const;
    void writeLine(const QByteArray &line);
    void waitForTestDone();
    void startTimeout(QTimer &timeout);
    void fail(const QString &message);
    void logLine(const QString &text);
    void printJson(const TestOutcome &outcome);
    bool recordMetrics(bool valid, qint64 startedMs);
    void onStatusMsg(const QString &line);
    void onApplicationException(const std::exception &e);
    void onProgress(const TTestProgress &progress);
    void printInterval(const TTestProgress &progress);

    CliOptions FOptions;
    FILE *FOut;
    TKorvane FKorvane;
    TestOutcome FCurrent;
    bool FTimedOut = false;
    std::unique_ptr<ProgressMeter> FMeter;
    int FReportsPerInterval = 0; // 0: no interval lines
    int FReportsSinceInterval = 0;
    TTestProgress FIntervalStart; // where the current interval began
    std::optional<MetricsFile> FMetrics;

    TSessionTest FSession;
    QByteArray FSecret;
    bool FSessionValid = true;   // every direction of the running session so far
    qint64 FSessionStartedMs = 0;
    int FSessionCount = 0;       // valid session results of this run, for the averages
    double FSessionRateSum = 0;
    // Where the current interval began, per direction of the running session.
    TSessionProgress FSessionIntervalStart;
    std::unique_ptr<TLatencyProbe> FProbe; // null when latency is not measured
    LatencyFigures FLatency;                // of the test or direction that just ended
};
