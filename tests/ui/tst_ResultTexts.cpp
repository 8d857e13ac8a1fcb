#include "ui/ResultTexts.h"
#include "engine/run/ResultLines.h"

#include "tests/ui/UiTestMain.h"

#include "storage/ResultRow.h"
#include "engine/latency/LatencyFigures.h"

#include <cmath>
#include <limits>

// Texts of the test run controller and the grid cells, in an English and a German locale.
class tst_ResultTexts : public QObject
{
    Q_OBJECT
private slots:
    void resultLines();
    void averageText_data();
    void averageText();
    void webScheme_data();
    void webScheme();
    void roundHalfEven_data();
    void roundHalfEven();
    void speedMaximum_data();
    void speedMaximum();
    void gridCells_data();
    void gridCells();
    void serverCell_data();
    void serverCell();
    void liveLatencyFigures_data();
    void liveLatencyFigures();
};

void tst_ResultTexts::resultLines()
{
    // 1048576 bytes in 1234567 microseconds.
    const double kb = 1048576 / 1024.0;
    const double ms = 1234567 / 1000.0;
    const double rate = kb / 1234567 * 1000000;
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    QCOMPARE(ResultLines::ReceivedLine(kb, 1048576, ms, english),
             QStringLiteral("Received 1,024.00 KB (1048576) in 1,234.57 milliseconds"));
    QCOMPARE(ResultLines::RateLine(rate, english), QStringLiteral("829.44 KB per second"));

    const QLocale german(QLocale::German, QLocale::Germany);
    QCOMPARE(ResultLines::ReceivedLine(kb, 1048576, ms, german),
             QStringLiteral("Received 1.024,00 KB (1048576) in 1.234,57 milliseconds"));
    // Amounts past 2 GiB stay positive.
    QCOMPARE(ResultLines::ReceivedLine(3145728, 3221225472LL, 1, english),
             QStringLiteral("Received 3,145,728.00 KB (3221225472) in 1.00 milliseconds"));
}

void tst_ResultTexts::averageText_data()
{
    QTest::addColumn<double>("average");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("expected");
    QTest::newRow("KB") << 829.4436 << 3 << " Average speed of 829.44KB/s for 3 tests.";
    QTest::newRow("rounds up to 1024 in KB") << 1023.999 << 1 << " Average speed of 1,024.00KB/s for 1 tests.";
    QTest::newRow("exactly 1024 is MB") << 1024.0 << 2 << " Average speed of 1.00MB/s for 2 tests.";
    QTest::newRow("large MB") << 1024.0 * 12345.678 << 10 << " Average speed of 12,345.68MB/s for 10 tests.";
    QTest::newRow("zero") << 0.0 << 0 << " Average speed of 0.00KB/s for 0 tests.";
}

void tst_ResultTexts::averageText()
{
    QFETCH(double, average);
    QFETCH(int, count);
    QFETCH(QString, expected);
    QCOMPARE(ResultTexts::AverageText(average, count, QLocale(QLocale::English, QLocale::UnitedStates)),
             expected);
}

void tst_ResultTexts::webScheme_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("expected");
    QTest::newRow("bare host") << "www.example.org" << "http://www.example.org";
    QTest::newRow("http") << "http://example.org/a" << "http://example.org/a";
    QTest::newRow("capital HTTPS") << "HTTPS://example.org/" << "HTTPS://example.org/";
    QTest::newRow("mixed case Http") << "Http://example.org/" << "Http://example.org/";
    // Only a scheme at the start counts: a URL inside the query is part of a page on this host.
    QTest::newRow("http:// inside a query") << "example.org/go?to=http://x" << "http://example.org/go?to=http://x";
    QTest::newRow("ftp") << "ftp://example.org/" << "ftp://example.org/";
    QTest::newRow("blanks") << "  " << "http://  ";
}

void tst_ResultTexts::webScheme()
{
    QFETCH(QString, target);
    QFETCH(QString, expected);
    QCOMPARE(ResultTexts::WithWebScheme(target), expected);
}

void tst_ResultTexts::roundHalfEven_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("2.5") << 2.5 << 2;
    QTest::newRow("3.5") << 3.5 << 4;
    QTest::newRow("-2.5") << -2.5 << -2;
    QTest::newRow("80.4") << 80.4 << 80;
    QTest::newRow("1234.56") << 1234.56 << 1235;
    QTest::newRow("huge") << 1e300 << std::numeric_limits<int>::max();
    QTest::newRow("nan") << std::nan("") << 0;
}

void tst_ResultTexts::roundHalfEven()
{
    QFETCH(double, value);
    QFETCH(int, expected);
    QCOMPARE(ResultTexts::RoundHalfEven(value), expected);
}

