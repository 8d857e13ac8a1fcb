#include "storage/ResultsFile.h"
#include "storage/StorageError.h"
#include "tests/storage/TestEnvironment.h"

#include <QFile>
#include <QTest>

#include <limits>

namespace {

TResultsFile::TContent sampleContent()
{
    TResultsFile::TContent content;
    content.Rows = {
        {1, QStringLiteral("srv1"), 45356.380208333336, 1235, 1048576.0, 829.44, 829.44},
        {3, QStringLiteral("http://example.org/?a=1&b=<2>"), 45357.5, 0, 0.0, 0.0, 0.0},
    };
    content.NextOrder = 4;
    return content;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace

class TestResultsFile : public QObject
{
    Q_OBJECT
private slots:
    void writesTheKnownDocument()
    {
        const QByteArray golden = readFile(QStringLiteral(GOLDEN_DIR "/KorvaneResults.xml"));
        QVERIFY(!golden.isEmpty());
        QCOMPARE(TResultsFile::Serialize(sampleContent()), golden);
        const TResultsFile::TContent back = TResultsFile::Parse(golden, "golden");
        QCOMPARE(back.Rows, sampleContent().Rows);
        QCOMPARE(back.NextOrder, 4);
    }

    void roundTripsEveryValueExactly_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<double>("startTime");
        QTest::addColumn<double>("amount");
        QTest::addColumn<int>("duration");
        QTest::newRow("plain") << QStringLiteral("srv1") << 45356.380208333336 << 1048576.0 << 1235;
        QTest::newRow("blanks and breaks")
            << QStringLiteral("  a\tb\r\nc  ") << 0.1 + 0.2 << 1.0 / 3.0 << -1;
        QTest::newRow("markup and quotes") << QStringLiteral("<a href=\"x\">'&amp;'</a>") << -1.25 << 1e300 << 0;
        QTest::newRow("wide characters")
            << QString::fromUtf8("Zürich \xF0\x9F\x98\x80 東京") << 2958465.99999 << 5e-324
            << std::numeric_limits<qint32>::max();
        QTest::newRow("empty") << QString() << 0.0 << -0.0 << std::numeric_limits<qint32>::min();
    }
    void roundTripsEveryValueExactly()
    {
        QFETCH(QString, server);
        QFETCH(double, startTime);
        QFETCH(double, amount);
        QFETCH(int, duration);
        TResultsFile::TContent content;
        content.Rows = {{7, server, startTime, duration, amount, amount * 2, amount / 3}};
        content.NextOrder = 8;
        const QString path = FEnvironment.path() + "/roundtrip.xml";
        TResultsFile::Write(path, content);
        const TResultsFile::TContent back = TResultsFile::Read(path);
        QCOMPARE(back.Rows.size(), 1);
        const TResultRow &row = back.Rows.first();
        QCOMPARE(row.Server, server);
        // Bit-exact, not merely close.
        QCOMPARE(QByteArray::number(row.StartTime, 'g', 17), QByteArray::number(startTime, 'g', 17));
        QVERIFY(std::signbit(row.BytesRx) == std::signbit(amount));
        QVERIFY(row == content.Rows.first());
        QCOMPARE(back.NextOrder, 8);
    }

    void nextOrderStaysAboveStoredRows()
    {
        TResultsFile::TContent content = sampleContent();
        content.NextOrder = 2; // stale: row 3 exists
        QCOMPARE(TResultsFile::Parse(TResultsFile::Serialize(content), "f").NextOrder, 4);
    }

    void damagedDocumentsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("fault");
        const QByteArray good = TResultsFile::Serialize(sampleContent());
        auto changed = [&](const char *from, const char *to) {
            QByteArray copy = good;
            return copy.replace(from, to);
        };
        QTest::newRow("empty file") << QByteArray() << "no document element";
        QTest::newRow("cut short") << good.left(good.size() / 2) << "Premature end of document";
        QTest::newRow("other document") << QByteArray("<html/>") << "not a results file";
        QTest::newRow("newer format") << changed("version=\"1\"", "version=\"2\"") << "unsupported format version";
        QTest::newRow("column type changed")
            << changed("name=\"Duration\" type=\"int32\"", "name=\"Duration\" type=\"double\"")
            << "unexpected column Duration";
        QTest::newRow("column missing") << changed("<column name=\"Speed\" type=\"double\"/>", "")
                                        << "6 columns declared";
        QTest::newRow("not a number") << changed("Result=\"829.44\"", "Result=\"fast\"") << "Result is not a number";
        QTest::newRow("duration beyond 32 bits")
            << changed("Duration=\"1235\"", "Duration=\"4294967296\"") << "Duration is not a 32-bit integer";
        QTest::newRow("repeated Order") << changed("Order=\"3\"", "Order=\"1\"") << "repeated Order 1";
        QTest::newRow("value missing") << changed("Speed=\"829.44\"", "") << "attribute Speed missing";
        QTest::newRow("server too long")
            << changed("Server=\"srv1\"", "Server=\"" + QByteArray(256, 'x') + "\"") << "longer than 255";
        QTest::newRow("trailing element") << good + "<more/>" << "Extra content";
        QTest::newRow("bad nextOrder") << changed("nextOrder=\"4\"", "nextOrder=\"-4\"") << "invalid nextOrder";
    }
    void damagedDocumentsAreRefused()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, fault);
        try {
            TResultsFile::Parse(document, QStringLiteral("/x/KorvaneResults.xml"));
            QFAIL("damaged document accepted");
        } catch (const EStorageError &e) {
            QVERIFY2(e.message().startsWith("Cannot read results file /x/KorvaneResults.xml: "), qPrintable(e.message()));
            QVERIFY2(e.message().contains(fault), qPrintable(e.message()));
        }
    }

    void whatIsReadIsWrittenBackReadable_data()
    {
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<QString>("expected");
        QTest::newRow("lone high surrogate") << QByteArray("a&#xD800;b") << QStringLiteral("a?b");
        QTest::newRow("lone low surrogate") << QByteArray("&#xDC00;") << QStringLiteral("?");
        QTest::newRow("pair written as one reference") << QByteArray("&#x1F600;") << QStringLiteral("\U0001F600");
        QTest::newRow("pair as raw UTF-8") << QByteArray("\xF0\x9F\x98\x80") << QStringLiteral("\U0001F600");
        QTest::newRow("noncharacter") << QByteArray("&#xFFFF;") << QStringLiteral("?");
    }
    // Whatever the reader accepts, the writer must write back so that it reads again: a
    // value the reader cannot hold is replaced, never left to damage the next write.
    void whatIsReadIsWrittenBackReadable()
    {
        QFETCH(QByteArray, server);
        QFETCH(QString, expected);
        QByteArray document = TResultsFile::Serialize(sampleContent());
        document.replace("Server=\"srv1\"", "Server=\"" + server + "\"");
        TResultsFile::TContent content;
        try {
            content = TResultsFile::Parse(document, "f");
        } catch (const EStorageError &) {
            return; // refused as damaged: nothing to write back
        }
        QCOMPARE(content.Rows.first().Server, expected);
        const TResultsFile::TContent again = TResultsFile::Parse(TResultsFile::Serialize(content), "f");
        QCOMPARE(again.Rows, content.Rows);
    }

    // Direction, streams and family ride as optional row attributes: rows without them are
    // one-stream downloads, and the declared columns and their values stay as they were.
    void testShapeRoundTrips_data()
    {
        QTest::addColumn<QString>("direction");
        QTest::addColumn<int>("streams");
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("attributes");
        QTest::newRow("stream test: nothing added") << QString() << 0 << QString() << 0 << QByteArray();
        QTest::newRow("upload, 4 streams") << "upload" << 4 << QString() << 0
                                           << QByteArray(" Direction=\"upload\" Streams=\"4\"");
        QTest::newRow("download, 64 streams, ipv6") << "download" << 64 << "ipv6" << 0
                                                   << QByteArray(" Direction=\"download\" Streams=\"64\" Family=\"ipv6\"");
        QTest::newRow("family alone") << QString() << 0 << "ipv4" << 0 << QByteArray(" Family=\"ipv4\"");
        QTest::newRow("port alone") << QString() << 0 << QString() << 8081 << QByteArray(" Port=\"8081\"");
        QTest::newRow("session port") << "upload" << 2 << QString() << 65535
                                      << QByteArray(" Direction=\"upload\" Streams=\"2\" Port=\"65535\"");
    }
    void testShapeRoundTrips()
    {
        QFETCH(QString, direction);
        QFETCH(int, streams);
        QFETCH(QString, family);
        QFETCH(int, port);
        QFETCH(QByteArray, attributes);
        TResultsFile::TContent content = sampleContent();
        TResultRow &row = content.Rows.first();
        row.Direction = direction;
        row.Streams = streams;
        row.Family = family;
        row.Port = port;
        const QByteArray document = TResultsFile::Serialize(content);
        QCOMPARE(TResultsFile::Parse(document, "f").Rows, content.Rows);
        // Without the new attributes the document is the one written before they existed.
        QByteArray stripped = document;
        if (!attributes.isEmpty())
            QVERIFY(stripped.contains(attributes));
        stripped.replace(attributes, "");
        QCOMPARE(stripped, TResultsFile::Serialize(sampleContent()));
    }

    // What limited a session row rides as one more optional attribute.
    void limitRoundTrips()
    {
        TResultsFile::TContent content = sampleContent();
        TResultRow &row = content.Rows.first();
        row.Direction = QStringLiteral("download");
        row.Streams = 4;
        row.LimitedBy = QStringLiteral("receive_window");
        const QByteArray document = TResultsFile::Serialize(content);
        QVERIFY(document.contains(" Streams=\"4\" LimitedBy=\"receive_window\""));
        QCOMPARE(TResultsFile::Parse(document, "f").Rows, content.Rows);
        QVERIFY(TResultsFile::Parse(document, "f").Rows.first().HasTestShape());
    }

    // Latency beside a test rides as optional attributes too, on a stream test's row as on a
    // session's; a row without them is written as before.
    void latencyRoundTrips_data()
    {
        QTest::addColumn<bool>("session");
        QTest::addColumn<double>("idle");
        QTest::addColumn<double>("loaded");
        QTest::addColumn<QString>("grade");
        QTest::addColumn<int>("lost");
        QTest::addColumn<QByteArray>("attributes");
        QTest::newRow("stream test, all figures")
            << false << 0.125 << 95.3 << "C" << 0
            << QByteArray(" IdleLatency=\"0.125\" LoadedLatency=\"95.3\" LoadedLatencyP90=\"190.6\" Rpm=\"540\" Grade=\"C\""
                          " LostProbes=\"0\"");
        QTest::newRow("session, every probe lost")
            << true << -1.0 << -1.0 << QString() << 12 << QByteArray(" LostProbes=\"12\"");
    }
    void latencyRoundTrips()
    {
        QFETCH(bool, session);
        QFETCH(double, idle);
        QFETCH(double, loaded);
        QFETCH(QString, grade);
        QFETCH(int, lost);
        QFETCH(QByteArray, attributes);
        TResultsFile::TContent content = sampleContent();
        TResultsFile::TContent withoutLatency = content;
        TResultRow &row = content.Rows.first();
        if (session) {
            row.Direction = withoutLatency.Rows.first().Direction = QStringLiteral("upload");
            row.Streams = withoutLatency.Rows.first().Streams = 2;
        }
        row.IdleLatencyMs = idle;
        row.LoadedLatencyMs = loaded;
        row.LoadedLatencyP90Ms = loaded >= 0 ? loaded * 2 : -1;
        row.Rpm = loaded >= 0 ? 540 : -1;
        row.Grade = grade;
        row.LostProbes = lost;
        QVERIFY(row.HasLatency());
        const QByteArray document = TResultsFile::Serialize(content);
        QVERIFY2(document.contains(attributes), document.constData());
        const TResultsFile::TContent read = TResultsFile::Parse(document, "f");
        QCOMPARE(read.Rows, content.Rows);
        QVERIFY(!read.Rows.at(1).HasLatency());
        QByteArray stripped = document;
        stripped.replace(attributes, "");
        QCOMPARE(stripped, TResultsFile::Serialize(withoutLatency));
    }

    // The plan a row was measured against rides as one more optional attribute; a row without
    // one is written as before, and its share of plan follows from its rate.
    void planRoundTrips()
    {
        TResultsFile::TContent content = sampleContent();
        const TResultsFile::TContent withoutPlan = content;
        TResultRow &row = content.Rows.first();
        row.PlanBps = 100e6;
        const QByteArray document = TResultsFile::Serialize(content);
        QVERIFY2(document.contains(" Plan=\"100000000\""), document.constData());
        const TResultsFile::TContent read = TResultsFile::Parse(document, "f");
        QCOMPARE(read.Rows, content.Rows);
        QCOMPARE(read.Rows.first().PlanShare(), row.Speed * 8192 / 100e6);
        QCOMPARE(read.Rows.at(1).PlanShare(), -1.0);
        QByteArray stripped = document;
        stripped.replace(" Plan=\"100000000\"", "");
        QCOMPARE(stripped, TResultsFile::Serialize(withoutPlan));
    }

    void olderRowsReadAsOneStreamDownloads()
    {
        const QByteArray golden = readFile(QStringLiteral(GOLDEN_DIR "/KorvaneResults.xml"));
        for (const TResultRow &row : TResultsFile::Parse(golden, "golden").Rows) {
            QVERIFY(!row.HasTestShape());
            QCOMPARE(row.DirectionOrDefault(), QStringLiteral("download"));
            QCOMPARE(row.StreamsOrDefault(), 1);
            QVERIFY(row.Family.isEmpty());
        }
    }

    void badTestShapeIsRefused_data()
    {
        QTest::addColumn<QByteArray>("attributes");
        QTest::addColumn<QString>("fault");
        QTest::newRow("unknown direction") << QByteArray(" Direction=\"both\"") << "unknown Direction \"both\"";
        QTest::newRow("no streams") << QByteArray(" Streams=\"0\"") << "Streams must be at least 1";
        QTest::newRow("streams not a number") << QByteArray(" Streams=\"four\"") << "Streams is not a 32-bit integer";
        QTest::newRow("unknown family") << QByteArray(" Family=\"ipx\"") << "unknown Family \"ipx\"";
        QTest::newRow("port 0") << QByteArray(" Port=\"0\"") << "Port must be from 1 to 65535";
        QTest::newRow("port too high") << QByteArray(" Port=\"65536\"") << "Port must be from 1 to 65535";
        QTest::newRow("unknown limit") << QByteArray(" LimitedBy=\"slow\"") << "unknown LimitedBy \"slow\"";
        QTest::newRow("unknown grade") << QByteArray(" Grade=\"E\"") << "unknown Grade \"E\"";
        QTest::newRow("negative latency") << QByteArray(" IdleLatency=\"-3\"") << "IdleLatency must be a number of at least 0";
        QTest::newRow("latency not a number") << QByteArray(" LoadedLatency=\"slow\"") << "LoadedLatency is not a number";
        QTest::newRow("infinite rpm") << QByteArray(" Rpm=\"inf\"") << "Rpm must be a number of at least 0";
        QTest::newRow("negative lost probes") << QByteArray(" LostProbes=\"-1\"") << "LostProbes must be at least 0";
        QTest::newRow("plan of 0") << QByteArray(" Plan=\"0\"") << "Plan must be a rate above 0";
        QTest::newRow("plan not a number") << QByteArray(" Plan=\"100M\"") << "Plan is not a number";
    }
    void badTestShapeIsRefused()
    {
        QFETCH(QByteArray, attributes);
        QFETCH(QString, fault);
        QByteArray document = TResultsFile::Serialize(sampleContent());
        document.replace("Speed=\"829.44\"", "Speed=\"829.44\"" + attributes);
        try {
            TResultsFile::Parse(document, QStringLiteral("f"));
            QFAIL("bad value accepted");
        } catch (const EStorageError &e) {
            QVERIFY2(e.message().contains(fault), qPrintable(e.message()));
        }
    }

    void writeFailureKeepsTheOldFile()
    {
        const QString missingFolder = FEnvironment.path() + "/no/such/folder/KorvaneResults.xml";
        QVERIFY_THROWS_EXCEPTION(EStorageError, TResultsFile::Write(missingFolder, sampleContent()));
        QVERIFY_THROWS_EXCEPTION(EStorageError, TResultsFile::Read(missingFolder));
    }

private:
    TTestEnvironment FEnvironment;
};

QTEST_GUILESS_MAIN(TestResultsFile)
#include "tst_ResultsFile.moc"
