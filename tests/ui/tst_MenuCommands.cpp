#include "UiTestMain.h"

#include "AboutForm.h"
#include "AboutInfo.h"
#include "DiskStorage.h"
#include "TLogPane.h"
#include "TfMain.h"
#include "uUtils.h"

#include <QAction>
#include <QLineEdit>
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
    void helpOpensThePageBesideTheProgram();
    void helpWithoutPageDoesNothing();
    void aboutIsModalAndFreshEachTime();
    void exitSavesAndCloses();
    void secondStartBringsWindowBack();

private:
    TfMain* OpenWindow();

    std::unique_ptr<QTemporaryDir> FHome;
    std::unique_ptr<TfMain> FWindow;
    QStringList FAddresses;
    FileOpener FFiles;
};

void tst_MenuCommands::init()
{
    FHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", FHome->filePath("data").toUtf8());
    qputenv("XDG_CONFIG_HOME", FHome->filePath("config").toUtf8());
    FAddresses.clear();
    FFiles.Opened.clear();
    uUtils::SetAddressOpener([this](const QString& address) { FAddresses << address; });
    QDesktopServices::setUrlHandler("file", &FFiles, "open");
}

void tst_MenuCommands::cleanup()
{
    FWindow.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    uUtils::SetAddressOpener({});
    QDesktopServices::unsetUrlHandler("file");
    QVERIFY(!dmDiskStorage);
    FHome.reset();
}

TfMain* tst_MenuCommands::OpenWindow()
{
    FWindow = std::make_unique<TfMain>();
    FWindow->show();
    QApplication::setActiveWindow(FWindow.get());
    if (!QTest::qWaitForWindowActive(FWindow.get()))
        qWarning("main window did not become active");
    return FWindow.get();
}

void tst_MenuCommands::shellCommands_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("address");
    QTest::newRow("web site") << "OstrelleWebSite1" << "http://www.korvane.com";
    QTest::newRow("e-mail support") << "EmailSupport1" << "mailto:support@korvane.com";
    QTest::newRow("upgrade check") << "CheckforUpgrade1"
                                   << "http://www.korvane.com/upg.php?program=Korvane&version=2.0";
}

void tst_MenuCommands::shellCommands()
{
    QFETCH(QString, item);
    QFETCH(QString, address);
    TfMain* w = OpenWindow();
    w->findChild<QAction*>(item)->trigger();
    QCOMPARE(FAddresses, QStringList{address});
    QVERIFY(w->mmDIsplay->Lines().join("").isEmpty());
}

void tst_MenuCommands::helpOpensThePageBesideTheProgram()
{
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
}

void tst_MenuCommands::helpWithoutPageDoesNothing()
{
    TfMain* w = OpenWindow();
    TKorvaneApplication::Instance()->SetHelpFile(FHome->filePath("nowhere/Korvane.html"));
    w->KorvaneHelp1->trigger();
    // Only the installed copy could be opened; nothing else.
    for (const QUrl& url : FFiles.Opened)
        QVERIFY2(url.toLocalFile().endsWith("/korvane/Help/Korvane.html"), qPrintable(url.toString()));
    QVERIFY(FAddresses.isEmpty());
    QVERIFY(w->mmDIsplay->Lines().join("").isEmpty());
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

KORVANE_UI_TEST_MAIN(tst_MenuCommands)
#include "tst_MenuCommands.moc"
