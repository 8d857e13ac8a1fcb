#include "tools/korvane-cli/MetricsFile.h"

#include <QtTest>

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// Metrics for Prometheus from korvane-cli (a textfile for node_exporter) and from
// korvane-server (its /metrics port), checked with promtool and curl.
class TestMetrics : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void labelsReadBackAndPassPromtool_data();
    void labelsReadBackAndPassPromtool();
    void limitIsAStateSet();
    void shapeAndLatencyOnlyWhereKnown_data();
    void shapeAndLatencyOnlyWhereKnown();
    void cliFileKeepsCountersAcrossRuns();
    void recentResultsKeepTheLatestTen();
    void cliFileCarriesThePlanAndRecentShares();
    void cliLeavesForeignFileAlone();
    void cliFailsWhenTheFileCannotBeWritten();
    void serverCountsWhatItServed();
    void serverAnswersOnlyGetMetrics_data();
    void serverAnswersOnlyGetMetrics();
    void serverRefusesMalformedRequests_data();
    void serverRefusesMalformedRequests();
    void serverStreamsWhileMetricsClientsStall();

private:
    struct Server
    {
        std::unique_ptr<QProcess> process;
        int port = 0;
        int metricsPort = 0;
        ~Server()
        {
            if (process && process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished();
            }
        }
    };
    void startServer(Server &s, const QStringList &arguments);
    int runCli(const QStringList &arguments, QByteArray *err = nullptr);
    // Empty when promtool accepts the text, else what it said.
    QString promtoolProblems(const QByteArray &text);
    QByteArray curl(const QStringList &arguments);
    static double sample(const QByteArray &text, const QString &series);
    static int refusedPort();

    QString FBinDir;
    QString FPromtool;
    QString FCurl;
};

void TestMetrics::initTestCase()
{
    FBinDir = qEnvironmentVariable("KORVANE_BIN_DIR");
    QVERIFY2(QFileInfo::exists(FBinDir + QStringLiteral("/korvane-server")), "KORVANE_BIN_DIR must hold the programs");
    FPromtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    FCurl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    QVERIFY2(!FPromtool.isEmpty(), "promtool (package prometheus) is needed");
    QVERIFY2(!FCurl.isEmpty(), "curl is needed");
}

void TestMetrics::startServer(Server &s, const QStringList &arguments)
{
    s.process = std::make_unique<QProcess>();
    s.process->start(FBinDir + QStringLiteral("/korvane-server"),
                     QStringList{"--listen", "127.0.0.1", "--port", "0"} + arguments);
    const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    const QRegularExpression metrics(QStringLiteral("metrics on 127\\.0\\.0\\.1:(\\d+)"));
    const bool wantMetrics = arguments.contains(QStringLiteral("--metrics"));
    QByteArray err;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && (s.port == 0 || (wantMetrics && s.metricsPort == 0))) {
        s.process->waitForReadyRead(100);
        err += s.process->readAllStandardError();
        if (const auto m = listening.match(QString::fromUtf8(err)); m.hasMatch())
            s.port = m.captured(1).toInt();
        if (const auto m = metrics.match(QString::fromUtf8(err)); m.hasMatch())
            s.metricsPort = m.captured(1).toInt();
    }
}

int TestMetrics::runCli(const QStringList &arguments, QByteArray *err)
{
    QProcess cli;
    cli.start(FBinDir + QStringLiteral("/korvane-cli"), arguments);
    if (!cli.waitForFinished(60000)) {
        cli.kill();
        cli.waitForFinished();
        return -1;
    }
    if (err)
        *err = cli.readAllStandardError();
    return cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
}

