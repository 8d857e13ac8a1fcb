// The report module: finding the layout, the data row, and whole Print commands
// driven to PDF, HTML and RTF through an output choice instead of the dialog.

#include "report/EReportError.h"
#include "tests/report/ReportFixture.h"
#include "report/Tdmrpt.h"
#include "report/TReportPreviewDialog.h"
#include "report/TReportStatusWindow.h"
#include "report/TReportSystem.h"

#include <QBuffer>
#include <QApplication>
#include <QImage>
#include <QPointer>
#include <QPrinter>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace ReportFixture;

class TestTdmrpt : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void layoutIsLookedUp_data();
    void layoutIsLookedUp();
    void missingLayoutEndsPrintBeforeAnything();
    void layoutRemovedBeforeRun();

    void memoReachesReportWhole_data();
    void memoReachesReportWhole();
    void rowPictureIsWholeBitmapFile();

    void pdfHasDocumentInfoAndLog();
    void htmlWritesBlanksAsNbspAndLinksChart();
    void rtfOpensInRtfReader();
    void historyPictureOnlyWhereLayoutAsks_data();
    void historyPictureOnlyWhereLayoutAsks();
    void printingTwiceUsesFreshModuleAndLaterLog();
    void cancellingOutputOptionsEndsQuietly();
    void previewPagesAreGeneratedUnderStatus_data();
    void previewPagesAreGeneratedUnderStatus();
    void failureWhileDrawingFreesModule();

private:
    // Makes every new module answer "Output Options" with this choice.
    void chooseFile(TReportOutputChoice::FileFormat format, const QString &fileName);

    QTemporaryDir FWork;
    QString FOldCurrent;
    int FChooserCalls = 0;
    int FModulesDuringRun = -1;
};

void TestTdmrpt::initTestCase()
{
    QVERIFY(FWork.isValid());
    QVERIFY2(QFile::exists(DefaultLayoutFile()), qPrintable(DefaultLayoutFile()));
    FOldCurrent = QDir::currentPath();
}

void TestTdmrpt::init()
{
    // Every test starts in a working folder that holds a fresh copy of the layout.
    QDir(FWork.path()).removeRecursively();
    QDir().mkpath(FWork.path());
    QVERIFY(QFile::copy(DefaultLayoutFile(), FWork.filePath(QStringLiteral("Korvn.layout"))));
    QVERIFY(QDir::setCurrent(FWork.path()));
    FChooserCalls = 0;
    FModulesDuringRun = -1;
}

void TestTdmrpt::cleanup()
{
    Tdmrpt::SetOutputChooser({});
    Tdmrpt::SetWindowWatcher({});
    QDir::setCurrent(FOldCurrent);
    QCOMPARE(Tdmrpt::LiveModules(), 0);
}

void TestTdmrpt::chooseFile(TReportOutputChoice::FileFormat format, const QString &fileName)
{
    Tdmrpt::SetOutputChooser([=, this](QWidget *, QPrinter &) {
        ++FChooserCalls;
        FModulesDuringRun = Tdmrpt::LiveModules();
        TReportOutputChoice choice;
        choice.destination = TReportOutputChoice::Destination::File;
        choice.format = format;
        choice.fileName = fileName;
        return std::optional<TReportOutputChoice>(choice);
    });
}

void TestTdmrpt::layoutIsLookedUp_data()
{
    QTest::addColumn<QStringList>("layoutIn");   // sub-folders holding a Korvn.layout
    QTest::addColumn<QStringList>("searched");   // sub-folders searched, in order
    QTest::addColumn<QString>("expectedFolder"); // empty: missing

    QTest::newRow("working folder") << QStringList{"work"} << QStringList{"work", "data"} << "work";
    QTest::newRow("working folder wins") << QStringList{"work", "data"} << QStringList{"work", "data"} << "work";
    QTest::newRow("data folder when working folder lacks it")
        << QStringList{"data"} << QStringList{"work", "data", "bin"} << "data";
    QTest::newRow("beside the program last") << QStringList{"bin"} << QStringList{"work", "data", "bin"} << "bin";
    QTest::newRow("nowhere") << QStringList{} << QStringList{"work", "data", "bin"} << "";
    QTest::newRow("folder of that name is not a file") << QStringList{} << QStringList{"dir"} << "";
}

