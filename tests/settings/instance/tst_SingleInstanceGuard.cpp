#include "settings/instance/SingleInstanceGuard.h"

#include <QLocalSocket>
#include <QtTest>

#include <memory>

namespace {

// A copy of the probe program; it ends when its standard input closes.
class Probe
{
public:
    explicit Probe(const QString& program, const QStringList& arguments = {})
    {
        process.setProgram(program);
        process.setArguments(arguments);
        process.start();
    }
    ~Probe()
    {
        if (process.state() != QProcess::NotRunning) {
            process.closeWriteChannel();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished(5000);
        }
    }
    // Waits for the next line of output.
    QString nextLine(int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!process.canReadLine() && !deadline.hasExpired()) {
            if (!process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
                break;
        }
        return QString::fromUtf8(process.readLine()).trimmed();
    }
    QProcess process;
};

}  // namespace

class tst_SingleInstanceGuard : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void keyFollowsPathCaseAndFolder_data();
    void keyFollowsPathCaseAndFolder();
    void secondGuardHandsOverArguments_data();
    void secondGuardHandsOverArguments();
    void releasedGuardLetsTheNextOneRun();
    void secondProcessIsTurnedAway();
    void killedCopyDoesNotBlockTheNextStart();
    void brokenLockFileDoesNotBlockTheStart_data();
    void brokenLockFileDoesNotBlockTheStart();
    void copiesInDifferentFoldersBothRun();
    void floodingPeerIsCutOff();

private:
    QString probePath() const;
    QTemporaryDir FHome;
};

void tst_SingleInstanceGuard::initTestCase()
{
    QVERIFY(FHome.isValid());
    qputenv("XDG_DATA_HOME", (FHome.path() + "/data").toUtf8());
    qputenv("XDG_CONFIG_HOME", (FHome.path() + "/config").toUtf8());
    // Our own runtime folder, so nothing of another run or user is in the way.
    QVERIFY(QDir().mkpath(FHome.path() + "/run"));
    qputenv("XDG_RUNTIME_DIR", (FHome.path() + "/run").toUtf8());
    QVERIFY2(QFileInfo::exists(probePath()), qPrintable(probePath()));
}

QString tst_SingleInstanceGuard::probePath() const
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/korvane_instance_probe");
}

void tst_SingleInstanceGuard::keyFollowsPathCaseAndFolder_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("same");
    QTest::newRow("same path") << "/opt/korvane/KorvClnt" << "/opt/korvane/KorvClnt" << true;
    QTest::newRow("letter case differs") << "/opt/Korvane/korvclnt" << "/OPT/korvane/KORVCLNT" << true;
    QTest::newRow("dots in the path") << "/opt/korvane/../korvane/KorvClnt" << "/opt/korvane/KorvClnt" << true;
    QTest::newRow("other folder") << "/opt/korvane/KorvClnt" << "/home/u/korvane/KorvClnt" << false;
    QTest::newRow("other file") << "/opt/korvane/KorvClnt" << "/opt/korvane/KorvClnt2" << false;
}

void tst_SingleInstanceGuard::keyFollowsPathCaseAndFolder()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, same);
    QCOMPARE(TSingleInstanceGuard::keyFor(first) == TSingleInstanceGuard::keyFor(second), same);
    // Names stay plain file names whatever the path holds.
    QVERIFY(!TSingleInstanceGuard::keyFor(first).contains(QLatin1Char('/')));
}

void tst_SingleInstanceGuard::secondGuardHandsOverArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList{};
    QTest::newRow("several") << QStringList{"--x", "a file.txt", ""};
    QTest::newRow("non-ASCII") << QStringList{QStringLiteral("Gr\u00FC\u00DFe"), QStringLiteral("\u65E5\u672C")};
}

void tst_SingleInstanceGuard::secondGuardHandsOverArguments()
{
    QFETCH(QStringList, arguments);
    const QString executable = FHome.path() + "/inprocess/KorvClnt";

    TSingleInstanceGuard running(executable);
    QVERIFY(running.acquire(QStringList{"ignored"}));
    QSignalSpy activated(&running, &TSingleInstanceGuard::activationRequested);
    QSignalSpy received(&running, &TSingleInstanceGuard::commandLineReceived);

    TSingleInstanceGuard second(executable);
    QVERIFY(!second.acquire(arguments));

    QVERIFY(activated.wait(5000));
    QCOMPARE(activated.count(), 1);
    QCOMPARE(received.count(), 1);
    QCOMPARE(received.at(0).at(0).toStringList(), arguments);
}

void tst_SingleInstanceGuard::releasedGuardLetsTheNextOneRun()
{
    const QString executable = FHome.path() + "/inprocess/Other";
    {
        TSingleInstanceGuard first(executable);
        QVERIFY(first.acquire(QStringList{}));
        QVERIFY(QFileInfo::exists(first.lockFilePath()));
    }
    TSingleInstanceGuard next(executable);
    QVERIFY(next.acquire(QStringList{}));
    QVERIFY(next.acquire(QStringList{}));  // asking again changes nothing
}

