#include "tests/ui/UiTestMain.h"

#include "settings/AppIniFileStorage.h"
#include "storage/DiskStorage.h"
#include "storage/ResultsTable.h"
#include "engine/stream/TKorvane.h"
#include "ui/TLogPane.h"
#include "ui/TPortSpinEdit.h"
#include "ui/TResultsColumn.h"
#include "ui/TResultsGrid.h"
#include "ui/TServerHistory.h"
#include "ui/TStatusPane.h"
#include "ui/TfMain.h"
#include "support/fSplash.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTimer>

#include <memory>

namespace {

// Section names and their keys, in file order.
QList<QPair<QString, QStringList>> SectionsOf(const QString& path)
{
    QList<QPair<QString, QStringList>> sections;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return sections;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith('[') && line.endsWith(']'))
            sections.append({line.mid(1, line.size() - 2), {}});
        else if (!line.isEmpty() && !sections.isEmpty())
            sections.last().second.append(line.section('=', 0, 0));
    }
    return sections;
}

int SplashWindows()
{
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        count += qobject_cast<TfrmSplash*>(widget) != nullptr;
    return count;
}

// What a splash showed while it was up.
struct SplashSeen
{
    bool Seen = false;
    QString ProgramName;
    QStringList Status;
    bool MainWindowVisible = true;
    int SplashesOpen = 0;
};

// Looks at the splash from inside the event processing that paints it.
void WatchSplash(SplashSeen& seen, const QWidget* mainWindow)
{
    QTimer::singleShot(0, [&seen, mainWindow] {
        TfrmSplash* splash = TfrmSplash::Current();
        if (!splash)
            return;
        seen.Seen = true;
        seen.ProgramName = splash->findChild<QLabel*>("lblMessage")->text();
        seen.Status = splash->findChild<QPlainTextEdit*>("mmStatus")->toPlainText().split('\n');
        seen.MainWindowVisible = mainWindow->isVisible();
        seen.SplashesOpen = SplashWindows();
    });
}

} // namespace

class tst_SavedState : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void firstStartUsesDefaultsAndWritesEveryKey();
    void loadingSplashBeforeTheWindowAppears();
    void stateSurvivesARestart();
    void shorterLogDropsOldLines();
    void storedPanelsComeBackWhole();
    void maximizedWindowComesBackMaximized();
    void storedServerModeIsSetUpBeforeShowing();
    void speedMaximumFromStoredResults_data();
    void speedMaximumFromStoredResults();
    void unreadableNumbersStillGiveAWorkingStore();
    void closeSavesBehindOneSplash();
    void destroyWithoutCloseStillSaves();

private:
    TfMain* Start();
    // Closes the window like the user, frees it and lets the queue free the splash.
    void Stop(bool closeFirst = true);
    QString DataFolder() const { return FHome->filePath("data") + "/Korvane"; }
    QString SettingsFile() const { return DataFolder() + "/KrvnClnt.ini"; }
    void WriteSettings(const QByteArray& text);

    std::unique_ptr<QTemporaryDir> FHome;
    std::unique_ptr<TfMain> FWindow;
};

void tst_SavedState::init()
{
    FHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", FHome->filePath("data").toUtf8());
    qputenv("XDG_CONFIG_HOME", FHome->filePath("config").toUtf8());
}

void tst_SavedState::cleanup()
{
    if (FWindow)
        Stop();
    QVERIFY(!dmDiskStorage);
    QCOMPARE(SplashWindows(), 0);
    FHome.reset();
}

TfMain* tst_SavedState::Start()
{
    FWindow = std::make_unique<TfMain>();
    FWindow->show();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return FWindow.get();
}

