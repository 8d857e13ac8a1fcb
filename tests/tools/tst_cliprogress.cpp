#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

// korvane-cli's live output: the meter on a terminal and the interval lines, against a paced
// korvane-server on loopback.
class TestCliProgress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void intervalLines_data();
    void intervalLines();
    void meterOnATerminal_data();
    void meterOnATerminal();
    void intervalUsageErrors_data();
    void intervalUsageErrors();

private:
    // Runs korvane-cli with its standard error on a pseudo-terminal; returns the exit code.
    int runOnTerminal(const QStringList &arguments, QByteArray &out, QByteArray &terminal);
    int runCli(const QStringList &arguments, QByteArray &out, QByteArray *err = nullptr);

    QString FBinDir;
    std::unique_ptr<QProcess> FServer;
    int FPort = 0;
};

namespace {
// About 1.5 s per test at the paced rate.
constexpr qint64 kAmount = 3 * 1024 * 1024;
constexpr qint64 kRate = 2 * 1024 * 1024;
} // namespace

void TestCliProgress::initTestCase()
{
    FBinDir = qEnvironmentVariable("KORVANE_BIN_DIR");
    QVERIFY2(QFileInfo::exists(FBinDir + QStringLiteral("/korvane-server")), "KORVANE_BIN_DIR must hold the programs");
    FServer = std::make_unique<QProcess>();
    FServer->start(FBinDir + QStringLiteral("/korvane-server"),
                   {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QStringLiteral("0"),
                    QStringLiteral("--bytes"), QString::number(kAmount), QStringLiteral("--rate"), QString::number(kRate)});
    const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QByteArray err;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && FPort == 0) {
        FServer->waitForReadyRead(100);
        err += FServer->readAllStandardError();
        if (const auto m = listening.match(QString::fromUtf8(err)); m.hasMatch())
            FPort = m.captured(1).toInt();
    }
    QVERIFY(FPort > 0);
}

void TestCliProgress::cleanupTestCase()
{
    if (FServer && FServer->state() != QProcess::NotRunning) {
        FServer->kill();
        FServer->waitForFinished();
    }
}

int TestCliProgress::runCli(const QStringList &arguments, QByteArray &out, QByteArray *err)
{
    QProcess cli;
    cli.start(FBinDir + QStringLiteral("/korvane-cli"), arguments);
    if (!cli.waitForFinished(60000)) {
        cli.kill();
        cli.waitForFinished();
        return -1;
    }
    out = cli.readAllStandardOutput();
    if (err)
        *err = cli.readAllStandardError();
    return cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
}

int TestCliProgress::runOnTerminal(const QStringList &arguments, QByteArray &out, QByteArray &terminal)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        if (master >= 0)
            ::close(master);
        return -2;
    }
    QProcess cli;
    cli.setStandardErrorFile(QString::fromLocal8Bit(::ptsname(master)));
    cli.start(FBinDir + QStringLiteral("/korvane-cli"), arguments);
    QDeadlineTimer deadline(60000);
    auto drain = [&](int waitMs) {
        pollfd p{master, POLLIN, 0};
        char buffer[4096];
        while (::poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN)) {
            const ssize_t got = ::read(master, buffer, sizeof buffer);
            if (got <= 0)
                break;
            terminal.append(buffer, got);
            waitMs = 0;
        }
    };
    while (!cli.waitForFinished(20) && !deadline.hasExpired())
        drain(0);
    if (cli.state() != QProcess::NotRunning) {
        cli.kill();
        cli.waitForFinished();
    }
    drain(100);
    ::close(master);
    out = cli.readAllStandardOutput();
    return cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
}

void TestCliProgress::intervalLines_data()
{
    QTest::addColumn<QString>("interval");
    QTest::addColumn<int>("minimumLines"); // per test of about 1.5 s

    QTest::newRow("0.2 s") << QStringLiteral("0.2") << 5;
    QTest::newRow("0.5 s") << QStringLiteral("0.5") << 2;
}

