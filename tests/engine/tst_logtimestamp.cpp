#include "engine/LogTimestamp.h"

#include <QTest>

class TestLogTimestamp : public QObject
{
    Q_OBJECT

private slots:
    void zoneRemovedFromFormat_data();
    void zoneRemovedFromFormat();
    void localeTimestamps_data();
    void localeTimestamps();
    void linesReadBack_data() { localeTimestamps_data(); }
    void linesReadBack();
};

void TestLogTimestamp::zoneRemovedFromFormat_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("expected");

    QTest::newRow("blank before") << "h:mm:ss AP t" << "h:mm:ss AP";
    QTest::newRow("square brackets") << "Bh:mm:ss [t]" << "Bh:mm:ss";
    QTest::newRow("parentheses") << "H:mm:ss (t)" << "H:mm:ss";
    QTest::newRow("blanks inside brackets") << "H:mm:ss ( t )" << "H:mm:ss";
    QTest::newRow("full-width parentheses") << QStringLiteral("H:mm:ss\uFF08t\uFF09") << "H:mm:ss";
    QTest::newRow("comma before") << "h:mm:ss AP, t" << "h:mm:ss AP";
    QTest::newRow("zone first") << "t HH:mm:ss" << "HH:mm:ss";
    QTest::newRow("zone first in brackets") << "(t) HH:mm:ss" << "HH:mm:ss";
    QTest::newRow("long zone name") << "HH:mm:ss tttt" << "HH:mm:ss";
    QTest::newRow("zone in the middle") << "HH:mm t ss" << "HH:mm ss";
    QTest::newRow("abbreviation dot kept") << "H:mm:ss 'ch'. t" << "H:mm:ss 'ch'.";
    QTest::newRow("quoted t kept") << "HH 'at' mm t" << "HH 'at' mm";
    QTest::newRow("quoted brackets kept") << "HH:mm '[x]' t" << "HH:mm '[x]'";
    QTest::newRow("escaped quote") << "HH 'o''t' mm t" << "HH 'o''t' mm";
    QTest::newRow("unmatched bracket kept") << "(HH:mm t" << "(HH:mm";
    QTest::newRow("no zone") << "HH:mm:ss" << "HH:mm:ss";
    QTest::newRow("only a zone") << "[t]" << "";
}

void TestLogTimestamp::zoneRemovedFromFormat()
{
    QFETCH(QString, format);
    QFETCH(QString, expected);
    QCOMPARE(LogTimestamp::withoutTimeZone(format), expected);
}

void TestLogTimestamp::localeTimestamps_data()
{
    QTest::addColumn<QString>("locale");

    for (const char *name : {"zh_TW", "zh_HK", "yue_HK", "fa_IR", "es_ES", "mn_MN", "sq_AL", "zh_CN", "en_US",
                             "de_DE", "ja_JP", "fr_CA"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

// Whatever the locale's long time looks like, the line shows the time and nothing of the zone.
void TestLogTimestamp::localeTimestamps()
{
    QFETCH(QString, locale);
    const QLocale l(locale);
    const QDateTime when(QDate(2026, 3, 14), QTime(15, 9, 26), Qt::UTC);
    const QString stamp = LogTimestamp::format(when, l);
    const QString time = stamp.mid(l.toString(when.date(), QLocale::ShortFormat).size() + 1);

    QVERIFY2(!time.isEmpty(), qPrintable(stamp));
    for (const char *leftover : {"[]", "()", "UTC", "GMT", "\uFF08\uFF09"})
        QVERIFY2(!time.contains(QString::fromUtf8(leftover)), qPrintable(stamp));
    const QString edges = QStringLiteral(" ,()[]\uFF08\uFF09");
    QVERIFY2(!edges.contains(time.front()) && !edges.contains(time.back()), qPrintable(stamp));
    QVERIFY2(time.contains(l.toString(26)), qPrintable(stamp)); // the seconds are there
}

// A line as the log wrote it reads back to its time (to the second) and its text, in the
// locale that wrote it, two-digit years included.
void TestLogTimestamp::linesReadBack()
{
    QFETCH(QString, locale);
    const QLocale l(locale);
    const QDateTime when(QDate(2026, 3, 14), QTime(15, 9, 26));
    const QString line = LogTimestamp::format(when, l) + QStringLiteral(" - ERROR - Korvane Socket Error #111 - refused");
    QDateTime read;
    QString text;
    QVERIFY2(LogTimestamp::parse(line, read, text, l), qPrintable(line));
    QCOMPARE(read, when);
    QCOMPARE(text, QStringLiteral("ERROR - Korvane Socket Error #111 - refused"));
    QVERIFY(!LogTimestamp::parse(QStringLiteral("Korvane Client 2.0.0.69 - no time here"), read, text, l));
}

QTEST_GUILESS_MAIN(TestLogTimestamp)
#include "tst_logtimestamp.moc"
