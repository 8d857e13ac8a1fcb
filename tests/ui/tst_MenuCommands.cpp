#include "tests/ui/UiTestMain.h"

#include "support/AboutForm.h"
#include "support/AboutInfo.h"
#include "storage/DiskStorage.h"
#include "storage/ResultsTable.h"
#include "ui/TResultsChart.h"
#include "ui/TResultsExport.h"
#include "report/Tdmrpt.h"
#include "ui/TLogPane.h"
#include "ui/TfMain.h"
#include "support/uUtils.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QDesktopServices>
#include <QTimer>
#include <QUrl>

#include <memory>

// Takes the file addresses the help command opens, instead of a browser.
class FileOpener : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> Opened;
public slots:
    void open(const QUrl& url) { Opened.append(url); }
};

class tst_MenuCommands : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void shellCommands_data();
    void shellCommands();
    void helpOpensThePageBesideTheProgram_data();
    void helpOpensThePageBesideTheProgram();
    void helpWithoutPageSaysSo();
    void aboutIsModalAndFreshEachTime();
    void exitSavesAndCloses();
    void secondStartBringsWindowBack();
    void printWithNothingToPrint();
    void printTwiceHandsOverTheLogOfThatMoment();
    void printWithoutLayoutLogsTheError();
    void enterReleasedAfterADialogStartsNothing();
    void exportStandsBeforePrint();
    void exportWithNothingToExport();
    void exportWritesTheTypeChosen_data();
    void exportWritesTheTypeChosen();
    void exportFailureIsLoggedAndCancelWritesNothing();

private:
    TfMain* OpenWindow();
    void AddResultRow(TfMain* w);

    std::unique_ptr<QTemporaryDir> FHome;
    std::unique_ptr<TfMain> FWindow;
    QStringList FAddresses;
    bool FOpenerWorks = true;  // false: as if no program were set up for the address
    QString FPageFailure;      // not empty: the help page's opener fails with this reason
    FileOpener FFiles;
};

void tst_MenuCommands::init()
{
    FHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", FHome->filePath("data").toUtf8());
    qputenv("XDG_CONFIG_HOME", FHome->filePath("config").toUtf8());
    FAddresses.clear();
    FFiles.Opened.clear();
    FOpenerWorks = true;
    uUtils::SetAddressOpener([this](const QString& address) {
        FAddresses << address;
        return FOpenerWorks;
    });
    QDesktopServices::setUrlHandler("file", &FFiles, "open");
    FPageFailure.clear();
    uUtils::SetPageOpener([this](const QString& path, QObject*, const uUtils::TPageFailure& failed, int) {
        FFiles.Opened.append(QUrl::fromLocalFile(path));
        if (!FPageFailure.isEmpty())
            failed(FPageFailure);
    });
}

void tst_MenuCommands::cleanup()
{
    FWindow.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    uUtils::SetAddressOpener({});
    uUtils::SetPageOpener({});
    QDesktopServices::unsetUrlHandler("file");
    QVERIFY(!dmDiskStorage);
    FHome.reset();
}

TfMain* tst_MenuCommands::OpenWindow()
{
    return ShowMainWindow(FWindow);
}

void tst_MenuCommands::shellCommands_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("opens");
    const QString web = QStringLiteral("http://www.korvane.com");
    const QString mail = QStringLiteral("mailto:support@korvane.com");
    const QString upgrade = QStringLiteral("http://www.korvane.com/upg.php?program=Korvane&version=2.0");
    QTest::newRow("web site") << "OstrelleWebSite1" << web << true;
    QTest::newRow("e-mail support") << "EmailSupport1" << mail << true;
    QTest::newRow("upgrade check") << "CheckforUpgrade1" << upgrade << true;
    QTest::newRow("web site, no browser") << "OstrelleWebSite1" << web << false;
    QTest::newRow("e-mail support, no mail program") << "EmailSupport1" << mail << false;
    QTest::newRow("upgrade check, no browser") << "CheckforUpgrade1" << upgrade << false;
}

