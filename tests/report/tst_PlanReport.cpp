#include "engine/LogTimestamp.h"
#include "report/TPlanReport.h"
#include "report/TReportLayout.h"
#include "report/TReportSetupDialog.h"
#include "report/Tdmrpt.h"
#include "storage/DayCountDate.h"
#include "tests/report/ReportFixture.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QImage>
#include <QMessageBox>
#include <QPrinter>
#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace ReportFixture;

namespace {

constexpr double PlanBps = 100e6;

TResultRow Result(const QDateTime& at, double mbps, double planBps = PlanBps, const QString& server = QStringLiteral("speed.example.net"))
{
    TResultRow row;
    row.Server = server;
    row.Port = 8081;
    row.StartTime = DayCountDate::fromDateTime(at);
    row.Duration = 10000;
    row.Speed = row.Result = mbps * 1e6 / 8192;
    row.BytesRx = row.Speed * 1024 * 10;
    row.PlanBps = planBps;
    return row;
}

// A week of a 100M line from Monday 1 December 2025: 95 Mbit/s every morning at 9, 40 Mbit/s
// on weekday evenings at 21 and 90 on weekend evenings. Around it, what the report leaves
// out: a slow result the day before, a target without a plan, and lines of the log.
TPlanReport::TInput Week()
{
    TPlanReport::TInput input;
    input.Rows << Result(QDateTime(QDate(2025, 11, 30), QTime(21, 0)), 10);
    for (int day = 0; day < 7; ++day) {
        const QDate date = QDate(2025, 12, 1).addDays(day);
        input.Rows << Result(QDateTime(date, QTime(9, 0)), 95);
        input.Rows << Result(QDateTime(date, QTime(21, 0)), day < 5 ? 40 : 90);
        input.Rows << Result(QDateTime(date, QTime(12, 0)), 5, 0, QStringLiteral("other.example.net"));
    }
    input.Share = 0.8;
    input.From = QDate(2025, 12, 1);
    input.To = QDate(2025, 12, 7);
    const auto log = [](const QDateTime& at, const QString& text) { return LogTimestamp::format(at) + QStringLiteral(" - ") + text; };
    input.LogLines << log(QDateTime(QDate(2025, 11, 29), QTime(8, 0)), QStringLiteral("Test results are not valid!"))
                   << log(QDateTime(QDate(2025, 12, 3), QTime(10, 15, 7)), QStringLiteral("Initiating Test to speed.example.net"))
                   << log(QDateTime(QDate(2025, 12, 3), QTime(10, 15, 8)),
                          QStringLiteral("ERROR - Korvane Socket Error #111 - Connection refused"))
                   << log(QDateTime(QDate(2025, 12, 6), QTime(22, 0, 1)), QStringLiteral("Test results are not valid!"));
    return input;
}

// A line of the report with its cells apart by any run of blanks.
bool HasRow(const QString& text, const QStringList& cells)
{
    QStringList escaped;
    for (const QString& cell : cells)
        escaped << QRegularExpression::escape(cell);
    return QRegularExpression(QStringLiteral("(^|\\n)\\s*") + escaped.join(QStringLiteral("\\s+")) + QStringLiteral("\\s*(\\r|$)"))
        .match(text)
        .hasMatch();
}

} // namespace

class TestPlanReport : public QObject
{
    Q_OBJECT
private slots:
    void figuresOfAWeek_data();
    void figuresOfAWeek();
    void periodLeavesOthersOut();
    void outputOptionsOfferTheReport();
    void chosenInOutputOptions_data();
    void chosenInOutputOptions();

private:
    QTemporaryDir FWork;
};

void TestPlanReport::figuresOfAWeek_data()
{
    QTest::addColumn<QStringList>("cells");
    QTest::newRow("plan") << QStringList{"Plan: 100M (100 Mbit/s) from 2025-12-01 09:00:00"};
    QTest::newRow("summary") << QStringList{"Results: 14, of which 5 below the plan (35.7 %); median share of the plan 92.5 %."};
    QTest::newRow("first slow") << QStringList{"2025-12-01 21:00:00", "40.00 Mbit/s", "40.0 %"};
    QTest::newRow("last slow") << QStringList{"2025-12-05 21:00:00", "40.00 Mbit/s", "40.0 %"};
    QTest::newRow("mornings") << QStringList{"09:00", "7", "95.00 Mbit/s", "95.0 %"};
    QTest::newRow("evenings") << QStringList{"21:00", "7", "40.00 Mbit/s", "40.0 %"};
    QTest::newRow("Monday") << QStringList{"Monday", "2", "67.50 Mbit/s", "67.5 %"};
    QTest::newRow("Saturday") << QStringList{"Saturday", "2", "92.50 Mbit/s", "92.5 %"};
    QTest::newRow("refused connection")
        << QStringList{"2025-12-03 10:15:08", "ERROR - Korvane Socket Error #111 - Connection refused"};
    QTest::newRow("invalid result") << QStringList{"2025-12-06 22:00:01", "Test results are not valid!"};
}