QString TestMetrics::promtoolProblems(const QByteArray &text)
{
    QProcess promtool;
    promtool.start(FPromtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    promtool.write(text);
    promtool.closeWriteChannel();
    if (!promtool.waitForFinished(30000))
        return QStringLiteral("promtool did not finish");
    if (promtool.exitCode() == 0)
        return {};
    return QString::fromUtf8(promtool.readAllStandardOutput() + promtool.readAllStandardError());
}

QByteArray TestMetrics::curl(const QStringList &arguments)
{
    QProcess c;
    c.start(FCurl, QStringList{"-s", "--max-time", "10"} + arguments);
    c.waitForFinished(20000);
    return c.readAllStandardOutput();
}

// The value of one series, given as it is written (name and labels); NaN when absent.
double TestMetrics::sample(const QByteArray &text, const QString &series)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(series.toUtf8() + ' ')) {
            const QByteArray value = line.mid(series.toUtf8().size() + 1);
            return value == "NaN" ? qQNaN() : value.toDouble();
        }
    }
    return qQNaN();
}

int TestMetrics::refusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // closed again when probe goes
}

void TestMetrics::labelsReadBackAndPassPromtool_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("plain") << "127.0.0.1:8081";
    QTest::newRow("quote and backslash") << "http://h/a\"b\\c";
    QTest::newRow("line break") << "http://h/a\nb";
    QTest::newRow("non-ASCII") << QStringLiteral("http://bücher.example/東京");
    QTest::newRow("braces and comma") << "http://h/{a},b=\"c\"";
}

void TestMetrics::labelsReadBackAndPassPromtool()
{
    QFETCH(QString, target);
    MetricsFile::SeriesMap series;
    MetricsFile::Series s;
    s.rateBytesPerSecond = 123456789.125;
    s.bytes = 5368709121; // past 4 GiB, exact
    s.durationSeconds = 0.001;
    s.valid = true;
    s.timestampSeconds = 1765375200.5;
    s.testsTotal = 3;
    s.testsFailedTotal = 1;
    series.insert({target, QStringLiteral("web")}, s);
    series.insert({QStringLiteral("other"), QStringLiteral("server")}, MetricsFile::Series());

    const QByteArray text = MetricsFile::Format(series);
    QCOMPARE(promtoolProblems(text), QString());
    const MetricsFile::SeriesMap back = MetricsFile::Parse(text);
    QCOMPARE(back.size(), 2);
    const MetricsFile::Series r = back.value({target, QStringLiteral("web")});
    QCOMPARE(r.rateBytesPerSecond, s.rateBytesPerSecond);
    QCOMPARE(r.bytes, s.bytes);
    QCOMPARE(r.durationSeconds, s.durationSeconds);
    QCOMPARE(r.valid, true);
    QCOMPARE(r.timestampSeconds, s.timestampSeconds);
    QCOMPARE(r.testsTotal, 3.0);
    QCOMPARE(r.testsFailedTotal, 1.0);
    QCOMPARE(back.value({QStringLiteral("other"), QStringLiteral("server")}).valid, false);
}

// One sample per limit and series, 1 for the last verdict: the series stay the same when the
// limit changes. Series without a verdict (stream tests) get none, and a file of stream tests
// alone has no such family at all.
void TestMetrics::limitIsAStateSet()
{
    MetricsFile::SeriesMap series;
    MetricsFile::Series session;
    session.valid = true;
    session.limitedBy = QStringLiteral("receive_window");
    series.insert({QStringLiteral("10.0.0.5:8082"), QStringLiteral("session-download")}, session);
    series.insert({QStringLiteral("10.0.0.5:8081"), QStringLiteral("server")}, MetricsFile::Series());
    const QByteArray text = MetricsFile::Format(series);
    QCOMPARE(promtoolProblems(text), QString());
    const QString prefix = QStringLiteral("korvane_last_limited_by{target=\"10.0.0.5:8082\",mode=\"session-download\",limit=\"%1\"}");
    for (const char *limit : {"receive_window", "send_buffer", "application", "loss", "path", "client_cpu", "unknown"})
        QCOMPARE(sample(text, prefix.arg(QLatin1String(limit))), qstrcmp(limit, "receive_window") == 0 ? 1.0 : 0.0);
    QCOMPARE(text.count("korvane_last_limited_by{"), 7);
    QCOMPARE(MetricsFile::Parse(text), series);

    series.remove({QStringLiteral("10.0.0.5:8082"), QStringLiteral("session-download")});
    QVERIFY(!MetricsFile::Format(series).contains("limited_by"));
}

