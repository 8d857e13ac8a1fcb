#include "storage/ResultsTable.h"
#include "storage/StorageError.h"
#include "tests/storage/TestEnvironment.h"

#include <QSignalSpy>
#include <QTest>

class TestResultsTable : public QObject
{
    Q_OBJECT

    static void appendRow(TResultsTable &t, const QString &server, double speed)
    {
        t.Append();
        t.SetServer(server);
        t.SetSpeed(speed);
        t.Post();
    }

private slots:
    void closedTableRefusesWork_data()
    {
        QTest::addColumn<int>("operation");
        QTest::newRow("Append") << 0;
        QTest::newRow("Post") << 1;
        QTest::newRow("First") << 2;
        QTest::newRow("Next") << 3;
        QTest::newRow("SetServer") << 4;
        QTest::newRow("SaveToFile") << 5;
    }
    void closedTableRefusesWork()
    {
        QFETCH(int, operation);
        TResultsTable t;
        try {
            switch (operation) {
            case 0: t.Append(); break;
            case 1: t.Post(); break;
            case 2: t.First(); break;
            case 3: t.Next(); break;
            case 4: t.SetServer("x"); break;
            case 5: t.SaveToFile(); break;
            }
            QFAIL("no error on a closed table");
        } catch (const EStorageError &e) {
            QCOMPARE(e.message(), QStringLiteral("Cannot perform this operation on a closed dataset"));
        }
        QCOMPARE(t.RecordCount(), 0);
    }

    void fieldsNeedAPendingRow()
    {
        TResultsTable t;
        t.CreateDataSet();
        QVERIFY_THROWS_EXCEPTION(EStorageError, t.SetSpeed(1.0));
        appendRow(t, "a", 1);
        QVERIFY_THROWS_EXCEPTION(EStorageError, t.SetServer("b"));
        QCOMPARE(t.Row(0).Server, QStringLiteral("a"));
    }

    void orderRisesAndSurvivesRecreation()
    {
        TResultsTable t;
        t.CreateDataSet();
        appendRow(t, "a", 1);
        appendRow(t, "b", 2);
        QCOMPARE(t.Row(0).Order, 1);
        QCOMPARE(t.Row(1).Order, 2);
        QCOMPARE(t.CurrentRow().Server, QStringLiteral("b"));
        // An emptied table never hands out a number it has used.
        t.CreateDataSet();
        QCOMPARE(t.RecordCount(), 0);
        appendRow(t, "c", 3);
        QCOMPARE(t.Row(0).Order, 3);
    }

    void unpostedRowIsDiscarded_data()
    {
        QTest::addColumn<int>("operation");
        QTest::newRow("Append again") << 0;
        QTest::newRow("Cancel") << 1;
        QTest::newRow("First") << 2;
        QTest::newRow("Close") << 3;
    }
    void unpostedRowIsDiscarded()
    {
        QFETCH(int, operation);
        TResultsTable t;
        t.CreateDataSet();
        appendRow(t, "kept", 1);
        t.Append();
        t.SetServer("half-filled");
        QVERIFY(t.Inserting());
        switch (operation) {
        case 0: t.Append(); t.Post(); break;
        case 1: t.Cancel(); t.Post(); break;
        case 2: t.First(); t.Post(); break;
        case 3: t.Close(); t.CreateDataSet(); break;
        }
        for (const TResultRow &row : t.Rows())
            QVERIFY(row.Server != QStringLiteral("half-filled"));
    }

