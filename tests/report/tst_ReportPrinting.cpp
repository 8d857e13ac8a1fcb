// Sending the report to a printer: the job reaches the print queue whole, once every
// page is done, and a Cancel in "Report Status" leaves the queue untouched.

#include "report/EReportError.h"
#include "tests/report/ReportFixture.h"
#include "report/TReportSetupDialog.h"
#include "report/TReportStatusWindow.h"
#include "report/TReportSystem.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QImage>
#include <QPrinter>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace ReportFixture;

// A print queue of its own: a cupsd with its configuration, spool and socket in a
// temporary folder, and one raw queue "recorder" whose jobs stay in the spool. The
// machine's own printing setup is never touched.
class ScratchPrintQueue
{
public:
    ~ScratchPrintQueue() { Stop(); }

    // Empty on success, else why the queue cannot run here.
    QString Start()
    {
        const QString cupsd = QStandardPaths::findExecutable(QStringLiteral("cupsd"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
        const QString lpadmin = QStandardPaths::findExecutable(QStringLiteral("lpadmin"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
        if (cupsd.isEmpty() || lpadmin.isEmpty())
            return QStringLiteral("cupsd or lpadmin is not installed");
        if (!FRoot.isValid())
            return QStringLiteral("no temporary folder");
        for (const char *dir : {"etc", "spool", "tmp", "cache", "state", "log"})
            QDir(FRoot.path()).mkpath(QString::fromLatin1(dir));
        Socket = FRoot.filePath(QStringLiteral("cups.sock"));
        auto write = [&](const QString &name, const QString &text) {
            QFile file(FRoot.filePath(name));
            return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) == text.toUtf8().size();
        };
        const QString root = FRoot.path();
        write(QStringLiteral("etc/cupsd.conf"),
              QStringLiteral("Listen %1\nLogLevel warn\nWebInterface No\nBrowsing No\n"
                             "PreserveJobFiles Yes\nPreserveJobHistory Yes\n"
                             "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                             "<Policy default>\n  <Limit All>\n    Order deny,allow\n    Allow all\n  </Limit>\n</Policy>\n")
                  .arg(Socket));
        write(QStringLiteral("etc/cups-files.conf"),
              QStringLiteral("ServerRoot %1/etc\nRequestRoot %1/spool\nTempDir %1/tmp\nCacheDir %1/cache\n"
                             "StateDir %1/state\nAccessLog %1/log/access_log\nErrorLog %1/log/error_log\n"
                             "PageLog %1/log/page_log\nFileDevice Yes\n")
                  .arg(root));
        FDaemon.setProcessChannelMode(QProcess::MergedChannels);
        FDaemon.start(cupsd, {QStringLiteral("-f"), QStringLiteral("-c"), root + QStringLiteral("/etc/cupsd.conf"),
                              QStringLiteral("-s"), root + QStringLiteral("/etc/cups-files.conf")});
        if (!FDaemon.waitForStarted(5000))
            return QStringLiteral("cupsd did not start");
        QElapsedTimer waited;
        waited.start();
        while (!QFileInfo::exists(Socket) && FDaemon.state() == QProcess::Running && waited.elapsed() < 10000)
            QTest::qWait(50);
        if (!QFileInfo::exists(Socket))
            return QStringLiteral("cupsd did not come up: ") + QString::fromLocal8Bit(FDaemon.readAll());
        QProcess admin;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("CUPS_SERVER"), Socket);
        admin.setProcessEnvironment(env);
        admin.setProcessChannelMode(QProcess::MergedChannels);
        admin.start(lpadmin, {QStringLiteral("-p"), QStringLiteral("recorder"), QStringLiteral("-v"),
                              QStringLiteral("file:///dev/null"), QStringLiteral("-E")});
        if (!admin.waitForFinished(20000) || admin.exitCode() != 0)
            return QStringLiteral("lpadmin could not add the queue: ") + QString::fromLocal8Bit(admin.readAll());
        return {};
    }

    void Stop()
    {
        if (FDaemon.state() != QProcess::NotRunning) {
            FDaemon.terminate();
            if (!FDaemon.waitForFinished(5000)) {
                FDaemon.kill();
                FDaemon.waitForFinished(2000);
            }
        }
    }

    // The document of every job the queue has taken, oldest first.
    QStringList Jobs() const
    {
        QDir spool(FRoot.filePath(QStringLiteral("spool")));
        QStringList files = spool.entryList({QStringLiteral("d*")}, QDir::Files, QDir::Name);
        for (QString &file : files)
            file = spool.filePath(file);
        return files;
    }

    QString Socket;

private:
    QTemporaryDir FRoot;
    QProcess FDaemon;
};

class TestReportPrinting : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cancelWhilePrintingSubmitsNothing_data();
    void cancelWhilePrintingSubmitsNothing();
    void jobCarriesCopiesAndSides();
    void refusedJobIsAnError();
    void printQueueRecordsOnlyWholeJobs();
    void pdfFileWithoutAPrinter();
    void cleanupTestCase();

private:
    // Runs a report to the printer; Cancel is pressed when the status shows cancelAt.
    // Returns the status texts shown.
    QStringList PrintToPrinter(TReportSystem &system, const QString &cancelAt);
    TReportRow Row() const;

    QTemporaryDir FWork;
    QStringList FLog;
    ScratchPrintQueue FQueue;
    QString FQueueMissing;  // why the scratch queue cannot run here; empty when it runs
};

void TestReportPrinting::initTestCase()
{
    QVERIFY(FWork.isValid());
    // Before anything asks the print system: every query of this process goes to the
    // scratch queue, never to the machine's.
    FQueueMissing = FQueue.Start();
    if (FQueueMissing.isEmpty())
        qputenv("CUPS_SERVER", FQueue.Socket.toLocal8Bit());
    else
        qputenv("CUPS_SERVER", FWork.filePath(QStringLiteral("no-print-system.sock")).toLocal8Bit());
    QVERIFY2(QFile::exists(DefaultLayoutFile()), qPrintable(DefaultLayoutFile()));
    // Enough log for four pages or more.
    FLog = SampleLog(120);
}

TReportRow TestReportPrinting::Row() const
{
    TReportRow row;
    const QString text = FLog.join(QStringLiteral("\r\n"));
    row.SpeedLog = QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    QImage picture(1024, 768, QImage::Format_RGB32);
    {
        QPainter painter(&picture);
        PaintSampleChart(painter, picture.rect());
    }
    QBuffer buffer(&row.SpeedGrp);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "BMP");
    return row;
}

QStringList TestReportPrinting::PrintToPrinter(TReportSystem &system, const QString &cancelAt)
{
    QStringList shown;
    system.SetOutputChooser([](QWidget *, QPrinter &) {
        TReportOutputChoice choice;
        choice.destination = TReportOutputChoice::Destination::Printer;
        return std::optional<TReportOutputChoice>(choice);
    });
    system.SetWindowWatcher([&](QDialog &window) {
        auto *status = qobject_cast<TReportStatusWindow *>(&window);
        if (!status)
            return;
        connect(status, &TReportStatusWindow::PageShown, status, [&, status](int, const QString &text) {
            shown << text;
            if (text == cancelAt)
                QTest::mouseClick(status->findChild<QPushButton *>(QStringLiteral("btnCancel")), Qt::LeftButton);
        });
    });
    system.Execute(nullptr, DefaultLayoutFile(), [this] { return Row(); });
    return shown;
}

void TestReportPrinting::cancelWhilePrintingSubmitsNothing_data()
{
    QTest::addColumn<QString>("cancelAt");  // empty: no Cancel
    QTest::addColumn<bool>("submitted");
    QTest::newRow("no cancel") << QString() << true;
    QTest::newRow("while generating") << QStringLiteral("Generating page 2") << false;
    QTest::newRow("first page printing") << QStringLiteral("Printing page 1") << false;
    QTest::newRow("second page printing") << QStringLiteral("Printing page 2") << false;
    QTest::newRow("last page printing") << QStringLiteral("Printing page last") << false;
}

void TestReportPrinting::cancelWhilePrintingSubmitsNothing()
{
    QFETCH(QString, cancelAt);
    QFETCH(bool, submitted);

    // First learn how many pages the report has, so "last" can be named.
    int pages = 0;
    {
        TReportSystem system;
        system.SetPrintSubmitter([&](const TPrintJob &job) { pages = job.pageCount; });
        PrintToPrinter(system, QString());
    }
    QVERIFY(pages >= 4);
    cancelAt.replace(QStringLiteral("last"), QString::number(pages));

    QList<TPrintJob> jobs;
    QByteArray spooled;
    QString spoolFile;
    TReportSystem system;
    system.SetPrintSubmitter([&](const TPrintJob &job) {
        jobs << job;
        QFile file(job.fileName);
        QVERIFY(file.open(QIODevice::ReadOnly));
        spooled = file.readAll();
        spoolFile = job.fileName;
    });
    const QStringList shown = PrintToPrinter(system, cancelAt);
    if (!cancelAt.isEmpty())
        QVERIFY2(shown.contains(cancelAt), qPrintable(shown.join(QLatin1Char('|'))));
    // A Cancel while generating ends the report before any page is printed.
    const bool printed = !cancelAt.startsWith(QStringLiteral("Generating"));
    QCOMPARE(shown.count(QStringLiteral("Printing page 1")), printed ? 1 : 0);

    if (!submitted) {
        QVERIFY(jobs.isEmpty());
        return;
    }
    // One job, every page in it, under the report's title; its spool is gone afterwards.
    QCOMPARE(jobs.size(), 1);
    QCOMPARE(jobs[0].title, QStringLiteral("Korvane Report"));
    QCOMPARE(jobs[0].pageCount, pages);
    QCOMPARE(shown.filter(QStringLiteral("Printing page")).size(), pages);
    QVERIFY(spooled.startsWith("%PDF-"));
    QVERIFY(!QFile::exists(spoolFile));
    const QString copy = FWork.filePath(QStringLiteral("job.pdf"));
    QFile out(copy);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(spooled);
    out.close();
    const QByteArray info = RunTool(QStringLiteral("pdfinfo"), {copy});
    if (info.isNull())
        QSKIP("pdfinfo is not installed");
    QCOMPARE(PdfInfoValue(info, QStringLiteral("Pages")).toInt(), pages);
}

// With no printer installed the output dialog still writes a PDF file: the writer needs none.
void TestReportPrinting::pdfFileWithoutAPrinter()
{
    const QString target = FWork.filePath(QStringLiteral("no-printer.pdf"));
    QFile::remove(target);
    TReportSystem system;
    bool fileOffered = false;
    system.SetOutputChooser([&](QWidget *parent, QPrinter &printer) {
        TReportSetupDialog dialog(parent, QStringLiteral("Output Options"), printer, {QStringLiteral("Adobe Acrobat (PDF)")},
                                  {QStringLiteral("Adobe Acrobat (PDF) (*.pdf)")}, false);
        auto *file = dialog.findChild<QRadioButton *>(QStringLiteral("rbFile"));
        fileOffered = file->isEnabled();
        file->setChecked(true);
        dialog.findChild<QLineEdit *>(QStringLiteral("edFileName"))->setText(target);
        return std::optional<TReportOutputChoice>(dialog.Choice());
    });
    system.SetPrintSubmitter([](const TPrintJob &) { QFAIL("nothing may go to a printer"); });
    system.Execute(nullptr, DefaultLayoutFile(), [this] { return Row(); });
    QVERIFY(fileOffered);
    QFile pdf(target);
    QVERIFY2(pdf.open(QIODevice::ReadOnly), qPrintable(target));
    QVERIFY(pdf.read(5) == "%PDF-");
    const QByteArray info = RunTool(QStringLiteral("pdfinfo"), {target});
    if (info.isNull())
        QSKIP("pdfinfo is not installed");
    QVERIFY(PdfInfoValue(info, QStringLiteral("Pages")).toInt() >= 1);
}

void TestReportPrinting::jobCarriesCopiesAndSides()
{
    QList<TPrintJob> jobs;
    TReportSystem system;
    system.Printer().setPrinterName(QStringLiteral("office"));
    system.Printer().setCopyCount(3);
    system.Printer().setCollateCopies(false);
    system.Printer().setDuplex(QPrinter::DuplexShortSide);
    system.SetPrintSubmitter([&](const TPrintJob &job) { jobs << job; });
    PrintToPrinter(system, QString());
    QCOMPARE(jobs.size(), 1);
    // A printer name Qt does not know may be dropped; the rest is the dialog's choice.
    QCOMPARE(jobs[0].printerName, system.Printer().printerName());
    QCOMPARE(jobs[0].copies, system.Printer().copyCount());
    QCOMPARE(jobs[0].collate, system.Printer().collateCopies());
    QCOMPARE(jobs[0].duplex, system.Printer().duplex());
}

void TestReportPrinting::refusedJobIsAnError()
{
    TReportSystem system;
    system.SetPrintSubmitter([](const TPrintJob &) {
        throw EReportError(QStringLiteral("The printer \"office\" did not take the report: gone"));
    });
    try {
        PrintToPrinter(system, QString());
        QFAIL("a refused job passed for printed");
    } catch (const EReportError &error) {
        QVERIFY(error.message().contains(QStringLiteral("did not take the report")));
    }
}

void TestReportPrinting::printQueueRecordsOnlyWholeJobs()
{
    if (!FQueueMissing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no scratch print queue: ") + FQueueMissing));
    QVERIFY(FQueue.Jobs().isEmpty());

    // A Cancel while printing leaves the queue as it was.
    for (const QString &cancelAt : {QStringLiteral("Printing page 1"), QStringLiteral("Printing page 3")}) {
        TReportSystem system;
        system.Printer().setPrinterName(QStringLiteral("recorder"));
        QCOMPARE(system.Printer().printerName(), QStringLiteral("recorder"));
        PrintToPrinter(system, cancelAt);
        QTest::qWait(300);
        QVERIFY2(FQueue.Jobs().isEmpty(), qPrintable(cancelAt));
    }

    // A report printed to the end arrives as one job holding every page.
    TReportSystem system;
    system.Printer().setPrinterName(QStringLiteral("recorder"));
    const QStringList shown = PrintToPrinter(system, QString());
    const int pages = shown.filter(QStringLiteral("Printing page")).size();
    QVERIFY(pages >= 4);
    QTRY_COMPARE_WITH_TIMEOUT(FQueue.Jobs().size(), 1, 10000);
    const QByteArray info = RunTool(QStringLiteral("pdfinfo"), {FQueue.Jobs().first()});
    if (info.isNull())
        QSKIP("pdfinfo is not installed");
    QCOMPARE(PdfInfoValue(info, QStringLiteral("Pages")).toInt(), pages);
}

void TestReportPrinting::cleanupTestCase()
{
    FQueue.Stop();
}

QTEST_MAIN(TestReportPrinting)
#include "tst_ReportPrinting.moc"
