#include "CliRunner.h"

#include "ApplicationExceptionHandler.h"
#include "ControlCharacters.h"
#include "DateTimeSerial.h"
#include "KorvaneException.h"
#include "LatencyReport.h"
#include "LogTimestamp.h"
#include "NumberFormat.h"
#include "ProgressMeter.h"
#include "ProgressText.h"
#include "ReceiveWindowAdvice.h"
#include "ServerTarget.h"
#include "SessionAuth.h"
#include "Uri.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTimer>

#include <chrono>
#include <cmath>

namespace {

// A server target and the port its test uses, as one label: the same host on two ports is
// two links, and "[::1]:8081" typed or "::1" with --port 8081 is the same one.
QString serverLink(const QString &typed, int defaultPort)
{
    const TServerTarget target = ParseServerTarget(typed.toStdString());
    const QString host = target.Error.empty() ? QString::fromStdString(target.Host) : typed;
    const int port = target.Error.empty() && target.Port > 0 ? target.Port : defaultPort;
    return (host.contains(u':') ? u'[' + host + u']' : host) + u':' + QString::number(port);
}

} // namespace

CliRunner::CliRunner(const CliOptions &options, FILE *out, FILE *meterTerminal)
    : FOptions(options)
    , FOut(out)
{
    FKorvane.setOnStatusMsg([this](const QString &line) { onStatusMsg(line); });
    FKorvane.setAllowHttps(FOptions.allowHttps);
    FKorvane.setIpVersion(ipVersion());
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
    FSession.setProgressInterval(stepMs);
    QObject::connect(&FSession, &TSessionTest::StatusMsg, [this](const QString &line) { onStatusMsg(line); });
    QObject::connect(&FSession, &TSessionTest::Progress,
                     [this](const TSessionProgress &progress) { onSessionProgress(progress); });
    QObject::connect(&FSession, &TSessionTest::Result, [this](const TSessionResult &result) { onSessionResult(result); });
    QObject::connect(&FSession, &TSessionTest::DirectionStarted, [this](TSessionDirection) {
        if (FProbe)
            FProbe->StartLoaded();
    });
    QObject::connect(&FSession, &TSessionTest::EchoReply, [this](quint64 id) {
        if (FProbe)
            FProbe->SelfReply(id);
    });
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
    if (!loadSecret())
        return 2;
    bool allValid = true;
    for (const QString &target : std::as_const(FOptions.targets))
        allValid = (FOptions.session() ? runSession(target) : runOne(target)) && allValid;
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
            if (FOptions.session())
                FSession.Cancel();
            else
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

    if (FOptions.latencyOn()) {
        // A web page is probed on its own host and port; a Korvane server on its session
        // port, as a connection to the stream port would start a stream.
        QString host = rawTarget;
        int port = CliOptions::DefaultSessionPort;
        if (FOptions.web) {
            try {
                const TUri uri = TUri::ParseURL(FCurrent.target);
                host = uri.Host;
                port = uri.PortNumber() > 0 ? uri.PortNumber() : (uri.Protocol == QLatin1String("https") ? 443 : 80);
            } catch (const std::exception &) {
                host.clear(); // the test itself says what is wrong with the address
            }
        }
        if (!host.isEmpty())
            runIdleProbes(host, port);
    }

    // Armed before DoTest: a web test runs inside it, serving events through the anti-freeze.
    QTimer timeout;
    startTimeout(timeout);
    bool started = true;
    if (FProbe)
        FProbe->StartLoaded();
    try {
        FKorvane.DoTest(testType, FCurrent.target, FOptions.port);
    } catch (const std::exception &e) {
        onApplicationException(e);
        started = false;
    }
    if (started) {
        waitForTestDone();
        if (FProbe) {
            FProbe->StopLoaded();
            FLatency = FProbe->Figures();
        }
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
            logConnected();
        } else {
            logLine(QStringLiteral("Received %1 KB (%2) in %3 milliseconds")
                        .arg(NumberFormat::twoDecimals(FKorvane.KBytesTransferred()))
                        .arg(FKorvane.BytesTransferred())
                        .arg(NumberFormat::twoDecimals(FKorvane.TransferTimeMs())));
            logLine(QStringLiteral("%1 KB per second").arg(NumberFormat::twoDecimals(FKorvane.TransferRateSec())));
            logLine(QStringLiteral("Test finished"));
            logConnected();
            logLatency();
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
    if (!FOptions.web)
        target = serverLink(target, FOptions.port);
    MetricsFile::Series test;
    test.valid = valid;
    if (valid) {
        test.rateBytesPerSecond = FKorvane.TransferRateSec() * 1024.0;
        test.bytes = double(FKorvane.BytesTransferred());
        test.durationSeconds = FKorvane.TransferTimeSec();
    }
    test.timestampSeconds = double(startedMs) / 1000.0;
    if (valid)
        addLatencyMetrics(test);
    // As in the results table: a series without a family was measured over IPv4.
    if (valid && FKorvane.ConnectedFamily() == QLatin1String("ipv6"))
        test.family = FKorvane.ConnectedFamily();
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
    // Same fields as a session's line, so scripts read every result alike.
    o.insert(QStringLiteral("direction"), QStringLiteral("download"));
    o.insert(QStringLiteral("streams"), 1);
    const bool valid = !outcome.failed && FKorvane.TestDone() && FKorvane.ValidResult();
    o.insert(QStringLiteral("valid"), valid);
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
    insertAddress(o, FKorvane.ConnectedAddress(), FKorvane.ConnectedFamily());
    // Only when the page's connection was encrypted, so the line of a plain test stays as it was.
    if (const auto &tls = FKorvane.stHTTP->TlsInfo(); FOptions.web && tls) {
        QJsonObject t;
        t.insert(QStringLiteral("protocol"), tls->Protocol);
        t.insert(QStringLiteral("cipher"), tls->Cipher);
        t.insert(QStringLiteral("handshake_ms"), tls->HandshakeMs);
        o.insert(QStringLiteral("tls"), t);
    }
    // No verdict here: deciding needs the sender's figures, which a one-stream test never
    // gets (the server keeps them, a web server has none to give). Said, not guessed.
    o.insert(QStringLiteral("limited_by"), TVerdict::LimitName(TLimit::Unknown));
    o.insert(QStringLiteral("limit_text"),
             !valid ? QStringLiteral("What limited the transfer is not known: the test has no valid result.")
             : FOptions.web
                 ? QStringLiteral("What limited the transfer is not known: a web page test has no view of "
                                  "the sender's TCP figures, which decide it.")
                 : QStringLiteral("What limited the transfer is not known: a one-stream test without a "
                                  "session has no view of the sender's TCP figures, which decide it."));
    o.insert(QStringLiteral("limit_advice"), QJsonValue::Null);
    addLatencyJson(o);
    const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact);
    std::fwrite(line.constData(), 1, size_t(line.size()), FOut);
    std::fputc('\n', FOut);
    std::fflush(FOut);
}

