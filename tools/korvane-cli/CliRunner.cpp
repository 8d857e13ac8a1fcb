#include "CliRunner.h"

#include "ApplicationExceptionHandler.h"
#include "ControlCharacters.h"
#include "DateTimeSerial.h"
#include "KorvaneException.h"
#include "LogTimestamp.h"
#include "NumberFormat.h"
#include "Uri.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTimer>

CliRunner::CliRunner(const CliOptions &options, FILE *out)
    : FOptions(options)
    , FOut(out)
{
    FKorvane.setOnStatusMsg([this](const QString &line) { onStatusMsg(line); });
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
    bool allValid = true;
    for (const QString &target : std::as_const(FOptions.targets))
        allValid = runOne(target) && allValid;
    return allValid ? 0 : 1;
}

void CliRunner::logLine(const QString &text)
{
    if (FOptions.json)
        return;
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
    FTimedOut = false;
    if (FOptions.timeoutSeconds > 0) {
        QObject::connect(&timeout, &QTimer::timeout, [this] {
            FTimedOut = true;
            FKorvane.CancelTest();
        });
        timeout.start(std::chrono::milliseconds(qint64(FOptions.timeoutSeconds * 1000)));
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
    return valid;
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
    const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact);
    std::fwrite(line.constData(), 1, size_t(line.size()), FOut);
    std::fputc('\n', FOut);
    std::fflush(FOut);
}
