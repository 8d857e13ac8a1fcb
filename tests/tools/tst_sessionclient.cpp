#include "engine/ApplicationExceptionHandler.h"
#include "engine/EKorvnError.h"
#include "engine/session/TSessionTest.h"

#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

#include <memory>

// The session client against korvane-server on loopback, driven through the event loop as
// the window and korvane-cli drive it.
class TestSessionClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { setApplicationExceptionHandler({}); }

    void directionsAndStreams_data();
    void directionsAndStreams();
    void exactAmountSplitOverStreams_data();
    void exactAmountSplitOverStreams();
    void pacedDownloadIsAccurate_data();
    void pacedDownloadIsAccurate();
    void progressFollowsEachDirection();
    void cancelMidSession();
    void failures_data();
    void failures();
    void serverGoneMidSession();
    void requestRefusedBeforeAnyConnection_data();
    void requestRefusedBeforeAnyConnection();
    void aggregateOverStreams_data();
    void aggregateOverStreams();

private:
    struct Server
    {
        std::unique_ptr<QProcess> process;
        int streamPort = 0;
        int sessionPort = 0;
        Server() = default;
        Server(Server &&) = default;
        Server &operator=(Server &&) = default;
        ~Server() { stop(); }
        void stop()
        {
            if (process && process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished();
            }
        }
    };
    Server startServer(const QStringList &arguments);
    // Runs one session to its end; false when it did not end within timeoutMs.
    bool run(TSessionTest &test, const TSessionRequest &request, int timeoutMs = 60000);
    static int openDescriptorCount();

    QString FBinDir;
    QStringList FUnexpected; // failures that escaped to the exception handler
};

Q_DECLARE_METATYPE(TSessionRequest::Directions)
Q_DECLARE_METATYPE(TSessionTcpFigures)
Q_DECLARE_METATYPE(std::vector<TSessionTcpFigures>)

void TestSessionClient::initTestCase()
{
    FBinDir = qEnvironmentVariable("KORVANE_BIN_DIR");
    QVERIFY2(QFileInfo::exists(FBinDir + QStringLiteral("/korvane-server")), "KORVANE_BIN_DIR must hold the programs");
    setApplicationExceptionHandler([this](const std::exception &e) { FUnexpected << QString::fromLocal8Bit(e.what()); });
}

TestSessionClient::Server TestSessionClient::startServer(const QStringList &arguments)
{
    Server s;
    s.process = std::make_unique<QProcess>();
    s.process->start(FBinDir + QStringLiteral("/korvane-server"),
                     QStringList({QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                  QStringLiteral("0"), QStringLiteral("--session-port"), QStringLiteral("0")})
                         + arguments);
    const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    const QRegularExpression sessions(QStringLiteral("sessions on 127\\.0\\.0\\.1:(\\d+)"));
    QByteArray err;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && (s.streamPort == 0 || s.sessionPort == 0)) {
        s.process->waitForReadyRead(100);
        err += s.process->readAllStandardError();
        const QString text = QString::fromUtf8(err);
        if (const auto m = listening.match(text); m.hasMatch())
            s.streamPort = m.captured(1).toInt();
        if (const auto m = sessions.match(text); m.hasMatch())
            s.sessionPort = m.captured(1).toInt();
    }
    return s;
}

bool TestSessionClient::run(TSessionTest &test, const TSessionRequest &request, int timeoutMs)
{
    test.Start(request);
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(timeoutMs);
    while (test.Running() && guard.isActive())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    return !test.Running();
}

int TestSessionClient::openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot).size());
}

void TestSessionClient::directionsAndStreams_data()
{
    QTest::addColumn<TSessionRequest::Directions>("direction");
    QTest::addColumn<int>("streams");
    for (int streams : {1, 4, 16}) {
        QTest::addRow("download, %d", streams) << TSessionRequest::Download << streams;
        QTest::addRow("upload, %d", streams) << TSessionRequest::Upload << streams;
        QTest::addRow("both, %d", streams) << TSessionRequest::Both << streams;
    }
}