void CliRunner::onProgress(const TTestProgress &progress)
{
    if (FProbe)
        FProbe->setTestBytes(progress.BytesSoFar);
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
    const double latencyMs = FProbe ? FProbe->TakeIntervalMs() : -1;
    if (!FOptions.json) {
        QString line = QStringLiteral("%1 s: %2 KB in the interval, %3 KB so far, %4 KB per second")
                           .arg(QLocale::system().toString(seconds, 'f', 2))
                           .arg(NumberFormat::twoDecimals(double(bytes) / 1024))
                           .arg(NumberFormat::twoDecimals(double(progress.BytesSoFar) / 1024))
                           .arg(NumberFormat::twoDecimals(rate));
        if (latencyMs >= 0)
            line += QStringLiteral(", latency %1 ms").arg(NumberFormat::twoDecimals(latencyMs));
        logLine(line);
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
    if (FProbe)
        o.insert(QStringLiteral("latency_ms"), latencyMs >= 0 ? QJsonValue(latencyMs) : QJsonValue(QJsonValue::Null));
    const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact);
    std::fwrite(line.constData(), 1, size_t(line.size()), FOut);
    std::fputc('\n', FOut);
    std::fflush(FOut);
}

// ---------------------------------------------------------------------------------------
// Session tests

namespace {

QJsonObject tcpJson(const TSessionTcpFigures &t)
{
    QJsonObject o;
    o.insert(QStringLiteral("rtt_us"), qint64(t.RttUs));
    o.insert(QStringLiteral("min_rtt_us"), qint64(t.MinRttUs));
    o.insert(QStringLiteral("retransmits"), qint64(t.Retransmits));
    o.insert(QStringLiteral("cwnd_bytes"), qint64(t.CwndBytes));
    o.insert(QStringLiteral("delivery_rate_bps"), qint64(t.DeliveryRateBps));
    o.insert(QStringLiteral("busy_us"), qint64(t.BusyUs));
    o.insert(QStringLiteral("rwnd_limited_us"), qint64(t.RwndLimitedUs));
    o.insert(QStringLiteral("sndbuf_limited_us"), qint64(t.SndbufLimitedUs));
    return o;
}

QJsonValue shareJson(double share)
{
    return share < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(share);
}

// The figures the verdict was decided on, beside the sender's own.
void insertVerdictFigures(QJsonObject &tcp, const TVerdict &v)
{
    tcp.insert(QStringLiteral("rwnd_limited_share"), shareJson(v.RwndShare));
    tcp.insert(QStringLiteral("sndbuf_limited_share"), shareJson(v.SndbufShare));
    tcp.insert(QStringLiteral("busy_share"), shareJson(v.BusyShare));
    tcp.insert(QStringLiteral("retransmit_share"), shareJson(v.RetransmitShare));
    tcp.insert(QStringLiteral("client_cpu_share"), shareJson(v.ClientCpuShare));
    tcp.insert(QStringLiteral("loaded_rtt_us"), qint64(v.RttUs));
    tcp.insert(QStringLiteral("queue_delay_us"),
               v.QueueDelayUs < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(qint64(v.QueueDelayUs)));
    tcp.insert(QStringLiteral("window_bytes"), qint64(v.WindowBytes));
    tcp.insert(QStringLiteral("window_rate_bps"), std::round(v.WindowRateBps));
    tcp.insert(QStringLiteral("needed_window_bytes"), qint64(v.NeededWindowBytes));
    tcp.insert(QStringLiteral("bottleneck_rate_bps"), v.Limit == TLimit::Path ? std::round(v.RateBps) : 0.0);
}

QString directionText(TSessionDirection d)
{
    return d == TSessionDirection::Download ? QStringLiteral("download") : QStringLiteral("upload");
}

QString startTimeText(double serial)
{
    const QDateTime start = DateTimeSerial::toDateTime(serial);
    return start.toOffsetFromUtc(start.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

} // namespace

void CliRunner::writeLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), FOut);
    std::fputc('\n', FOut);
    std::fflush(FOut);
}

