#include "settings/instance/SingleInstanceGuard.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

#include <csignal>

// Starts real copies of the program, each with its own per-user folders but one shared
// runtime folder, as two starts by one user would have.
class tst_SecondStart : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void secondCopyEndsAtOnceAndTouchesNothing();
    void killedCopyDoesNotBlockTheNextStart();
    void askedToStopSavesItsState_data();
    void askedToStopSavesItsState();

private:
    // A copy whose per-user folders are under <home>/<name>.
    std::unique_ptr<QProcess> StartCopy(const QString& name, const QStringList& arguments = {});
    // Waits until a copy holds the guard and is still running.
    bool WaitUntilRunning(QProcess& copy);
    QString Program() const { return qEnvironmentVariable("KORVANE_BIN_DIR") + "/korvclnt"; }

    QTemporaryDir FRuntime;
    std::unique_ptr<QTemporaryDir> FHome;
    std::vector<std::unique_ptr<QProcess>> FCopies;
};

void tst_SecondStart::initTestCase()
{
    QVERIFY2(QFileInfo(Program()).isExecutable(), qPrintable(Program()));
    QVERIFY(FRuntime.isValid());
    // The test's own runtime folder: the guard's lock and socket live there.
    qputenv("XDG_RUNTIME_DIR", FRuntime.path().toUtf8());
}

void tst_SecondStart::init()
{
    FHome = std::make_unique<QTemporaryDir>();
    QVERIFY(FHome->isValid());
}

void tst_SecondStart::cleanup()
{
    for (auto& copy : FCopies) {
        if (copy->state() != QProcess::NotRunning) {
            copy->kill();
            copy->waitForFinished(10000);
        }
    }
    FCopies.clear();
    FHome.reset();
}

std::unique_ptr<QProcess> tst_SecondStart::StartCopy(const QString& name, const QStringList& arguments)
{
    auto copy = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", FRuntime.path());
    env.insert("XDG_DATA_HOME", FHome->filePath(name + "/data"));
    env.insert("XDG_CONFIG_HOME", FHome->filePath(name + "/config"));
    copy->setProcessEnvironment(env);
    copy->setProgram(Program());
    copy->setArguments(arguments);
    copy->start();
    return copy;
}

bool tst_SecondStart::WaitUntilRunning(QProcess& copy)
{
    // The lock file names the process that holds it on its first line.
    const TSingleInstanceGuard names(Program());
    const QByteArray pid = QByteArray::number(copy.processId());
    return QTest::qWaitFor([&] {
        QFile lock(names.lockFilePath());
        return copy.state() == QProcess::Running && lock.open(QIODevice::ReadOnly)
               && lock.readLine().trimmed() == pid;
    }, 30000) && copy.state() == QProcess::Running;
}

void tst_SecondStart::secondCopyEndsAtOnceAndTouchesNothing()
{
    auto first = StartCopy("first");
    QVERIFY(WaitUntilRunning(*first));
    // The first copy has made its folder by the time its window is up.
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo(FHome->filePath("first/data/Korvane")).isDir(); }, 30000));

    auto second = StartCopy("second", {"--some", "argument"});
    QVERIFY(second->waitForFinished(30000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    // No settings read, no folder made, nothing written.
    QVERIFY(!QFileInfo::exists(FHome->filePath("second")));

    QCOMPARE(first->state(), QProcess::Running);
    FCopies.push_back(std::move(first));
}

void tst_SecondStart::killedCopyDoesNotBlockTheNextStart()
{
    auto crashed = StartCopy("crashed");
    QVERIFY(WaitUntilRunning(*crashed));
    crashed->kill();   // no clean-up at all: the lock stays behind
    QVERIFY(crashed->waitForFinished(10000));
    QVERIFY(QFileInfo::exists(TSingleInstanceGuard(Program()).lockFilePath()));

    auto next = StartCopy("next");
    QVERIFY(WaitUntilRunning(*next));
    // It really holds the guard: another start is turned away.
    auto third = StartCopy("third");
    QVERIFY(third->waitForFinished(30000));
    QCOMPARE(third->exitCode(), 0);
    QVERIFY(!QFileInfo::exists(FHome->filePath("third")));
    QCOMPARE(next->state(), QProcess::Running);
    FCopies.push_back(std::move(next));
}

void tst_SecondStart::askedToStopSavesItsState_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

// A stop request (kill, logout, Ctrl+C) closes the window as Exit does: the state is saved
// and the lock is released.
void tst_SecondStart::askedToStopSavesItsState()
{
    QFETCH(int, signal);
    auto copy = StartCopy("stopped");
    QVERIFY(WaitUntilRunning(*copy));
    // The window is being built once its folder exists.
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo(FHome->filePath("stopped/data/Korvane")).isDir(); }, 30000));
    const QString settings = FHome->filePath("stopped/data/Korvane/KrvnClnt.ini");
    QVERIFY(!QFileInfo::exists(settings));

    ::kill(pid_t(copy->processId()), signal);
    QVERIFY(copy->waitForFinished(30000));
    QCOMPARE(copy->exitStatus(), QProcess::NormalExit);
    QCOMPARE(copy->exitCode(), 0);
    QFile file(settings);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("[fMain]"));

    // The guard went with it: the next start runs.
    auto next = StartCopy("next");
    QVERIFY(WaitUntilRunning(*next));
    FCopies.push_back(std::move(next));
}

QTEST_GUILESS_MAIN(tst_SecondStart)
#include "tst_SecondStart.moc"