void TestSessionClient::directionsAndStreams()
{
    QFETCH(TSessionRequest::Directions, direction);
    QFETCH(int, streams);
    Server server = startServer({});
    QVERIFY(server.sessionPort > 0);

    TSessionTest test;
    int finished = 0;
    std::vector<TSessionResult> results;
    connect(&test, &TSessionTest::Result, this, [&](const TSessionResult &r) { results.push_back(r); });
    connect(&test, &TSessionTest::Finished, this, [&] { ++finished; });
    TSessionRequest request;
    request.Host = QStringLiteral("127.0.0.1");
    request.SessionPort = server.sessionPort;
    request.Direction = direction;
    request.Streams = streams;
    request.Seconds = 0.5;
    QVERIFY(run(test, request));
    QCOMPARE(finished, 1);
    QVERIFY2(test.ErrorText().isEmpty(), qPrintable(test.ErrorText()));
    QVERIFY2(FUnexpected.isEmpty(), qPrintable(FUnexpected.join(u'\n')));

    const std::vector<TSessionDirection> expected =
        direction == TSessionRequest::Download ? std::vector{TSessionDirection::Download}
        : direction == TSessionRequest::Upload ? std::vector{TSessionDirection::Upload}
                                               : std::vector{TSessionDirection::Download, TSessionDirection::Upload};
    QCOMPARE(results.size(), expected.size());
    for (size_t i = 0; i < results.size(); ++i) {
        const TSessionResult &r = results[i];
        QCOMPARE(r.Direction, expected[i]);
        QVERIFY2(r.Valid, qPrintable(r.Error));
        QCOMPARE(r.Streams, streams);
        QCOMPARE(int(r.PerStream.size()), streams);
        QVERIFY(r.StartTime > 0);
        // Whatever the server sent (download) or received (upload) is all there is.
        QCOMPARE(r.Bytes, r.ServerBytes);
        int64_t sum = 0;
        for (const TSessionStreamFigures &f : r.PerStream) {
            QVERIFY2(f.Bytes > 0, "every stream carried data");
            QVERIFY(f.DurationUs > 0 && f.DurationUs <= r.DurationUs);
            sum += f.Bytes;
        }
        QCOMPARE(sum, r.Bytes);
        QVERIFY2(r.DurationUs > 300000 && r.DurationUs < 5000000, qPrintable(QString::number(r.DurationUs)));
        QCOMPARE(r.Rate, double((long double)r.Bytes / 1024 / r.DurationUs * 1000000));
        if (r.Direction == TSessionDirection::Upload)
            QCOMPARE(r.DurationUs, r.ServerDurationUs); // the server's own span, not the client's
        else // the sender's view of a loopback transfer
            QVERIFY(r.Tcp.MinRttUs > 0 && r.Tcp.CwndBytes > 0);
    }
}

void TestSessionClient::exactAmountSplitOverStreams_data()
{
    QTest::addColumn<TSessionRequest::Directions>("direction");
    QTest::addColumn<int>("streams");
    QTest::addColumn<qint64>("bytes");
    // The remainder goes to one stream; one byte per stream is the least.
    QTest::newRow("download, remainder") << TSessionRequest::Download << 4 << qint64(10 * 1024 * 1024 + 17);
    QTest::newRow("upload, remainder") << TSessionRequest::Upload << 4 << qint64(10 * 1024 * 1024 + 17);
    QTest::newRow("both, a byte per stream") << TSessionRequest::Both << 3 << qint64(3);
}