void TestMetrics::shapeAndLatencyOnlyWhereKnown_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<double>("streams");
    QTest::addColumn<QString>("family");
    QTest::addColumn<QString>("grade");
    QTest::newRow("session with latency") << "session-upload" << 4.0 << "ipv6" << "B";
    QTest::newRow("stream test with latency") << "server" << 0.0 << QString() << "A+";
    QTest::newRow("session, no latency") << "session-download" << 16.0 << "ipv4" << QString();
}

// Streams, family and the latency figures are gauges of the last test where it has them, the
// family and grade state sets like the limit; a file without any stays as it was, and a
// series without them gets no sample.
void TestMetrics::shapeAndLatencyOnlyWhereKnown()
{
    QFETCH(QString, mode);
    QFETCH(double, streams);
    QFETCH(QString, family);
    QFETCH(QString, grade);
    MetricsFile::SeriesMap plain;
    MetricsFile::Series old;
    old.valid = true;
    old.rateBytesPerSecond = 1000;
    plain.insert({QStringLiteral("10.0.0.5:8081"), QStringLiteral("server")}, old);
    const QByteArray before = MetricsFile::Format(plain);

    MetricsFile::SeriesMap series = plain;
    MetricsFile::Series s;
    s.valid = true;
    s.streams = streams;
    s.family = family;
    if (!grade.isEmpty()) {
        s.idleLatencySeconds = 0.0125;
        s.loadedLatencySeconds = 0.09525;
        s.loadedLatencyP90Seconds = 0.2;
        s.rpm = 540;
        s.grade = grade;
        s.lostProbes = 1;
    }
    const MetricsFile::Key key{QStringLiteral("10.0.0.9:8082"), mode};
    series.insert(key, s);
    const QByteArray text = MetricsFile::Format(series);
    QCOMPARE(promtoolProblems(text), QString());
    QCOMPARE(MetricsFile::Parse(text), series);
    // A file of plain tests gains nothing; beside a session, the plain series gets no optional sample.
    for (const char *name : {"streams", "family", "latency", "rpm", "probes", "grade"}) {
        QVERIFY2(!before.contains(name), name);
        for (const QByteArray &line : text.split('\n'))
            QVERIFY2(!(line.contains(name) && line.contains("10.0.0.5:8081")), line.constData());
    }

    const QString labels = QStringLiteral("{target=\"10.0.0.9:8082\",mode=\"%1\"").arg(mode);
    QCOMPARE(sample(text, QStringLiteral("korvane_last_streams") + labels + u'}'), streams > 0 ? streams : qQNaN());
    QCOMPARE(text.contains("korvane_last_streams{target=\"10.0.0.5:8081\""), false);
    QCOMPARE(sample(text, QStringLiteral("korvane_last_family") + labels + QStringLiteral(",family=\"ipv6\"}")),
             family.isEmpty() ? qQNaN() : family == u"ipv6" ? 1.0 : 0.0);
    if (grade.isEmpty()) {
        QVERIFY(!text.contains("latency"));
        QVERIFY(!text.contains("grade"));
    } else {
        QCOMPARE(sample(text, QStringLiteral("korvane_last_loaded_latency_seconds") + labels + u'}'), 0.09525);
        QCOMPARE(sample(text, QStringLiteral("korvane_last_responsiveness_rpm") + labels + u'}'), 540.0);
        QCOMPARE(sample(text, QStringLiteral("korvane_last_lost_probes") + labels + u'}'), 1.0);
        for (const char *g : {"A+", "A", "B", "C", "D", "F"})
            QCOMPARE(sample(text, QStringLiteral("korvane_last_bufferbloat_grade") + labels
                                      + QStringLiteral(",grade=\"%1\"}").arg(QLatin1String(g))),
                     grade == QLatin1String(g) ? 1.0 : 0.0);
    }
}

