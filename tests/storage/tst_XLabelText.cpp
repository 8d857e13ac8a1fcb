#include "storage/DayCountDate.h"
#include "storage/ResultRow.h"
#include "storage/StorageError.h"
#include "tests/storage/TestEnvironment.h"
#include "storage/XLabelText.h"

#include <QTest>

class TestXLabelText : public QObject
{
    Q_OBJECT
private slots:
    void label_data()
    {
        QTest::addColumn<QString>("localeName");
        QTest::addColumn<double>("speed");
        QTest::addColumn<double>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("English")
            << "en_US" << 1234.5 << 1048576.0 << QStringLiteral("srv1\r05 Mar 09:07 - 1,234.50KB/s - 1,024.00KB.");
        QTest::newRow("German separators")
            << "de_DE" << 1234.5 << 1536.0 << QStringLiteral("srv1\r05 März 09:07 - 1.234,50KB/s - 1,50KB.");
        QTest::newRow("zero") << "en_US" << 0.0 << 0.0 << QStringLiteral("srv1\r05 Mar 09:07 - 0.00KB/s - 0.00KB.");
        QTest::newRow("ten significant digits")
            << "en_US" << 123456789.126 << 0.0 << QStringLiteral("srv1\r05 Mar 09:07 - 123,456,789.10KB/s - 0.00KB.");
        QTest::newRow("beyond ten digits")
            << "en_US" << 12345678901.0 << 0.0 << QStringLiteral("srv1\r05 Mar 09:07 - 1.23456789E+10KB/s - 0.00KB.");
    }
    void label()
    {
        QFETCH(QString, localeName);
        QFETCH(double, speed);
        QFETCH(double, bytes);
        QFETCH(QString, expected);
        TResultRow row;
        row.Server = QStringLiteral("srv1");
        row.StartTime = DayCountDate::fromDateTime(QDateTime(QDate(2024, 3, 5), QTime(9, 7, 42)));
        row.Speed = speed;
        row.BytesRx = bytes;
        QCOMPARE(XLabelText(row, QLocale(localeName)), expected);
    }

    void dayCount_data()
    {
        QTest::addColumn<QDateTime>("local");
        QTest::addColumn<double>("days");
        QTest::newRow("epoch") << QDateTime(QDate(1899, 12, 30), QTime(0, 0)) << 0.0;
        QTest::newRow("noon next day") << QDateTime(QDate(1899, 12, 31), QTime(12, 0)) << 1.5;
        QTest::newRow("before the epoch") << QDateTime(QDate(1899, 12, 29), QTime(6, 0)) << -1.25;
        QTest::newRow("2024") << QDateTime(QDate(2024, 3, 5), QTime(9, 7, 30)) << 45356.380208333336;
    }
    void dayCount()
    {
        QFETCH(QDateTime, local);
        QFETCH(double, days);
        QCOMPARE(DayCountDate::fromDateTime(local), days);
        QCOMPARE(DayCountDate::toDateTime(days), local);
    }

    void dayCountEdges()
    {
        // Just short of midnight rounds into the next day, not to 24:00.
        QCOMPARE(DayCountDate::toDateTime(1.9999999999), QDateTime(QDate(1900, 1, 1), QTime(0, 0)));
        QVERIFY(!DayCountDate::toDateTime(qQNaN()).isValid());
        QVERIFY(!DayCountDate::toDateTime(qInf()).isValid());
        QVERIFY(!DayCountDate::toDateTime(1e300).isValid());
        QVERIFY_THROWS_EXCEPTION(EStorageError, DayCountDate::fromDateTime(QDateTime()));
    }

private:
    TTestEnvironment FEnvironment;
};

QTEST_GUILESS_MAIN(TestXLabelText)
#include "tst_XLabelText.moc"