void TestSessionClient::exactAmountSplitOverStreams()
{
    QFETCH(TSessionRequest::Directions, direction);
    QFETCH(int, streams);
    QFETCH(qint64, bytes);
    Server server = startServer({});
    QVERIFY(server.sessionPort > 0);
    TSessionTest test;
    TSessionRequest request;
    request.Host = QStringLiteral("127.0.0.1");
    request.SessionPort = server.sessionPort;
    request.Direction = direction;
    request.Streams = streams;
    request.Bytes = bytes;
    QVERIFY(run(test, request));
    QVERIFY2(test.ErrorText().isEmpty(), qPrintable(test.ErrorText()));
    QCOMPARE(test.Results().size(), direction == TSessionRequest::Both ? size_t(2) : size_t(1));
    for (const TSessionResult &r : test.Results()) {
        QVERIFY2(r.Valid, qPrintable(r.Error));
        QCOMPARE(r.Bytes, bytes);
        QCOMPARE(r.ServerBytes, bytes);
    }
}

void TestSessionClient::pacedDownloadIsAccurate_data()
{
    QTest::addColumn<int>("busyAtStartMs");
    QTest::addColumn<int>("busyAtEndMs");
    QTest::newRow("served at once") << 0 << 0;
    // A client scheduled late (a busy machine) finds the payload waiting in the kernel.
    QTest::newRow("late at the start") << 300 << 0;
    QTest::newRow("late at the end") << 0 << 300;
}

void TestSessionClient::pacedDownloadIsAccurate()
{
    QFETCH(int, busyAtStartMs);
    QFETCH(int, busyAtEndMs);
    // The pace applies per stream, so two streams together move twice the rate.
    const double rate = 1000000;
    Server server = startServer({QStringLiteral("--rate"), QString::number(qint64(rate))});
    QVERIFY(server.sessionPort > 0);
    TSessionTest test;
    TSessionRequest request;
    request.Host = QStringLiteral("127.0.0.1");
    request.SessionPort = server.sessionPort;
    request.Streams = 2;
    request.Seconds = 3;
    if (busyAtStartMs > 0)
        connect(&test, &TSessionTest::DirectionStarted, this, [&] { QThread::msleep(ulong(busyAtStartMs)); });
    if (busyAtEndMs > 0) {
        test.setProgressInterval(100);
        connect(&test, &TSessionTest::Progress, this, [&](const TSessionProgress &p) {
            if (p.ElapsedUs > 2900000 && busyAtEndMs > 0)
                QThread::msleep(ulong(std::exchange(busyAtEndMs, 0)));
        });
    }
    QVERIFY(run(test, request));
    QCOMPARE(test.Results().size(), size_t(1));
    const TSessionResult &r = test.Results()[0];
    QVERIFY2(r.Valid, qPrintable(r.Error));
    const double measured = r.Rate * 1024;
    // Timed by the kernel's arrival times, so neither a start held back for a delayed
    // acknowledgement (40 ms, over 1 %) nor a client scheduled late (300 ms here) shows. The
    // bound leaves room for the server's own pace on a busy machine, a few ms at most.
    QVERIFY2(qAbs(measured - 2 * rate) <= 2 * rate * 0.005, qPrintable(QString::number(measured, 'f', 0)));
}

