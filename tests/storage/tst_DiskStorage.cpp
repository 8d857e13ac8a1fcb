#include "storage/DiskStorage.h"
#include "storage/ResultsTable.h"
#include "storage/StorageError.h"
#include "tests/storage/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QSignalSpy>
#include <QThread>

#include <algorithm>

namespace {

// The walk the chart makes to load its bars.
void chartWalk(TResultsTable *t)
{
    const qint32 bookmark = t->GetBookmark();
    for (t->First(); !t->Eof(); t->Next()) {
    }
    t->GotoBookmark(bookmark);
}

void addResult(TdmDiskStorage &store, const QString &server, double rate)
{
    TResultsTable *t = store.cdsKorvaneResults();
    t->Append();
    t->SetServer(server);
    t->SetStartTime(QDateTime(QDate(2024, 3, 5), QTime(9, 7)));
    t->SetDuration(1234.5);
    t->SetBytesRx(1048576);
    t->SetResult(rate);
    t->SetSpeed(rate);
    t->Post();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestDiskStorage : public QObject
{
    Q_OBJECT

    QString FFolder;
    QStringList FErrors;

    TdmDiskStorage::TErrorHandler collectErrors()
    {
        return [this](const QString &message) { FErrors << message; };
    }
    QString resultsFile() const { return FFolder + "/KorvaneResults.xml"; }

private slots:
    void init()
    {
        FFolder = FEnvironment.path() + "/data/Korvane";
        QDir(FFolder).removeRecursively();
        QVERIFY(QDir().mkpath(FFolder));
        FErrors.clear();
    }

    void firstCloseWritesAnEmptyTable()
    {
        {
            TdmDiskStorage store(FFolder + "/", collectErrors());
            QCOMPARE(store.storagePath(), FFolder);
            QCOMPARE(store.fileName(), resultsFile());
            QVERIFY(store.cdsKorvaneResults()->Active());
            QVERIFY(!QFile::exists(resultsFile()));
        }
        QVERIFY(QFile::exists(resultsFile()));
        TdmDiskStorage again(FFolder, collectErrors());
        QCOMPARE(again.cdsKorvaneResults()->RecordCount(), 0);
        QVERIFY(FErrors.isEmpty());
    }

    void unchangedFileIsNotRewritten()
    {
        { TdmDiskStorage store(FFolder, collectErrors()); addResult(store, "a", 1); }
        const QByteArray before = readFile(resultsFile());
        const QDateTime stamp = QFileInfo(resultsFile()).lastModified();
        QThread::msleep(20);
        {
            TdmDiskStorage store(FFolder, collectErrors());
            chartWalk(store.cdsKorvaneResults());
        }
        QCOMPARE(QFileInfo(resultsFile()).lastModified(), stamp);
        QCOMPARE(readFile(resultsFile()), before);
    }

    void rowsComeBackAndNumberingContinues()
    {
        QVector<TResultRow> written;
        {
            TdmDiskStorage store(FFolder, collectErrors());
            addResult(store, "srv1", 12.5);
            addResult(store, "http://example.org/", 800.25);
            written = store.cdsKorvaneResults()->Rows();
        }
        {
            TdmDiskStorage store(FFolder, collectErrors());
            TResultsTable *t = store.cdsKorvaneResults();
            QCOMPARE(t->Rows(), written);
            QCOMPARE(t->Row(0).Order, 1);
            QCOMPARE(t->Row(1).Order, 2);
            QCOMPARE(t->Row(0).Duration, 1234);
            addResult(store, "srv3", 1);
            QCOMPARE(t->Row(2).Order, 3);
            // A cleared table still numbers above everything it held, also after a restart.
            store.DeleteAll();
            addResult(store, "srv4", 1);
            QCOMPARE(t->Row(0).Order, 4);
        }
        TdmDiskStorage store(FFolder, collectErrors());
        addResult(store, "srv5", 1);
        QCOMPARE(store.cdsKorvaneResults()->Row(1).Order, 5);
        QVERIFY(FErrors.isEmpty());
    }

    void everyPostReachesTheFile()
    {
        TdmDiskStorage store(FFolder, collectErrors());
        addResult(store, "kept", 5);
        // Read while the first store is still open: what a crash now would leave behind.
        TdmDiskStorage reader(FFolder, collectErrors());
        QCOMPARE(reader.cdsKorvaneResults()->Rows(), store.cdsKorvaneResults()->Rows());
        QVERIFY(FErrors.isEmpty());
    }

    void maxResultAfterTheChartWalk_data()
    {
        QTest::addColumn<QList<double>>("speeds");
        QTest::addColumn<double>("max");
        QTest::newRow("mixed") << QList<double>{12.3, 4567.8, 0.5} << 4567.8;
        QTest::newRow("largest last") << QList<double>{12.3, 0.5, 4567.8} << 4567.8;
        QTest::newRow("empty") << QList<double>{} << 1.0;
        QTest::newRow("all below one") << QList<double>{0.2, 0.9} << 1.0;
    }
    void maxResultAfterTheChartWalk()
    {
        QFETCH(QList<double>, speeds);
        QFETCH(double, max);
        {
            TdmDiskStorage store(FFolder, collectErrors());
            for (double speed : speeds)
                addResult(store, "s", speed);
        }
        TdmDiskStorage store(FFolder, collectErrors());
        QCOMPARE(store.MaxResult(), 1.0);
        chartWalk(store.cdsKorvaneResults());
        QCOMPARE(store.MaxResult(), max);
        store.DeleteAll();
        QCOMPARE(store.MaxResult(), max); // not reset by clearing
    }

    void deleteAllRemovesRowsAndFile()
    {
        TdmDiskStorage *store = new TdmDiskStorage(FFolder, collectErrors());
        addResult(*store, "a", 1);
        QVERIFY(QFile::exists(resultsFile()));
        store->DeleteAll();
        QCOMPARE(store->cdsKorvaneResults()->RecordCount(), 0);
        QVERIFY(store->cdsKorvaneResults()->Active());
        QVERIFY(!QFile::exists(resultsFile()));
        delete store;
        QVERIFY(QFile::exists(resultsFile()));
        TdmDiskStorage again(FFolder, collectErrors());
        QCOMPARE(again.cdsKorvaneResults()->RecordCount(), 0);
        QVERIFY(FErrors.isEmpty());
    }

    void damagedFileIsSetAsideAndRecordingGoesOn_data()
    {
        QTest::addColumn<QByteArray>("damaged");
        QTest::newRow("cut short") << QByteArray("<KorvaneResults version=\"1\" nextOrder=\"2\"><columns>");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not XML") << QByteArray("\x00\x01\xFF garbage", 11);
        QTest::newRow("another document") << QByteArray("<?xml version=\"1.0\"?><html/>");
    }

    // Nothing is lost (the damaged file is kept under a name that says so) and tests are
    // recorded again at once.
    void damagedFileIsSetAsideAndRecordingGoesOn()
    {
        QFETCH(QByteArray, damaged);
        {
            QFile file(resultsFile());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(damaged);
        }
        {
            TdmDiskStorage store(FFolder, collectErrors());
            QCOMPARE(FErrors.size(), 1);
            QVERIFY2(FErrors.first().startsWith("Cannot read results file " + resultsFile()), qPrintable(FErrors.first()));
            QVERIFY(store.cdsKorvaneResults()->Active());
            addResult(store, "after", 2);
        }
        QCOMPARE(FErrors.size(), 1);
        const QStringList aside = QDir(FFolder).entryList({"KorvaneResults.damaged-*.xml"}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QVERIFY2(FErrors.first().contains(FFolder + "/" + aside.first()), qPrintable(FErrors.first()));
        QCOMPARE(readFile(FFolder + "/" + aside.first()), damaged);

        FErrors.clear();
        TdmDiskStorage store(FFolder, collectErrors());
        QVERIFY(FErrors.isEmpty());
        QCOMPARE(store.cdsKorvaneResults()->RecordCount(), 1);
    }

    void leftoverTemporariesAreRemovedAtStart()
    {
        const QStringList names{"KorvaneResults.xml.tmp-Ab12Cd", "KorvaneResults.xml.tmp-longer-name",
                                "Other.xml.tmp-Ab12Cd"};
        for (const QString &name : names) {
            QFile file(FFolder + "/" + name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("<half");
        }
        TdmDiskStorage store(FFolder, collectErrors());
        QVERIFY(!QFile::exists(FFolder + "/" + names[0]));
        QVERIFY(QFile::exists(FFolder + "/" + names[1])); // not a name our writes use
        QVERIFY(QFile::exists(FFolder + "/" + names[2]));
    }

    // Two copies of the program (a second install, a build folder) share the folder:
    // each post takes in what the other wrote, and neither exit erases the other's rows.
    void twoCopiesPostingAlternatelyKeepEveryRow()
    {
        auto *first = new TdmDiskStorage(FFolder, collectErrors());
        auto *second = new TdmDiskStorage(FFolder, collectErrors());
        QSignalSpy firstReset(first->cdsKorvaneResults(), &TResultsTable::AfterReset);
        for (int round = 0; round < 3; ++round) {
            addResult(*first, QStringLiteral("first %1").arg(round), 10 + round);
            addResult(*second, QStringLiteral("second %1").arg(round), 20 + round);
        }
        QCOMPARE(second->cdsKorvaneResults()->RecordCount(), 6);
        // The window of the first copy takes in the second's last row when the folder changes.
        first->cdsKorvaneResults()->RefreshFromFile();
        QCOMPARE(first->cdsKorvaneResults()->RecordCount(), 6);
        QVERIFY(!firstReset.isEmpty());
        delete second;
        delete first;
        QVERIFY2(FErrors.isEmpty(), qPrintable(FErrors.join('\n')));

        TdmDiskStorage again(FFolder, collectErrors());
        const TResultsTable *t = again.cdsKorvaneResults();
        QStringList servers;
        QSet<qint32> orders;
        for (int i = 0; i < t->RecordCount(); ++i) {
            servers << t->Row(i).Server;
            orders << t->Row(i).Order;
        }
        QCOMPARE(servers, (QStringList{"first 0", "second 0", "first 1", "second 1", "first 2", "second 2"}));
        QCOMPARE(orders.size(), 6);
        QVERIFY(t->NextOrder() > *std::max_element(orders.begin(), orders.end()));
    }

    void rowsOfAFailedWriteGoWithTheNextOne()
    {
        TdmDiskStorage other(FFolder, collectErrors());
        {
            TdmDiskStorage store(FFolder, collectErrors());
            addResult(store, "stored", 1);
            // The folder cannot take the file for a moment: the row waits in the table.
            QVERIFY(QFile::rename(FFolder, FFolder + ".away"));
            addResult(store, "waiting", 2);
            addResult(store, "waiting too", 3);
            QCOMPARE(FErrors.size(), 1); // said once, not after every test
            QVERIFY(QFile::rename(FFolder + ".away", FFolder));
            addResult(other, "other copy", 4); // takes Order 2 in the file
            addResult(store, "written", 5);
            QCOMPARE(store.cdsKorvaneResults()->UnsavedCount(), 0);
        }
        TdmDiskStorage again(FFolder, collectErrors());
        QStringList servers;
        for (const TResultRow &row : again.cdsKorvaneResults()->Rows())
            servers << row.Server;
        QCOMPARE(servers, (QStringList{"stored", "other copy", "waiting", "waiting too", "written"}));
    }

    void writeFailuresAreReportedNotThrown()
    {
        const QString missing = FEnvironment.path() + "/not-created";
        {
            TdmDiskStorage store(missing, collectErrors());
            QVERIFY(FErrors.isEmpty());
            addResult(store, "a", 1); // the row stays in the table even though the file cannot be written
            QCOMPARE(store.cdsKorvaneResults()->RecordCount(), 1);
            QCOMPARE(FErrors.size(), 1);
        }
        QCOMPARE(FErrors.size(), 2); // and once more at the close
        QVERIFY(FErrors.last().startsWith("Cannot write results file " + missing + "/KorvaneResults.xml"));
    }

    void xlabelOfTheCurrentRow()
    {
        TdmDiskStorage store(FFolder, collectErrors());
        addResult(store, "srv1", 1234.5);
        QCOMPARE(store.cdsKorvaneResultsXLabelGetText(QLocale(QLocale::English, QLocale::UnitedStates)),
                 QStringLiteral("srv1\r05 Mar 09:07 - 1,234.50KB/s - 1,024.00KB."));
    }

private:
    TTestEnvironment FEnvironment;
};

QTEST_GUILESS_MAIN(TestDiskStorage)
#include "tst_DiskStorage.moc"