void TestMetrics::cliFileKeepsCountersAcrossRuns()
{
    Server server;
    startServer(server, {"--bytes", "100000"});
    QVERIFY(server.port > 0);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("korvane.prom"));
    const QString port = QString::number(server.port);

    QCOMPARE(runCli({"--metrics-file", file, "--port", port, "127.0.0.1"}), 0);
    QCOMPARE(runCli({"--metrics-file", file, "--port", port, "127.0.0.1"}), 0);
    const int closed = refusedPort();
    QCOMPARE(runCli({"--metrics-file", file, "--port", QString::number(closed), "127.0.0.1"}), 1);

    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    QCOMPARE(promtoolProblems(text), QString());
    const QString good = QStringLiteral("{target=\"127.0.0.1:%1\",mode=\"server\"}").arg(port);
    const QString bad = QStringLiteral("{target=\"127.0.0.1:%1\",mode=\"server\"}").arg(closed);
    QCOMPARE(sample(text, "korvane_tests_total" + good), 2.0);
    QCOMPARE(sample(text, "korvane_tests_failed_total" + good), 0.0);
    QCOMPARE(sample(text, "korvane_last_valid" + good), 1.0);
    QCOMPARE(sample(text, "korvane_last_received_bytes" + good), 100000.0);
    QVERIFY(sample(text, "korvane_last_rate_bytes_per_second" + good) > 0);
    QVERIFY(sample(text, "korvane_last_duration_seconds" + good) > 0);
    const double now = double(QDateTime::currentSecsSinceEpoch());
    QVERIFY(qAbs(sample(text, "korvane_last_test_timestamp_seconds" + good) - now) < 120);
    QCOMPARE(sample(text, "korvane_tests_failed_total" + bad), 1.0);
    QCOMPARE(sample(text, "korvane_last_valid" + bad), 0.0);

    // The next failure adds to the count kept in the file.
    QCOMPARE(runCli({"--metrics-file", file, "--port", QString::number(closed), "127.0.0.1"}), 1);
    f.close();
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray again = f.readAll();
    QCOMPARE(sample(again, "korvane_tests_failed_total" + bad), 2.0);
    QCOMPARE(sample(again, "korvane_tests_total" + good), 2.0);
    // Only the file itself is left: no temporary file or lock the collector could read.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"korvane.prom"});
}

// Rules ask for "M of the last N": each target keeps its last ten results, the latest as
// result="1", and a share of plan only where a plan was given.
void TestMetrics::recentResultsKeepTheLatestTen()
{
    QTemporaryDir dir;
    MetricsFile file(dir.filePath(QStringLiteral("k.prom")));
    const MetricsFile::Key key{QStringLiteral("h:8081"), QStringLiteral("server")};
    QString error;
    for (int i = 1; i <= 12; ++i) {
        MetricsFile::Series test;
        test.valid = i % 3 != 0; // 3, 6, 9 and 12 failed
        test.rateBytesPerSecond = test.valid ? 1e6 * i : 0;
        test.planBytesPerSecond = i > 4 ? 10e6 : 0; // 80 Mbit/s from the fifth test on
        QVERIFY2(file.Record(key, test, error), qPrintable(error));
    }
    QFile f(dir.filePath(QStringLiteral("k.prom")));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    QCOMPARE(promtoolProblems(text), QString());
    const QString valid = QStringLiteral("korvane_recent_valid{target=\"h:8081\",mode=\"server\",result=\"%1\"}");
    const QString share = QStringLiteral("korvane_recent_share_of_plan{target=\"h:8081\",mode=\"server\",result=\"%1\"}");
    for (int result = 1; result <= 10; ++result) {
        const int test = 13 - result;
        QCOMPARE(sample(text, valid.arg(result)), test % 3 != 0 ? 1.0 : 0.0);
        const double expected = test % 3 != 0 && test > 4 ? 1e6 * test / 10e6 : qQNaN();
        QCOMPARE(sample(text, share.arg(result)), expected);
    }
    QVERIFY(!text.contains("result=\"11\""));
    QCOMPARE(sample(text, QStringLiteral("korvane_plan_bytes_per_second{target=\"h:8081\",mode=\"server\"}")), 10e6);
    const MetricsFile::Series back = MetricsFile::Parse(text).value(key);
    QCOMPARE(back.recentValid.size(), 10);
    QCOMPARE(back.recentShare.size(), 10);
    QCOMPARE(back.recentShare.at(0), -1.0); // the twelfth failed
    QCOMPARE(back.recentShare.at(1), 11e6 / 10e6);
}