bool CliRunner::loadSecret()
{
    if (FOptions.secretFile.isEmpty())
        return true;
    QFile file(FOptions.secretFile);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "korvane-cli: cannot read the secret file %s: %s\n", qPrintable(FOptions.secretFile),
                     qPrintable(file.errorString()));
        return false;
    }
    const QByteArray content = file.read(1 << 16);
    const std::string secret = SessionAuth::secretFromFile(std::string_view(content.constData(), size_t(content.size())));
    if (secret.empty()) {
        std::fprintf(stderr, "korvane-cli: the secret file %s holds no secret\n", qPrintable(FOptions.secretFile));
        return false;
    }
    FSecret = QByteArray::fromStdString(secret);
    return true;
}

bool CliRunner::runSession(const QString &target)
{
    FCurrent = TestOutcome();
    FCurrent.target = target;
    FSessionValid = true;
    FSessionIntervalStart = TSessionProgress();
    FReportsSinceInterval = 0;
    FSessionStartedMs = QDateTime::currentMSecsSinceEpoch();

    TSessionRequest request;
    request.Host = target;
    request.SessionPort = FOptions.sessionPort > 0 ? FOptions.sessionPort : CliOptions::DefaultSessionPort;
    request.Direction = FOptions.direction == QLatin1String("upload") ? TSessionRequest::Upload
                        : FOptions.direction == QLatin1String("both") ? TSessionRequest::Both
                                                                       : TSessionRequest::Download;
    request.Streams = FOptions.streams > 0 ? FOptions.streams : 1;
    request.Seconds = FOptions.seconds > 0 ? FOptions.seconds : CliOptions::DefaultSeconds;
    request.Window = std::max(0, FOptions.window);
    request.Secret = FSecret;
    request.IpVersion = ipVersion();

    if (FOptions.latencyOn()) {
        runIdleProbes(request.ConnectHost(), request.ConnectPort());
        FProbe->setSelfSender([this](uint64_t id) { FSession.SendEcho(id); });
    }

    QTimer timeout;
    startTimeout(timeout);
    try {
        FSession.Start(request);
    } catch (const std::exception &e) {
        // Refused before any connection: one invalid result line, as for the stream test.
        onApplicationException(e);
        TSessionResult r;
        r.Streams = request.Streams;
        r.Direction = request.Direction == TSessionRequest::Upload ? TSessionDirection::Upload
                                                                   : TSessionDirection::Download;
        r.Error = FCurrent.error;
        if (FOptions.json)
            printSessionJson(r, r.Error);
        return false;
    }
    QEventLoop loop;
    while (FSession.Running())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    if (FMeter)
        FMeter->Clear();
    if (FSessionValid)
        logLine(QStringLiteral("Test finished"));
    return FSessionValid;
}

