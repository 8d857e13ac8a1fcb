#include "CliRunner.h"

#include "ApplicationExceptionHandler.h"
#include "ControlCharacters.h"
#include "DateTimeSerial.h"
#include "KorvaneException.h"
#include "LogTimestamp.h"
#include "NumberFormat.h"
#include "ProgressMeter.h"
#include "ProgressText.h"
#include "Uri.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTimer>

#include <chrono>
#include <cmath>

CliRunner::CliRunner(const CliOptions &options, FILE *out, FILE *meterTerminal)
    : FOptions(options)
    , FOut(out)
{
    FKorvane.setOnStatusMsg([this](const QString &line) { onStatusMsg(line); });
    FKorvane.setAllowHttps(FOptions.allowHttps);
    FKorvane.setTrustedCaFile(FOptions.caFile);
    if (meterTerminal)
        FMeter = std::make_unique<ProgressMeter>(meterTerminal);
    // One report drives both: the meter every quarter second at most, and an interval line
    // every so many reports, so intervals stay whole multiples of the report step.
    int stepMs = FMeter ? TKorvane::DefaultProgressInterval : 0;
    const int intervalMs = int(std::lround(FOptions.intervalSeconds * 1000));
    if (intervalMs > 0) {
        FReportsPerInterval = FMeter ? (intervalMs + stepMs - 1) / stepMs : 1;
        stepMs = std::max(1, int(std::lround(double(intervalMs) / FReportsPerInterval)));
    }
    FKorvane.setProgressInterval(stepMs);
    FKorvane.setOnProgress([this](const TTestProgress &progress) { onProgress(progress); });
    setApplicationExceptionHandler([this](const std::exception &e) { onApplicationException(e); });
}

CliRunner::~CliRunner()
{
    setApplicationExceptionHandler({});
}

QString CliRunner::normalizedTarget(const QString &target, bool web)
{
    return web ? TUri::WebTarget(target) : target;
}

int CliRunner::run()
{
    if (!FOptions.metricsFile.isEmpty()) {
        FMetrics.emplace(FOptions.metricsFile);
        QString error;
        if (!FMetrics->Check(error)) {
            std::fprintf(stderr, "korvane-cli: %s\n", qPrintable(error));
            return 2;
        }
    }
    bool allValid = true;
    for (const QString &target : std::as_const(FOptions.targets))
        allValid = runOne(target) && allValid;
    return allValid ? 0 : 1;
}

void CliRunner::logLine(const QString &text)
{
    if (FOptions.json)
        return;
    if (FMeter)
        FMeter->Clear(); // the log may share the terminal with the meter
    // Lines carry texts from servers and targets: nothing of them reaches the terminal raw.
    const QByteArray line = LogTimestamp::line(EscapeControlCharacters(text)).toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), FOut);
    std::fputc('\n', FOut);
    std::fflush(FOut);
}

void CliRunner::onStatusMsg(const QString &line)
{
    // The line carries the measurement object's own timestamp; the JSON log keeps the text only.
    const qsizetype sep = line.indexOf(QLatin1String(" - "));
    FCurrent.statusTexts << (sep >= 0 ? line.mid(sep + 3) : line);
    logLine(line);
}

void CliRunner::fail(const QString &message)
{
    if (FCurrent.failed)
        return; // the first failure of a test is the one reported
    FCurrent.failed = true;
    FCurrent.error = message;
    logLine(QStringLiteral("ERROR - ") + message);
}

void CliRunner::onApplicationException(const std::exception &e)
{
    if (const auto *own = dynamic_cast<const Exception *>(&e))
        fail(own->Message());
    else
        fail(QString::fromLocal8Bit(e.what()));
}

