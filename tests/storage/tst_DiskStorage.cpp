#include "DiskStorage.h"
#include "ResultsTable.h"
#include "StorageError.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QThread>

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

    void damagedFileIsReportedAndKept()
    {
        const QByteArray damaged = "<KorvaneResults version=\"1\" nextOrder=\"2\"><columns>";
        {
            QFile file(resultsFile());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(damaged);
        }
        {
            TdmDiskStorage store(FFolder, collectErrors());
            QCOMPARE(FErrors.size(), 1);
            QVERIFY2(FErrors.first().startsWith("Cannot read results file " + resultsFile()), qPrintable(FErrors.first()));
            QVERIFY(!store.cdsKorvaneResults()->Active());
            QCOMPARE(store.MaxResult(), 1.0);
            try {
                store.cdsKorvaneResults()->Append();
                QFAIL("append on a closed table");
            } catch (const EStorageError &e) {
                QCOMPARE(e.message(), QStringLiteral("Cannot perform this operation on a closed dataset"));
            }
        }
        QCOMPARE(FErrors.size(), 1);
        QCOMPARE(readFile(resultsFile()), damaged);

        // Clear Stats replaces it, and everything works from then on.
        {
            TdmDiskStorage store(FFolder, collectErrors());
            store.DeleteAll();
            addResult(store, "after", 2);
        }
        FErrors.clear();
        TdmDiskStorage store(FFolder, collectErrors());
        QVERIFY(FErrors.isEmpty());
        QCOMPARE(store.cdsKorvaneResults()->RecordCount(), 1);
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