void TestTdmrpt::layoutIsLookedUp()
{
    QFETCH(QStringList, layoutIn);
    QFETCH(QStringList, searched);
    QFETCH(QString, expectedFolder);

    QTemporaryDir root;
    QDir dir(root.path());
    for (const QString &sub : {u"work"_qs, u"data"_qs, u"bin"_qs, u"dir"_qs})
        dir.mkpath(sub);
    dir.mkpath(u"dir/Korvn.layout"_qs);
    for (const QString &sub : layoutIn)
        QVERIFY(QFile::copy(DefaultLayoutFile(), dir.filePath(sub + u"/Korvn.layout"_qs)));
    QStringList folders;
    for (const QString &sub : searched)
        folders << dir.filePath(sub);

    if (expectedFolder.isEmpty()) {
        try {
            Tdmrpt report(folders);
            QFAIL("a module was created without a layout file");
        } catch (const EReportError &e) {
            QCOMPARE(e.message(), u"Report file is missing. Resintalling Korvane may fix the issue."_qs);
            QCOMPARE(QString::fromUtf8(e.what()), e.message());
        }
        QCOMPARE(Tdmrpt::LiveModules(), 0);
    } else {
        Tdmrpt report(folders);
        QCOMPARE(report.layoutFile(), QFileInfo(dir.filePath(expectedFolder + u"/Korvn.layout"_qs)).absoluteFilePath());
        QCOMPARE(report.Bmp().size(), QSize(1024, 768));
    }
}

void TestTdmrpt::missingLayoutEndsPrintBeforeAnything()
{
    QFile::remove(FWork.filePath(u"Korvn.layout"_qs));
    chooseFile(TReportOutputChoice::FileFormat::Pdf, FWork.filePath(u"out.pdf"_qs));
    bool chartPainted = false;
    // The installed data folder or the test's own folder could hold a layout; only the
    // working folder is ours here, so search it alone.
    try {
        Tdmrpt report(QStringList{QDir::currentPath()});
        QFAIL("no error for a missing layout");
    } catch (const EReportError &e) {
        QCOMPARE(e.message(), u"Report file is missing. Resintalling Korvane may fix the issue."_qs);
    }
    QVERIFY(!chartPainted);
    QCOMPARE(FChooserCalls, 0);
    QVERIFY(!QFile::exists(FWork.filePath(u"out.pdf"_qs)));
}

void TestTdmrpt::layoutRemovedBeforeRun()
{
    chooseFile(TReportOutputChoice::FileFormat::Pdf, FWork.filePath(u"out.pdf"_qs));
    Tdmrpt report;
    const QString path = report.layoutFile();
    QVERIFY(QFile::remove(path));
    try {
        report.prjKrvnExecute(nullptr);
        QFAIL("no error for a removed layout");
    } catch (const EReportError &e) {
        QCOMPARE(e.message(), u"The following reporting project does not exist:\n\"%1\""_qs.arg(path));
    }
    QCOMPARE(FChooserCalls, 0);
}

void TestTdmrpt::memoReachesReportWhole_data()
{
    QTest::addColumn<QString>("memo");

    // CR LF inside, non-ASCII in the last line.
    const QString tail = u"\r\nLAST-\u00e9\u4e2d"_qs;
    const QString thousand = SampleLog(20).join(u"\r\n"_qs).left(1000 - tail.size()) + tail;
    QTest::newRow("1000 characters, last line included") << thousand;
    QTest::newRow("empty log") << QString();
    QTest::newRow("one line, no line break") << u"03/14/2025 - Test results are not valid!"_qs;
    QTest::newRow("braces, backslashes, emoji") << u"{a}\\b\t\U0001F600 end\r\n"_qs;
}

void TestTdmrpt::memoReachesReportWhole()
{
    QFETCH(QString, memo);
    if (QByteArray(QTest::currentDataTag()).startsWith("1000"))
        QCOMPARE(memo.size(), 1000);
    Tdmrpt report;
    report.setMemoLines(memo);

    const QList<TReportColumn> cols = report.connKrvnGetCols();
    QCOMPARE(cols.size(), 2);
    QCOMPARE(cols[0].name, u"SpeedLog"_qs);
    QCOMPARE(cols[1].name, u"SpeedGrp"_qs);

    const TReportRow row = report.connKrvnGetRow();
    QCOMPARE(row.SpeedLog.size(), 2 * memo.size());
    const QString back(reinterpret_cast<const QChar *>(row.SpeedLog.constData()), row.SpeedLog.size() / 2);
    QCOMPARE(back, memo);
    // Every request gets the same values.
    QCOMPARE(report.connKrvnGetRow().SpeedLog, row.SpeedLog);
    QCOMPARE(report.connKrvnGetRow().SpeedGrp, row.SpeedGrp);
}