void TestCliProgress::intervalLines()
{
    QFETCH(QString, interval);
    QFETCH(int, minimumLines);

    QByteArray out;
    QCOMPARE(runCli({QStringLiteral("--json"), QStringLiteral("--interval"), interval, QStringLiteral("--port"),
                     QString::number(FPort), QStringLiteral("127.0.0.1"), QStringLiteral("localhost")},
                    out),
             0);
    // Per target: its interval lines, then its own line.
    QList<QJsonObject> intervals;
    int results = 0;
    for (const QByteArray &raw : out.split('\n')) {
        if (raw.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(raw).object();
        QVERIFY2(!o.isEmpty(), raw.constData());
        if (o[QStringLiteral("type")].toString() == QStringLiteral("interval")) {
            intervals << o;
            continue;
        }
        ++results;
        QVERIFY(o[QStringLiteral("valid")].toBool());
        const qint64 total = o[QStringLiteral("bytes")].toInteger();
        QCOMPARE(total, kAmount);
        QVERIFY2(intervals.size() >= minimumLines, qPrintable(QString::number(intervals.size())));
        qint64 bytes = 0;
        double seconds = 0;
        const double step = interval.toDouble();
        for (const QJsonObject &i : std::as_const(intervals)) {
            QCOMPARE(i.keys(), QStringList({"bytes", "interval_bytes", "rate_kbps", "seconds", "target", "type"}));
            QCOMPARE(i[QStringLiteral("target")], o[QStringLiteral("target")]);
            const qint64 now = i[QStringLiteral("bytes")].toInteger();
            QVERIFY(now >= bytes);
            QCOMPARE(i[QStringLiteral("interval_bytes")].toInteger(), now - bytes);
            const double at = i[QStringLiteral("seconds")].toDouble();
            // The reports keep to their schedule: one delayed by a busy machine is followed by
            // a shorter one, never by a burst.
            QVERIFY2(at > seconds, qPrintable(QStringLiteral("%1 after %2").arg(at).arg(seconds)));
            const double rate = i[QStringLiteral("rate_kbps")].toDouble();
            QVERIFY(rate >= 0 && rate < 10 * kRate / 1024.0);
            bytes = now;
            seconds = at;
        }
        QVERIFY(bytes > 0);
        QVERIFY(bytes <= total);
        const double duration = o[QStringLiteral("duration_ms")].toDouble() / 1000;
        QVERIFY2(intervals.size() <= duration / step + 2,
                 qPrintable(QStringLiteral("%1 lines in %2 s").arg(intervals.size()).arg(duration)));
        intervals.clear();
    }
    QCOMPARE(results, 2);
    QVERIFY(intervals.isEmpty());
}

void TestCliProgress::meterOnATerminal_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("meter");

    QTest::newRow("text log") << QStringList() << true;
    QTest::newRow("with interval lines") << QStringList({QStringLiteral("--interval"), QStringLiteral("0.5")}) << true;
    QTest::newRow("quiet") << QStringList({QStringLiteral("--quiet")}) << false;
    QTest::newRow("json") << QStringList({QStringLiteral("--json")}) << false;
}

void TestCliProgress::meterOnATerminal()
{
    QFETCH(QStringList, options);
    QFETCH(bool, meter);

    QByteArray out;
    QByteArray terminal;
    const int code = runOnTerminal(options + QStringList({QStringLiteral("--port"), QString::number(FPort),
                                                          QStringLiteral("127.0.0.1")}),
                                   out, terminal);
    if (code == -2)
        QSKIP("no pseudo-terminal available");
    QCOMPARE(code, 0);
    // The log on standard output is what it always was; the meter never goes there.
    QVERIFY(!out.contains('\r'));
    QVERIFY(!out.contains('\x1b'));
    if (!meter) {
        QCOMPARE(terminal, QByteArray());
        return;
    }
    // Several updates, each rewriting the line in place, and the line erased at the end.
    const QList<QByteArray> updates = terminal.split('\r');
    QVERIFY2(updates.size() >= 4, terminal.constData());
    QVERIFY(!terminal.contains('\n'));
    QVERIFY(terminal.endsWith("\r\x1b[K"));
    const QRegularExpression figures(QStringLiteral("^127\\.0\\.0\\.1  [\\d.,]+ [KMG]B  [\\d.,]+ s  [\\d.,]+ [KMG]B/s\\x1b\\[K$"));
    int shown = 0;
    for (const QByteArray &update : updates) {
        if (update.isEmpty() || update == "\x1b[K")
            continue;
        QVERIFY2(figures.match(QString::fromUtf8(update)).hasMatch(), update.constData());
        QVERIFY(update.size() < 80);
        ++shown;
    }
    QVERIFY(shown >= 3);
    if (options.contains(QStringLiteral("--interval")))
        QVERIFY(out.contains(" KB in the interval, "));
}

void TestCliProgress::intervalUsageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("zero") << QStringList({QStringLiteral("--interval"), QStringLiteral("0"), QStringLiteral("h")});
    QTest::newRow("negative") << QStringList({QStringLiteral("--interval=-1"), QStringLiteral("h")});
    QTest::newRow("too short") << QStringList({QStringLiteral("--interval"), QStringLiteral("0.001"), QStringLiteral("h")});
    QTest::newRow("not a number") << QStringList({QStringLiteral("--interval"), QStringLiteral("soon"), QStringLiteral("h")});
    QTest::newRow("missing") << QStringList({QStringLiteral("h"), QStringLiteral("--interval")});
}

void TestCliProgress::intervalUsageErrors()
{
    QFETCH(QStringList, arguments);
    QByteArray out;
    QByteArray err;
    QCOMPARE(runCli(arguments, out, &err), 2);
    QVERIFY(out.isEmpty());
    QVERIFY2(err.contains("interval"), err.constData());
}

QTEST_GUILESS_MAIN(TestCliProgress)
#include "tst_cliprogress.moc"