void tst_SingleInstanceGuard::secondProcessIsTurnedAway()
{
    Probe first(probePath());
    QCOMPARE(first.nextLine(), QStringLiteral("running"));

    {
        Probe second(probePath(), {"one", "two words"});
        QVERIFY(second.process.waitForFinished(10000));
        QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(second.process.readAllStandardOutput()).trimmed(), QStringLiteral("turned-away"));
    }
    QCOMPARE(first.nextLine(), QStringLiteral("activated one|two words"));

    // Again, without arguments: the running copy is still there and still answers.
    {
        Probe third(probePath());
        QVERIFY(third.process.waitForFinished(10000));
        QCOMPARE(third.process.exitCode(), 0);
    }
    QCOMPARE(first.nextLine(), QStringLiteral("activated"));
    QCOMPARE(first.process.state(), QProcess::Running);

    // Once the first copy has ended, the next start runs normally.
    first.process.closeWriteChannel();
    QVERIFY(first.process.waitForFinished(10000));
    QCOMPARE(first.process.exitCode(), 0);
    Probe after(probePath());
    QCOMPARE(after.nextLine(), QStringLiteral("running"));
}

void tst_SingleInstanceGuard::killedCopyDoesNotBlockTheNextStart()
{
    const TSingleInstanceGuard names(probePath());
    {
        Probe crashed(probePath());
        QCOMPARE(crashed.nextLine(), QStringLiteral("running"));
        crashed.process.kill();  // SIGKILL: no clean-up at all
        QVERIFY(crashed.process.waitForFinished(10000));
    }
    QVERIFY2(QFileInfo::exists(names.lockFilePath()), "the killed copy should have left its lock behind");

    Probe next(probePath());
    QCOMPARE(next.nextLine(), QStringLiteral("running"));

    // And the new copy really holds the guard again.
    Probe second(probePath());
    QVERIFY(second.process.waitForFinished(10000));
    QCOMPARE(second.process.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(second.process.readAllStandardOutput()).trimmed(), QStringLiteral("turned-away"));
    QCOMPARE(next.nextLine(), QStringLiteral("activated"));
}

void tst_SingleInstanceGuard::brokenLockFileDoesNotBlockTheStart_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("guarded");
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("garbage") << QByteArray("\x00\xFFnot a lock\n\n\n", 15) << true;
    QTest::newRow("owner gone") << QByteArray("2147483646\nthishost\nkorvane_instance_probe\n") << true;
    QTest::newRow("owner is another live program") << QByteArray("1\nthishost\ninit\n") << true;
    // Cannot be opened as a file at all: the copy runs without the guard.
    QTest::newRow("a folder in its place") << QByteArray("folder") << false;
}

// A copy killed between creating and filling its lock, or any other leftover, must not
// end every later start silently.
void tst_SingleInstanceGuard::brokenLockFileDoesNotBlockTheStart()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, guarded);
    const TSingleInstanceGuard names(probePath());
    QFile::remove(names.lockFilePath());
    if (content == "folder") {
        QVERIFY(QDir().mkpath(names.lockFilePath()));
    } else {
        QFile lock(names.lockFilePath());
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::Truncate));
        lock.write(content);
    }
    auto cleanup = qScopeGuard([&] {
        if (QFileInfo(names.lockFilePath()).isDir())
            QDir(names.lockFilePath()).removeRecursively();
    });

    Probe first(probePath());
    QCOMPARE(first.nextLine(), QStringLiteral("running"));
    if (!guarded)
        return;
    Probe second(probePath());
    QVERIFY(second.process.waitForFinished(10000));
    QCOMPARE(second.process.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(second.process.readAllStandardOutput()).trimmed(), QStringLiteral("turned-away"));
    QCOMPARE(first.nextLine(), QStringLiteral("activated"));
}

void tst_SingleInstanceGuard::copiesInDifferentFoldersBothRun()
{
    QTemporaryDir otherFolder;
    QVERIFY(otherFolder.isValid());
    const QString copy = otherFolder.path() + "/korvane_instance_probe";
    QVERIFY(QFile::copy(probePath(), copy));

    Probe first(probePath());
    QCOMPARE(first.nextLine(), QStringLiteral("running"));
    Probe second(copy);
    QCOMPARE(second.nextLine(), QStringLiteral("running"));
    QCOMPARE(first.process.state(), QProcess::Running);
    QCOMPARE(second.process.state(), QProcess::Running);
}

void tst_SingleInstanceGuard::floodingPeerIsCutOff()
{
    const QString executable = FHome.path() + "/inprocess/Flood";
    TSingleInstanceGuard running(executable);
    QVERIFY(running.acquire(QStringList{}));
    QSignalSpy activated(&running, &TSingleInstanceGuard::activationRequested);

    QLocalSocket peer;
    peer.connectToServer(running.serverName());
    QVERIFY(peer.waitForConnected(5000));
    const QByteArray chunk(64 * 1024, 'x');
    // Keep writing until the server hangs up; it must not buffer without end.
    QDeadlineTimer deadline(20000);
    while (peer.state() == QLocalSocket::ConnectedState && !deadline.hasExpired()) {
        peer.write(chunk);
        peer.waitForBytesWritten(50);
        QCoreApplication::processEvents();
    }
    QCOMPARE(peer.state(), QLocalSocket::UnconnectedState);
    QCoreApplication::processEvents();
    QCOMPARE(activated.count(), 0);

    // The guard still serves real copies afterwards.
    TSingleInstanceGuard second(executable);
    QVERIFY(!second.acquire(QStringList{"after"}));
    QVERIFY(activated.wait(5000));
}

QTEST_GUILESS_MAIN(tst_SingleInstanceGuard)
#include "tst_SingleInstanceGuard.moc"