void CliRunner::startTimeout(QTimer &timeout)
{
    timeout.setSingleShot(true);
    // A coarse timer may fire 5 % early; the limit is exact and counts from the test's start.
    timeout.setTimerType(Qt::PreciseTimer);
    FTimedOut = false;
    if (FOptions.timeoutSeconds > 0) {
        const auto limit = std::chrono::nanoseconds(std::llround(FOptions.timeoutSeconds * 1e9));
        const QDeadlineTimer deadline(limit, Qt::PreciseTimer);
        QObject::connect(&timeout, &QTimer::timeout, [this, &timeout, deadline] {
            if (const auto left = deadline.remainingTimeAsDuration(); left.count() > 0) {
                timeout.start(std::chrono::ceil<std::chrono::milliseconds>(left));
                return;
            }
            FTimedOut = true;
            FKorvane.CancelTest();
        });
        timeout.start(std::chrono::ceil<std::chrono::milliseconds>(limit));
    }
}

void CliRunner::waitForTestDone()
{
    // Blocks until something happens; the test's notifications arrive here.
    QEventLoop loop;
    while (!FKorvane.TestDone())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
}

bool CliRunner::runOne(const QString &rawTarget)
{
    FCurrent = TestOutcome();
    FCurrent.target = normalizedTarget(rawTarget, FOptions.web);
    FIntervalStart = TTestProgress();
    FReportsSinceInterval = 0;
    const qint64 startedMs = QDateTime::currentMSecsSinceEpoch();
    const int testType = FOptions.web ? TKorvane::ttWebPage : TKorvane::ttServerStream;

    // Armed before DoTest: a web test runs inside it, serving events through the anti-freeze.
    QTimer timeout;
    startTimeout(timeout);
    bool started = true;
    try {
        FKorvane.DoTest(testType, FCurrent.target, FOptions.port);
    } catch (const std::exception &e) {
        onApplicationException(e);
        started = false;
    }
    if (started) {
        waitForTestDone();
        if (FMeter)
            FMeter->Clear();
        if (FTimedOut && FKorvane.TestCancelled())
            fail(QStringLiteral("Test cancelled: no result within %1 %2")
                     .arg(FOptions.timeoutSeconds)
                     .arg(FOptions.timeoutSeconds == 1 ? QStringLiteral("second") : QStringLiteral("seconds")));
    }

    const bool valid = started && !FCurrent.failed && FKorvane.ValidResult();
    if (started) {
        if (!valid) {
            logLine(QStringLiteral("Test results are not valid!"));
        } else {
            logLine(QStringLiteral("Received %1 KB (%2) in %3 milliseconds")
                        .arg(NumberFormat::twoDecimals(FKorvane.KBytesTransferred()))
                        .arg(FKorvane.BytesTransferred())
                        .arg(NumberFormat::twoDecimals(FKorvane.TransferTimeMs())));
            logLine(QStringLiteral("%1 KB per second").arg(NumberFormat::twoDecimals(FKorvane.TransferRateSec())));
            logLine(QStringLiteral("Test finished"));
        }
    }
    if (FOptions.json)
        printJson(FCurrent);
    // A result that could not be handed on counts as a failed run.
    return recordMetrics(valid, startedMs) && valid;
}

bool CliRunner::recordMetrics(bool valid, qint64 startedMs)
{
    if (!FMetrics)
        return true;
    QString target = FCurrent.target;
    if (!FOptions.web) // the same host on two ports is two links
        target = (target.contains(u':') ? u'[' + target + u']' : target) + u':' + QString::number(FOptions.port);
    MetricsFile::Series test;
    test.valid = valid;
    if (valid) {
        test.rateBytesPerSecond = FKorvane.TransferRateSec() * 1024.0;
        test.bytes = double(FKorvane.BytesTransferred());
        test.durationSeconds = FKorvane.TransferTimeSec();
    }
    test.timestampSeconds = double(startedMs) / 1000.0;
    QString error;
    if (FMetrics->Record({target, FOptions.web ? QStringLiteral("web") : QStringLiteral("server")}, test, error))
        return true;
    std::fprintf(stderr, "korvane-cli: %s\n", qPrintable(error));
    return false;
}