// Every figure worked out by hand from the week it was made from.
void TestPlanReport::figuresOfAWeek()
{
    QFETCH(QStringList, cells);
    const QString text = TPlanReport::Text(Week());
    QVERIFY2(HasRow(text, cells), qPrintable(cells.join(u' ') + QStringLiteral("\nnot in\n") + text));
}

void TestPlanReport::periodLeavesOthersOut()
{
    const QString text = TPlanReport::Text(Week());
    QVERIFY(text.startsWith(QStringLiteral("Period: 2025-12-01 to 2025-12-07")));
    QVERIFY2(!text.contains(QStringLiteral("2025-11-30")), qPrintable(text)); // the day before
    QVERIFY(!text.contains(QStringLiteral("2025-11-29"))); // nor its failure
    QVERIFY(!text.contains(QStringLiteral("other.example.net"))); // no plan
    QVERIFY(!text.contains(QStringLiteral("Initiating"))); // not a failure
    QCOMPARE(text.count(QStringLiteral("speed.example.net:8081 (download)")), 1);
    QVERIFY(text.contains(QStringLiteral(
        "Each result is one test run by Korvane Client from the sender's computer: a download from the Korvane "
        "server speed.example.net on port 8081 over one TCP stream, lasting 10.0 s")));

    // The weekend alone: nothing below the plan, no failure.
    TPlanReport::TInput weekend = Week();
    weekend.From = QDate(2025, 12, 6);
    weekend.LogLines.removeLast();
    const QString two = TPlanReport::Text(weekend);
    QVERIFY2(two.contains(QStringLiteral("Results: 4, of which 0 below the plan (0.0 %)")), qPrintable(two));
    QVERIFY(two.contains(QStringLiteral("  None.")));
    QVERIFY(two.contains(QStringLiteral("  None in the log for the period.")));

    // A period without plans says so rather than print empty tables.
    weekend.From = weekend.To = QDate(2024, 1, 1);
    QVERIFY(TPlanReport::Text(weekend).contains(QStringLiteral("No result in the period was measured against a plan.")));
}

// The default report stays the one selected; the other comes with its period, which must
// not end before it starts. Without other reports the dialog is as it always was.
void TestPlanReport::outputOptionsOfferTheReport()
{
    QPrinter printer;
    const QStringList names{u"PDF"_qs, u"HTML"_qs, u"RTF"_qs};
    TReportSetupDialog plain(nullptr, u"Output Options"_qs, printer, names, names, false);
    QVERIFY(!plain.findChild<QComboBox*>(u"cbReport"_qs));
    QVERIFY(plain.Choice().report.isEmpty());

    TReportSetupDialog dialog(nullptr, u"Output Options"_qs, printer, names, names, false);
    dialog.OfferReports(u"Korvane Speed Test Report"_qs, {TPlanReport::Title()}, QDate(2025, 11, 8), QDate(2025, 12, 7));
    auto* report = dialog.findChild<QComboBox*>(u"cbReport"_qs);
    auto* from = dialog.findChild<QDateEdit*>(u"deFrom"_qs);
    auto* to = dialog.findChild<QDateEdit*>(u"deTo"_qs);
    QVERIFY(report && from && to);
    QCOMPARE(report->currentText(), u"Korvane Speed Test Report"_qs);
    QVERIFY(!from->isEnabled());
    QVERIFY(dialog.Choice().report.isEmpty());

    report->setCurrentIndex(1);
    QVERIFY(from->isEnabled() && to->isEnabled());
    from->setDate(QDate(2025, 12, 1));
    TReportOutputChoice choice = dialog.Choice();
    QCOMPARE(choice.report, TPlanReport::Title());
    QCOMPARE(choice.from, QDate(2025, 12, 1));
    QCOMPARE(choice.to, QDate(2025, 12, 7));

    // A period that ends before it starts is refused (the dialog stays open).
    to->setDate(QDate(2025, 11, 30));
    QTimer::singleShot(0, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->accept();
    });
    dialog.show();
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
}