// korvane-cli --plan: the plan in the file, each result's share of it, a failure as NaN.
void TestMetrics::cliFileCarriesThePlanAndRecentShares()
{
    Server server;
    startServer(server, {"--bytes", "200000"});
    QVERIFY(server.port > 0);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("korvane.prom"));
    const QString port = QString::number(server.port);
    QCOMPARE(runCli({"--metrics-file", file, "--plan", "100M/20M", "--port", port, "127.0.0.1"}), 0);
    QCOMPARE(runCli({"--metrics-file", file, "--plan", "100M/20M", "--port", port, "127.0.0.1"}), 0);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    QCOMPARE(promtoolProblems(text), QString());
    const QString labels = QStringLiteral("{target=\"127.0.0.1:%1\",mode=\"server\"").arg(port);
    QCOMPARE(sample(text, "korvane_plan_bytes_per_second" + labels + u'}'), 12.5e6);
    const double rate = sample(text, "korvane_last_rate_bytes_per_second" + labels + u'}');
    QVERIFY(rate > 0);
    // The file's rate is rounded to its shortest text; the share is worked out from the exact one.
    QVERIFY(qAbs(sample(text, "korvane_recent_share_of_plan" + labels + ",result=\"1\"}") - rate / 12.5e6) < 1e-9);
    QVERIFY(sample(text, "korvane_recent_share_of_plan" + labels + ",result=\"2\"}") > 0);
    QCOMPARE(sample(text, "korvane_recent_valid" + labels + ",result=\"2\"}"), 1.0);
}

void TestMetrics::cliLeavesForeignFileAlone()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("notes.prom"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("my_own_metric 1\n");
    f.close();
    QByteArray err;
    QCOMPARE(runCli({"--metrics-file", file, "--port", QString::number(refusedPort()), "127.0.0.1"}, &err), 2);
    QVERIFY2(err.contains("not a metrics file of korvane-cli"), err.constData());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("my_own_metric 1\n"));
}

void TestMetrics::cliFailsWhenTheFileCannotBeWritten()
{
    Server server;
    startServer(server, {"--bytes", "1000"});
    QVERIFY(server.port > 0);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("missing-folder/korvane.prom"));
    QByteArray err;
    // The test itself is valid; the result that could not be handed on makes the run fail.
    QCOMPARE(runCli({"--metrics-file", file, "--port", QString::number(server.port), "127.0.0.1"}, &err), 1);
    QVERIFY2(err.contains("folder is missing or not writable"), err.constData());
}

