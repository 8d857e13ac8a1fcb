// The report engine on its own: the layout file, page flow, the writers'
// details, and the dialogs built without being run modally.

#include "report/EReportError.h"
#include "tests/report/ReportFixture.h"
#include "report/TPdfReportWriter.h"
#include "report/TReportContent.h"
#include "report/TReportLayout.h"
#include "report/TReportPreviewDialog.h"
#include "report/TReportRenderer.h"
#include "report/TReportSetupDialog.h"
#include "report/TReportStatusWindow.h"
#include "report/TRtfReportWriter.h"
#include "report/THtmlReportWriter.h"

#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPdfWriter>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace ReportFixture;

class TestReportEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void shippedLayoutLoads();
    void badLayoutNamesFileAndLine_data();
    void badLayoutNamesFileAndLine();
    void layoutValuesAreApplied();

    void memoFlowsOverPages_data();
    void memoFlowsOverPages();
    void historyPictureComesLast_data();
    void historyPictureComesLast();
    void cancelledWriteKeepsOldFile();
    void preparedPagesPaintOnTheirDeviceOnly();

    void rtfTextEscaping_data();
    void rtfTextEscaping();
    void htmlTextEscaping_data();
    void htmlTextEscaping();
    void fileNameGetsExtension_data();
    void fileNameGetsExtension();
    void rowThatCannotBeReadIsAnError_data();
    void rowThatCannotBeReadIsAnError();

    void setupDialogWithAndWithoutPrinter_data();
    void setupDialogWithAndWithoutPrinter();
    void statusWindowShowsPageAndCancels();
    void previewShowsPagesAtFullSize();
    void previewIndicatorsFollowNavigation_data();
    void previewIndicatorsFollowNavigation();

private:
    static TReportContent Content(const QStringList &log);
    static int PdfPages(const QString &fileName);

    QTemporaryDir FWork;
    TReportLayout FLayout;
};

void TestReportEngine::initTestCase()
{
    QVERIFY(FWork.isValid());
    FLayout = TReportLayout::Load(DefaultLayoutFile());
}

TReportContent TestReportEngine::Content(const QStringList &log)
{
    TReportContent content;
    content.memoText = log.join(u"\r\n"_qs);
    content.picture = QImage(1024, 768, QImage::Format_RGB32);
    QPainter p(&content.picture);
    PaintSampleChart(p, content.picture.rect());
    return content;
}

int TestReportEngine::PdfPages(const QString &fileName)
{
    const QByteArray info = RunTool(u"pdfinfo"_qs, {fileName});
    return info.isNull() ? -1 : PdfInfoValue(info, u"Pages"_qs).toInt();
}

void TestReportEngine::shippedLayoutLoads()
{
    QCOMPARE(FLayout.pageSize.id(), QPageSize::A4);
    QCOMPARE(FLayout.chartPosition, TReportLayout::ChartPosition::FirstPage);
    QCOMPARE(FLayout.pageNumber, u"Page %p of %n"_qs);
}

void TestReportEngine::badLayoutNamesFileAndLine_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expected"); // part of the message

    const QByteArray head = "; comment\n[Report]\nVersion=1\n";
    QTest::newRow("unknown key") << head + "[Page]\nSzie=A4\n" << u"line 5: unknown key \"Szie\""_qs;
    QTest::newRow("unknown section") << head + "[Pages]\n" << u"line 4: unknown section"_qs;
    QTest::newRow("no value") << head + "[Page]\nSize\n" << u"line 5: expected Key=Value"_qs;
    QTest::newRow("value before section") << QByteArray("Version=1\n") << u"line 1: a value before"_qs;
    QTest::newRow("bad number") << head + "[Memo]\nSize=big\n" << u"line 5: \"big\" is not a number"_qs;
    QTest::newRow("number out of range") << head + "[Page]\nMarginLeft=-3\n" << u"line 5:"_qs;
    QTest::newRow("bad page size") << head + "[Page]\nSize=B9\n" << u"unknown page size \"B9\""_qs;
    QTest::newRow("wrong field") << head + "[Chart]\nField=SpeedLog\n" << u"expected SpeedGrp"_qs;
    QTest::newRow("wrong history field") << head + "[History]\nField=SpeedGrp\n" << u"expected HistoryGrp"_qs;
    QTest::newRow("history print not yes or no") << head + "[History]\nPrint=maybe\n"
                                                 << u"line 5: \"maybe\" is neither Yes nor No"_qs;
    QTest::newRow("newer version") << QByteArray("[Report]\nVersion=2\n") << u"version 2 is not supported"_qs;
    QTest::newRow("not a layout") << QByteArray("\x89PNG\r\n") << u"line 1:"_qs;
    QTest::newRow("empty file") << QByteArray() << u"is not a Korvane report layout"_qs;
    QTest::newRow("margins eat the page") << head + "[Page]\nSize=A5\nMarginLeft=80\nMarginRight=80\n"
                                          << u"too little room"_qs;
}

