#include "storage/DayCountDate.h"
#include "storage/ResultsExport.h"
#include "storage/StorageError.h"
#include "tests/storage/TestEnvironment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <cmath>

// Exports are read back by other programs: CSV through Python's csv module, as a
// user's script would, and JSON lines through a JSON parser.
class TestResultsExport : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void csvReadsBackFieldForField_data();
    void csvReadsBackFieldForField();
    void jsonLinesCarryTheSameFields_data() { csvReadsBackFieldForField_data(); }
    void jsonLinesCarryTheSameFields();
    void formatFromFileName_data();
    void formatFromFileName();
    void sessionRowsAddTheirShape_data();
    void sessionRowsAddTheirShape();
    void sessionRowsCarryTheirLimit();
    void rowsCarryTheirPort();
    void latencyColumnsFollowALatencyRow_data();
    void latencyColumnsFollowALatencyRow();
    void latencyFiguresWithoutFloatNoise_data();
    void latencyFiguresWithoutFloatNoise();
    void planColumnsFollowAPlannedRow();
    void failedWriteThrowsAndLeavesNoTemporaryFile();

private:
    QJsonArray ReadCsvWithPython(const QString &fileName);
    static TResultRow RowOf(const QString &server, double bytes, double rate, const QDateTime &start);

    TTestEnvironment FEnvironment;
    QString FPython;
};

namespace {
const QStringList Header = {"order", "target", "mode", "valid", "bytes", "duration_ms", "rate_kbps", "start_time"};
}

void TestResultsExport::initTestCase()
{
    FPython = QStandardPaths::findExecutable(QStringLiteral("python3"));
    QVERIFY2(!FPython.isEmpty(), "python3 is needed to read the CSV back");
    // The expected offsets are those of Central European time (see the test's CTest environment).
    QCOMPARE(QDateTime(QDate(2024, 1, 1), QTime(0, 0)).offsetFromUtc(), 3600);
}

TResultRow TestResultsExport::RowOf(const QString &server, double bytes, double rate, const QDateTime &start)
{
    TResultRow row;
    row.Order = 7;
    row.Server = server;
    row.StartTime = start.isValid() ? DayCountDate::fromDateTime(start) : qQNaN();
    row.Duration = 1500;
    row.BytesRx = bytes;
    row.Result = rate;
    row.Speed = rate;
    return row;
}

QJsonArray TestResultsExport::ReadCsvWithPython(const QString &fileName)
{
    QProcess python;
    python.start(FPython, {QStringLiteral("-c"),
                           QStringLiteral("import csv, json, sys\n"
                                          "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
                                          "    json.dump(list(csv.reader(f, strict=True)), sys.stdout)\n"),
                           fileName});
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        qWarning() << python.readAllStandardError();
        return {};
    }
    return QJsonDocument::fromJson(python.readAllStandardOutput()).array();
}