void TestTdmrpt::rowPictureIsWholeBitmapFile()
{
    Tdmrpt report;
    {
        QPainter p(&report.Bmp());
        PaintSampleChart(p, QRect(0, 0, Tdmrpt::BmpWidth, Tdmrpt::BmpHeight));
        p.fillRect(QRect(1000, 740, 24, 28), QColor(200, 10, 20)); // bottom-right corner marker
    }
    const QByteArray bmp = report.connKrvnGetRow().SpeedGrp;
    QVERIFY(bmp.startsWith("BM"));
    // The file header's size field covers the whole image.
    const quint32 declared = quint8(bmp[2]) | quint8(bmp[3]) << 8 | quint8(bmp[4]) << 16 | quint32(quint8(bmp[5])) << 24;
    QCOMPARE(qsizetype(declared), bmp.size());
    QImage image;
    QVERIFY(image.loadFromData(bmp, "BMP"));
    QCOMPARE(image.size(), QSize(1024, 768));
    QCOMPARE(image.pixelColor(1010, 760), QColor(200, 10, 20));
    QCOMPARE(image.pixelColor(0, 0), QColor(250, 250, 250));
}

void TestTdmrpt::pdfHasDocumentInfoAndLog()
{
    const QString pdf = FWork.filePath(u"report.pdf"_qs);
    chooseFile(TReportOutputChoice::FileFormat::Pdf, pdf);
    const QStringList log = SampleLog(40); // 160 lines: more than one page
    Tdmrpt::PrintReport(nullptr, log, PaintSampleChart);
    QCOMPARE(FChooserCalls, 1);
    QCOMPARE(FModulesDuringRun, 1);
    QVERIFY(QFile::exists(pdf));

    const QByteArray info = RunTool(u"pdfinfo"_qs, {pdf});
    if (info.isNull())
        QSKIP("pdfinfo is not installed");
    QCOMPARE(PdfInfoValue(info, u"Title"_qs), u"Korvane Report"_qs);
    QCOMPARE(PdfInfoValue(info, u"Subject"_qs), u"Korvane Report"_qs);
    QCOMPARE(PdfInfoValue(info, u"Creator"_qs), u"Korvane 1.5 "_qs);
    QCOMPARE(PdfInfoValue(info, u"Producer"_qs), u"Ostrelle, LLC"_qs);
    const int pages = PdfInfoValue(info, u"Pages"_qs).toInt();
    QVERIFY2(pages >= 2, qPrintable(u"pages: %1"_qs.arg(pages)));
    QCOMPARE(PdfInfoValue(info, u"Page size"_qs).left(3), u"595"_qs); // A4 from the layout

    const QString text = QString::fromUtf8(RunTool(u"pdftotext"_qs, {u"-layout"_qs, pdf, u"-"_qs}));
    QVERIFY(text.contains(log.first()));
    QVERIFY(text.contains(log.last()));
    for (const QString &line : log)
        QVERIFY2(text.contains(line), qPrintable(line));
    QVERIFY(text.contains(u"Korvane Speed Test Report"_qs));
    QVERIFY(text.contains(u"Page %1 of %1"_qs.arg(pages)));
}

void TestTdmrpt::htmlWritesBlanksAsNbspAndLinksChart()
{
    const QString html = FWork.filePath(u"report.html"_qs);
    chooseFile(TReportOutputChoice::FileFormat::Html, html);
    const QStringList log{u"03/14/2025 10:00:01 AM - Initiating Test to a<b>&c"_qs,
                          u"  two  blanks"_qs, QString(), u"last line"_qs};
    Tdmrpt::PrintReport(nullptr, log, PaintSampleChart);

    QFile file(html);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(file.readAll());
    QVERIFY(page.contains(u"03/14/2025&nbsp;10:00:01&nbsp;AM&nbsp;-&nbsp;Initiating&nbsp;Test&nbsp;to&nbsp;a&lt;b&gt;&amp;c<br>"_qs));
    QVERIFY(page.contains(u"&nbsp;&nbsp;two&nbsp;&nbsp;blanks<br>"_qs));
    QVERIFY(page.contains(u"last&nbsp;line<br>"_qs));
    QVERIFY(!page.contains(u"a<b>"_qs));

    static const QRegularExpression img(u"<img src=\"([^\"]+)\""_qs);
    const auto match = img.match(page);
    QVERIFY(match.hasMatch());
    QCOMPARE(match.captured(1), u"report_chart.png"_qs);
    QImage chart(FWork.filePath(match.captured(1)));
    QCOMPARE(chart.size(), QSize(1024, 768));
    QCOMPARE(chart.pixelColor(0, 0), QColor(250, 250, 250));
}