void TestReportEngine::badLayoutNamesFileAndLine()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);
    try {
        TReportLayout::Parse(text, u"/some/Korvn.layout"_qs);
        QFAIL("a bad layout was accepted");
    } catch (const EReportError &e) {
        QVERIFY2(e.message().contains(u"/some/Korvn.layout"_qs), qPrintable(e.message()));
        QVERIFY2(e.message().contains(expected), qPrintable(e.message()));
    }
}

void TestReportEngine::layoutValuesAreApplied()
{
    const TReportLayout layout = TReportLayout::Parse(
        "[report]\nversion = 1\n[PAGE]\nsize=Letter\norientation=landscape\nMarginLeft=10\n"
        "[Chart]\nPosition=LastPage\nScale=Stretch\nCaption=\n[Footer]\nPageNumber=\n",
        u"x"_qs);
    QCOMPARE(layout.pageSize.id(), QPageSize::Letter);
    QCOMPARE(layout.orientation, QPageLayout::Landscape);
    QCOMPARE(layout.marginsMm.left(), 10.0);
    QCOMPARE(layout.chartPosition, TReportLayout::ChartPosition::LastPage);
    QCOMPARE(layout.chartScale, TReportLayout::ChartScale::Stretch);
    QVERIFY(layout.chartCaption.isEmpty());
    QVERIFY(layout.pageNumber.isEmpty());
}

void TestReportEngine::memoFlowsOverPages_data()
{
    QTest::addColumn<QByteArray>("layoutChange"); // appended to the shipped layout
    QTest::addColumn<int>("tests");
    QTest::addColumn<int>("minPages");
    QTest::addColumn<int>("maxPages");

    QTest::newRow("empty log: the chart alone") << QByteArray() << 0 << 1 << 1;
    QTest::newRow("short log fits the first page") << QByteArray() << 3 << 1 << 1;
    QTest::newRow("long log") << QByteArray() << 250 << 10 << 20;
    QTest::newRow("chart after the log") << QByteArray("[Chart]\nPosition=LastPage\n") << 250 << 10 << 20;
    QTest::newRow("chart after an empty log") << QByteArray("[Chart]\nPosition=LastPage\n") << 0 << 1 << 1;
    QTest::newRow("10,000 lines") << QByteArray() << 2500 << 100 << 200;
}

void TestReportEngine::memoFlowsOverPages()
{
    QFETCH(QByteArray, layoutChange);
    QFETCH(int, tests);
    QFETCH(int, minPages);
    QFETCH(int, maxPages);

    QFile shipped(DefaultLayoutFile());
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    const TReportLayout layout = TReportLayout::Parse(shipped.readAll() + '\n' + layoutChange, u"x"_qs);
    const QStringList log = SampleLog(tests);
    const TReportContent content = Content(log);

    QList<int> generated, written;
    const QString pdf = FWork.filePath(u"flow.pdf"_qs);
    TPdfReportWriter writer;
    QVERIFY(writer.Write(pdf, layout, content,
                         [&](int p) { generated << p; return true; },
                         [&](int p) { written << p; return true; }));
    QVERIFY2(generated.size() >= minPages && generated.size() <= maxPages,
             qPrintable(QString::number(generated.size())));
    QCOMPARE(written, generated); // each page reported once, in order, for both passes
    QCOMPARE(generated.last(), int(generated.size()));

    const int pages = PdfPages(pdf);
    if (pages < 0)
        QSKIP("pdfinfo is not installed");
    QCOMPARE(pages, int(generated.size()));
    // Every line made it, in order, none lost at the page breaks.
    const QString text = QString::fromUtf8(RunTool(u"pdftotext"_qs, {u"-layout"_qs, pdf, u"-"_qs}));
    qsizetype at = 0;
    for (const QString &line : log) {
        const qsizetype found = text.indexOf(line, at);
        QVERIFY2(found >= 0, qPrintable(line));
        at = found + line.size();
    }
}