void TestSessionClient::progressFollowsEachDirection()
{
    Server server = startServer({});
    QVERIFY(server.sessionPort > 0);
    TSessionTest test;
    test.setProgressInterval(100);
    std::vector<TSessionProgress> reports;
    std::vector<TSessionDirection> started;
    connect(&test, &TSessionTest::Progress, this, [&](const TSessionProgress &p) { reports.push_back(p); });
    connect(&test, &TSessionTest::DirectionStarted, this, [&](TSessionDirection d) { started.push_back(d); });
    TSessionRequest request;
    request.Host = QStringLiteral("127.0.0.1");
    request.SessionPort = server.sessionPort;
    request.Direction = TSessionRequest::Both;
    request.Streams = 2;
    request.Seconds = 1.5;
    QVERIFY(run(test, request));
    QVERIFY2(test.ErrorText().isEmpty(), qPrintable(test.ErrorText()));
    QCOMPARE(started, std::vector({TSessionDirection::Download, TSessionDirection::Upload}));
    int perDirection[2] = {0, 0};
    const TSessionProgress *previous = nullptr;
    for (const TSessionProgress &p : reports) {
        ++perDirection[int(p.Direction)];
        QCOMPARE(int(p.Streams.size()), 2);
        int64_t sum = 0;
        for (const TSessionStreamFigures &f : p.Streams)
            sum += f.Bytes;
        QCOMPARE(sum, p.BytesSoFar);
        if (previous && previous->Direction == p.Direction) {
            QVERIFY(p.ElapsedUs > previous->ElapsedUs);
            QCOMPARE(p.IntervalBytes, p.BytesSoFar - previous->BytesSoFar);
            QCOMPARE(p.IntervalUs, p.ElapsedUs - previous->ElapsedUs);
        } else {
            // Every direction is shown from its own start.
            QCOMPARE(p.IntervalBytes, p.BytesSoFar);
        }
        previous = &p;
    }
    // Downloads are sampled by the client, uploads through the server's quarter-second reports.
    QVERIFY2(perDirection[0] >= 5, qPrintable(QString::number(perDirection[0])));
    QVERIFY2(perDirection[1] >= 2, qPrintable(QString::number(perDirection[1])));
    QCOMPARE(reports.back().Direction, TSessionDirection::Upload);
    QVERIFY(reports.back().BytesSoFar <= test.Results()[1].Bytes);
}

void TestSessionClient::cancelMidSession()
{
    Server server = startServer({QStringLiteral("--rate"), QStringLiteral("1000000")});
    QVERIFY(server.sessionPort > 0);
    const int descriptors = openDescriptorCount();
    {
        TSessionTest test;
        int finished = 0;
        connect(&test, &TSessionTest::Finished, this, [&] { ++finished; });
        connect(&test, &TSessionTest::Progress, &test, [&] { test.Cancel(); });
        test.setProgressInterval(200);
        TSessionRequest request;
        request.Host = QStringLiteral("127.0.0.1");
        request.SessionPort = server.sessionPort;
        request.Direction = TSessionRequest::Both;
        request.Streams = 4;
        request.Seconds = 30;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(run(test, request));
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(finished, 1);
        QVERIFY(test.Cancelled());
        QCOMPARE(test.Results().size(), size_t(1));
        QCOMPARE(test.Results()[0].Direction, TSessionDirection::Download);
        QVERIFY(!test.Results()[0].Valid);
        QCOMPARE(test.Results()[0].Error, QStringLiteral("Test cancelled"));
        test.Cancel(); // a second cancel does nothing
        QCOMPARE(finished, 1);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(openDescriptorCount(), descriptors);

        // The server lets the cancelled session go and serves the next one.
        request.Direction = TSessionRequest::Download;
        request.Seconds = 0.5;
        disconnect(&test, &TSessionTest::Progress, &test, nullptr);
        QVERIFY(run(test, request));
        QVERIFY2(test.ErrorText().isEmpty(), qPrintable(test.ErrorText()));
        QVERIFY(!test.Cancelled());
        QVERIFY(test.Results()[0].Valid);
    }
    QVERIFY2(FUnexpected.isEmpty(), qPrintable(FUnexpected.join(u'\n')));
}

void TestSessionClient::failures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected"); // regular expression for the error text
    QTest::newRow("nothing listens")
        << QStringLiteral("refused") << QStringLiteral("^Cannot connect to 127\\.0\\.0\\.1 port \\d+: Connection refused$");
    QTest::newRow("the stream port") << QStringLiteral("stream port")
                                     << QStringLiteral("^127\\.0\\.0\\.1 port \\d+ (is not a session server: .+|closed the "
                                                       "connection without greeting: is it a session server\\?)$");
    QTest::newRow("secret missing") << QStringLiteral("no secret")
                                    << QStringLiteral("^The server asks for the shared secret, and none was given$");
    QTest::newRow("wrong secret") << QStringLiteral("wrong secret")
                                  << QStringLiteral("^The server refused the session: authentication failed$");
    QTest::newRow("right secret") << QStringLiteral("right secret") << QString();
}