void TestTdmrpt::rtfOpensInRtfReader()
{
    const QString rtf = FWork.filePath(u"report"_qs); // the writer adds .rtf
    chooseFile(TReportOutputChoice::FileFormat::Rtf, rtf);
    const QStringList log{u"03/14/2025 - Initiating Test to host {braced} C:\\path"_qs,
                          u"Gr\u00fc\u00dfe \u4e2d\u6587 done"_qs, u"last line"_qs};
    Tdmrpt::PrintReport(nullptr, log, PaintSampleChart);

    QFile file(rtf + u".rtf"_qs);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray raw = file.readAll();
    QVERIFY(raw.startsWith("{\\rtf1"));
    // The picture is an embedded PNG of the whole chart.
    const qsizetype pict = raw.indexOf("\\pngblip");
    QVERIFY(pict > 0);
    const qsizetype hexStart = raw.indexOf('\n', pict) + 1;
    const QByteArray hex = raw.mid(hexStart, raw.indexOf('}', hexStart) - hexStart).replace('\n', "");
    QImage chart;
    QVERIFY(chart.loadFromData(QByteArray::fromHex(hex), "PNG"));
    QCOMPARE(chart.size(), QSize(1024, 768));

    const QByteArray plain = RunTool(u"pandoc"_qs, {u"-f"_qs, u"rtf"_qs, u"-t"_qs, u"plain"_qs,
                                                    u"--wrap=none"_qs, file.fileName()});
    if (plain.isNull())
        QSKIP("pandoc cannot read RTF here");
    const QString text = QString::fromUtf8(plain);
    for (const QString &line : log)
        QVERIFY2(text.contains(line), qPrintable(text));
}

void TestTdmrpt::historyPictureOnlyWhereLayoutAsks_data()
{
    QTest::addColumn<int>("format"); // TReportOutputChoice::FileFormat
    QTest::addColumn<QByteArray>("layoutChange"); // appended to the working folder's layout
    QTest::addColumn<bool>("painterGiven");
    QTest::addColumn<int>("pictures");

    const int pdf = int(TReportOutputChoice::FileFormat::Pdf);
    const int html = int(TReportOutputChoice::FileFormat::Html);
    const int rtf = int(TReportOutputChoice::FileFormat::Rtf);
    const QByteArray on = "[History]\nPrint=Yes\nCaption=History of results\n";
    QTest::newRow("pdf, shipped layout") << pdf << QByteArray() << true << 1;
    QTest::newRow("pdf, asked for") << pdf << on << true << 2;
    QTest::newRow("pdf, asked for, nothing to paint it") << pdf << on << false << 1;
    QTest::newRow("html, shipped layout") << html << QByteArray() << true << 1;
    QTest::newRow("html, asked for") << html << on << true << 2;
    QTest::newRow("rtf, shipped layout") << rtf << QByteArray() << true << 1;
    QTest::newRow("rtf, asked for") << rtf << on << true << 2;
}

