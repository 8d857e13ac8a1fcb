#include "tests/tools/ProgramRunner.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

// What limited a session over paths with real round trips: korvane-server and korvane-cli on
// the two sides of the tests' path emulator (two private namespaces joined by pathemu), so
// nothing outside them is touched. The server sends with cubic, Debian's default, so the
// verdicts are the same whatever this machine's default is.
class TestCliPaths : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verdictOfAPath_data();
    void verdictOfAPath();

private:
    QString FBinDir;
    QString FPathemu;
    QString FWithPath;
};

namespace {

const char *kServer = R"SH(
exec "$BIN/korvane-server" --listen "$ADDR" --port 18080 --session-port 18082 --congestion cubic $SERVER_ARGS 2>"$WORK/server.log"
)SH";

const char *kClient = R"SH(
for i in $(seq 200); do grep -q 'sessions on' "$WORK/server.log" 2>/dev/null && break; sleep 0.05; done
"$BIN/korvane-cli" --json --quiet --session-port 18082 $CLI_ARGS "$ADDR"
)SH";

} // namespace

void TestCliPaths::initTestCase()
{
    FBinDir = qEnvironmentVariable("KORVANE_BIN_DIR");
    FPathemu = qEnvironmentVariable("KORVANE_PATHEMU");
    FWithPath = QStringLiteral(KORVANE_SOURCE_DIR "/tests/pathemu/with-path.sh");
    QVERIFY2(QFileInfo::exists(FBinDir + QStringLiteral("/korvane-cli")), "KORVANE_BIN_DIR must hold the programs");
    QVERIFY2(QFileInfo::exists(FPathemu), "KORVANE_PATHEMU must name the path emulator");
}

void TestCliPaths::verdictOfAPath_data()
{
    QTest::addColumn<QString>("path");       // pathemu's options
    QTest::addColumn<bool>("ipv6");
    QTest::addColumn<QString>("serverArgs");
    QTest::addColumn<QString>("cliArgs");
    QTest::addColumn<QString>("limit");

    // The path carries 100 Mbit/s; a 64 KiB window over 40 ms allows about 13.
    QTest::newRow("small window, 100 Mbit/s over 40 ms")
        << "--rate 100mbit --delay 20ms --queue 60ms" << false << "" << "--window 65536 --seconds 3"
        << "receive_window";
    QTest::newRow("small window over IPv6")
        << "--rate 100mbit --delay 20ms --queue 60ms" << true << "" << "--window 65536 --seconds 3"
        << "receive_window";
    // 1 MB/s per stream where the path carries 12.5.
    QTest::newRow("paced server") << "--rate 100mbit --delay 20ms --queue 60ms" << false << "--rate 1000000"
                                  << "--seconds 3 --streams 2" << "application";
    // 1 % of the packets lost at random, on a path far faster than TCP can go through that.
    QTest::newRow("lossy path") << "--rate 100mbit --delay 20ms --queue 60ms --loss 1" << false << ""
                                << "--seconds 3" << "loss";
    // 20 Mbit/s with a 50 ms queue and the kernel's own window: the queue fills, the path decides.
    QTest::newRow("shaped path") << "--rate 20mbit --delay 10ms --queue 50ms" << false << "" << "--seconds 3"
                                 << "path";
}

void TestCliPaths::verdictOfAPath()
{
    QFETCH(QString, path);
    QFETCH(bool, ipv6);
    QFETCH(QString, serverArgs);
    QFETCH(QString, cliArgs);
    QFETCH(QString, limit);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BIN"), FBinDir);
    env.insert(QStringLiteral("WORK"), work.path());
    env.insert(QStringLiteral("ADDR"), ipv6 ? QStringLiteral("fd6b:7276:6e65::1") : QStringLiteral("198.18.0.1"));
    env.insert(QStringLiteral("SERVER_ARGS"), serverArgs);
    env.insert(QStringLiteral("CLI_ARGS"), cliArgs);
    QStringList args{FPathemu};
    args += path.split(u' ', Qt::SkipEmptyParts);
    args += {QStringLiteral("--"), QString::fromLatin1(kServer), QString::fromLatin1(kClient)};
    QByteArray out, err;
    const int status = ProgramRunner::run(FWithPath, args, env, &out, &err);
    if (status == 77)
        QSKIP(qPrintable(QStringLiteral("no path emulator here: ") + QString::fromLocal8Bit(err).trimmed()));
    QVERIFY2(status == 0, (out + err).constData());

    const QJsonObject result = QJsonDocument::fromJson(out.trimmed()).object();
    QVERIFY2(result.value(QStringLiteral("valid")).toBool(), out.constData());
    const QString text = result.value(QStringLiteral("limit_text")).toString();
    QVERIFY2(result.value(QStringLiteral("limited_by")).toString() == limit, qPrintable(text + u'\n' + out));
}

QTEST_GUILESS_MAIN(TestCliPaths)
#include "tst_clipaths.moc"