void TestResultsExport::csvReadsBackFieldForField_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<double>("bytes");
    QTest::addColumn<double>("rate");
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("bytesText");
    QTest::addColumn<QString>("rateText");
    QTest::addColumn<QString>("startText");

    const QDateTime winter(QDate(2024, 3, 5), QTime(9, 7, 42, 123));
    QTest::newRow("plain") << "srv1" << 1048576.0 << 1234.5 << winter << "server" << "1048576" << "1234.5"
                           << "2024-03-05T09:07:42.123+01:00";
    QTest::newRow("quotes and comma") << "Say \"hi\", srv" << 10.0 << 1.0 << winter << "server" << "10" << "1"
                                      << "2024-03-05T09:07:42.123+01:00";
    QTest::newRow("non-ASCII") << QStringLiteral("Zürich-Ωmega 東京 😀") << 10.0 << 1.0 << winter << "server" << "10"
                               << "1" << "2024-03-05T09:07:42.123+01:00";
    QTest::newRow("line breaks inside") << "two\r\nlines\rand\nmore" << 10.0 << 1.0 << winter << "server" << "10"
                                        << "1" << "2024-03-05T09:07:42.123+01:00";
    QTest::newRow("spaces kept") << "  srv  " << 10.0 << 1.0 << winter << "server" << "10" << "1"
                                 << "2024-03-05T09:07:42.123+01:00";
    QTest::newRow("web target with query") << "http://example.org/a?b=1,2" << 10.0 << 1.0 << winter << "web" << "10"
                                           << "1" << "2024-03-05T09:07:42.123+01:00";
    QTest::newRow("past 4 GiB") << "srv" << 5368709121.0 << 2.0 << winter << "server" << "5368709121" << "2"
                                << "2024-03-05T09:07:42.123+01:00";
    QTest::newRow("past 2^53, still whole") << "srv" << 9007199254740994.0 << 2.0 << winter << "server"
                                            << "9007199254740994" << "2" << "2024-03-05T09:07:42.123+01:00";
    QTest::newRow("zero rate") << "srv" << 0.0 << 0.0 << winter << "server" << "0" << "0"
                               << "2024-03-05T09:07:42.123+01:00";
    QTest::newRow("tiny rate, no exponent") << "srv" << 1.0 << 1e-7 << winter << "server" << "1" << "0.0000001"
                                            << "2024-03-05T09:07:42.123+01:00";
    QTest::newRow("all digits of a rate") << "srv" << 1.0 << 2854.9876543210123 << winter << "server" << "1"
                                          << "2854.987654321012" << "2024-03-05T09:07:42.123+01:00";
    QTest::newRow("summer time") << "srv" << 1.0 << 1.0 << QDateTime(QDate(2024, 7, 1), QTime(12, 0)) << "server"
                                 << "1" << "1" << "2024-07-01T12:00:00.000+02:00";
    QTest::newRow("unreadable values left empty") << "srv" << qQNaN() << qQNaN() << QDateTime() << "server" << ""
                                                  << "" << "";
}

void TestResultsExport::csvReadsBackFieldForField()
{
    QFETCH(QString, server);
    QFETCH(double, bytes);
    QFETCH(double, rate);
    QFETCH(QDateTime, start);
    QFETCH(QString, mode);
    QFETCH(QString, bytesText);
    QFETCH(QString, rateText);
    QFETCH(QString, startText);

    // A plain row after the odd one shows that the odd one ended where it should.
    TResultRow after = RowOf(QStringLiteral("next"), 1, 1, QDateTime(QDate(2024, 3, 5), QTime(10, 0)));
    after.Order = 8;
    const QString fileName = FEnvironment.path() + QStringLiteral("/export.csv");
    ResultsExport::WriteFile(fileName, {RowOf(server, bytes, rate, start), after}, ResultsExport::Format::Csv);

    const QJsonArray table = ReadCsvWithPython(fileName);
    QCOMPARE(table.size(), 3);
    QCOMPARE(table.at(0).toVariant().toStringList(), Header);
    const QStringList expected = {"7", server, mode, "true", bytesText, "1500", rateText, startText};
    QCOMPARE(table.at(1).toVariant().toStringList(), expected);
    QCOMPARE(table.at(2).toArray().at(1).toString(), QStringLiteral("next"));

    // The texts read back to the very values stored.
    if (std::isfinite(rate))
        QCOMPARE(rateText.toDouble(), rate);
    if (start.isValid())
        QCOMPARE(QDateTime::fromString(startText, Qt::ISODateWithMs), start);
}