void TestTdmrpt::historyPictureOnlyWhereLayoutAsks()
{
    QFETCH(int, format);
    QFETCH(QByteArray, layoutChange);
    QFETCH(bool, painterGiven);
    QFETCH(int, pictures);

    QFile layout(FWork.filePath(u"Korvn.layout"_qs));
    QVERIFY(layout.open(QIODevice::Append));
    layout.write('\n' + layoutChange);
    layout.close();

    const auto fileFormat = TReportOutputChoice::FileFormat(format);
    const QString file = FWork.filePath(u"report"_qs);
    chooseFile(fileFormat, file);
    const QColor marker(10, 160, 40);
    int historyPaints = 0;
    Tdmrpt::ChartPainter paintHistory;
    if (painterGiven)
        paintHistory = [&](QPainter &p, const QRect &r) {
            ++historyPaints;
            QCOMPARE(r, QRect(0, 0, Tdmrpt::BmpWidth, Tdmrpt::BmpHeight));
            p.fillRect(r, marker);
        };
    const QStringList log = SampleLog(3);
    Tdmrpt::PrintReport(nullptr, log, PaintSampleChart, paintHistory);
    // A long history is drawn only for a report that prints it.
    QCOMPARE(historyPaints, painterGiven && !layoutChange.isEmpty() ? 1 : 0);

    switch (fileFormat) {
    case TReportOutputChoice::FileFormat::Pdf: {
        const QByteArray list = RunTool(u"pdfimages"_qs, {u"-list"_qs, file + u".pdf"_qs});
        if (list.isNull())
            QSKIP("pdfimages is not installed");
        QCOMPARE(int(list.count(" image ")), pictures);
        const QString text = QString::fromUtf8(RunTool(u"pdftotext"_qs, {file + u".pdf"_qs, u"-"_qs}));
        QCOMPARE(text.contains(u"History of results"_qs), !layoutChange.isEmpty());
        QCOMPARE(text.contains(u"(no history picture)"_qs), !layoutChange.isEmpty() && !painterGiven);
        break;
    }
    case TReportOutputChoice::FileFormat::Html: {
        QFile page(file + u".html"_qs);
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QString html = QString::fromUtf8(page.readAll());
        QCOMPARE(int(html.count(u"<img "_qs)), pictures);
        const QString historyFile = FWork.filePath(u"report_history.png"_qs);
        QCOMPARE(QFile::exists(historyFile), pictures == 2);
        if (pictures == 2) {
            QVERIFY(html.indexOf(u"report_history.png"_qs) > html.indexOf(u"report_chart.png"_qs));
            QVERIFY(html.indexOf(u"History of results"_qs) > html.lastIndexOf(u"Initiating"_qs));
            QCOMPARE(QImage(historyFile).pixelColor(512, 384), marker);
        }
        break;
    }
    case TReportOutputChoice::FileFormat::Rtf: {
        QFile doc(file + u".rtf"_qs);
        QVERIFY(doc.open(QIODevice::ReadOnly));
        const QByteArray raw = doc.readAll();
        QCOMPARE(int(raw.count("\\pngblip")), pictures);
        if (pictures == 2) {
            const qsizetype pict = raw.lastIndexOf("\\pngblip");
            QVERIFY(pict > raw.lastIndexOf("Initiating"));
            const qsizetype hexStart = raw.indexOf('\n', pict) + 1;
            const QByteArray hex = raw.mid(hexStart, raw.indexOf('}', hexStart) - hexStart).replace('\n', "");
            QImage history;
            QVERIFY(history.loadFromData(QByteArray::fromHex(hex), "PNG"));
            QCOMPARE(history.pixelColor(512, 384), marker);
        }
        break;
    }
    }
}

void TestTdmrpt::printingTwiceUsesFreshModuleAndLaterLog()
{
    const QString pdf = FWork.filePath(u"twice.pdf"_qs);
    chooseFile(TReportOutputChoice::FileFormat::Pdf, pdf);
    QStringList log = SampleLog(2);
    Tdmrpt::PrintReport(nullptr, log, PaintSampleChart);
    QCOMPARE(Tdmrpt::LiveModules(), 0);

    // More tests ran, and the layout was edited in between: both show in the second report.
    log << u"03/14/2025 11:00:00 AM - Written after the first report"_qs;
    QFile layout(FWork.filePath(u"Korvn.layout"_qs));
    QVERIFY(layout.open(QIODevice::ReadOnly));
    QByteArray text = layout.readAll().replace("Text=Korvane Speed Test Report", "Text=Second Edition");
    layout.close();
    QVERIFY(layout.open(QIODevice::WriteOnly | QIODevice::Truncate));
    layout.write(text);
    layout.close();

    Tdmrpt::PrintReport(nullptr, log, PaintSampleChart);
    QCOMPARE(FChooserCalls, 2);
    QCOMPARE(FModulesDuringRun, 1);
    const QString second = QString::fromUtf8(RunTool(u"pdftotext"_qs, {pdf, u"-"_qs}));
    if (second.isEmpty())
        QSKIP("pdftotext is not installed");
    QVERIFY(second.contains(u"Written after the first report"_qs));
    QVERIFY(second.contains(u"Second Edition"_qs));
}

void TestTdmrpt::cancellingOutputOptionsEndsQuietly()
{
    Tdmrpt::SetOutputChooser([this](QWidget *, QPrinter &) {
        ++FChooserCalls;
        return std::optional<TReportOutputChoice>();
    });
    Tdmrpt::PrintReport(nullptr, SampleLog(1), PaintSampleChart);
    QCOMPARE(FChooserCalls, 1);
    QCOMPARE(QDir(FWork.path()).entryList(QDir::Files), QStringList{u"Korvn.layout"_qs});
}

