#include "engine/http/InternetDate.h"

#include <QTest>

class TestInternetDate : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void TestInternetDate::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDateTime>("utc");

    const QDateTime nov6(QDate(1994, 11, 6), QTime(8, 49, 37), Qt::UTC);
    QTest::newRow("rfc 1123") << "Sun, 06 Nov 1994 08:49:37 GMT" << nov6;
    QTest::newRow("rfc 850") << "Sunday, 06-Nov-94 08:49:37 GMT" << nov6;
    QTest::newRow("asctime") << "Sun Nov  6 08:49:37 1994" << nov6;
    QTest::newRow("netscape dashes") << "Sun, 06-Nov-1994 08:49:37 GMT" << nov6;
    QTest::newRow("no weekday") << "06 Nov 1994 08:49:37 GMT" << nov6;
    QTest::newRow("lower case") << "sun, 06 nov 1994 08:49:37 gmt" << nov6;
    QTest::newRow("utc name") << "Sun, 06 Nov 1994 08:49:37 UTC" << nov6;
    QTest::newRow("no zone") << "Sun, 06 Nov 1994 08:49:37" << nov6;
    QTest::newRow("numeric zone east") << "Sun, 06 Nov 1994 10:49:37 +0200" << nov6;
    QTest::newRow("numeric zone west") << "Sun, 06 Nov 1994 03:49:37 -0500" << nov6;
    QTest::newRow("gmt plus offset") << "Sun, 06 Nov 1994 09:49:37 GMT+0100" << nov6;
    QTest::newRow("us zone") << "Sun, 06 Nov 1994 00:49:37 PST" << nov6;
    QTest::newRow("two-digit year 2000s") << "Thu, 01-Jan-37 00:00:00 GMT"
                                          << QDateTime(QDate(2037, 1, 1), QTime(0, 0), Qt::UTC);
    QTest::newRow("two-digit year 1900s") << "Thu, 01-Jan-70 00:00:00 GMT"
                                          << QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC);
    QTest::newRow("far future") << "Fri, 31 Dec 9999 23:59:59 GMT"
                                << QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59), Qt::UTC);
    QTest::newRow("leap second") << "Sat, 31 Dec 2016 23:59:60 GMT"
                                 << QDateTime(QDate(2016, 12, 31), QTime(23, 59, 59), Qt::UTC);
    QTest::newRow("zone crosses date") << "Mon, 01 Jan 2024 01:00:00 +0200"
                                       << QDateTime(QDate(2023, 12, 31), QTime(23, 0), Qt::UTC);

    QTest::newRow("empty") << "" << QDateTime();
    QTest::newRow("garbage") << "tomorrow" << QDateTime();
    QTest::newRow("number") << "3600" << QDateTime();
    QTest::newRow("no time") << "Sun, 06 Nov 1994" << QDateTime();
    QTest::newRow("bad day") << "Thu, 31 Feb 2024 00:00:00 GMT" << QDateTime();
    QTest::newRow("bad hour") << "Sun, 06 Nov 1994 25:00:00 GMT" << QDateTime();
    QTest::newRow("unknown word") << "Sun, 06 Nov 1994 08:49:37 XYZ" << QDateTime();
    QTest::newRow("two times") << "06 Nov 1994 08:49:37 08:49:37" << QDateTime();
    QTest::newRow("three-digit year") << "06 Nov 994 08:49:37" << QDateTime();
}

void TestInternetDate::parse()
{
    QFETCH(QString, text);
    QFETCH(QDateTime, utc);
    const QDateTime parsed = ParseInternetDate(text);
    QCOMPARE(parsed.isValid(), utc.isValid());
    if (utc.isValid())
        QCOMPARE(parsed.toUTC(), utc);
}

QTEST_GUILESS_MAIN(TestInternetDate)
#include "tst_InternetDate.moc"