void tst_ResultTexts::speedMaximum_data()
{
    QTest::addColumn<int>("maximum");
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("expected");
    QTest::newRow("150.4 keeps 150") << 150 << 150.4 << 150;
    QTest::newRow("150.6 gives 151") << 150 << 150.6 << 151;
    QTest::newRow("equal leaves it") << 150 << 150.0 << 150;
    QTest::newRow("lower never decreases") << 150 << 20.0 << 150;
    QTest::newRow("half to even") << 1 << 2.5 << 2;
}

void tst_ResultTexts::speedMaximum()
{
    QFETCH(int, maximum);
    QFETCH(double, rate);
    QFETCH(int, expected);
    QCOMPARE(ResultTexts::RaisedSpeedMaximum(maximum, rate), expected);
}

void tst_ResultTexts::gridCells_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("duration0");
    QTest::addColumn<QString>("duration1234");
    QTest::addColumn<QString>("bytes");
    QTest::addColumn<QString>("fractionBytes");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("bigResult");
    QTest::newRow("English") << QLocale(QLocale::English, QLocale::UnitedStates) << "0 ms." << "1234 ms."
                             << "1048576" << "12.5" << "12.35 KB/S" << "123456.79 KB/S";
    QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << "0 ms." << "1234 ms."
                            << "1048576" << "12,5" << "12,35 KB/S" << "123456,79 KB/S";
}

void tst_ResultTexts::gridCells()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, duration0);
    QFETCH(QString, duration1234);
    QFETCH(QString, bytes);
    QFETCH(QString, fractionBytes);
    QFETCH(QString, result);
    QFETCH(QString, bigResult);
    QCOMPARE(ResultTexts::DurationCell(0, locale), duration0);
    QCOMPARE(ResultTexts::DurationCell(1234, locale), duration1234);
    QCOMPARE(ResultTexts::BytesRxCell(1048576, locale), bytes);
    QCOMPARE(ResultTexts::BytesRxCell(12.5, locale), fractionBytes);
    QCOMPARE(ResultTexts::ResultCell(12.346, locale), result);
    QCOMPARE(ResultTexts::ResultCell(123456.789, locale), bigResult);
}

void tst_ResultTexts::serverCell_data()
{
    QTest::addColumn<QString>("direction");
    QTest::addColumn<int>("streams");
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("grade");
    QTest::addColumn<int>("lostProbes");
    QTest::addColumn<QString>("cell");
    QTest::newRow("stream test") << QString() << 0 << QString() << QString() << -1 << "srv";
    QTest::newRow("stream test with latency") << QString() << 0 << QString() << "B" << 0 << "srv (grade B)";
    // Measured, but too few probes answered for a grade.
    QTest::newRow("stream test, too few probes") << QString() << 0 << QString() << QString() << 0
                                                 << "srv (grade: not enough probes)";
    QTest::newRow("session") << "upload" << 4 << QString() << QString() << -1 << "srv (upload, 4 streams)";
    QTest::newRow("session, limit and grade") << "download" << 1 << "receive_window" << "A+" << 0
                                              << "srv (download, 1 stream, limited by receive window, grade A+)";
}

void tst_ResultTexts::serverCell()
{
    QFETCH(QString, direction);
    QFETCH(int, streams);
    QFETCH(QString, limit);
    QFETCH(QString, grade);
    QFETCH(int, lostProbes);
    QFETCH(QString, cell);
    TResultRow row;
    row.LostProbes = lostProbes;
    row.Server = QStringLiteral("srv");
    row.Direction = direction;
    row.Streams = streams;
    row.LimitedBy = limit;
    row.Grade = grade;
    QCOMPARE(ResultTexts::ServerCell(row), cell);
}

void tst_ResultTexts::liveLatencyFigures_data()
{
    QTest::addColumn<double>("loadedMs");
    QTest::addColumn<QString>("grade");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("brief");
    QTest::newRow("figures and grade") << 23.456 << "B" << "loaded latency 23.46 ms, grade B" << "23.46 ms, B";
    QTest::newRow("no idle probes, so no grade")
        << 5.0 << QString() << "loaded latency 5.00 ms, grade: not enough probes" << "5.00 ms";
    QTest::newRow("no loaded probes") << -1.0 << QString() << "latency: not enough probes"
                                      << "latency: not enough probes";
    QTest::newRow("not a number") << qQNaN() << "A" << "latency: not enough probes" << "latency: not enough probes";
}

void tst_ResultTexts::liveLatencyFigures()
{
    QFETCH(double, loadedMs);
    QFETCH(QString, grade);
    QFETCH(QString, text);
    QFETCH(QString, brief);
    LatencyFigures figures;
    figures.LoadedMs = loadedMs;
    figures.Grade = grade;
    QCOMPARE(ResultLines::LiveLatencyFigures(figures), text);
    QCOMPARE(ResultLines::ShortLatencyFigures(figures), brief);
}

KORVANE_UI_TEST_MAIN(tst_ResultTexts)
#include "tst_ResultTexts.moc"