void TestReportEngine::historyPictureComesLast_data()
{
    QTest::addColumn<QByteArray>("layoutChange"); // appended to the shipped layout
    QTest::addColumn<int>("tests");
    QTest::addColumn<bool>("printed");

    const QByteArray on = "[History]\nPrint=Yes\n";
    QTest::newRow("shipped layout: no history") << QByteArray() << 250 << false;
    QTest::newRow("section without Print") << QByteArray("[History]\nCaption=Mine\n") << 3 << false;
    QTest::newRow("Print=No") << QByteArray("[History]\nPrint=No\n") << 3 << false;
    QTest::newRow("empty log") << on << 0 << true;
    QTest::newRow("short log") << on << 3 << true;
    QTest::newRow("long log") << on << 250 << true;
    QTest::newRow("after a chart printed last") << on + "[Chart]\nPosition=LastPage\n" << 250 << true;
    QTest::newRow("chart last, empty log") << on + "[Chart]\nPosition=LastPage\n" << 0 << true;
    QTest::newRow("stretched, no caption, no frame")
        << on + "Scale=Stretch\nCaption=\nFrame=No\nMaxHeight=200\n" << 40 << true;
}

// The second picture is printed whole, after the log and the chart, only when the layout asks.
void TestReportEngine::historyPictureComesLast()
{
    QFETCH(QByteArray, layoutChange);
    QFETCH(int, tests);
    QFETCH(bool, printed);

    QFile shipped(DefaultLayoutFile());
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    const TReportLayout layout = TReportLayout::Parse(shipped.readAll() + '\n' + layoutChange, u"x"_qs);
    QCOMPARE(layout.history.print, printed);
    const QStringList log = SampleLog(tests);
    TReportContent content = Content(log);
    content.historyPicture = QImage(1024, 768, QImage::Format_RGB32);
    content.historyPicture.fill(QColor(10, 160, 40));

    const QString pdf = FWork.filePath(u"history.pdf"_qs);
    int pages = 0;
    QVERIFY(TPdfReportWriter().Write(pdf, layout, content, [&](int p) { pages = p; return true; }));

    // pdfimages lists each picture with the page it is on.
    const QByteArray list = RunTool(u"pdfimages"_qs, {u"-list"_qs, pdf});
    if (list.isNull())
        QSKIP("pdfimages is not installed");
    QList<int> imagePages;
    for (const QByteArray &line : list.split('\n').mid(2)) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[2] == "image")
            imagePages << fields[0].toInt();
    }
    QCOMPARE(imagePages.size(), printed ? 2 : 1);
    if (layout.chartPosition == TReportLayout::ChartPosition::FirstPage)
        QCOMPARE(imagePages.constFirst(), 1);
    QVERIFY(imagePages.constFirst() <= imagePages.constLast());
    if (printed)
        QCOMPARE(imagePages.constLast(), pages);

    const QString text = QString::fromUtf8(RunTool(u"pdftotext"_qs, {u"-layout"_qs, pdf, u"-"_qs}));
    for (const QString &line : log)
        QVERIFY2(text.contains(line), qPrintable(line));
    const qsizetype caption = text.indexOf(u"Results history"_qs);
    QCOMPARE(caption >= 0, printed && !layout.history.caption.isEmpty());
    if (caption >= 0) {
        if (!log.isEmpty())
            QVERIFY(caption > text.lastIndexOf(log.last()));
        QVERIFY(caption > text.indexOf(u"Results chart"_qs));
    }
}

void TestReportEngine::cancelledWriteKeepsOldFile()
{
    const QString pdf = FWork.filePath(u"keep.pdf"_qs);
    QFile old(pdf);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("previous report");
    old.close();

    TPdfReportWriter writer;
    QVERIFY(!writer.Write(pdf, FLayout, Content(SampleLog(250)), [](int page) { return page < 3; }));
    QVERIFY(!writer.Write(pdf, FLayout, Content(SampleLog(250)), {}, [](int page) { return page < 2; }));
    QVERIFY(!THtmlReportWriter().Write(pdf, FLayout, Content({}), [](int) { return false; }));
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("previous report"));
}