    void serverIsCut_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("stored");
        QTest::newRow("300 characters") << QString(300, u'x') << QString(255, u'x');
        QTest::newRow("exactly 255") << QString(255, u'y') << QString(255, u'y');
        QTest::newRow("pair across the cut")
            << QString(254, u'a') + QString::fromUtf8("\xF0\x9F\x98\x80") + "z" << QString(254, u'a');
        QTest::newRow("control characters") << QStringLiteral("a\x01" "b\tc") << QStringLiteral("a?b\tc");
        QTest::newRow("lone surrogate") << QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b") << QStringLiteral("a?b");
    }
    void serverIsCut()
    {
        QFETCH(QString, input);
        QFETCH(QString, stored);
        TResultsTable t;
        t.CreateDataSet();
        appendRow(t, input, 0);
        QCOMPARE(t.Row(0).Server, stored);
    }

    void durationRoundsHalvesToEven_data()
    {
        QTest::addColumn<double>("ms");
        QTest::addColumn<int>("stored");
        QTest::newRow("2.5") << 2.5 << 2;
        QTest::newRow("3.5") << 3.5 << 4;
        QTest::newRow("1234.4") << 1234.4 << 1234;
        QTest::newRow("1234.6") << 1234.6 << 1235;
        QTest::newRow("-2.5") << -2.5 << -2;
        QTest::newRow("0") << 0.0 << 0;
    }
    void durationRoundsHalvesToEven()
    {
        QFETCH(double, ms);
        QFETCH(int, stored);
        TResultsTable t;
        t.CreateDataSet();
        t.Append();
        t.SetDuration(ms);
        t.Post();
        QCOMPARE(t.Row(0).Duration, stored);
    }

    void badNumbersAreRefused_data()
    {
        QTest::addColumn<double>("ms");
        QTest::newRow("NaN") << qQNaN();
        QTest::newRow("infinity") << qInf();
        QTest::newRow("above 32 bits") << 3.0e9;
    }
    void badNumbersAreRefused()
    {
        QFETCH(double, ms);
        TResultsTable t;
        t.CreateDataSet();
        t.Append();
        QVERIFY_THROWS_EXCEPTION(EStorageError, t.SetDuration(ms));
        QVERIFY_THROWS_EXCEPTION(EStorageError, t.SetStartTime(QDateTime()));
        QVERIFY_THROWS_EXCEPTION(EStorageError, t.SetStartTime(ms));
    }

    void navigation()
    {
        TResultsTable t;
        t.CreateDataSet();
        QVERIFY(t.Eof() && t.Bof());
        QCOMPARE(t.GetBookmark(), 0);
        for (int i = 0; i < 3; ++i)
            appendRow(t, QString::number(i), i);

        QStringList walk;
        for (t.First(); !t.Eof(); t.Next())
            walk << t.CurrentRow().Server;
        QCOMPARE(walk, QStringList({"0", "1", "2"}));
        QCOMPARE(t.RecIndex(), 2);

        walk.clear();
        for (t.Last(); !t.Bof(); t.Prior())
            walk << t.CurrentRow().Server;
        QCOMPARE(walk, QStringList({"2", "1", "0"}));

        t.MoveTo(1);
        const qint32 bookmark = t.GetBookmark();
        QCOMPARE(bookmark, 2);
        t.Last();
        QVERIFY(t.GotoBookmark(bookmark));
        QCOMPARE(t.CurrentRow().Server, QStringLiteral("1"));
        QVERIFY(!t.GotoBookmark(99));
        QCOMPARE(t.RecIndex(), 1);
        QVERIFY_THROWS_EXCEPTION(EStorageError, t.MoveTo(3));
    }

    void beforeScrollSeesTheRowLeft()
    {
        TResultsTable t;
        t.CreateDataSet();
        appendRow(t, "a", 1);
        appendRow(t, "b", 2);
        QStringList left;
        connect(&t, &TResultsTable::BeforeScroll, this, [&] { left << t.CurrentRow().Server; });
        t.First();               // leaves b
        t.Next();                // leaves a
        QVERIFY(t.GotoBookmark(1)); // leaves b
        t.Append();              // leaves a
        QCOMPARE(left, QStringList({"b", "a", "b", "a"}));
    }

    void disabledControlsReportTheEndOnce()
    {
        TResultsTable t;
        t.CreateDataSet();
        for (int i = 0; i < 4; ++i)
            appendRow(t, QString::number(i), i);
        QSignalSpy moved(&t, &TResultsTable::CurrentChanged);
        t.DisableControls();
        const qint32 bookmark = t.GetBookmark();
        for (t.First(); !t.Eof(); t.Next()) {
        }
        t.GotoBookmark(bookmark);
        t.EnableControls();
        QCOMPARE(moved.count(), 0); // back where it started
        t.DisableControls();
        t.First();
        t.EnableControls();
        QCOMPARE(moved.count(), 1);
        QCOMPARE(moved.at(0).at(0).toInt(), 0);
    }

private:
    TTestEnvironment FEnvironment;
};

QTEST_GUILESS_MAIN(TestResultsTable)
#include "tst_ResultsTable.moc"
