#include "tests/tools/ProgramRunner.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

// What limited a session, on real paths: each case runs korvane-server and korvane-cli in a
// private network namespace whose loopback it shapes or makes lossy, so nothing outside it is
// touched.
class TestCliLimit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void limitOfARealPath_data();
    void limitOfARealPath();

private:
    QString FBinDir;
};

namespace {

// Runs inside the namespace; exit status 77 means the machine cannot make the case.
const char *kCaseScript = R"SH(
ip link set lo up mtu 1500 2>/dev/null || { echo "the loopback cannot be set up in a namespace" >&2; exit 77; }
if [ -n "$SHAPE" ]; then
  tc qdisc add dev lo root $SHAPE 2>/dev/null || { echo "tc with tbf is missing" >&2; exit 77; }
fi
if [ -n "$DROP" ]; then
  ipt=$(command -v iptables-legacy || command -v iptables) || { echo "iptables is missing" >&2; exit 77; }
  "$ipt" -A INPUT -p tcp --sport 18082 -m length --length 1000:65535 -m statistic --mode random --probability "$DROP" -j DROP 2>/dev/null \
    || { echo "this kernel cannot drop packets at random (xt_statistic)" >&2; exit 77; }
fi
"$BIN/korvane-server" --listen 127.0.0.1 --port 18080 --session-port 18082 $SERVER_ARGS 2>"$WORK/server.log" &
pid=$!
for i in $(seq 200); do grep -q 'sessions on' "$WORK/server.log" && break; sleep 0.05; done
if [ -n "$BACKGROUND" ]; then
  # A stream test beside the session keeps the shaped queue full: a standing delay for both.
  "$BIN/korvane-cli" --quiet --port 18080 127.0.0.1 >/dev/null 2>&1 &
  bg=$!
  sleep 1
fi
"$BIN/korvane-cli" --json --quiet --session-port 18082 $CLI_ARGS 127.0.0.1
rc=$?
[ -n "$bg" ] && kill $bg
kill $pid
wait $pid 2>/dev/null
exit $rc
)SH";

bool holds(const QJsonObject &tcp, const QString &check, QString &why)
{
    static const QRegularExpression form(QStringLiteral("^(\\w+)(>=|<=)(-?[0-9.e]+)$"));
    const QRegularExpressionMatch m = form.match(check);
    if (!m.hasMatch()) {
        why = QStringLiteral("bad check ") + check;
        return false;
    }
    const QJsonValue value = tcp.value(m.captured(1));
    if (!value.isDouble()) {
        why = m.captured(1) + QStringLiteral(" is missing or not a number");
        return false;
    }
    const double v = value.toDouble();
    const double limit = m.captured(3).toDouble();
    why = QStringLiteral("%1 is %2").arg(m.captured(1)).arg(v, 0, 'g', 10);
    return m.captured(2) == QLatin1String(">=") ? v >= limit : v <= limit;
}

} // namespace

void TestCliLimit::initTestCase()
{
    FBinDir = qEnvironmentVariable("KORVANE_BIN_DIR");
    QVERIFY2(QFileInfo::exists(FBinDir + QStringLiteral("/korvane-cli")), "KORVANE_BIN_DIR must hold the programs");
    if (QProcess::execute(QStringLiteral("unshare"), {QStringLiteral("-n"), QStringLiteral("true")}) != 0)
        QSKIP("unshare -n does not work here (needs root or user namespaces)");
}