void CliRunner::onSessionResult(const TSessionResult &given)
{
    TSessionResult result = given;
    if (FMeter)
        FMeter->Clear();
    QString error = result.Error;
    if (FTimedOut && FSession.Cancelled())
        error = QStringLiteral("Test cancelled: no result within %1 %2")
                    .arg(FOptions.timeoutSeconds)
                    .arg(FOptions.timeoutSeconds == 1 ? QStringLiteral("second") : QStringLiteral("seconds"));
    const bool valid = result.Valid && error.isEmpty();
    if (!valid) {
        FSessionValid = false;
        FCurrent.failed = true;
        FCurrent.error = error;
        logLine(QStringLiteral("ERROR - ") + error);
        logLine(QStringLiteral("Test results are not valid!"));
    } else {
        FSessionCount += 1;
        FSessionRateSum += result.Rate;
        const QString amount = QStringLiteral("%1 KB (%2) in %3 milliseconds")
                                   .arg(NumberFormat::twoDecimals(result.KBytes()))
                                   .arg(result.Bytes)
                                   .arg(NumberFormat::twoDecimals(result.DurationMs()));
        logLine(result.Direction == TSessionDirection::Download ? QStringLiteral("Received ") + amount
                                                                : QStringLiteral("The server received ") + amount);
        logLine(QStringLiteral("%1 KB per second").arg(NumberFormat::twoDecimals(result.Rate)));
        if (result.PerStream.size() > 1) {
            for (const TSessionStreamFigures &f : result.PerStream)
                logLine(QStringLiteral("Stream %1: %2 KB in %3 milliseconds, %4 KB per second")
                            .arg(f.Stream)
                            .arg(NumberFormat::twoDecimals(double(f.Bytes) / 1024))
                            .arg(NumberFormat::twoDecimals(double(f.DurationUs) / 1000))
                            .arg(NumberFormat::twoDecimals(f.Rate)));
        }
        const TSessionTcpFigures &t = result.Tcp;
        const bool download = result.Direction == TSessionDirection::Download;
        // For an upload the server is the receiving side, and its figures are a receiver's.
        logLine((download ? QStringLiteral("Server's TCP figures: ") : QStringLiteral("Server's TCP figures as receiver: "))
                + QStringLiteral("round trip %1 ms (lowest %2 ms), %3 retransmits, "
                               "congestion window %4 KB, delivery rate %5 KB per second")
                    .arg(NumberFormat::twoDecimals(double(t.RttUs) / 1000))
                    .arg(NumberFormat::twoDecimals(double(t.MinRttUs) / 1000))
                    .arg(t.Retransmits)
                    .arg(NumberFormat::twoDecimals(double(t.CwndBytes) / 1024))
                    .arg(NumberFormat::twoDecimals(double(t.DeliveryRateBps) / 1024)));
        if (download)
            logLine(QStringLiteral("Server's sending time: busy %1 ms, limited by the receive window %2 ms, "
                                   "by the send buffer %3 ms")
                        .arg(NumberFormat::twoDecimals(double(t.BusyUs) / 1000))
                        .arg(NumberFormat::twoDecimals(double(t.RwndLimitedUs) / 1000))
                        .arg(NumberFormat::twoDecimals(double(t.SndbufLimitedUs) / 1000)));
    }
    if (FProbe) {
        FProbe->StopLoaded();
        FLatency = FProbe->Figures();
        if (valid)
            logLatency();
        // Probes beside the load saw the queue as any other traffic would: they decide how
        // much it grew, rather than the sender's own round trips.
        if (FLatency.IdleMs >= 0 && FLatency.LoadedMs >= 0) {
            result.VerdictInput.IdleLatencyMs = FLatency.IdleMs;
            result.VerdictInput.LoadedLatencyMs = FLatency.LoadedMs;
            result.Verdict = TVerdict::Decide(result.VerdictInput);
        }
    }
    if (valid) {
        logLine(result.Verdict.Text);
        if (const QString advice = limitAdvice(result); !advice.isEmpty())
            logLine(advice);
    }
    if (FOptions.json)
        printSessionJson(result, valid ? QString() : error);
    FCurrent.statusTexts.clear(); // each direction's line carries its own part of the log
    if (!recordSessionMetrics(result, FSessionStartedMs) )
        FSessionValid = false;
}