void TestSessionClient::failures()
{
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString secretFile = dir.filePath(QStringLiteral("secret"));
    QFile file(secretFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("open sesame\n");
    file.close();

    Server server = startServer(kind.contains(QLatin1String("secret"))
                                    ? QStringList({QStringLiteral("--secret-file"), secretFile})
                                    : QStringList());
    QVERIFY(server.sessionPort > 0);
    TSessionRequest request;
    request.Host = QStringLiteral("127.0.0.1");
    request.SessionPort = server.sessionPort;
    request.Seconds = 0.3;
    if (kind == QLatin1String("refused")) {
        server.stop();
    } else if (kind == QLatin1String("stream port")) {
        request.SessionPort = server.streamPort;
    } else if (kind == QLatin1String("wrong secret")) {
        request.Secret = "open sesame!";
    } else if (kind == QLatin1String("right secret")) {
        request.Secret = "open sesame"; // the file's final line end is not part of it
    }
    TSessionTest test;
    int finished = 0;
    connect(&test, &TSessionTest::Finished, this, [&] { ++finished; });
    QVERIFY(run(test, request));
    QCOMPARE(finished, 1);
    QCOMPARE(test.Results().size(), size_t(1));
    const TSessionResult &r = test.Results()[0];
    if (expected.isEmpty()) {
        QVERIFY2(r.Valid, qPrintable(r.Error));
        return;
    }
    QVERIFY(!r.Valid);
    QCOMPARE(r.Error, test.ErrorText());
    QVERIFY2(QRegularExpression(expected).match(r.Error).hasMatch(), qPrintable(r.Error));
    QVERIFY(r.StartTime < 0);
    QVERIFY2(FUnexpected.isEmpty(), qPrintable(FUnexpected.join(u'\n')));
}

void TestSessionClient::serverGoneMidSession()
{
    Server server = startServer({QStringLiteral("--rate"), QStringLiteral("1000000")});
    QVERIFY(server.sessionPort > 0);
    TSessionTest test;
    connect(&test, &TSessionTest::Progress, &test, [&] { server.stop(); }, Qt::SingleShotConnection);
    TSessionRequest request;
    request.Host = QStringLiteral("127.0.0.1");
    request.SessionPort = server.sessionPort;
    request.Streams = 2;
    request.Seconds = 30;
    QVERIFY(run(test, request, 20000));
    QCOMPARE(test.Results().size(), size_t(1));
    const TSessionResult &r = test.Results()[0];
    QVERIFY(!r.Valid);
    // A killed server resets or closes its connections; either way the text says what happened.
    QVERIFY2(QRegularExpression(QStringLiteral("^(The server closed the session before its end|The server closed "
                                               "data connection \\d .+|Data connection \\d failed: .+|The "
                                               "session's control connection failed: .+)$"))
                 .match(r.Error)
                 .hasMatch(),
             qPrintable(r.Error));
    QVERIFY2(FUnexpected.isEmpty(), qPrintable(FUnexpected.join(u'\n')));
}

void TestSessionClient::requestRefusedBeforeAnyConnection_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("streams");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no host") << QString() << 1 << 1.0 << QStringLiteral("No server given");
    QTest::newRow("line feed") << QStringLiteral("a\nb") << 1 << 1.0 << QStringLiteral("control character");
    QTest::newRow("no streams") << QStringLiteral("h") << 0 << 1.0 << QStringLiteral("Streams must be 1 to 64");
    QTest::newRow("65 streams") << QStringLiteral("h") << 65 << 1.0 << QStringLiteral("Streams must be 1 to 64");
    QTest::newRow("too short") << QStringLiteral("h") << 1 << 0.05 << QStringLiteral("0.1 to 86400 seconds");
    QTest::newRow("not a number") << QStringLiteral("h") << 1 << qQNaN() << QStringLiteral("0.1 to 86400 seconds");
}

