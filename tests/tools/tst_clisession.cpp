#include "tests/tools/ProgramRunner.h"

#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>

// korvane-cli's session tests, run as the user would against korvane-server on loopback.
class TestCliSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void jsonLinePerDirection();
    void textLogOfASession();
    void intervalLinesPerDirection();
    void timeoutCancelsSession();
    void secretFromFile_data();
    void secretFromFile();
    void usageErrorsExitTwo_data();
    void usageErrorsExitTwo();

private:
    using Server = ProgramRunner::Server;
    Server startServer(const QStringList &arguments = {}) const
    {
        return FRunner.startServer(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1")} + arguments);
    }
    int runCli(const QStringList &arguments, QByteArray *out = nullptr, QByteArray *err = nullptr) const
    {
        return FRunner.runCli(arguments, out, err);
    }
    static QList<QJsonObject> jsonLines(const QByteArray &out) { return ProgramRunner::jsonLines(out); }
    QStringList sessionArgs(const Server &server, const QStringList &more) const;

    ProgramRunner FRunner;
};

void TestCliSession::initTestCase()
{
    QVERIFY2(FRunner.found(), "KORVANE_BIN_DIR must hold the programs");
}

QStringList TestCliSession::sessionArgs(const Server &server, const QStringList &more) const
{
    return QStringList({QStringLiteral("--session-port"), QString::number(server.sessionPort)}) + more
           + QStringList(QStringLiteral("127.0.0.1"));
}

void TestCliSession::jsonLinePerDirection()
{
    Server server = startServer();
    QVERIFY(server.sessionPort > 0);
    QByteArray out;
    QCOMPARE(runCli(sessionArgs(server, {QStringLiteral("--json"), QStringLiteral("--direction"), QStringLiteral("both"),
                                         QStringLiteral("--streams"), QStringLiteral("3"), QStringLiteral("--seconds"),
                                         QStringLiteral("0.5")}),
                    &out),
             0);
    const QList<QJsonObject> results = jsonLines(out);
    QCOMPARE(results.size(), 2);
    // Sessions measure latency and judge their limit by default: those fields are in every result line.
    const QStringList keys({"accumulated_average_kbps", "accumulated_count", "address", "bufferbloat_grade", "bytes",
                            "direction", "duration_ms", "error", "family", "idle_latency_ms", "latency_increase_ms", "latency_note", "latency_probe_bytes",
                            "latency_probes",
                            "limit_advice", "limit_text", "limited_by", "loaded_latency_ms", "loaded_latency_p90_ms",
                            "log", "lost_probes", "mode", "per_stream", "rate_kbps", "rpm", "rpm_p90", "rpm_rating", "server_bytes",
                            "server_duration_ms", "start_time", "streams", "target", "tcp", "valid"});
    const QStringList tcpKeys({"bottleneck_rate_bps", "busy_share", "busy_us", "client_cpu_share", "cwnd_bytes",
                               "delivery_rate_bps", "loaded_rtt_us", "min_rtt_us", "needed_window_bytes",
                               "queue_delay_us", "retransmit_share", "retransmits", "rtt_us", "rwnd_limited_share",
                               "rwnd_limited_us", "sndbuf_limited_share", "sndbuf_limited_us", "window_bytes",
                               "window_rate_bps"});
    for (int i = 0; i < 2; ++i) {
        const QJsonObject &r = results[i];
        QCOMPARE(r.keys(), keys);
        QCOMPARE(r["direction"].toString(), i == 0 ? QStringLiteral("download") : QStringLiteral("upload"));
        QCOMPARE(r["mode"].toString(), QStringLiteral("session"));
        QCOMPARE(r["streams"].toInt(), 3);
        QVERIFY2(r["valid"].toBool(), qPrintable(r["error"].toString()));
        QVERIFY(r["error"].isNull());
        QCOMPARE(r["bytes"].toInteger(), r["server_bytes"].toInteger());
        QCOMPARE(r["accumulated_count"].toInt(), i + 1);
        QCOMPARE(r["tcp"].toObject().keys(), tcpKeys);
        const QJsonArray perStream = r["per_stream"].toArray();
        QCOMPARE(perStream.size(), 3);
        qint64 sum = 0;
        for (int s = 0; s < 3; ++s) {
            QCOMPARE(perStream[s].toObject()["stream"].toInt(), s);
            sum += perStream[s].toObject()["bytes"].toInteger();
        }
        QCOMPARE(sum, r["bytes"].toInteger());
        QVERIFY(QDateTime::fromString(r["start_time"].toString(), Qt::ISODateWithMs).isValid());
    }
    // Each line carries its own direction's part of the log.
    QVERIFY(results[0]["log"].toArray().contains(QStringLiteral("Receiving data - timer started.")));
    QVERIFY(results[1]["log"].toArray().contains(QStringLiteral("Sending data - timer started.")));
    QVERIFY(results[0]["tcp"].toObject()["min_rtt_us"].toInteger() > 0);
}