void TestResultsExport::jsonLinesCarryTheSameFields()
{
    QFETCH(QString, server);
    QFETCH(double, bytes);
    QFETCH(double, rate);
    QFETCH(QDateTime, start);
    QFETCH(QString, mode);
    QFETCH(QString, startText);

    const QByteArray out = ResultsExport::ToJsonLines({RowOf(server, bytes, rate, start), RowOf("b", 1, 1, start)});
    const QList<QByteArray> lines = out.split('\n');
    QCOMPARE(lines.size(), 3); // two lines, each ended by a line feed
    QVERIFY(lines.last().isEmpty());

    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(lines.first(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QStringList keys = Header;
    keys.sort();
    QCOMPARE(o.keys(), keys);
    QCOMPARE(o.value("order").toInt(), 7);
    QCOMPARE(o.value("target").toString(), server);
    QCOMPARE(o.value("mode").toString(), mode);
    QCOMPARE(o.value("valid").toBool(), true);
    QCOMPARE(o.value("duration_ms").toInt(), 1500);
    if (std::isfinite(bytes))
        QCOMPARE(o.value("bytes").toInteger(), qint64(bytes));
    else
        QVERIFY(o.value("bytes").isNull());
    if (std::isfinite(rate))
        QCOMPARE(o.value("rate_kbps").toDouble(), rate);
    else
        QVERIFY(o.value("rate_kbps").isNull());
    if (startText.isEmpty())
        QVERIFY(o.value("start_time").isNull());
    else
        QCOMPARE(o.value("start_time").toString(), startText);
}

void TestResultsExport::sessionRowsAddTheirShape_data()
{
    QTest::addColumn<QString>("direction");
    QTest::addColumn<int>("streams");
    QTest::addColumn<QString>("family");
    QTest::addColumn<QStringList>("csvShape");
    QTest::newRow("upload, 4 streams") << "upload" << 4 << QString() << QStringList{"upload", "4", ""};
    QTest::newRow("download, 16 streams, ipv6") << "download" << 16 << "ipv6" << QStringList{"download", "16", "ipv6"};
    QTest::newRow("family alone") << QString() << 0 << "ipv4" << QStringList{"download", "1", "ipv4"};
}

// A session row gives the CSV three more columns, where an older row reads as a one-stream
// download; in JSON lines only the session row gains the keys.
void TestResultsExport::sessionRowsAddTheirShape()
{
    QFETCH(QString, direction);
    QFETCH(int, streams);
    QFETCH(QString, family);
    QFETCH(QStringList, csvShape);
    const QDateTime start(QDate(2024, 3, 5), QTime(9, 7, 42, 123));
    TResultRow session = RowOf(QStringLiteral("srv"), 10, 1, start);
    session.Direction = direction;
    session.Streams = streams;
    session.Family = family;
    TResultRow older = RowOf(QStringLiteral("old"), 10, 1, start);
    older.Order = 8;

    const QString fileName = FEnvironment.path() + QStringLiteral("/shape.csv");
    ResultsExport::WriteFile(fileName, {session, older}, ResultsExport::Format::Csv);
    const QJsonArray table = ReadCsvWithPython(fileName);
    QCOMPARE(table.size(), 3);
    QCOMPARE(table.at(0).toVariant().toStringList(), Header + QStringList({"direction", "streams", "family"}));
    QCOMPARE(table.at(1).toVariant().toStringList().mid(Header.size()), csvShape);
    QCOMPARE(table.at(2).toVariant().toStringList().mid(Header.size()), (QStringList{"download", "1", ""}));
    QCOMPARE(table.at(2).toVariant().toStringList().mid(0, 2), (QStringList{"8", "old"}));

    const QList<QByteArray> lines = ResultsExport::ToJsonLines({session, older}).split('\n');
    const QJsonObject first = QJsonDocument::fromJson(lines.at(0)).object();
    QCOMPARE(first.value("direction").toString(), csvShape.at(0));
    QCOMPARE(first.value("streams").toInt(), csvShape.at(1).toInt());
    if (family.isEmpty())
        QVERIFY(first.value("family").isNull());
    else
        QCOMPARE(first.value("family").toString(), family);
    QStringList keys = Header;
    keys.sort();
    QCOMPARE(QJsonDocument::fromJson(lines.at(1)).object().keys(), keys);
}

// The limit is one more column once any row has it, empty for rows without one.
void TestResultsExport::sessionRowsCarryTheirLimit()
{
    const QDateTime start(QDate(2024, 3, 5), QTime(9, 7, 42, 123));
    TResultRow session = RowOf(QStringLiteral("srv"), 10, 1, start);
    session.Direction = QStringLiteral("upload");
    session.Streams = 2;
    session.LimitedBy = QStringLiteral("path");
    TResultRow plain = RowOf(QStringLiteral("srv"), 10, 1, start);
    plain.Direction = QStringLiteral("download");
    plain.Streams = 1;
    plain.Order = 8;

    const QString fileName = FEnvironment.path() + QStringLiteral("/limit.csv");
    ResultsExport::WriteFile(fileName, {session, plain}, ResultsExport::Format::Csv);
    const QJsonArray table = ReadCsvWithPython(fileName);
    QCOMPARE(table.size(), 3);
    QCOMPARE(table.at(0).toVariant().toStringList(),
             Header + QStringList({"direction", "streams", "family", "limited_by"}));
    QCOMPARE(table.at(1).toVariant().toStringList().mid(Header.size()), (QStringList{"upload", "2", "", "path"}));
    QCOMPARE(table.at(2).toVariant().toStringList().mid(Header.size()), (QStringList{"download", "1", "", ""}));

    const QList<QByteArray> lines = ResultsExport::ToJsonLines({session, plain}).split('\n');
    QCOMPARE(QJsonDocument::fromJson(lines.at(0)).object().value("limited_by").toString(), QStringLiteral("path"));
    QVERIFY(!QJsonDocument::fromJson(lines.at(1)).object().contains("limited_by"));
}

// Two servers on one host are told apart: the port is the last column once any row has one.
void TestResultsExport::rowsCarryTheirPort()
{
    const QDateTime start(QDate(2024, 3, 5), QTime(9, 7, 42, 123));
    TResultRow first = RowOf(QStringLiteral("srv"), 10, 1, start);
    first.Port = 8082;
    TResultRow second = RowOf(QStringLiteral("srv"), 10, 1, start);
    second.Port = 9082;
    second.Order = 8;
    TResultRow old = RowOf(QStringLiteral("srv"), 10, 1, start);
    old.Order = 9;

    const QString fileName = FEnvironment.path() + QStringLiteral("/port.csv");
    ResultsExport::WriteFile(fileName, {first, second, old}, ResultsExport::Format::Csv);
    const QJsonArray table = ReadCsvWithPython(fileName);
    QCOMPARE(table.size(), 4);
    QCOMPARE(table.at(0).toVariant().toStringList(), Header + QStringList{"port"});
    QCOMPARE(table.at(1).toVariant().toStringList().last(), QStringLiteral("8082"));
    QCOMPARE(table.at(2).toVariant().toStringList().last(), QStringLiteral("9082"));
    QCOMPARE(table.at(3).toVariant().toStringList().last(), QString());

    const QList<QByteArray> lines = ResultsExport::ToJsonLines({first, old}).split('\n');
    QCOMPARE(QJsonDocument::fromJson(lines.at(0)).object().value("port").toInt(), 8082);
    QVERIFY(!QJsonDocument::fromJson(lines.at(1)).object().contains("port"));
    // Rows without a port keep today's columns.
    QVERIFY(!ResultsExport::ToCsv({old}).contains("port"));
}

void TestResultsExport::latencyColumnsFollowALatencyRow_data()
{
    QTest::addColumn<bool>("session");
    QTest::addColumn<QStringList>("before"); // the columns between today's and the latency ones
    QTest::newRow("stream test") << false << QStringList{};
    QTest::newRow("session") << true << QStringList{"direction", "streams", "family", "limited_by"};
}

// Six latency columns once any row measured latency, empty for a row that did not (or for a
// figure it could not work out); JSON lines give only the rows with latency those keys.
void TestResultsExport::latencyColumnsFollowALatencyRow()
{
    QFETCH(bool, session);
    QFETCH(QStringList, before);
    const QDateTime start(QDate(2024, 3, 5), QTime(9, 7, 42, 123));
    TResultRow measured = RowOf(QStringLiteral("srv"), 10, 1, start);
    if (session) {
        measured.Direction = QStringLiteral("download");
        measured.Streams = 4;
        measured.LimitedBy = QStringLiteral("path");
    }
    measured.IdleLatencyMs = 0.25;
    measured.LoadedLatencyMs = 95.5;
    measured.LoadedLatencyP90Ms = 180.125;
    measured.Rpm = 540;
    measured.Grade = QStringLiteral("C");
    measured.LostProbes = 2;
    TResultRow unmeasured = RowOf(QStringLiteral("old"), 10, 1, start);
    unmeasured.Order = 8;
    TResultRow nothingAnswered = RowOf(QStringLiteral("far"), 10, 1, start);
    nothingAnswered.Order = 9;
    nothingAnswered.LostProbes = 30;

    const QStringList latency{"idle_latency_ms", "loaded_latency_ms", "loaded_latency_p90_ms",
                              "rpm",             "bufferbloat_grade", "lost_probes"};
    const QString fileName = FEnvironment.path() + QStringLiteral("/latency.csv");
    ResultsExport::WriteFile(fileName, {measured, unmeasured, nothingAnswered}, ResultsExport::Format::Csv);
    const QJsonArray table = ReadCsvWithPython(fileName);
    QCOMPARE(table.size(), 4);
    QCOMPARE(table.at(0).toVariant().toStringList(), Header + before + latency);
    const int at = int(Header.size() + before.size());
    QCOMPARE(table.at(1).toVariant().toStringList().mid(at), (QStringList{"0.25", "95.5", "180.125", "540", "C", "2"}));
    QCOMPARE(table.at(2).toVariant().toStringList().mid(at), (QStringList{"", "", "", "", "", ""}));
    QCOMPARE(table.at(3).toVariant().toStringList().mid(at), (QStringList{"", "", "", "", "", "30"}));

    // Without a latency row, the columns are today's.
    QVERIFY(!ResultsExport::ToCsv({unmeasured}).contains("latency"));

    const QList<QByteArray> lines = ResultsExport::ToJsonLines({measured, unmeasured, nothingAnswered}).split('\n');
    const QJsonObject first = QJsonDocument::fromJson(lines.at(0)).object();
    QCOMPARE(first.value("loaded_latency_ms").toDouble(), 95.5);
    QCOMPARE(first.value("rpm").toDouble(), 540.0);
    QCOMPARE(first.value("bufferbloat_grade").toString(), QStringLiteral("C"));
    QCOMPARE(first.value("lost_probes").toInt(), 2);
    QVERIFY(!QJsonDocument::fromJson(lines.at(1)).object().contains("rpm"));
    const QJsonObject third = QJsonDocument::fromJson(lines.at(2)).object();
    QVERIFY(third.value("idle_latency_ms").isNull());
    QVERIFY(third.value("bufferbloat_grade").isNull());
    QCOMPARE(third.value("lost_probes").toInt(), 30);
}

// Two plan columns once any row was measured against a plan: the plan in bits per second and
// the share of it the rate reached; empty for rows without one. JSON lines only on those rows.
void TestResultsExport::planColumnsFollowAPlannedRow()
{
    const QDateTime start(QDate(2024, 3, 5), QTime(9, 7, 42, 123));
    // 9765.625 KB/s is 80 000 000 bits per second: 0.8 of a 100M plan.
    TResultRow planned = RowOf(QStringLiteral("srv"), 10, 9765.625, start);
    planned.PlanBps = 100e6;
    TResultRow unplanned = RowOf(QStringLiteral("old"), 10, 1, start);
    unplanned.Order = 8;
    // A third of the plan, which a float gives with noise in its last digits.
    TResultRow slow = RowOf(QStringLiteral("srv"), 10, 9765.625 / 2.4, start);
    slow.Order = 9;
    slow.PlanBps = 100e6;

    const QString fileName = FEnvironment.path() + QStringLiteral("/plan.csv");
    ResultsExport::WriteFile(fileName, {planned, unplanned, slow}, ResultsExport::Format::Csv);
    const QJsonArray table = ReadCsvWithPython(fileName);
    QCOMPARE(table.size(), 4);
    QCOMPARE(table.at(0).toVariant().toStringList(), (Header + QStringList{"plan_bps", "plan_share"}));
    const int at = int(Header.size());
    QCOMPARE(table.at(1).toVariant().toStringList().mid(at), (QStringList{"100000000", "0.8"}));
    QCOMPARE(table.at(2).toVariant().toStringList().mid(at), (QStringList{"", ""}));
    QCOMPARE(table.at(3).toVariant().toStringList().mid(at), (QStringList{"100000000", "0.3333"}));
    QVERIFY(!ResultsExport::ToCsv({unplanned}).contains("plan"));

    const QList<QByteArray> lines = ResultsExport::ToJsonLines({planned, unplanned, slow}).split('\n');
    QVERIFY2(lines.at(0).contains("\"plan_bps\":100000000,\"plan_share\":0.8,"), lines.at(0).constData());
    QVERIFY(!lines.at(1).contains("plan"));
    QCOMPARE(QJsonDocument::fromJson(lines.at(2)).object().value("plan_share").toDouble(), 0.3333);
}

void TestResultsExport::latencyFiguresWithoutFloatNoise_data()
{
    QTest::addColumn<double>("idleMs");
    QTest::addColumn<double>("rpm");
    QTest::addColumn<QString>("idleText");
    QTest::addColumn<QString>("rpmText");
    // 6.5 us worked out in ms, as a loopback probe gives it.
    QTest::newRow("6.5 us") << 0.006500000000000001 << 9230769.230769231 << "0.0065" << "9230769";
    QTest::newRow("sum noise") << 0.1 + 0.2 << 540.0000000000001 << "0.3" << "540";
    // Beyond a tenth of a microsecond nothing is measured.
    QTest::newRow("below a tenth of a microsecond") << 12.3456789 << 0.4 << "12.3457" << "0";
}

void TestResultsExport::latencyFiguresWithoutFloatNoise()
{
    QFETCH(double, idleMs);
    QFETCH(double, rpm);
    QFETCH(QString, idleText);
    QFETCH(QString, rpmText);
    TResultRow row = RowOf(QStringLiteral("srv"), 10, 1, QDateTime(QDate(2024, 3, 5), QTime(10, 0)));
    row.IdleLatencyMs = idleMs;
    row.LoadedLatencyMs = idleMs;
    row.LoadedLatencyP90Ms = idleMs;
    row.Rpm = rpm;
    row.LostProbes = 0;
    const QList<QByteArray> csv = ResultsExport::ToCsv({row}).split('\n');
    const QList<QByteArray> fields = csv.at(1).trimmed().split(',');
    const qsizetype at = Header.size();
    QCOMPARE(QString::fromLatin1(fields.at(at)), idleText);
    QCOMPARE(QString::fromLatin1(fields.at(at + 1)), idleText);
    QCOMPARE(QString::fromLatin1(fields.at(at + 2)), idleText);
    QCOMPARE(QString::fromLatin1(fields.at(at + 3)), rpmText);
    // The JSON lines as written, not as a parser would tidy them.
    const QByteArray json = ResultsExport::ToJsonLines({row});
    QVERIFY2(json.contains("\"idle_latency_ms\":" + idleText.toLatin1() + ','), json.constData());
    QVERIFY2(json.contains("\"rpm\":" + rpmText.toLatin1() + ','), json.constData());
}

void TestResultsExport::formatFromFileName_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("jsonLines");
    QTest::newRow("csv") << "/tmp/a.csv" << false;
    QTest::newRow("upper-case JSONL") << "/tmp/a.JSONL" << true;
    QTest::newRow("ndjson") << "/tmp/a.ndjson" << true;
    QTest::newRow("json") << "/tmp/a.json" << true;
    QTest::newRow("no suffix") << "/tmp/results" << false;
    QTest::newRow("dotted folder") << "/tmp/x.jsonl/results" << false;
}

void TestResultsExport::formatFromFileName()
{
    QFETCH(QString, fileName);
    QFETCH(bool, jsonLines);
    QCOMPARE(ResultsExport::FormatForFileName(fileName) == ResultsExport::Format::JsonLines, jsonLines);
}

void TestResultsExport::failedWriteThrowsAndLeavesNoTemporaryFile()
{
    const QString folder = FEnvironment.path() + QStringLiteral("/a-folder.csv");
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/inside")));
    const QVector<TResultRow> rows = {RowOf("srv", 1, 1, QDateTime::currentDateTime())};

    QVERIFY_THROWS_EXCEPTION(EStorageError, ResultsExport::WriteFile(folder, rows, ResultsExport::Format::Csv));
    QVERIFY(QFileInfo(folder + QStringLiteral("/inside")).isDir());
    QVERIFY_THROWS_EXCEPTION(EStorageError, ResultsExport::WriteFile(FEnvironment.path() + "/missing/x.csv", rows,
                                                                     ResultsExport::Format::Csv));
    // Nothing but the target is left behind by a successful write.
    const QString good = FEnvironment.path() + QStringLiteral("/out/good.jsonl");
    QVERIFY(QDir().mkpath(FEnvironment.path() + QStringLiteral("/out")));
    ResultsExport::WriteFile(good, rows, ResultsExport::Format::JsonLines);
    QCOMPARE(QDir(FEnvironment.path() + QStringLiteral("/out")).entryList(QDir::Files), QStringList{"good.jsonl"});
}

QTEST_GUILESS_MAIN(TestResultsExport)
#include "tst_ResultsExport.moc"
