#include "storage/DiskStorage.h"
#include "storage/ResultsTable.h"
#include "tests/storage/TestEnvironment.h"

#include <QtTest>

namespace {

// One copy of the probe program, talked to line by line.
class TCopy
{
public:
    explicit TCopy(const QString& program)
    {
        Process.setProgram(program);
        Process.start();
    }
    ~TCopy()
    {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(5000);
        }
    }
    QString Ask(const QByteArray& command, int timeoutMs = 20000)
    {
        Process.write(command + '\n');
        QDeadlineTimer deadline(timeoutMs);
        while (!Process.canReadLine() && !deadline.hasExpired())
            Process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        return QString::fromUtf8(Process.readLine()).trimmed();
    }
    bool Exit()
    {
        Process.closeWriteChannel();
        return Process.waitForFinished(20000) && Process.exitCode() == 0;
    }
    QProcess Process;
};

} // namespace

// Two copies of the program from two paths (a second install, a build folder) share the
// user's results file: they post alternately, each sees the other's rows, and every row
// survives both exits.
class TestTwoCopies : public QObject
{
    Q_OBJECT
private slots:
    void everyRowSurvivesBothExits()
    {
        TTestEnvironment environment;   // the copies inherit its XDG_DATA_HOME
        const QString probe = QCoreApplication::applicationDirPath() + QStringLiteral("/korvane_results_probe");
        QVERIFY(QDir().mkpath(environment.path() + "/one") && QDir().mkpath(environment.path() + "/two"));
        const QString first = environment.path() + "/one/korvane_results_probe";
        const QString second = environment.path() + "/two/korvane_results_probe";
        QVERIFY(QFile::copy(probe, first) && QFile::copy(probe, second));

        TCopy a(first);
        TCopy b(second);
        for (int round = 0; round < 5; ++round) {
            QCOMPARE(a.Ask("post a" + QByteArray::number(round)), QStringLiteral("posted %1").arg(2 * round + 1));
            QCOMPARE(b.Ask("post b" + QByteArray::number(round)), QStringLiteral("posted %1").arg(2 * round + 2));
        }
        // The other copy's last row reaches the first one's table through the folder's change.
        QString rows;
        for (int i = 0; i < 100 && rows != QStringLiteral("rows 10"); ++i) {
            rows = a.Ask("rows");
            QTest::qWait(20);
        }
        QCOMPARE(rows, QStringLiteral("rows 10"));
        QVERIFY(b.Exit());
        QVERIFY(a.Exit());

        TdmDiskStorage store(environment.path() + "/data/Korvane", {});
        QStringList servers;
        for (const TResultRow& row : store.cdsKorvaneResults()->Rows())
            servers << row.Server;
        QCOMPARE(servers, (QStringList{"a0", "b0", "a1", "b1", "a2", "b2", "a3", "b3", "a4", "b4"}));
    }
};

QTEST_GUILESS_MAIN(TestTwoCopies)
#include "tst_TwoCopies.moc"