void TestCliSession::textLogOfASession()
{
    Server server = startServer();
    QVERIFY(server.sessionPort > 0);
    QByteArray out;
    QCOMPARE(runCli(sessionArgs(server, {QStringLiteral("--streams"), QStringLiteral("2"), QStringLiteral("--seconds"),
                                         QStringLiteral("0.5")}),
                    &out),
             0);
    const QStringList lines = QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts);
    auto find = [&](const QString &pattern) {
        const QRegularExpression re(pattern);
        for (int i = 0; i < lines.size(); ++i) {
            if (re.match(lines[i]).hasMatch())
                return i;
        }
        return -1;
    };
    const int initiating = find(QStringLiteral(" - Initiating session test to 127\\.0\\.0\\.1$"));
    const int started = find(QStringLiteral(" - Download started on 2 streams$"));
    const int received = find(QStringLiteral("^[^-]+ - Received [\\d.,]+ KB \\(\\d+\\) in [\\d.,]+ milliseconds$"));
    const int rate = find(QStringLiteral("^[^-]+ - [\\d.,]+ KB per second$"));
    const int stream1 = find(QStringLiteral(" - Stream 1: [\\d.,]+ KB in [\\d.,]+ milliseconds, [\\d.,]+ KB per second$"));
    const int tcp = find(QStringLiteral(" - Server's TCP figures: round trip [\\d.,]+ ms \\(lowest [\\d.,]+ ms\\), \\d+ "
                                        "retransmits, congestion window [\\d.,]+ KB"));
    QVERIFY2(initiating == 0 && started > initiating && received > started && rate == received + 1 && stream1 > rate
                 && tcp > stream1,
             out.constData());
    QVERIFY(lines.last().endsWith(QStringLiteral(" - Test finished")));
    // Status lines carry two timestamps, as the stream test's do.
    QCOMPARE(lines[initiating].count(QStringLiteral(" - ")), 2);
}

void TestCliSession::intervalLinesPerDirection()
{
    Server server = startServer();
    QVERIFY(server.sessionPort > 0);
    QByteArray out;
    QCOMPARE(runCli(sessionArgs(server, {QStringLiteral("--json"), QStringLiteral("--interval"), QStringLiteral("0.25"),
                                         QStringLiteral("--direction"), QStringLiteral("both"), QStringLiteral("--streams"),
                                         QStringLiteral("2"), QStringLiteral("--seconds"), QStringLiteral("1.5")}),
                    &out),
             0);
    int intervals[2] = {0, 0};
    qint64 sumOfIntervals[2] = {0, 0};
    QList<QJsonObject> results;
    for (const QJsonObject &o : jsonLines(out)) {
        if (o["type"].toString() != QLatin1String("interval")) {
            results << o;
            continue;
        }
        const int d = o["direction"].toString() == QLatin1String("upload") ? 1 : 0;
        QCOMPARE(results.size(), d); // a direction's intervals come before its result
        ++intervals[d];
        sumOfIntervals[d] += o["interval_bytes"].toInteger();
        QCOMPARE(sumOfIntervals[d], o["bytes"].toInteger());
        QCOMPARE(o["streams"].toInt(), 2);
        QCOMPARE(o["per_stream"].toArray().size(), 2);
        QVERIFY(o["tcp"].toObject().contains(QStringLiteral("retransmits")));
        QVERIFY(o["tcp"].toObject().contains(QStringLiteral("rtt_us")));
    }
    QCOMPARE(results.size(), 2);
    QVERIFY2(intervals[0] >= 3 && intervals[1] >= 3, out.constData());
}