void TestReportEngine::preparedPagesPaintOnTheirDeviceOnly()
{
    const TReportContent content = Content(SampleLog(250));
    const TReportRenderer renderer(FLayout, content);
    QBuffer first, second, other;
    QPdfWriter reference(&first), same(&second), coarser(&other);
    reference.setResolution(600);
    same.setResolution(600);
    coarser.setResolution(300);

    QList<int> generated;
    const auto pages = renderer.Prepare(reference, [&](int p) { generated << p; return true; });
    QVERIFY(pages);
    QCOMPARE(TReportRenderer::PageCount(*pages), int(generated.size()));
    QVERIFY(generated.size() >= 10);
    // Painted twice from one layout: the same pages each time.
    QCOMPARE(renderer.Paint(reference, *pages), int(generated.size()));
    QCOMPARE(renderer.Paint(same, *pages), int(generated.size()));
    QVERIFY_THROWS_EXCEPTION(EReportError, renderer.Paint(coarser, *pages));

    // A cancel while generating leaves nothing to paint.
    QVERIFY(!renderer.Prepare(reference, [](int p) { return p < 2; }));
}

void TestReportEngine::rtfTextEscaping_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("rtf");

    QTest::newRow("plain") << u"Speed 12 KB/s"_qs << QByteArray("Speed 12 KB/s");
    QTest::newRow("specials") << u"{a}\\b"_qs << QByteArray("\\{a\\}\\\\b");
    QTest::newRow("latin") << u"\u00e9"_qs << QByteArray("\\u233\\'3f");
    QTest::newRow("above 32767 is negative") << u"\uFFFD"_qs << QByteArray("\\u-3\\'3f");
    QTest::newRow("surrogate pair") << u"\U0001F600"_qs << QByteArray("\\u-10179\\'3f\\u-8704\\'3f");
    QTest::newRow("tab") << u"a\tb"_qs << QByteArray("a\\tab b");
    QTest::newRow("control characters dropped") << u"a\u0001b"_qs << QByteArray("ab");
}

void TestReportEngine::rtfTextEscaping()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, rtf);
    QCOMPARE(TRtfReportWriter::TextToRtf(text), rtf);
}

void TestReportEngine::htmlTextEscaping_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("html");

    QTest::newRow("blanks") << u" a  b "_qs << u"&nbsp;a&nbsp;&nbsp;b&nbsp;"_qs;
    QTest::newRow("markup") << u"<i>\"x\" & y</i>"_qs
                            << u"&lt;i&gt;&quot;x&quot;&nbsp;&amp;&nbsp;y&lt;/i&gt;"_qs;
    QTest::newRow("non-ASCII stays UTF-8 text") << u"\u00e9\u4e2d"_qs << u"\u00e9\u4e2d"_qs;
    QTest::newRow("script with an entity stays text") << u"<script>x('&amp;')</script>"_qs
                                                      << u"&lt;script&gt;x('&amp;amp;')&lt;/script&gt;"_qs;
    QTest::newRow("non-BMP character kept whole") << u"a\U0001F600b"_qs << u"a\U0001F600b"_qs;
}

void TestReportEngine::htmlTextEscaping()
{
    QFETCH(QString, text);
    QFETCH(QString, html);
    QCOMPARE(THtmlReportWriter::TextToHtml(text), html);
}

void TestReportEngine::fileNameGetsExtension_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("html");
    QTest::addColumn<QString>("pdf");

    QTest::newRow("none") << u"/t/report"_qs << u"/t/report.html"_qs << u"/t/report.pdf"_qs;
    QTest::newRow("second pattern kept") << u"/t/r.htm"_qs << u"/t/r.htm"_qs << u"/t/r.htm.pdf"_qs;
    QTest::newRow("upper case kept") << u"/t/R.PDF"_qs << u"/t/R.PDF.html"_qs << u"/t/R.PDF"_qs;
    QTest::newRow("dotted folder") << u"/t.d/r"_qs << u"/t.d/r.html"_qs << u"/t.d/r.pdf"_qs;
}

