#include "settings/AppIniFileStorage.h"
#include "storage/DiskStorage.h"
#include "tests/storage/FullDiskFolder.h"
#include "storage/ResultsTable.h"

#include <QtTest>

namespace {

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void AddResult(TdmDiskStorage& store, const QString& server)
{
    TResultsTable* t = store.cdsKorvaneResults();
    t->Append();
    t->SetServer(server);
    t->SetStartTime(QDateTime(QDate(2026, 12, 10), QTime(9, 7)));
    t->SetDuration(1000);
    t->SetBytesRx(1048576);
    t->SetResult(1024);
    t->SetSpeed(1024);
    t->Post();
}

// Only the file itself and its lock: no temporary may be left behind.
QStringList FilesIn(const QString& folder)
{
    QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    files.removeAll(QStringLiteral("filler"));
    return files;
}

} // namespace

// A full disk never cuts a file: the old one stays whole and the user learns why, once.
class TestFullDisk : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(!FDisk.Path().isEmpty());
        if (!FDisk.RealFullDisk())
            qInfo("No tmpfs could be mounted; a file size limit stands in for the full disk");
    }
    void cleanup() { FDisk.Free(); }

    void resultsFileStaysWhole()
    {
        const QString folder = FDisk.Path() + QStringLiteral("/results");
        QVERIFY(QDir().mkpath(folder));
        const QString file = folder + QStringLiteral("/KorvaneResults.xml");
        QStringList errors;
        {
            TdmDiskStorage store(folder, [&](const QString& message) { errors << message; });
            AddResult(store, QStringLiteral("before"));
            const QByteArray whole = ReadAll(file);
            QVERIFY(whole.contains("before"));

            FDisk.Fill();
            AddResult(store, QStringLiteral("while full"));
            AddResult(store, QStringLiteral("still full"));
            QCOMPARE(errors, QStringList{QStringLiteral("Cannot write results file %1: %2")
                                             .arg(file, FDisk.ExpectedReason())});
            QCOMPARE(ReadAll(file), whole);
            QCOMPARE(FilesIn(folder), (QStringList{"KorvaneResults.xml", "KorvaneResults.xml.lock"}));
            QCOMPARE(store.cdsKorvaneResults()->RecordCount(), 3);

            FDisk.Free();
            AddResult(store, QStringLiteral("after"));
        }
        QCOMPARE(errors.size(), 1);
        TdmDiskStorage again(folder, {});
        QStringList servers;
        for (const TResultRow& row : again.cdsKorvaneResults()->Rows())
            servers << row.Server;
        QCOMPARE(servers, (QStringList{"before", "while full", "still full", "after"}));
    }

    void settingsFileStaysWhole()
    {
        const QString file = FDisk.Path() + QStringLiteral("/KrvnClnt.ini");
        TAppIniFileStorage store;
        store.SetFileName(file);
        QStringList log;
        for (int i = 0; i < 200; ++i)
            log << QStringLiteral("log line %1").arg(i);
        store.WriteStringList(R"(fMain\mmDIsplay_Lines)", log);
        store.WriteString(R"(fMain\Last)", QStringLiteral("section after the log"));
        QCOMPARE(store.Flush(), QString());
        const QByteArray whole = ReadAll(file);

        FDisk.Fill();
        store.WriteStringList(R"(fMain\mmDIsplay_Lines)", log + log);
        QCOMPARE(store.Flush(),
                 QStringLiteral("Cannot save settings file %1: %2").arg(file, FDisk.ExpectedReason()));
        QCOMPARE(ReadAll(file), whole);
        QVERIFY(!FilesIn(FDisk.Path()).join(' ').contains(".tmp-"));

        FDisk.Free();
        QCOMPARE(store.Flush(), QString());
        TAppIniFileStorage again;
        again.SetFileName(file);
        QCOMPARE(again.ReadStringList(R"(fMain\mmDIsplay_Lines)"), log + log);
    }

private:
    TFullDiskFolder FDisk;
};

QTEST_GUILESS_MAIN(TestFullDisk)
#include "tst_FullDisk.moc"