void TestSessionClient::requestRefusedBeforeAnyConnection()
{
    QFETCH(QString, host);
    QFETCH(int, streams);
    QFETCH(double, seconds);
    QFETCH(QString, expected);
    TSessionTest test;
    int signals_ = 0;
    connect(&test, &TSessionTest::StatusMsg, this, [&] { ++signals_; });
    connect(&test, &TSessionTest::Finished, this, [&] { ++signals_; });
    TSessionRequest request;
    request.Host = host;
    request.Streams = streams;
    request.Seconds = seconds;
    try {
        test.Start(request);
        QFAIL("the request was sent");
    } catch (const EKorvnError &e) {
        QVERIFY2(e.Message().contains(expected), qPrintable(e.Message()));
    }
    QVERIFY(!test.Running());
    QCOMPARE(signals_, 0);
}

void TestSessionClient::aggregateOverStreams_data()
{
    QTest::addColumn<std::vector<TSessionTcpFigures>>("streams");
    QTest::addColumn<TSessionTcpFigures>("expected");
    auto figures = [](int64_t rtt, int64_t minRtt, int64_t retrans, int64_t cwnd, int64_t rate, int64_t busy,
                      int64_t rwnd, int64_t sndbuf) {
        TSessionTcpFigures f;
        f.RttUs = rtt;
        f.MinRttUs = minRtt;
        f.Retransmits = retrans;
        f.CwndBytes = cwnd;
        f.DeliveryRateBps = rate;
        f.BusyUs = busy;
        f.RwndLimitedUs = rwnd;
        f.SndbufLimitedUs = sndbuf;
        return f;
    };
    QTest::newRow("none") << std::vector<TSessionTcpFigures>{} << TSessionTcpFigures{};
    QTest::newRow("one") << std::vector{figures(10, 5, 1, 100, 1000, 7, 3, 2)} << figures(10, 5, 1, 100, 1000, 7, 3, 2);
    // Sums for what adds up over parallel streams, the worst for times, the lowest for min_rtt.
    QTest::newRow("three") << std::vector{figures(10, 5, 1, 100, 1000, 7, 3, 2), figures(30, 9, 2, 200, 500, 4, 8, 0),
                                          figures(20, 4, 0, 50, 250, 9, 0, 6)}
                           << figures(30, 4, 3, 350, 1750, 9, 8, 6);
    // A stream without an rtt sample yet says nothing about the lowest one.
    QTest::newRow("no sample yet") << std::vector{figures(0, 0, 0, 0, 0, 0, 0, 0), figures(30, 9, 2, 200, 500, 4, 8, 0)}
                                   << figures(30, 9, 2, 200, 500, 4, 8, 0);
}

void TestSessionClient::aggregateOverStreams()
{
    QFETCH(std::vector<TSessionTcpFigures>, streams);
    QFETCH(TSessionTcpFigures, expected);
    const TSessionTcpFigures got = TSessionTcpFigures::Aggregate(streams);
    QCOMPARE(got.RttUs, expected.RttUs);
    QCOMPARE(got.MinRttUs, expected.MinRttUs);
    QCOMPARE(got.Retransmits, expected.Retransmits);
    QCOMPARE(got.CwndBytes, expected.CwndBytes);
    QCOMPARE(got.DeliveryRateBps, expected.DeliveryRateBps);
    QCOMPARE(got.BusyUs, expected.BusyUs);
    QCOMPARE(got.RwndLimitedUs, expected.RwndLimitedUs);
    QCOMPARE(got.SndbufLimitedUs, expected.SndbufLimitedUs);
}

QTEST_GUILESS_MAIN(TestSessionClient)
#include "tst_sessionclient.moc"