void TestReportEngine::fileNameGetsExtension()
{
    QFETCH(QString, given);
    QFETCH(QString, html);
    QFETCH(QString, pdf);
    QCOMPARE(THtmlReportWriter().WithExtension(given), html);
    QCOMPARE(TPdfReportWriter().WithExtension(given), pdf);
    QCOMPARE(THtmlReportWriter().FileDialogFilter(), u"Web Page (HTML) (*.html *.htm)"_qs);
}

void TestReportEngine::rowThatCannotBeReadIsAnError_data()
{
    QTest::addColumn<QByteArray>("speedLog");
    QTest::addColumn<QByteArray>("speedGrp");

    QTest::newRow("odd byte count") << QByteArray("abc") << QByteArray();
    QTest::newRow("picture is not a bitmap") << QByteArray() << QByteArray("BMnot really");
}

void TestReportEngine::rowThatCannotBeReadIsAnError()
{
    QFETCH(QByteArray, speedLog);
    QFETCH(QByteArray, speedGrp);
    QVERIFY_THROWS_EXCEPTION(EReportError, TReportContent::FromRow({speedLog, speedGrp}));
}

void TestReportEngine::setupDialogWithAndWithoutPrinter_data()
{
    QTest::addColumn<bool>("printerAvailable");
    QTest::newRow("printer installed") << true;
    QTest::newRow("no printer") << false;
}

