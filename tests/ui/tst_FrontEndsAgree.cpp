#include "tests/ui/ServerWindowFixture.h"
#include "tests/ui/UiTestMain.h"

#include "tools/korvane-cli/CliJsonLines.h"
#include "tools/korvane-cli/CliOptions.h"
#include "tests/tools/ProgramRunner.h"
#include "ui/TPortSpinEdit.h"
#include "ui/TResultsGrid.h"
#include "ui/TTestController.h"
#include "settings/TestOptions.h"

#include <QJsonDocument>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>

#include <cstdio>

// The window and korvane-cli are two faces of one test run: for the same choices they make
// the same plan, and against the same server their outcomes carry the same fields.
class tst_FrontEndsAgree : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void samePlanSameOutcome_data();
    void samePlanSameOutcome();

private:
    ServerWindowFixture FFixture;
    std::unique_ptr<TfMain> FWindow;
    QTemporaryDir FSecrets;
    QString FSecretFile;
    QString FWrongSecretFile;
    quint16 FSessionPort = 0;
    quint16 FStreamPort = 0;
};

namespace {

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return {};
    return file.fileName();
}

// The window's outcome in korvane-cli's JSON lines, as its own output would write it.
QList<QJsonObject> asJsonLines(const TTestOutcome& outcome)
{
    char* buffer = nullptr;
    size_t size = 0;
    FILE* memory = open_memstream(&buffer, &size);
    {
        CliJsonLines lines(memory);
        for (const TDirectionOutcome& direction : outcome.Directions)
            lines.DirectionDone(outcome, direction);
    }
    std::fclose(memory);
    const QByteArray text(buffer, qsizetype(size));
    std::free(buffer);
    return ProgramRunner::jsonLines(text);
}

QStringList sortedKeys(const QJsonObject& o)
{
    QStringList keys = o.keys();
    keys.sort();
    return keys;
}

} // namespace

void tst_FrontEndsAgree::initTestCase()
{
    QVERIFY(FSecrets.isValid());
    FSecretFile = writeFile(FSecrets, QStringLiteral("secret"), "correct horse battery staple\n");
    FWrongSecretFile = writeFile(FSecrets, QStringLiteral("wrong"), "not the one\n");
    QVERIFY(!FSecretFile.isEmpty() && !FWrongSecretFile.isEmpty());
    FFixture.StartServer({"--session-port", "0", "--secret-file", FSecretFile}, QStringLiteral("sessions"));
    FSessionPort = FFixture.AnnouncedPort(QStringLiteral("sessions"));
    FStreamPort = FFixture.AnnouncedPort(QStringLiteral("listening"));
    QVERIFY2(FStreamPort != 0 && FSessionPort != 0, qPrintable(FFixture.Announced()));
}

void tst_FrontEndsAgree::cleanupTestCase()
{
    FFixture.StopServer();
}

void tst_FrontEndsAgree::init()
{
    FFixture.NewHome();
}

void tst_FrontEndsAgree::cleanup()
{
    FWindow.reset();
    FFixture.DropHome();
}

void tst_FrontEndsAgree::samePlanSameOutcome_data()
{
    // The window's choices, and the command line that asks for the same; "secret" and
    // "wrong" name the secret files, "PORT" and "SPORT" the server's ports.
    QTest::addColumn<int>("direction");
    QTest::addColumn<int>("streams");
    QTest::addColumn<bool>("latency");
    QTest::addColumn<QString>("secret");
    QTest::addColumn<int>("windowKiB");
    QTest::addColumn<QStringList>("cli");
    QTest::addColumn<bool>("valid");
    QTest::newRow("stream test") << int(TTestOptions::Download) << 1 << false << QString() << 0
                                 << QStringList{"--port", "PORT"} << true;
    QTest::newRow("session, 2 streams, with the secret")
        << int(TTestOptions::Download) << 2 << true << "secret" << 0
        << QStringList{"--session-port", "SPORT", "--streams", "2", "--seconds", "1", "--secret-file", "secret"} << true;
    QTest::newRow("session both ways, no latency, socket window")
        << int(TTestOptions::Both) << 1 << false << "secret" << 256
        << QStringList{"--session-port", "SPORT", "--direction", "both", "--seconds", "1", "--no-latency",
                       "--secret-file", "secret", "--window", "262144"}
        << true;
    QTest::newRow("session, wrong secret")
        << int(TTestOptions::Upload) << 1 << false << "wrong" << 0
        << QStringList{"--session-port", "SPORT", "--direction", "upload", "--seconds", "1", "--no-latency",
                       "--secret-file", "wrong"}
        << false;
}