void TestPlanReport::chosenInOutputOptions_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("file");
    QTest::newRow("PDF") << int(TReportOutputChoice::FileFormat::Pdf) << "plan.pdf";
    QTest::newRow("HTML") << int(TReportOutputChoice::FileFormat::Html) << "plan.html";
}

// Chosen in "Output Options" with its period, the report goes through the layout and the
// engine like the default one: its title, its text for the chosen days, its picture.
void TestPlanReport::chosenInOutputOptions()
{
    QFETCH(int, format);
    QFETCH(QString, file);
    const QString old = QDir::currentPath();
    QVERIFY(QDir::setCurrent(FWork.path()));
    QFile::remove(FWork.filePath(QStringLiteral("Korvn.layout")));
    QVERIFY(QFile::copy(DefaultLayoutFile(), FWork.filePath(QStringLiteral("Korvn.layout"))));
    const QString output = FWork.filePath(file);
    Tdmrpt::SetOutputChooser([&](QWidget*, QPrinter&) {
        TReportOutputChoice choice;
        choice.destination = TReportOutputChoice::Destination::File;
        choice.format = TReportOutputChoice::FileFormat(format);
        choice.fileName = output;
        choice.report = TPlanReport::Title();
        choice.from = QDate(2025, 12, 1);
        choice.to = QDate(2025, 12, 7);
        return std::optional<TReportOutputChoice>(choice);
    });
    QDate paintedFrom, paintedTo;
    Tdmrpt::PlanReportSource plan;
    plan.from = QDate(2025, 11, 1);
    plan.to = QDate(2025, 11, 30);
    plan.text = [](const QDate& from, const QDate& to) {
        TPlanReport::TInput input = Week();
        input.From = from;
        input.To = to;
        return TPlanReport::Text(input);
    };
    plan.paint = [&](QPainter& painter, const QRect& rect, const QDate& from, const QDate& to) {
        paintedFrom = from;
        paintedTo = to;
        PaintSampleChart(painter, rect);
    };
    bool logChartPainted = false;
    Tdmrpt::PrintReport(nullptr, SampleLog(3), [&](QPainter& p, const QRect& r) {
        logChartPainted = true;
        PaintSampleChart(p, r);
    }, {}, plan);
    Tdmrpt::SetOutputChooser({});
    QDir::setCurrent(old);
    QCOMPARE(paintedFrom, QDate(2025, 12, 1));
    QCOMPARE(paintedTo, QDate(2025, 12, 7));
    QVERIFY(logChartPainted); // the default report's data is made before the choice, as always

    QString text;
    if (format == int(TReportOutputChoice::FileFormat::Pdf)) {
        text = QString::fromUtf8(RunTool(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), output, QStringLiteral("-")}));
        if (text.isEmpty())
            QSKIP("pdftotext is not installed");
        if (const QByteArray dir = qgetenv("KORVANE_SCREENSHOT_DIR"); !dir.isEmpty())
            RunTool(QStringLiteral("pdftoppm"), {QStringLiteral("-png"), QStringLiteral("-r"), QStringLiteral("80"), output,
                                                 QString::fromLocal8Bit(dir) + QStringLiteral("/plan-report")});
    } else {
        QFile html(output);
        QVERIFY(html.open(QIODevice::ReadOnly));
        text = QString::fromUtf8(html.readAll()).replace(QStringLiteral("&nbsp;"), QStringLiteral(" "));
    }
    QVERIFY2(text.contains(QStringLiteral("Results against the plan")), qPrintable(text));
    QVERIFY(!text.contains(QStringLiteral("Korvane Speed Test Report")));
    QVERIFY(!text.contains(QStringLiteral("Initiating Test"))); // not the log
    QVERIFY2(text.contains(QStringLiteral("Results: 14, of which 5 below the plan (35.7 %)")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("2025-12-01 21:00:00")), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("Median by day of the week")));
}

QTEST_MAIN(TestPlanReport)
#include "tst_PlanReport.moc"
