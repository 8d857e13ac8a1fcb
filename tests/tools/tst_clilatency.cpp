#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

// korvane-cli's latency figures against a real bottleneck: a token bucket on the loopback of a
// network namespace of the test's own, with korvane-server and korvane-cli inside it.
class TestCliLatency : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void gradeUnderLoad_data();
    void gradeUnderLoad();

private:
    QString FBinDir;
};

namespace {

// Inside the namespace: the loopback up with an Ethernet-sized MTU (tbf drops every packet
// of the default 64 KiB one), shaped when asked; the server on fixed ports (the namespace is
// empty), then the client. Exit 77: no tbf here.
const char *kScript = R"(
set -e
bin=$1; shape=$2; shift 2
ip link set lo up mtu 1500
if [ "$shape" = yes ]; then
    tc qdisc add dev lo root tbf rate 10mbit burst 32kbit latency 400ms 2>/dev/null || exit 77
fi
"$bin/korvane-server" --listen 127.0.0.1 --port 8081 --session-port 8082 --seconds 4 >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null' EXIT
for i in $(seq 50); do
    (exec 3<>/dev/tcp/127.0.0.1/8082) 2>/dev/null && break
    sleep 0.1
done
"$bin/korvane-cli" --quiet --json "$@" 127.0.0.1
)";

} // namespace

void TestCliLatency::initTestCase()
{
    FBinDir = qEnvironmentVariable("KORVANE_BIN_DIR");
    QVERIFY2(QFileInfo::exists(FBinDir + QStringLiteral("/korvane-cli")), "KORVANE_BIN_DIR must hold the programs");
    QProcess probe;
    probe.start(QStringLiteral("unshare"), {QStringLiteral("-rn"), QStringLiteral("true")});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        QSKIP(qPrintable(QStringLiteral("no private network namespace here (unshare -rn: %1)")
                             .arg(QString::fromLocal8Bit(probe.readAllStandardError()).trimmed()
                                  + probe.errorString())));
}

void TestCliLatency::gradeUnderLoad_data()
{
    QTest::addColumn<bool>("shaped");
    QTest::addColumn<QStringList>("arguments");
    // Which loaded figure must rise by 30 ms: the median, or for a single stream the 90th
    // percentile. One stream saws between a full queue and a drained one after each loss
    // (a timeout drops its window to one segment), so its median ran anywhere from 20 to
    // 90 ms here, for the stream test and a one-stream session alike; its peaks are what
    // shows the queue. Four streams keep the queue full.
    QTest::addColumn<bool>("medianDecides");

    const QStringList session{QStringLiteral("--seconds"), QStringLiteral("4")};
    // The stream test measures latency only when asked, on the server's session port.
    const QStringList stream{QStringLiteral("--latency"), QStringLiteral("--port"), QStringLiteral("8081")};
    QTest::newRow("session, shaped") << true << session << false;
    QTest::newRow("session, 4 streams upload, shaped")
        << true << (session + QStringList{QStringLiteral("--streams"), QStringLiteral("4"), QStringLiteral("--direction"), QStringLiteral("upload")})
        << true;
    QTest::newRow("stream test, shaped") << true << stream << false;
    QTest::newRow("session, unshaped") << false << session << true;
    QTest::newRow("stream test, unshaped") << false << stream << true;
}

void TestCliLatency::gradeUnderLoad()
{
    QFETCH(bool, shaped);
    QFETCH(QStringList, arguments);
    QFETCH(bool, medianDecides);

    QProcess run;
    run.start(QStringLiteral("unshare"), QStringList{QStringLiteral("-rn"), QStringLiteral("bash"), QStringLiteral("-c"),
                                                    QString::fromLatin1(kScript), QStringLiteral("latency-test"), FBinDir,
                                                    shaped ? QStringLiteral("yes") : QStringLiteral("no")}
                                           + arguments);
    QVERIFY(run.waitForFinished(120000));
    const QByteArray out = run.readAllStandardOutput();
    const QByteArray err = run.readAllStandardError();
    if (run.exitCode() == 77)
        QSKIP("the tbf queueing discipline is not available here");
    QVERIFY2(run.exitCode() == 0, (out + err).constData());

    const QJsonObject line = QJsonDocument::fromJson(out.split('\n').first()).object();
    QVERIFY2(line.value(QStringLiteral("valid")).toBool(), out.constData());
    const double idle = line.value(QStringLiteral("idle_latency_ms")).toDouble(-1);
    const double loaded = line.value(QStringLiteral("loaded_latency_ms")).toDouble(-1);
    const double p90 = line.value(QStringLiteral("loaded_latency_p90_ms")).toDouble(-1);
    const QString grade = line.value(QStringLiteral("bufferbloat_grade")).toString();
    const QString figures = QStringLiteral("idle %1 ms, loaded %2 ms, p90 %3 ms, grade %4, rpm %5")
                                .arg(idle).arg(loaded).arg(p90).arg(grade)
                                .arg(line.value(QStringLiteral("rpm")).toDouble());
    qInfo().noquote() << figures;
    QVERIFY2(idle >= 0 && loaded >= 0 && p90 >= loaded, qPrintable(figures));
    QVERIFY2(line.value(QStringLiteral("rpm")).toDouble() > 0, qPrintable(figures));
    if (shaped && medianDecides) {
        QVERIFY2(loaded - idle >= 30, qPrintable(figures));
        QVERIFY2(QStringList({QStringLiteral("B"), QStringLiteral("C"), QStringLiteral("D"), QStringLiteral("F")}).contains(grade),
                 qPrintable(figures));
    } else if (shaped) {
        QVERIFY2(p90 - idle >= 30, qPrintable(figures));
        QVERIFY2(grade != QLatin1String("A+"), qPrintable(figures));
    } else {
        QVERIFY2(grade == QLatin1String("A+") || grade == QLatin1String("A"), qPrintable(figures));
    }
}

QTEST_GUILESS_MAIN(TestCliLatency)
#include "tst_clilatency.moc"