void tst_SavedState::Stop(bool closeFirst)
{
    if (closeFirst)
        FWindow->close();
    FWindow.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_SavedState::WriteSettings(const QByteArray& text)
{
    QVERIFY(QDir().mkpath(DataFolder()));
    QFile file(SettingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

void tst_SavedState::firstStartUsesDefaultsAndWritesEveryKey()
{
    TfMain* w = Start();
    QVERIFY(w->rbWebSrv->isChecked());
    QVERIFY(!w->sePort->isVisible());
    QCOMPARE(w->sePort->value(), 80.0);
    QVERIFY(w->mmDIsplay->Lines().join("").isEmpty());
    QVERIFY(w->acServerHistory->Strings().isEmpty());
    QCOMPARE(w->Krvn->AccumulatedTestCount(), 0);
    QCOMPARE(w->Krvn->AccumulatedAverageSpeed(), 0.0);
    QCOMPARE(w->grdResults->SpeedMaximum(), 1);
    QVERIFY(!QFile::exists(SettingsFile()));
    Stop();

    const QSize screen = QGuiApplication::primaryScreen()->size();
    const QString size = QString("(%1x%2)").arg(screen.width()).arg(screen.height());
    const QList<QPair<QString, QStringList>> expected = {
        {"fMain", {"FormVersion", "ShowCmd", "Flags", "PixelsPerInch", "MinMaxPos" + size, "MinMaxPos",
                   "NormPos" + size, "NormPos", "cbServerName_Text", "sePort_Value", "rbKvSrv_Checked",
                   "rbWebSrv_Checked", "coldbDuration_Position", "coldbResult_Position",
                   "coldbServer_Sorted", "coldbSpeed_Position", "coldbBytesRx_Width", "coldbDuration_Width",
                   "coldbResult_Width", "coldbServer_Width", "AccumulatedTestCount",
                   "AccumulatedAverageSpeed"}},
        {"fMain\\acServerHistory_Strings", {"Count"}},
        {"fMain\\mmDIsplay_Lines", {"Count"}},
        {"fMain\\StatusPane1_Panels\\Item0", {"Alignment", "Bevel", "BiDiMode", "ParentBiDiMode", "Style", "Text", "Width"}},
        {"fMain\\StatusPane1_Panels\\Item1", {"Alignment", "Bevel", "BiDiMode", "ParentBiDiMode", "Style", "Text", "Width"}},
        {"fMain\\StatusPane1_Panels", {"Count"}},
    };
    QCOMPARE(SectionsOf(SettingsFile()), expected);
    TAppIniFileStorage store;
    store.SetFileName(SettingsFile());
    QCOMPARE(store.ReadString("fMain\\sePort_Value"), QString("00000000000000A00540"));
    QCOMPARE(store.ReadString("fMain\\rbWebSrv_Checked"), QString("TRUE"));
    QCOMPARE(store.ReadInteger("fMain\\StatusPane1_Panels\\Count"), 2);
    QCOMPARE(store.ReadInteger("fMain\\StatusPane1_Panels\\Item0\\Width"), 200);
}

void tst_SavedState::loadingSplashBeforeTheWindowAppears()
{
    FWindow = std::make_unique<TfMain>();
    SplashSeen seen;
    WatchSplash(seen, FWindow.get());
    FWindow->show();
    QVERIFY(seen.Seen);
    QCOMPARE(seen.ProgramName, QString("Korvane"));
    QCOMPARE(seen.Status, QStringList({"Korvane v.2.0.0.69", "Loading program data please wait."}));
    QVERIFY(!seen.MainWindowVisible);
    QCOMPARE(seen.SplashesOpen, 1);
    // Released by the end of the restore, freed once the queue is served.
    QVERIFY(!TfrmSplash::Current());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(SplashWindows(), 0);
    QVERIFY(dmDiskStorage);
}

void tst_SavedState::stateSurvivesARestart()
{
    TfMain* w = Start();
    w->move(123, 145);
    w->cbServerName->setText("10.1.2.3");
    w->acServerHistory->Add("10.1.2.3");
    w->acServerHistory->Add("www.example.org");
    w->mmDIsplay->SetLines({"  first = line", "second", "third"});
    QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    w->sePort->setValue(5001);
    w->grdResults->coldbDuration()->SetWidth(91);
    w->grdResults->coldbBytesRx()->SetWidth(93);
    w->grdResults->coldbResult()->SetWidth(77);
    // The Server column takes whatever width the others leave, so its own is not checked.
    w->grdResults->coldbDuration()->SetPosition(4);
    w->grdResults->coldbServer()->SetSorted(true);
    const double average = 1234.5678901234567;
    w->Krvn->RestoreAccumulatedResults(7, average);
    const QPoint position = w->pos();
    const int resultPosition = w->grdResults->coldbResult()->Position();
    Stop();

    w = Start();
    QCOMPARE(w->pos(), position);
    QCOMPARE(w->size(), QSize(740, w->size().height()));
    QCOMPARE(w->cbServerName->text(), QString("10.1.2.3"));
    QCOMPARE(w->acServerHistory->Strings(), QStringList({"10.1.2.3", "www.example.org"}));
    // Blanks in front of a line are not kept by the settings file; "=" is.
    QCOMPARE(w->mmDIsplay->Lines(), QStringList({"first = line", "second", "third"}));
    QVERIFY(w->rbKvSrv->isChecked());
    QVERIFY(!w->rbWebSrv->isChecked());
    QVERIFY(w->sePort->isVisibleTo(w));
    QCOMPARE(w->sePort->value(), 5001.0);
    QCOMPARE(w->grdResults->coldbDuration()->Width(), 91);
    QCOMPARE(w->grdResults->coldbBytesRx()->Width(), 93);
    QCOMPARE(w->grdResults->coldbResult()->Width(), 77);
    QCOMPARE(w->grdResults->coldbDuration()->Position(), 4);
    QCOMPARE(w->grdResults->coldbResult()->Position(), resultPosition);
    QVERIFY(w->grdResults->coldbServer()->Sorted());
    QCOMPARE(w->Krvn->AccumulatedTestCount(), 7);
    QVERIFY(qFuzzyCompare(w->Krvn->AccumulatedAverageSpeed(), average));
}

void tst_SavedState::shorterLogDropsOldLines()
{
    TfMain* w = Start();
    QStringList ten;
    for (int i = 0; i < 10; ++i)
        ten << QString("line %1").arg(i);
    w->mmDIsplay->SetLines(ten);
    Stop();
    w = Start();
    QCOMPARE(w->mmDIsplay->Lines(), ten);
    w->mmDIsplay->SetLines({"a", "b", "c"});
    Stop();

    const auto sections = SectionsOf(SettingsFile());
    const auto log = std::find_if(sections.begin(), sections.end(),
                                  [](const auto& s) { return s.first == "fMain\\mmDIsplay_Lines"; });
    QVERIFY(log != sections.end());
    QCOMPARE(log->second, QStringList({"Item0", "Item1", "Item2", "Count"}));
    w = Start();
    QCOMPARE(w->mmDIsplay->Lines(), QStringList({"a", "b", "c"}));
}

// Enumerations by name in any case or by ordinal, the properties the panes do not show and
// a third stored panel all survive a start and a save.
void tst_SavedState::storedPanelsComeBackWhole()
{
    WriteSettings("[fMain]\r\nFormVersion=0\r\n"
                  "[fMain\\StatusPane1_Panels\\Item0]\r\nAlignment=TACENTER\r\nBevel=2\r\nBiDiMode=bdrighttoleft\r\n"
                  "ParentBiDiMode=FALSE\r\nStyle=psOwnerDraw\r\nText=first\r\nWidth=210\r\n"
                  "[fMain\\StatusPane1_Panels\\Item1]\r\nAlignment=1\r\nText=second\r\nWidth=60\r\n"
                  "[fMain\\StatusPane1_Panels\\Item2]\r\nAlignment=taRightJustify\r\nText=third\r\nWidth=70\r\n"
                  "[fMain\\StatusPane1_Panels]\r\nCount=3\r\n");
    Start();
    Stop();

    TAppIniFileStorage store;
    store.SetFileName(SettingsFile());
    const QString panels = "fMain\\StatusPane1_Panels";
    QCOMPARE(store.ReadInteger(panels + "\\Count"), 3);
    QCOMPARE(store.ReadString(panels + "\\Item0\\Alignment"), QString("taCenter"));
    QCOMPARE(store.ReadString(panels + "\\Item0\\Bevel"), QString("pbRaised"));
    QCOMPARE(store.ReadString(panels + "\\Item0\\BiDiMode"), QString("bdRightToLeft"));
    QCOMPARE(store.ReadString(panels + "\\Item0\\ParentBiDiMode"), QString("FALSE"));
    QCOMPARE(store.ReadString(panels + "\\Item0\\Style"), QString("psOwnerDraw"));
    QCOMPARE(store.ReadString(panels + "\\Item1\\Alignment"), QString("taRightJustify"));
    QCOMPARE(store.ReadString(panels + "\\Item2\\Alignment"), QString("taRightJustify"));
    QCOMPARE(store.ReadString(panels + "\\Item2\\Text"), QString("third"));
    QCOMPARE(store.ReadInteger(panels + "\\Item2\\Width"), 70);
}

void tst_SavedState::maximizedWindowComesBackMaximized()
{
    TfMain* w = Start();
    w->showMaximized();
    QTRY_VERIFY(w->isMaximized());
    Stop();
    TAppIniFileStorage store;
    store.SetFileName(SettingsFile());
    QCOMPARE(store.ReadInteger("fMain\\ShowCmd"), 3);
    w = Start();
    QVERIFY(w->isMaximized());
}

void tst_SavedState::storedServerModeIsSetUpBeforeShowing()
{
    WriteSettings("[fMain]\r\nrbKvSrv_Checked=yes\r\nrbWebSrv_Checked=n\r\nsePort_Value=8080.5\r\n");
    FWindow = std::make_unique<TfMain>();
    bool portShownAtShow = false;
    bool storeAtShow = false;
    struct ShowWatcher : QObject
    {
        std::function<void()> OnShow;
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::Show)
                OnShow();
            return false;
        }
    } watcher;
    watcher.OnShow = [&] {
        portShownAtShow = FWindow->sePort->isVisibleTo(FWindow.get()) && FWindow->sePort->isEnabled();
        storeAtShow = dmDiskStorage != nullptr;
    };
    FWindow->installEventFilter(&watcher);
    FWindow->show();
    FWindow->removeEventFilter(&watcher);
    QVERIFY(portShownAtShow);
    QVERIFY(storeAtShow);
    QVERIFY(FWindow->rbKvSrv->isChecked());
    QCOMPARE(FWindow->sePort->value(), 8080.5);
}

void tst_SavedState::speedMaximumFromStoredResults_data()
{
    QTest::addColumn<QList<double>>("speeds");
    QTest::addColumn<int>("maximum");
    QTest::newRow("2.5 rounds to 2") << QList<double>{1.5, 2.5} << 2;
    QTest::newRow("3.5 rounds to 4") << QList<double>{3.5, 0.25} << 4;
    QTest::newRow("1234.56") << QList<double>{17, 1234.56, 999} << 1235;
    QTest::newRow("no results") << QList<double>{} << 1;
}

void tst_SavedState::speedMaximumFromStoredResults()
{
    QFETCH(QList<double>, speeds);
    QFETCH(int, maximum);
    QVERIFY(QDir().mkpath(DataFolder()));
    {
        TdmDiskStorage store(DataFolder());
        TResultsTable* table = store.cdsKorvaneResults();
        for (double speed : speeds) {
            table->Append();
            table->SetServer("127.0.0.1");
            table->SetStartTime(45000.5);
            table->SetDuration(10);
            table->SetBytesRx(1024);
            table->SetResult(speed);
            table->SetSpeed(speed);
            table->Post();
        }
    }
    TfMain* w = Start();
    QCOMPARE(w->grdResults->SpeedMaximum(), maximum);
    QCOMPARE(dmDiskStorage->cdsKorvaneResults()->RecordCount(), int(speeds.size()));
}

void tst_SavedState::unreadableNumbersStillGiveAWorkingStore()
{
    WriteSettings("[fMain]\r\nFormVersion=new\r\nShowCmd=max\r\nFlags=?\r\nPixelsPerInch=lots\r\n"
                  "NormPos=left,top,0,0\r\nsePort_Value=port\r\ncoldbServer_Width=wide\r\n"
                  "rbKvSrv_Checked=maybe\r\nAccumulatedTestCount=many\r\nAccumulatedAverageSpeed=fast\r\n");
    TfMain* w = Start();
    QVERIFY(dmDiskStorage);
    QVERIFY(!TfrmSplash::Current());
    QCOMPARE(w->sePort->value(), 80.0);
    QVERIFY(w->rbWebSrv->isChecked());
    QCOMPARE(w->Krvn->AccumulatedTestCount(), 0);
    QVERIFY(w->grdResults->coldbServer()->Width() > 0);

    // The store takes a row.
    TResultsTable* table = dmDiskStorage->cdsKorvaneResults();
    table->Append();
    table->SetServer("127.0.0.1");
    table->SetSpeed(12);
    table->Post();
    QCOMPARE(table->RecordCount(), 1);
    QVERIFY(w->mmDIsplay->Lines().filter("ERROR").isEmpty());
}

void tst_SavedState::closeSavesBehindOneSplash()
{
    TfMain* w = Start();
    SplashSeen seen;
    WatchSplash(seen, w);
    w->close();
    QVERIFY(seen.Seen);
    QCOMPARE(seen.Status, QStringList({"Korvane v.2.0.0.69", "Saving program data please wait."}));
    QCOMPARE(seen.SplashesOpen, 1);
    // Only the document in memory changed; the file comes with the destruction.
    QVERIFY(!QFile::exists(SettingsFile()));
    w->Krvn->RestoreAccumulatedResults(99, 1.0);   // after the save: not written
    Stop(false);
    TAppIniFileStorage store;
    store.SetFileName(SettingsFile());
    QCOMPARE(store.ReadInteger("fMain\\AccumulatedTestCount"), 0);
}

void tst_SavedState::destroyWithoutCloseStillSaves()
{
    TfMain* w = Start();
    w->Krvn->RestoreAccumulatedResults(3, 50.0);
    w->cbServerName->setText("192.0.2.1");
    Stop(false);
    QCOMPARE(SplashWindows(), 0);
    TAppIniFileStorage store;
    store.SetFileName(SettingsFile());
    QCOMPARE(store.ReadInteger("fMain\\AccumulatedTestCount"), 3);
    QCOMPARE(store.ReadString("fMain\\cbServerName_Text"), QString("192.0.2.1"));
}

KORVANE_UI_TEST_MAIN(tst_SavedState)
#include "tst_SavedState.moc"