void CliRunner::printJson(const TestOutcome &outcome)
{
    QJsonObject o;
    o.insert(QStringLiteral("target"), outcome.target);
    o.insert(QStringLiteral("mode"), FOptions.web ? QStringLiteral("web") : QStringLiteral("server"));
    o.insert(QStringLiteral("valid"), !outcome.failed && FKorvane.TestDone() && FKorvane.ValidResult());
    o.insert(QStringLiteral("bytes"), qint64(FKorvane.BytesTransferred()));
    o.insert(QStringLiteral("duration_ms"), FKorvane.TransferTimeMs());
    o.insert(QStringLiteral("rate_kbps"), FKorvane.TransferRateSec());
    if (FKorvane.StartTime() >= 0) {
        const QDateTime start = DateTimeSerial::toDateTime(FKorvane.StartTime());
        o.insert(QStringLiteral("start_time"),
                 start.toOffsetFromUtc(start.offsetFromUtc()).toString(Qt::ISODateWithMs));
    } else {
        o.insert(QStringLiteral("start_time"), QJsonValue::Null);
    }
    o.insert(QStringLiteral("error"), outcome.failed ? QJsonValue(outcome.error) : QJsonValue::Null);
    o.insert(QStringLiteral("accumulated_count"), FKorvane.AccumulatedTestCount());
    o.insert(QStringLiteral("accumulated_average_kbps"), FKorvane.AccumulatedAverageSpeed());
    o.insert(QStringLiteral("log"), QJsonArray::fromStringList(outcome.statusTexts));
    // Only when the page's connection was encrypted, so the line of a plain test stays as it was.
    if (const auto &tls = FKorvane.stHTTP->TlsInfo(); FOptions.web && tls) {
        QJsonObject t;
        t.insert(QStringLiteral("protocol"), tls->Protocol);
        t.insert(QStringLiteral("cipher"), tls->Cipher);
        t.insert(QStringLiteral("handshake_ms"), tls->HandshakeMs);
        o.insert(QStringLiteral("tls"), t);
    }
    const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact);
    std::fwrite(line.constData(), 1, size_t(line.size()), FOut);
    std::fputc('\n', FOut);
    std::fflush(FOut);
}

void CliRunner::onProgress(const TTestProgress &progress)
{
    if (FMeter)
        FMeter->Show(FCurrent.target, progress);
    if (FReportsPerInterval <= 0)
        return;
    // The timer started again (a redirect to another server): so do the intervals.
    if (progress.ElapsedUs < FIntervalStart.ElapsedUs || progress.BytesSoFar < FIntervalStart.BytesSoFar) {
        FIntervalStart = TTestProgress();
        FReportsSinceInterval = 0;
    }
    if (++FReportsSinceInterval < FReportsPerInterval)
        return;
    FReportsSinceInterval = 0;
    printInterval(progress);
    FIntervalStart = progress;
}

void CliRunner::printInterval(const TTestProgress &progress)
{
    const int64_t bytes = progress.BytesSoFar - FIntervalStart.BytesSoFar;
    const int64_t us = progress.ElapsedUs - FIntervalStart.ElapsedUs;
    const double rate = us > 0 ? double((long double)bytes / 1024 / us * 1000000) : 0.0;
    const double seconds = double(progress.ElapsedUs) / 1e6;
    if (!FOptions.json) {
        logLine(QStringLiteral("%1 s: %2 KB in the interval, %3 KB so far, %4 KB per second")
                    .arg(QLocale::system().toString(seconds, 'f', 2))
                    .arg(NumberFormat::twoDecimals(double(bytes) / 1024))
                    .arg(NumberFormat::twoDecimals(double(progress.BytesSoFar) / 1024))
                    .arg(NumberFormat::twoDecimals(rate)));
        return;
    }
    QJsonObject o;
    o.insert(QStringLiteral("type"), QStringLiteral("interval"));
    o.insert(QStringLiteral("target"), FCurrent.target);
    o.insert(QStringLiteral("seconds"), seconds);
    o.insert(QStringLiteral("interval_bytes"), qint64(bytes));
    o.insert(QStringLiteral("bytes"), qint64(progress.BytesSoFar));
    o.insert(QStringLiteral("rate_kbps"), rate);
    if (progress.ExpectedBytes >= 0)
        o.insert(QStringLiteral("expected_bytes"), qint64(progress.ExpectedBytes));
    const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact);
    std::fwrite(line.constData(), 1, size_t(line.size()), FOut);
    std::fputc('\n', FOut);
    std::fflush(FOut);
}