void tst_MenuCommands::shellCommands()
{
    QFETCH(QString, item);
    QFETCH(QString, address);
    QFETCH(bool, opens);
    TfMain* w = OpenWindow();
    FOpenerWorks = opens;
    w->findChild<QAction*>(item)->trigger();
    QCOMPARE(FAddresses, QStringList{address});
    const QStringList log = w->mmDIsplay->Lines();
    if (opens) {
        QVERIFY(log.join("").isEmpty());
    } else {
        // One line that names what could not be opened.
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].contains(QStringLiteral("Could not open")) && log[0].contains(address),
                 qPrintable(log[0]));
    }
}

void tst_MenuCommands::helpOpensThePageBesideTheProgram_data()
{
    QTest::addColumn<QString>("failure");  // what the page's opener reports; empty: it opened
    QTest::newRow("a browser shows it") << QString();
    // Where no browser opens the page, the log says so and where the page is, instead of nothing.
    QTest::newRow("no browser") << uUtils::PageOpenerFailure(4);
}

void tst_MenuCommands::helpOpensThePageBesideTheProgram()
{
    QFETCH(QString, failure);
    FPageFailure = failure;
    TfMain* w = OpenWindow();
    // The program's own folder is the build's; a page placed where the window looks for it.
    const QString page = FHome->filePath("Help/Korvane.html");
    QVERIFY(QDir().mkpath(QFileInfo(page).path()));
    QFile file(page);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<html><body>Contents</body></html>");
    file.close();
    TKorvaneApplication::Instance()->SetHelpFile(page);

    QTest::keyClick(w->cbServerName, Qt::Key_F1);
    QCOMPARE(FFiles.Opened, QList<QUrl>{QUrl::fromLocalFile(page)});
    const QStringList log = w->mmDIsplay->Lines();
    if (failure.isEmpty()) {
        QVERIFY(log.join("").isEmpty());
    } else {
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].contains(QStringLiteral("Could not open the help page: ") + failure) && log[0].endsWith(page),
                 qPrintable(log[0]));
    }
}

void tst_MenuCommands::helpWithoutPageSaysSo()
{
    TfMain* w = OpenWindow();
    TKorvaneApplication::Instance()->SetHelpFile(FHome->filePath("nowhere/Korvane.html"));
    w->KorvaneHelp1->trigger();
    QVERIFY(FAddresses.isEmpty());
    // Only an installed copy could be opened; without one the log says the help is missing.
    for (const QUrl& url : FFiles.Opened)
        QVERIFY2(url.toLocalFile().endsWith("/korvane/Help/Korvane.html"), qPrintable(url.toString()));
    if (FFiles.Opened.isEmpty()) {
        const QStringList log = w->mmDIsplay->Lines();
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].contains(QStringLiteral("Could not open the help")), qPrintable(log[0]));
    }
}

void tst_MenuCommands::aboutIsModalAndFreshEachTime()
{
    TfMain* w = OpenWindow();
    for (int round = 0; round < 2; ++round) {
        QString caption;
        bool modal = false;
        QTimer::singleShot(0, [&] {
            auto* form = qobject_cast<TAboutForm*>(QApplication::activeModalWidget());
            if (!form)
                return;
            caption = form->windowTitle();
            modal = form->isModal();
            form->accept();
        });
        w->About1->trigger();
        QCOMPARE(caption, QString("About Korvane"));
        QVERIFY(modal);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(w->findChildren<TAboutForm*>().isEmpty());
        QVERIFY(w->AboutInfo1->findChildren<TAboutForm*>().isEmpty());
    }
}