void TestTdmrpt::previewPagesAreGeneratedUnderStatus_data()
{
    QTest::addColumn<int>("cancelAt"); // page whose status gets Cancel; 0: none

    QTest::newRow("preview after the pages") << 0;
    QTest::newRow("cancel while generating") << 3;
}

void TestTdmrpt::previewPagesAreGeneratedUnderStatus()
{
    QFETCH(int, cancelAt);
    Tdmrpt::SetOutputChooser([this](QWidget *, QPrinter &) {
        ++FChooserCalls;
        return std::optional<TReportOutputChoice>(TReportOutputChoice{});
    });
    QCOMPARE(TReportOutputChoice{}.destination, TReportOutputChoice::Destination::Preview);

    QStringList statusTexts, statusTitles;
    QList<int> previewPages;    // the preview's page count when it ran
    QPointer<TReportStatusWindow> statusWindow;
    bool statusGoneFirst = false; // the status window was freed before the preview ran
    Tdmrpt::SetWindowWatcher([&](QDialog &window) {
        if (auto *status = qobject_cast<TReportStatusWindow *>(&window)) {
            statusTitles << status->windowTitle();
            statusWindow = status;
            connect(status, &TReportStatusWindow::PageShown, status, [&, status](int page, const QString &text) {
                statusTexts << text;
                if (page == cancelAt)
                    QTest::mouseClick(status->findChild<QPushButton *>(u"btnCancel"_qs), Qt::LeftButton);
            });
        } else {
            statusGoneFirst = statusWindow.isNull();
            QCOMPARE(window.windowTitle(), u"Report Preview"_qs);
            // Answered from inside its own event loop, once it shows its pages.
            QMetaObject::invokeMethod(&window, [&window, &previewPages] {
                previewPages << static_cast<TReportPreviewDialog &>(window).PageCount();
                window.accept();
            }, Qt::QueuedConnection);
        }
    });

    Tdmrpt::PrintReport(nullptr, SampleLog(250), PaintSampleChart);
    Tdmrpt::SetWindowWatcher({});

    QCOMPARE(FChooserCalls, 1);
    QCOMPARE(statusTitles, QStringList{u"Report Status"_qs});
    const int generated = int(statusTexts.size());
    QStringList expected;
    for (int page = 1; page <= generated; ++page)
        expected << u"Generating page %1"_qs.arg(page);
    QCOMPARE(statusTexts, expected);
    if (cancelAt > 0) {
        QCOMPARE(generated, cancelAt);
        QVERIFY(previewPages.isEmpty());
    } else {
        QVERIFY2(generated >= 10, qPrintable(QString::number(generated)));
        QCOMPARE(previewPages, QList<int>{generated});
        QVERIFY(statusGoneFirst);
    }
    // Everything is freed: no report window is left, and nothing was written.
    for (QWidget *widget : QApplication::topLevelWidgets())
        QVERIFY2(!widget->objectName().startsWith(u"Report"_qs), qPrintable(widget->objectName()));
    QCOMPARE(QDir(FWork.path()).entryList(QDir::Files), QStringList{u"Korvn.layout"_qs});
}

void TestTdmrpt::failureWhileDrawingFreesModule()
{
    chooseFile(TReportOutputChoice::FileFormat::Pdf, FWork.filePath(u"never.pdf"_qs));
    QVERIFY_THROWS_EXCEPTION(std::runtime_error,
        Tdmrpt::PrintReport(nullptr, SampleLog(1), [](QPainter &, const QRect &) {
            throw std::runtime_error("chart failed");
        }));
    QCOMPARE(Tdmrpt::LiveModules(), 0);
    QCOMPARE(FChooserCalls, 0);

    // A file that cannot be written is an error with its name, and nothing is left behind.
    chooseFile(TReportOutputChoice::FileFormat::Pdf, FWork.filePath(u"no/such/folder/x.pdf"_qs));
    try {
        Tdmrpt::PrintReport(nullptr, SampleLog(1), PaintSampleChart);
        QFAIL("no error for an unwritable file");
    } catch (const EReportError &e) {
        QVERIFY2(e.message().contains(u"no/such/folder/x.pdf"_qs), qPrintable(e.message()));
    }
    QCOMPARE(Tdmrpt::LiveModules(), 0);
}

QTEST_MAIN(TestTdmrpt)
#include "tst_Tdmrpt.moc"