void TestCliLimit::limitOfARealPath_data()
{
    QTest::addColumn<QString>("shape");      // tbf options on the loopback, or empty
    QTest::addColumn<QString>("drop");       // probability of a random drop, or empty
    QTest::addColumn<bool>("background");    // a stream test beside the session
    QTest::addColumn<QString>("serverArgs");
    QTest::addColumn<QString>("cliArgs");
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QStringList>("figures"); // of the result's tcp object

    // A 16 KiB window at loopback's round trip: the server waits on it most of its busy time.
    QTest::newRow("small window on the open loopback")
        << "" << "" << false << "" << "--window 16384 --seconds 3" << "receive_window"
        << QStringList{"rwnd_limited_share>=0.5", "window_bytes>=16384", "window_bytes<=16384",
                       "window_rate_bps>=1", "needed_window_bytes>=16385"};
    // 1 MB/s per stream on a path that carries hundreds: the server idles.
    QTest::newRow("paced server") << "" << "" << false << "--rate 1000000" << "--seconds 3 --streams 2" << "application"
                                  << QStringList{"busy_share<=0.5"};
    // 20 Mbit/s with a 100 ms queue, and the kernel's own window sizing: the path. Drops at the
    // full queue do not make it loss.
    QTest::newRow("shaped to 20 Mbit/s") << "tbf rate 20mbit burst 32kbit latency 100ms" << "" << false << ""
                                         << "--seconds 5" << "path"
                                         << QStringList{"bottleneck_rate_bps>=2250000", "bottleneck_rate_bps<=2750000",
                                                        "queue_delay_us>=2000", "busy_share>=0.8"};
    // 5 % of the server's full segments dropped at random, with no queue to fill (fewer leave
    // loopback so fast that the server's own pace shows first); the latency
    // probes' short packets pass.
    QTest::newRow("random drops") << "" << "0.05" << false << "" << "--seconds 3" << "loss"
                                  << QStringList{"retransmit_share>=0.01", "queue_delay_us<=1999"};
    // A 4 KiB window over a round trip of milliseconds, made by a stream test that keeps a
    // 100 Mbit/s queue full beside the session: the window allows a few hundred kB/s, which
    // any server outpaces, and the path has room for far more. A window of under three
    // segments also leaves the sender nothing to send but whole-window waits, which the
    // kernel counts (with a larger one it defers partial sends, and counts them as busy).
    QTest::newRow("small window over a delayed path")
        << "tbf rate 100mbit burst 64kbit latency 50ms" << "" << true << "--seconds 30"
        << "--window 4096 --seconds 3" << "receive_window"
        << QStringList{"rwnd_limited_share>=0.5", "window_bytes>=4096", "window_bytes<=4096",
                       "loaded_rtt_us>=2000", "needed_window_bytes>=4097"};
}

void TestCliLimit::limitOfARealPath()
{
    QFETCH(QString, shape);
    QFETCH(QString, drop);
    QFETCH(bool, background);
    QFETCH(QString, serverArgs);
    QFETCH(QString, cliArgs);
    QFETCH(QString, limit);
    QFETCH(QStringList, figures);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BIN"), FBinDir);
    env.insert(QStringLiteral("WORK"), work.path());
    env.insert(QStringLiteral("SHAPE"), shape);
    env.insert(QStringLiteral("DROP"), drop);
    env.insert(QStringLiteral("BACKGROUND"), background ? QStringLiteral("1") : QString());
    env.insert(QStringLiteral("SERVER_ARGS"), serverArgs);
    env.insert(QStringLiteral("CLI_ARGS"), cliArgs);
    QByteArray out, err;
    const int status = ProgramRunner::run(QStringLiteral("unshare"),
                                          {QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"),
                                           QString::fromLatin1(kCaseScript)},
                                          env, &out, &err);
    if (status == 77)
        QSKIP(qPrintable(QStringLiteral("cannot make this case here: ") + QString::fromLocal8Bit(err).trimmed()));
    QVERIFY2(status == 0, (out + err).constData());

    const QJsonObject result = QJsonDocument::fromJson(out.trimmed()).object();
    QVERIFY2(result.value(QStringLiteral("valid")).toBool(), out.constData());
    const QString text = result.value(QStringLiteral("limit_text")).toString();
    // On open loopback only the sender's speed decides whether it ever waits on the window: a
    // sanitizer-built server beside other work may not. Then the case cannot be made here; once
    // the sender did wait, the verdict must name the window.
    const double waitShare =
        result.value(QStringLiteral("tcp")).toObject().value(QStringLiteral("rwnd_limited_share")).toDouble();
    if (limit == QLatin1String("receive_window") && shape.isEmpty() && waitShare < 0.5)
        QSKIP(qPrintable(QStringLiteral("the server never waited on the window here (share %1): %2")
                             .arg(waitShare)
                             .arg(text)));
    QVERIFY2(result.value(QStringLiteral("limited_by")).toString() == limit, qPrintable(text + u'\n' + out));
    QVERIFY2(text.startsWith(QStringLiteral("Limited by")), qPrintable(text));
    const QJsonObject tcp = result.value(QStringLiteral("tcp")).toObject();
    for (const QString &check : std::as_const(figures)) {
        QString why;
        QVERIFY2(holds(tcp, check, why), qPrintable(check + QStringLiteral(": ") + why + u'\n' + out));
    }
}

QTEST_GUILESS_MAIN(TestCliLimit)
#include "tst_clilimit.moc"