void tst_FrontEndsAgree::samePlanSameOutcome()
{
    QFETCH(int, direction);
    QFETCH(int, streams);
    QFETCH(bool, latency);
    QFETCH(QString, secret);
    QFETCH(int, windowKiB);
    QFETCH(QStringList, cli);
    QFETCH(bool, valid);
    const QString secretFile = secret == QLatin1String("secret") ? FSecretFile
                               : secret.isEmpty()               ? QString()
                                                                : FWrongSecretFile;
    for (QString& arg : cli)
        arg = arg == QLatin1String("PORT")     ? QString::number(FStreamPort)
              : arg == QLatin1String("SPORT")  ? QString::number(FSessionPort)
              : arg == QLatin1String("secret") ? FSecretFile
              : arg == QLatin1String("wrong")  ? FWrongSecretFile
                                               : arg;
    cli << QStringLiteral("127.0.0.1");

    TTestOptions options(TTestOptions::TDirection(direction), streams, 1, FSessionPort);
    options.Latency = latency;
    options.SecretFile = secretFile;
    options.WindowKiB = windowKiB;
    TfMain* w = ShowMainWindow(FWindow);
    w->TestOptions = options;
    QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    w->cbServerName->setText(QStringLiteral("127.0.0.1"));
    w->sePort->setValue(FStreamPort);
    w->btnConnectClick();
    QVERIFY(!w->TestRunning());
    const TTestOutcome& outcome = w->TestController->Outcome();

    // The same plan, whichever front end made it; the secret is read from the same file.
    CliOptions parsed;
    QString error;
    QCOMPARE(CliOptions::parse(QStringList{"korvane-cli"} + cli, parsed, error), CliOptions::ParseResult::Ok);
    TTestPlan fromCli = parsed.plan(QStringLiteral("127.0.0.1"));
    if (!parsed.secretFile.isEmpty())
        QVERIFY(TTestPlan::ReadSecretFile(parsed.secretFile, fromCli.Secret, error));
    const TTestPlan& fromWindow = outcome.Plan;
    QCOMPARE(fromWindow.Kind, fromCli.Kind);
    QCOMPARE(fromWindow.Target, fromCli.Target);
    // The stream test uses the port box; the rest is a session's alone.
    if (fromWindow.IsSession()) {
        QCOMPARE(fromWindow.SessionPort, fromCli.SessionPort);
        QCOMPARE(fromWindow.Direction, fromCli.Direction);
        QCOMPARE(fromWindow.Streams, fromCli.Streams);
        QCOMPARE(fromWindow.Seconds, fromCli.Seconds);
        QCOMPARE(fromWindow.Window, fromCli.Window);
        QCOMPARE(fromWindow.Secret, fromCli.Secret);
    } else
        QCOMPARE(fromWindow.Port, fromCli.Port);
    QCOMPARE(fromWindow.IpVersion, fromCli.IpVersion);
    QCOMPARE(fromWindow.Latency, fromCli.Latency);
    QCOMPARE(fromWindow.AllowHttps, fromCli.AllowHttps);

    // The same outcome: korvane-cli's lines and the window's outcome in the same form.
    ProgramRunner programs;
    QVERIFY(programs.found());
    QByteArray out;
    QByteArray err;
    QCOMPARE(programs.runCli(QStringList{"--json"} + cli, &out, &err), valid ? 0 : 1);
    const QList<QJsonObject> cliLines = ProgramRunner::jsonLines(out);
    const QList<QJsonObject> windowLines = asJsonLines(outcome);
    QCOMPARE(windowLines.size(), cliLines.size());
    QVERIFY(!windowLines.isEmpty());
    for (qsizetype i = 0; i < cliLines.size(); ++i) {
        const QJsonObject& c = cliLines[i];
        const QJsonObject& wl = windowLines[i];
        QCOMPARE(sortedKeys(wl), sortedKeys(c));
        // What does not depend on the moment of the run.
        for (const char* key : {"target", "mode", "direction", "streams", "valid", "address", "family", "error"})
            QVERIFY2(wl.value(QLatin1String(key)) == c.value(QLatin1String(key)),
                     qPrintable(QStringLiteral("%1: window %2, korvane-cli %3")
                                    .arg(QLatin1String(key),
                                         QString::fromUtf8(QJsonDocument(wl).toJson(QJsonDocument::Compact)),
                                         QString::fromUtf8(QJsonDocument(c).toJson(QJsonDocument::Compact)))));
        QCOMPARE(wl.value("valid").toBool(), valid);
        if (valid)
            QVERIFY(wl.value("bytes").toDouble() > 0 && c.value("bytes").toDouble() > 0);
        QCOMPARE(wl.contains(QStringLiteral("tcp")), fromWindow.IsSession());
    }
    // The window shows what its outcome says: a row per valid direction.
    QCOMPARE(w->grdResults->model()->rowCount(), valid ? int(outcome.Directions.size()) : 0);
}

KORVANE_UI_TEST_MAIN(tst_FrontEndsAgree)
#include "tst_FrontEndsAgree.moc"