void CliRunner::printSessionJson(const TSessionResult &result, const QString &error)
{
    QJsonObject o;
    o.insert(QStringLiteral("target"), FCurrent.target);
    o.insert(QStringLiteral("mode"), QStringLiteral("session"));
    o.insert(QStringLiteral("direction"), directionText(result.Direction));
    o.insert(QStringLiteral("streams"), result.Streams);
    o.insert(QStringLiteral("valid"), error.isEmpty() && result.Valid);
    o.insert(QStringLiteral("bytes"), qint64(result.Bytes));
    o.insert(QStringLiteral("duration_ms"), result.DurationMs());
    o.insert(QStringLiteral("rate_kbps"), result.Rate);
    o.insert(QStringLiteral("start_time"),
             result.StartTime >= 0 ? QJsonValue(startTimeText(result.StartTime)) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("error"), error.isEmpty() ? QJsonValue::Null : QJsonValue(error));
    o.insert(QStringLiteral("accumulated_count"), FSessionCount);
    o.insert(QStringLiteral("accumulated_average_kbps"), FSessionCount > 0 ? FSessionRateSum / FSessionCount : 0.0);
    o.insert(QStringLiteral("log"), QJsonArray::fromStringList(FCurrent.statusTexts));
    insertAddress(o, FSession.PeerAddress(), FSession.PeerFamily());
    QJsonObject tcp = tcpJson(result.Tcp);
    const bool decided = error.isEmpty() && result.Valid;
    if (decided)
        insertVerdictFigures(tcp, result.Verdict);
    o.insert(QStringLiteral("tcp"), tcp);
    o.insert(QStringLiteral("limited_by"), TVerdict::LimitName(decided ? result.Verdict.Limit : TLimit::Unknown));
    o.insert(QStringLiteral("limit_text"),
             decided ? result.Verdict.Text
                     : QStringLiteral("What limited the transfer is not known: the test has no valid result."));
    const QString advice = decided ? limitAdvice(result) : QString();
    o.insert(QStringLiteral("limit_advice"), advice.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(advice));
    o.insert(QStringLiteral("server_bytes"), qint64(result.ServerBytes));
    o.insert(QStringLiteral("server_duration_ms"), double(result.ServerDurationUs) / 1000.0);
    QJsonArray perStream;
    for (const TSessionStreamFigures &f : result.PerStream) {
        QJsonObject s;
        s.insert(QStringLiteral("stream"), f.Stream);
        s.insert(QStringLiteral("bytes"), qint64(f.Bytes));
        s.insert(QStringLiteral("duration_ms"), double(f.DurationUs) / 1000.0);
        s.insert(QStringLiteral("rate_kbps"), f.Rate);
        s.insert(QStringLiteral("tcp"), tcpJson(f.Tcp));
        perStream.append(s);
    }
    o.insert(QStringLiteral("per_stream"), perStream);
    addLatencyJson(o);
    writeLine(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QString CliRunner::limitAdvice(const TSessionResult &result) const
{
    if (result.Verdict.Limit != TLimit::ReceiveWindow || result.Verdict.NeededWindowBytes <= 0)
        return {};
    return ReceiveWindowAdvice::Text(TReceiveWindowSettings::ReadThisMachine(), result.Verdict.NeededWindowBytes,
                                     result.VerdictInput.RequestedWindow,
                                     result.Direction == TSessionDirection::Download);
}

void CliRunner::runIdleProbes(const QString &host, int port)
{
    FProbe = std::make_unique<TLatencyProbe>();
    FLatency = LatencyFigures();
    FProbe->setTarget(host, port, ipVersion());
    if (FOptions.probeIntervalMs > 0)
        FProbe->setIntervalMs(FOptions.probeIntervalMs);
    bool done = false;
    QObject::connect(FProbe.get(), &TLatencyProbe::IdleDone, [&done] { done = true; });
    FProbe->StartIdle();
    QEventLoop loop;
    while (!done)
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    QObject::disconnect(FProbe.get(), &TLatencyProbe::IdleDone, nullptr, nullptr);
}

void CliRunner::logLatency()
{
    if (!FProbe)
        return;
    for (const QString &line : LatencyReport::logLines(FLatency, FProbe->ErrorText()))
        logLine(line);
}

void CliRunner::addLatencyJson(QJsonObject &line) const
{
    if (FProbe)
        LatencyReport::addJson(line, FLatency, FProbe->ProbeBytesSent());
}

TIpVersion CliRunner::ipVersion() const
{
    return FOptions.ipVersion == 4   ? TIpVersion::IPv4Only
           : FOptions.ipVersion == 6 ? TIpVersion::IPv6Only
                                     : TIpVersion::Automatic;
}

void CliRunner::logConnected()
{
    // After the test's own lines, so they read as they always have; stamped twice, as the
    // "Connecting to" line it answers.
    if (const QString line = FKorvane.ConnectedLine(); !line.isEmpty())
        logLine(LogTimestamp::line(line));
}

void CliRunner::insertAddress(QJsonObject &line, const QString &address, const QString &family)
{
    line.insert(QStringLiteral("address"), address.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(address));
    line.insert(QStringLiteral("family"), family.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(family));
}

void CliRunner::addLatencyMetrics(MetricsFile::Series &test) const
{
    if (!FProbe)
        return;
    // Seconds, the unit Prometheus series of time are kept in.
    const auto seconds = [](double ms) { return ms >= 0 ? ms / 1000.0 : -1.0; };
    test.idleLatencySeconds = seconds(FLatency.IdleMs);
    test.loadedLatencySeconds = seconds(FLatency.LoadedMs);
    test.loadedLatencyP90Seconds = seconds(FLatency.LoadedP90Ms);
    test.rpm = FLatency.Rpm >= 0 ? std::round(FLatency.Rpm) : -1.0;
    test.grade = FLatency.Grade;
    test.lostProbes = FLatency.Lost;
}

bool CliRunner::recordSessionMetrics(const TSessionResult &result, qint64 startedMs)
{
    if (!FMetrics)
        return true;
    const QString target = serverLink(FCurrent.target, FOptions.sessionPort > 0 ? FOptions.sessionPort
                                                                                : CliOptions::DefaultSessionPort);
    MetricsFile::Series test;
    test.valid = result.Valid && result.Error.isEmpty() && !(FTimedOut && FSession.Cancelled());
    // A session test always leaves its limit, so that the series stay the same from run to run.
    test.limitedBy = TVerdict::LimitName(test.valid ? result.Verdict.Limit : TLimit::Unknown);
    if (test.valid) {
        test.rateBytesPerSecond = result.Rate * 1024.0;
        test.bytes = double(result.Bytes);
        test.durationSeconds = double(result.DurationUs) / 1e6;
    }
    test.timestampSeconds = double(startedMs) / 1000.0;
    test.streams = result.Streams;
    test.family = result.Family;
    if (test.valid)
        addLatencyMetrics(test);
    QString error;
    // Each direction is a link of its own to watch.
    if (FMetrics->Record({target, QStringLiteral("session-") + directionText(result.Direction)}, test, error))
        return true;
    std::fprintf(stderr, "korvane-cli: %s\n", qPrintable(error));
    return false;
}

void CliRunner::onSessionProgress(const TSessionProgress &progress)
{
    if (FProbe) {
        FProbe->setTestBytes(progress.BytesSoFar);
        // The sender's smoothed rtt of the loaded streams; for an upload the client sends,
        // and the server's figures are a receiver's.
        if (progress.Direction == TSessionDirection::Download) {
            std::vector<double> rtts;
            for (const TSessionStreamFigures &f : progress.Streams)
                if (f.Tcp.RttUs > 0)
                    rtts.push_back(double(f.Tcp.RttUs) / 1000.0);
            if (!rtts.empty())
                FProbe->AddSelfSample(LatencyFigures::median(rtts));
        }
    }
    if (FMeter) {
        TTestProgress p;
        p.BytesSoFar = progress.BytesSoFar;
        p.ElapsedUs = progress.ElapsedUs;
        p.IntervalBytes = progress.IntervalBytes;
        p.IntervalUs = progress.IntervalUs;
        p.IntervalRate = progress.IntervalRate;
        FMeter->Show(FCurrent.target + QStringLiteral(" (") + directionText(progress.Direction) + u')', p);
    }
    if (FReportsPerInterval <= 0)
        return;
    // A new direction starts its intervals afresh.
    if (progress.Direction != FSessionIntervalStart.Direction || progress.ElapsedUs < FSessionIntervalStart.ElapsedUs) {
        FSessionIntervalStart = TSessionProgress();
        FSessionIntervalStart.Direction = progress.Direction;
        FReportsSinceInterval = 0;
    }
    if (++FReportsSinceInterval < FReportsPerInterval)
        return;
    FReportsSinceInterval = 0;
    printSessionInterval(progress);
    FSessionIntervalStart = progress;
}

void CliRunner::printSessionInterval(const TSessionProgress &progress)
{
    const TSessionProgress &from = FSessionIntervalStart;
    const int64_t bytes = progress.BytesSoFar - from.BytesSoFar;
    const int64_t us = progress.ElapsedUs - from.ElapsedUs;
    const double rate = us > 0 ? double((long double)bytes / 1024 / us * 1000000) : 0.0;
    const double seconds = double(progress.ElapsedUs) / 1e6;
    const int64_t retransmits = std::max<int64_t>(0, progress.Tcp.Retransmits - from.Tcp.Retransmits);
    const double latencyMs = FProbe ? FProbe->TakeIntervalMs() : -1;
    if (!FOptions.json) {
        QString line = QStringLiteral("%1 s, %2: %3 KB in the interval, %4 KB so far, %5 KB per second, "
                                      "%6 retransmits, round trip %7 ms")
                           .arg(QLocale::system().toString(seconds, 'f', 2))
                           .arg(directionText(progress.Direction))
                           .arg(NumberFormat::twoDecimals(double(bytes) / 1024))
                           .arg(NumberFormat::twoDecimals(double(progress.BytesSoFar) / 1024))
                           .arg(NumberFormat::twoDecimals(rate))
                           .arg(retransmits)
                           .arg(NumberFormat::twoDecimals(double(progress.Tcp.RttUs) / 1000));
        if (latencyMs >= 0)
            line += QStringLiteral(", latency %1 ms").arg(NumberFormat::twoDecimals(latencyMs));
        logLine(line);
        return;
    }
    QJsonObject o;
    o.insert(QStringLiteral("type"), QStringLiteral("interval"));
    o.insert(QStringLiteral("target"), FCurrent.target);
    o.insert(QStringLiteral("direction"), directionText(progress.Direction));
    o.insert(QStringLiteral("streams"), int(progress.Streams.size()));
    o.insert(QStringLiteral("seconds"), seconds);
    o.insert(QStringLiteral("interval_bytes"), qint64(bytes));
    o.insert(QStringLiteral("bytes"), qint64(progress.BytesSoFar));
    o.insert(QStringLiteral("rate_kbps"), rate);
    if (FProbe)
        o.insert(QStringLiteral("latency_ms"), latencyMs >= 0 ? QJsonValue(latencyMs) : QJsonValue(QJsonValue::Null));
    // The interval's retransmits; the other figures are the server's latest.
    QJsonObject tcp = tcpJson(progress.Tcp);
    tcp.insert(QStringLiteral("retransmits"), qint64(retransmits));
    o.insert(QStringLiteral("tcp"), tcp);
    QJsonArray perStream;
    for (size_t i = 0; i < progress.Streams.size(); ++i) {
        const TSessionStreamFigures &f = progress.Streams[i];
        const bool known = i < from.Streams.size();
        const int64_t streamBytes = f.Bytes - (known ? from.Streams[i].Bytes : 0);
        QJsonObject s;
        s.insert(QStringLiteral("stream"), f.Stream);
        s.insert(QStringLiteral("interval_bytes"), qint64(streamBytes));
        s.insert(QStringLiteral("bytes"), qint64(f.Bytes));
        s.insert(QStringLiteral("rate_kbps"), us > 0 ? double((long double)streamBytes / 1024 / us * 1000000) : 0.0);
        QJsonObject st = tcpJson(f.Tcp);
        st.insert(QStringLiteral("retransmits"),
                  qint64(std::max<int64_t>(0, f.Tcp.Retransmits - (known ? from.Streams[i].Tcp.Retransmits : 0))));
        s.insert(QStringLiteral("tcp"), st);
        perStream.append(s);
    }
    o.insert(QStringLiteral("per_stream"), perStream);
    writeLine(QJsonDocument(o).toJson(QJsonDocument::Compact));
}