void tst_MenuCommands::exitSavesAndCloses()
{
    TfMain* w = OpenWindow();
    w->cbServerName->setText("198.51.100.4");
    w->Exit1->trigger();
    QVERIFY(!w->isVisible());
    FWindow.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QFile file(FHome->filePath("data/Korvane/KrvnClnt.ini"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("cbServerName_Text=198.51.100.4"));
}

void tst_MenuCommands::secondStartBringsWindowBack()
{
    TfMain* w = OpenWindow();
    w->showMinimized();
    QTRY_VERIFY(w->isMinimized());
    w->BringToFront();
    QTRY_VERIFY(!w->isMinimized());
    QVERIFY(w->isVisible());
}

void tst_MenuCommands::AddResultRow(TfMain* w)
{
    TResultsTable* table = dmDiskStorage->cdsKorvaneResults();
    table->Append();
    table->SetServer(QStringLiteral("srv1"));
    table->SetStartTime(QDateTime(QDate(2024, 3, 5), QTime(9, 7)));
    table->SetDuration(1234);
    table->SetBytesRx(1048576);
    table->SetResult(829.44);
    table->SetSpeed(829.44);
    table->Post();
    w->DBChart1->RefreshData();
}

void tst_MenuCommands::printWithNothingToPrint()
{
    TfMain* w = OpenWindow();
    QString text;
    int modulesDuringBox = -1;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        text = box->text();
        modulesDuringBox = Tdmrpt::LiveModules();
        box->accept();
    });
    QTest::keyClick(w, Qt::Key_P, Qt::ControlModifier);
    QCOMPARE(text, QStringLiteral("Sorry, nothing to print."));
    QCOMPARE(modulesDuringBox, 0);
    QCOMPARE(Tdmrpt::LiveModules(), 0);
    QVERIFY(w->mmDIsplay->Lines().filter("ERROR").isEmpty());
}

// The HTML writer is ours, so the handed-over log can be read back without other tools.
void tst_MenuCommands::printTwiceHandsOverTheLogOfThatMoment()
{
    const QByteArray binDir = qgetenv("KORVANE_BIN_DIR");
    if (!QFileInfo::exists(QString::fromLocal8Bit(binDir) + "/Korvn.layout"))
        QSKIP("Korvn.layout is not in the build's bin folder");
    const QString oldDir = QDir::currentPath();
    QDir::setCurrent(QString::fromLocal8Bit(binDir));

    TfMain* w = OpenWindow();
    AddResultRow(w);
    QStringList files;
    int modulesWhileRunning = 0;
    const auto previous = Tdmrpt::SetOutputChooser([&](QWidget*, QPrinter&) {
        modulesWhileRunning = Tdmrpt::LiveModules();
        TReportOutputChoice choice;
        choice.destination = TReportOutputChoice::Destination::File;
        choice.format = TReportOutputChoice::FileFormat::Html;
        choice.fileName = FHome->filePath(QStringLiteral("report%1.html").arg(files.size()));
        files << choice.fileName;
        return std::optional<TReportOutputChoice>(choice);
    });

    w->mmDIsplay->appendPlainText(QStringLiteral("first line"));
    w->Print1->trigger();
    w->mmDIsplay->appendPlainText(QStringLiteral("second line"));
    w->Print1->trigger();
    Tdmrpt::SetOutputChooser(previous);
    QDir::setCurrent(oldDir);

    QCOMPARE(files.size(), 2);
    QCOMPARE(modulesWhileRunning, 1);
    QCOMPARE(Tdmrpt::LiveModules(), 0);
    QVERIFY(w->mmDIsplay->Lines().filter("ERROR").isEmpty());
    auto read = [](const QString& name) {
        QFile f(name);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    const QString first = read(files[0]);
    const QString second = read(files[1]);
    QVERIFY(first.contains(QStringLiteral("first&nbsp;line")));
    QVERIFY(!first.contains(QStringLiteral("second&nbsp;line")));
    QVERIFY(second.contains(QStringLiteral("first&nbsp;line")));
    QVERIFY(second.contains(QStringLiteral("second&nbsp;line")));
}

void tst_MenuCommands::printWithoutLayoutLogsTheError()
{
    QTemporaryDir empty;
    const QString oldDir = QDir::currentPath();
    QDir::setCurrent(empty.path());
    TfMain* w = OpenWindow();
    AddResultRow(w);
    const bool found = !Tdmrpt::LayoutSearchFolders().isEmpty()
                       && std::any_of(Tdmrpt::LayoutSearchFolders().cbegin(), Tdmrpt::LayoutSearchFolders().cend(),
                                      [](const QString& d) { return QFileInfo::exists(d + "/Korvn.layout"); });
    if (found) {
        QDir::setCurrent(oldDir);
        QSKIP("a Korvn.layout is installed on this machine");
    }
    w->Print1->trigger();
    QDir::setCurrent(oldDir);
    QVERIFY2(w->mmDIsplay->Lines().last().endsWith(
                 QStringLiteral("ERROR - Report file is missing. Resintalling Korvane may fix the issue.")),
             qPrintable(w->mmDIsplay->Lines().join('\n')));
    QVERIFY(w->btnConnect->isEnabled());
    QCOMPARE(Tdmrpt::LiveModules(), 0);
}

// The Enter that closes a dialog is released over the server field; it must not start a test.
void tst_MenuCommands::enterReleasedAfterADialogStartsNothing()
{
    TfMain* w = OpenWindow();
    w->cbServerName->setText(QStringLiteral("127.0.0.1"));
    w->cbServerName->setFocus();
    QTest::keyRelease(w->cbServerName, Qt::Key_Return);
    QVERIFY(w->mmDIsplay->Lines().filter(QStringLiteral("Initiating Test to")).isEmpty());
}

void tst_MenuCommands::exportStandsBeforePrint()
{
    TfMain* w = OpenWindow();
    const QList<QAction*> items = w->N1->actions();
    QCOMPARE(items.indexOf(w->ExportResults1), items.indexOf(w->Print1) - 1);
    QCOMPARE(w->ExportResults1->text(), QStringLiteral("&Export Results..."));
}

void tst_MenuCommands::exportWithNothingToExport()
{
    TfMain* w = OpenWindow();
    int chooserCalls = 0;
    const auto previous = TResultsExport::SetFileChooser([&](QWidget*) {
        ++chooserCalls;
        return FHome->filePath("never.csv");
    });
    QString text;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->text();
            box->accept();
        }
    });
    w->ExportResults1->trigger();
    TResultsExport::SetFileChooser(previous);
    QCOMPARE(text, QStringLiteral("Sorry, nothing to export."));
    QCOMPARE(chooserCalls, 0);
    QVERIFY(!QFile::exists(FHome->filePath("never.csv")));
    QVERIFY(w->mmDIsplay->Lines().join("").isEmpty());
}