void TestCliSession::timeoutCancelsSession()
{
    Server server = startServer({QStringLiteral("--rate"), QStringLiteral("100000")});
    QVERIFY(server.sessionPort > 0);
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(runCli(sessionArgs(server, {QStringLiteral("--json"), QStringLiteral("--timeout"), QStringLiteral("0.5"),
                                         QStringLiteral("--seconds"), QStringLiteral("30")}),
                    &out),
             1);
    QVERIFY(clock.elapsed() < 10000);
    const QList<QJsonObject> results = jsonLines(out);
    QCOMPARE(results.size(), 1);
    QCOMPARE(results[0]["valid"].toBool(), false);
    QCOMPARE(results[0]["error"].toString(), QStringLiteral("Test cancelled: no result within 0.5 seconds"));
}

void TestCliSession::secretFromFile_data()
{
    QTest::addColumn<QByteArray>("clientSecret"); // empty: no --secret-file
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");
    QTest::newRow("the same, other line end") << QByteArray("s3cret\r\n") << 0 << QString();
    QTest::newRow("another") << QByteArray("s3cret2\n") << 1
                             << QStringLiteral("The server refused the session: authentication failed");
    QTest::newRow("none") << QByteArray() << 1
                          << QStringLiteral("The server asks for the shared secret, and none was given");
}

void TestCliSession::secretFromFile()
{
    QFETCH(QByteArray, clientSecret);
    QFETCH(int, exitCode);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QFile serverSecret(dir.filePath(QStringLiteral("server")));
    QVERIFY(serverSecret.open(QIODevice::WriteOnly));
    serverSecret.write("s3cret\n");
    serverSecret.close();
    Server server = startServer({QStringLiteral("--secret-file"), serverSecret.fileName()});
    QVERIFY(server.sessionPort > 0);
    QStringList args({QStringLiteral("--json"), QStringLiteral("--seconds"), QStringLiteral("0.3")});
    if (!clientSecret.isEmpty()) {
        QFile f(dir.filePath(QStringLiteral("client")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(clientSecret);
        f.close();
        args << QStringLiteral("--secret-file") << f.fileName();
    }
    QByteArray out;
    QCOMPARE(runCli(sessionArgs(server, args), &out), exitCode);
    const QList<QJsonObject> results = jsonLines(out);
    QCOMPARE(results.size(), 1);
    if (error.isEmpty())
        QVERIFY(results[0]["error"].isNull());
    else
        QCOMPARE(results[0]["error"].toString(), error);
}

void TestCliSession::usageErrorsExitTwo_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("no streams") << QStringList({"--streams", "0", "h"}) << "streams must be a number from 1 to 64: 0";
    QTest::newRow("65 streams") << QStringList({"--streams=65", "h"}) << "streams must be a number from 1 to 64: 65";
    QTest::newRow("streams not a number") << QStringList({"--streams", "x", "h"}) << "streams must be a number";
    QTest::newRow("direction") << QStringList({"--direction", "sideways", "h"})
                               << "direction must be download, upload or both: sideways";
    QTest::newRow("seconds too short") << QStringList({"--seconds", "0.05", "h"})
                                       << "seconds must be a number from 0.1 to 86400: 0.05";
    QTest::newRow("seconds inf") << QStringList({"--seconds", "inf", "h"}) << "seconds must be a number";
    QTest::newRow("session port 0") << QStringList({"--session-port", "0", "h"}) << "session port must be a number";
    QTest::newRow("session port too high") << QStringList({"--session-port", "65536", "h"})
                                           << "session port must be a number";
    QTest::newRow("window 0") << QStringList({"--window", "0", "h"}) << "window must be a number of bytes";
    QTest::newRow("window huge") << QStringList({"--window", "99999999999", "h"}) << "window must be a number of bytes";
    QTest::newRow("secret file empty name") << QStringList({"--secret-file=", "h"}) << "secret file name is empty";
    QTest::newRow("secret file missing") << QStringList({"--secret-file", "/nonexistent/secret", "h"})
                                         << "cannot read the secret file /nonexistent/secret";
    QTest::newRow("with --web") << QStringList({"--web", "--streams", "2", "h"})
                                << "--web cannot be combined with the session options";
    QTest::newRow("with --port") << QStringList({"--port", "81", "--direction", "upload", "h"})
                                 << "a session test uses --session-port";
    QTest::newRow("missing value") << QStringList({"h", "--streams"}) << "missing value for --streams";
}

void TestCliSession::usageErrorsExitTwo()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QByteArray out, err;
    QCOMPARE(runCli(arguments, &out, &err), 2);
    QVERIFY2(err.contains(message.toUtf8()), err.constData());
    QVERIFY(out.isEmpty());
}

QTEST_GUILESS_MAIN(TestCliSession)
#include "tst_clisession.moc"