void TestMetrics::serverCountsWhatItServed()
{
    Server server;
    startServer(server, {"--bytes", "250000", "--metrics", "127.0.0.1:0"});
    QVERIFY(server.port > 0 && server.metricsPort > 0);
    const QString url = QStringLiteral("http://127.0.0.1:%1/metrics").arg(server.metricsPort);

    const QByteArray before = curl({url});
    QCOMPARE(promtoolProblems(before), QString());
    QCOMPARE(sample(before, "korvane_server_connections_total"), 0.0);
    const double now = double(QDateTime::currentSecsSinceEpoch());
    QVERIFY(qAbs(sample(before, "korvane_server_start_time_seconds") - now) < 120);

    const QString port = QString::number(server.port);
    QCOMPARE(runCli({"--port", port, "127.0.0.1", "127.0.0.1"}), 0);
    const QByteArray after = curl({url});
    QCOMPARE(promtoolProblems(after), QString());
    QCOMPARE(sample(after, "korvane_server_connections_total"), 2.0);
    QCOMPARE(sample(after, "korvane_server_sent_bytes_total"), 500000.0);
    QCOMPARE(sample(after, "korvane_server_active_connections"), 0.0);
    QCOMPARE(sample(after, "korvane_server_paced_connections"), 0.0);
    QCOMPARE(sample(after, "korvane_server_errors_total"), 0.0);

    const QByteArray headers = curl({"-D", "-", "-o", "/dev/null", url});
    QVERIFY2(headers.startsWith("HTTP/1.1 200 OK\r\n"), headers.constData());
    QVERIFY(headers.contains("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
}

void TestMetrics::serverAnswersOnlyGetMetrics_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("status");
    QTest::newRow("GET /metrics") << QStringList() << "/metrics" << QByteArray("200");
    QTest::newRow("with a query") << QStringList() << "/metrics?x=1" << QByteArray("200");
    QTest::newRow("root") << QStringList() << "/" << QByteArray("404");
    QTest::newRow("below /metrics") << QStringList() << "/metrics/x" << QByteArray("404");
    QTest::newRow("POST") << QStringList{"-X", "POST", "-d", "x"} << "/metrics" << QByteArray("405");
    QTest::newRow("HEAD") << QStringList{"-I"} << "/metrics" << QByteArray("405");
    QTest::newRow("DELETE") << QStringList{"-X", "DELETE"} << "/metrics" << QByteArray("405");
}

void TestMetrics::serverAnswersOnlyGetMetrics()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, path);
    QFETCH(QByteArray, status);
    Server server;
    startServer(server, {"--metrics", "127.0.0.1:0"});
    QVERIFY(server.metricsPort > 0);
    const QString url = QStringLiteral("http://127.0.0.1:%1%2").arg(server.metricsPort).arg(path);
    QCOMPARE(curl(arguments + QStringList{"-o", "/dev/null", "-w", "%{http_code}", url}), status);
}

void TestMetrics::serverRefusesMalformedRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("no version") << QByteArray("GET /metrics\r\n\r\n");
    QTest::newRow("unknown version") << QByteArray("GET /metrics HTTP/2.0\r\n\r\n");
    QTest::newRow("extra word") << QByteArray("GET /metrics HTTP/1.1 x\r\n\r\n");
    QTest::newRow("binary") << QByteArray("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03\n\n", 14);
    QTest::newRow("endless head") << QByteArray("GET /metrics HTTP/1.1\r\nX: ") + QByteArray(9000, 'a');
}

void TestMetrics::serverRefusesMalformedRequests()
{
    QFETCH(QByteArray, request);
    Server server;
    startServer(server, {"--metrics", "127.0.0.1:0"});
    QVERIFY(server.metricsPort > 0);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(server.metricsPort));
    QVERIFY(socket.waitForConnected(5000));
    socket.write(request);
    QByteArray answer;
    QDeadlineTimer deadline(10000);
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(200);
        answer += socket.readAll();
    }
    answer += socket.readAll();
    QVERIFY2(answer.startsWith("HTTP/1.1 400 Bad Request\r\n"), answer.constData());
    QCOMPARE(socket.state(), QAbstractSocket::UnconnectedState); // closed after the answer
}

void TestMetrics::serverStreamsWhileMetricsClientsStall()
{
    Server server;
    startServer(server, {"--bytes", "4000000", "--metrics", "127.0.0.1:0"});
    QVERIFY(server.port > 0 && server.metricsPort > 0);
    // More idle clients than the port holds, one stuck halfway through its request.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 24; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, quint16(server.metricsPort));
        QVERIFY(idle.back()->waitForConnected(5000));
    }
    idle.front()->write("GET /metr");
    idle.front()->flush();

    QCOMPARE(runCli({"--timeout", "30", "--port", QString::number(server.port), "127.0.0.1"}), 0);
    const QByteArray text = curl({QStringLiteral("http://127.0.0.1:%1/metrics").arg(server.metricsPort)});
    QCOMPARE(sample(text, "korvane_server_sent_bytes_total"), 4000000.0);
}

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