void tst_MenuCommands::exportWritesTheTypeChosen_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("start");
    QTest::addColumn<QByteArray>("row");
    QTest::addColumn<int>("lines");
    const QByteArray header = "order,target,mode,valid,bytes,duration_ms,rate_kbps,start_time\r\n";
    const QByteArray csvRow = ",srv1,server,true,1048576,1234,829.44,2024-03-05T09:07:00.000";
    QTest::newRow("CSV") << "results.csv" << header << csvRow << 3;
    QTest::newRow("no suffix: CSV") << "results" << header << csvRow << 3;
    QTest::newRow("JSON lines") << "results.jsonl" << QByteArray("{\"bytes\":1048576,\"duration_ms\":1234,")
                                << QByteArray("\"target\":\"srv1\"") << 2;
}

void tst_MenuCommands::exportWritesTheTypeChosen()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, start);
    QFETCH(QByteArray, row);
    QFETCH(int, lines);
    TfMain* w = OpenWindow();
    AddResultRow(w);
    AddResultRow(w);

    const QString path = FHome->filePath(fileName);
    const auto previous = TResultsExport::SetFileChooser([&](QWidget*) { return path; });
    w->ExportResults1->trigger();
    TResultsExport::SetFileChooser(previous);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY2(content.startsWith(start), content.constData());
    QVERIFY2(content.contains(row), content.constData());
    QCOMPARE(content.count('\n'), lines);
    QVERIFY(w->mmDIsplay->Lines().last().endsWith(QStringLiteral("Results exported to ") + path));
}

void tst_MenuCommands::exportFailureIsLoggedAndCancelWritesNothing()
{
    TfMain* w = OpenWindow();
    AddResultRow(w);
    QString answer;
    const auto previous = TResultsExport::SetFileChooser([&](QWidget*) { return answer; });

    w->ExportResults1->trigger(); // cancelled
    QVERIFY(w->mmDIsplay->Lines().join("").isEmpty());

    answer = FHome->filePath("missing-folder/results.csv");
    w->ExportResults1->trigger();
    TResultsExport::SetFileChooser(previous);
    const QStringList errors = w->mmDIsplay->Lines().filter("ERROR - Cannot export results to " + answer);
    QCOMPARE(errors.size(), 1);
    QVERIFY(!QFile::exists(answer));
}

KORVANE_UI_TEST_MAIN(tst_MenuCommands)
#include "tst_MenuCommands.moc"