void TestReportEngine::setupDialogWithAndWithoutPrinter()
{
    QFETCH(bool, printerAvailable);
    QPrinter printer;
    const QStringList names{u"Adobe Acrobat (PDF)"_qs, u"Web Page (HTML)"_qs, u"Rich Text Format (RTF)"_qs};
    TReportSetupDialog dialog(nullptr, u"Output Options"_qs, printer, names,
                              {u"a (*.pdf)"_qs, u"b (*.html *.htm)"_qs, u"c (*.rtf)"_qs}, printerAvailable);
    QCOMPARE(dialog.windowTitle(), u"Output Options"_qs);
    auto *rbPrinter = dialog.findChild<QRadioButton *>(u"rbPrinter"_qs);
    auto *rbPreview = dialog.findChild<QRadioButton *>(u"rbPreview"_qs);
    auto *rbFile = dialog.findChild<QRadioButton *>(u"rbFile"_qs);
    auto *cbFormat = dialog.findChild<QComboBox *>(u"cbFormat"_qs);
    QVERIFY(rbPrinter && rbPreview && rbFile && cbFormat);
    QVERIFY(rbPreview->isChecked());
    QCOMPARE(rbPrinter->isEnabled(), printerAvailable);
    // Files need no printer: with none installed a PDF can still be written.
    QVERIFY(rbFile->isEnabled());
    QCOMPARE(dialog.findChild<QPushButton *>(u"btnPrinterSetup"_qs)->isEnabled(), printerAvailable);
    QCOMPARE(dialog.Choice().destination, TReportOutputChoice::Destination::Preview);
    QCOMPARE(cbFormat->count(), 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(cbFormat->itemText(i), names[i]);

    rbFile->setChecked(true);
    QVERIFY(cbFormat->isEnabled());
    cbFormat->setCurrentIndex(2);
    dialog.findChild<QLineEdit *>(u"edFileName"_qs)->setText(u" /tmp/out.rtf "_qs);
    const TReportOutputChoice choice = dialog.Choice();
    QCOMPARE(choice.destination, TReportOutputChoice::Destination::File);
    QCOMPARE(choice.format, TReportOutputChoice::FileFormat::Rtf);
    QCOMPARE(choice.fileName, u"/tmp/out.rtf"_qs);
}

void TestReportEngine::statusWindowShowsPageAndCancels()
{
    TReportStatusWindow status(nullptr, u"Report Status"_qs);
    QVERIFY(status.ShowPage(u"Generating page %p"_qs, 7));
    QCOMPARE(status.windowTitle(), u"Report Status"_qs);
    QCOMPARE(status.findChild<QLabel *>(u"lblStatus"_qs)->text(), u"Generating page 7"_qs);
    QTest::mouseClick(status.findChild<QPushButton *>(u"btnCancel"_qs), Qt::LeftButton);
    QVERIFY(!status.ShowPage(u"Printing page %p"_qs, 8));
    QCOMPARE(status.findChild<QLabel *>(u"lblStatus"_qs)->text(), u"Printing page 8"_qs);
}

void TestReportEngine::previewShowsPagesAtFullSize()
{
    const TReportContent content = Content(SampleLog(60));
    QPrinter printer(QPrinter::HighResolution);
    int paints = 0;
    TReportPreviewDialog::Actions actions;
    actions.paint = [&](QPrinter *p) { ++paints; TReportRenderer(FLayout, content).Render(*p); };
    actions.print = [] {};
    actions.save = [] {};
    TReportPreviewDialog dialog(nullptr, u"Report Preview"_qs, printer, actions, 100);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTRY_VERIFY(paints > 0);
    QTRY_VERIFY(dialog.PageCount() >= 3);
    QCOMPARE(dialog.windowTitle(), u"Report Preview"_qs);
    QCOMPARE(dialog.Preview()->zoomFactor(), 1.0);
    dialog.Preview()->setCurrentPage(2);
    QCOMPARE(dialog.Preview()->currentPage(), 2);
}

void TestReportEngine::previewIndicatorsFollowNavigation_data()
{
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<int>("page"); // 0: the last page
    QTest::addColumn<QString>("zoom");

    QTest::newRow("next") << QStringList{u"actNext"_qs} << 2 << u"100 %"_qs;
    QTest::newRow("next twice") << QStringList{u"actNext"_qs, u"actNext"_qs} << 3 << u"100 %"_qs;
    QTest::newRow("last") << QStringList{u"actLast"_qs} << 0 << u"100 %"_qs;
    QTest::newRow("last, previous") << QStringList{u"actLast"_qs, u"actPrevious"_qs} << -1 << u"100 %"_qs;
    QTest::newRow("next, first") << QStringList{u"actNext"_qs, u"actFirst"_qs} << 1 << u"100 %"_qs;
    QTest::newRow("zoom in") << QStringList{u"actZoomIn"_qs} << 1 << u"110 %"_qs;
    QTest::newRow("zoom out") << QStringList{u"actZoomOut"_qs} << 1 << u"91 %"_qs;
    QTest::newRow("zoom out, actual size") << QStringList{u"actZoomOut"_qs, u"actActualSize"_qs} << 1
                                           << u"100 %"_qs;
    QTest::newRow("fit width") << QStringList{u"actFitWidth"_qs} << 1 << QString(); // whatever fits
}

void TestReportEngine::previewIndicatorsFollowNavigation()
{
    QFETCH(QStringList, actions);
    QFETCH(int, page);
    QFETCH(QString, zoom);

    const TReportContent content = Content(SampleLog(400));
    QPrinter printer(QPrinter::HighResolution);
    TReportPreviewDialog::Actions handlers;
    handlers.paint = [&](QPrinter *p) { TReportRenderer(FLayout, content).Render(*p); };
    handlers.print = [] {};
    handlers.save = [] {};
    TReportPreviewDialog dialog(nullptr, u"Report Preview"_qs, printer, handlers, 100);
    dialog.resize(800, 600);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTRY_VERIFY(dialog.PageCount() >= 4);
    const int count = dialog.PageCount();
    QCOMPARE(dialog.PageText(), u"1 of %1 "_qs.arg(count));

    for (const QString &name : actions) {
        auto *action = dialog.findChild<QAction *>(name);
        QVERIFY2(action, qPrintable(name));
        action->trigger();
    }
    const int expectedPage = page > 0 ? page : count + page;
    QCOMPARE(dialog.Preview()->currentPage(), expectedPage);
    QCOMPARE(dialog.PageText(), u"%1 of %2 "_qs.arg(expectedPage).arg(count));
    const QString shownZoom = u"%1 %"_qs.arg(std::lround(dialog.Preview()->zoomFactor() * 100));
    QCOMPARE(dialog.ZoomText(), shownZoom);
    if (!zoom.isEmpty())
        QCOMPARE(dialog.ZoomText(), zoom);
}

QTEST_MAIN(TestReportEngine)
#include "tst_ReportEngine.moc"
