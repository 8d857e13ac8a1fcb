#include "ui/TfMain.h"

#include "engine/run/FailureHint.h"
#include "engine/ControlCharacters.h"
#include "ui/ResultTexts.h"
#include "ui/TKorvaneApplication.h"
#include "ui/TLiveRateGraph.h"
#include "ui/TLogPane.h"
#include "ui/TPortSpinEdit.h"
#include "ui/TResultsChart.h"
#include "ui/TResultsColumn.h"
#include "ui/TResultsExport.h"
#include "ui/TResultsGrid.h"
#include "ui/TServerHistory.h"
#include "ui/TTestController.h"
#include "ui/TStatusPane.h"
#include "ui/TDesktopNotice.h"
#include "ui/TPlanDialog.h"
#include "report/TPlanReport.h"
#include "storage/DayCountDate.h"
#include "ui/TTestOptionsDialog.h"

#include "support/AboutInfo.h"
#include "settings/AppIniFileStorage.h"
#include "engine/ApplicationExceptionHandler.h"
#include "storage/DiskStorage.h"
#include "ui/FormStateSequence.h"
#include "settings/FormStorage.h"
#include "ui/TResultsHistoryView.h"
#include "KorvaneBuildConfig.h"
#include "engine/KorvaneException.h"
#include "engine/LogTimestamp.h"
#include "engine/run/ProgressText.h"
#include "engine/httpclient/TAntiFreeze.h"
#include "storage/ResultsTable.h"
#include "settings/StatusPanel.h"
#include "report/Tdmrpt.h"
#include "engine/stream/TKorvane.h"
#include "support/fSplash.h"
#include "support/uUtils.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCompleter>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QToolTip>
#include <QVBoxLayout>

#include <utility>

namespace {

// Colour 3 of the panels' blue scheme.
const QColor PanelColour(227, 239, 255);

constexpr int InputPanelHeight = 40;
constexpr int ServerFieldWidth = 249;
constexpr int ServerFieldWidthWithPort = 149;
constexpr int ServerFieldWidthWeb = 246;
constexpr int LiveGraphHeight = 170;

// Runs a handler of the window and routes whatever escapes it to the application-wide
// handler: no exception may cross Qt's own code.
template <typename F>
auto Guarded(F f)
{
    return [f]() { dispatchGuarded(f); };
}

}  // namespace

TfMain::TfMain(QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("fMain"));
    auto* app = TKorvaneApplication::Instance();
    setWindowTitle(app && !app->Title().isEmpty() ? app->Title() : QStringLiteral("Korvane Client"));
    setMinimumSize(686, 300);

    AboutInfo1 = new TAboutInfo(this);
    AboutInfo1->setObjectName(QStringLiteral("AboutInfo1"));
    AppStore = new TAppIniFileStorage(this);
    AppStore->setObjectName(QStringLiteral("AppStore"));
    FormStore = new TFormStorage(this);
    FormStore->setObjectName(QStringLiteral("FormStore"));
    FormStore->SetAppStorage(AppStore);
    AntiFreeze1 = new TAntiFreeze(this);
    AntiFreeze1->setObjectName(QStringLiteral("AntiFreeze1"));
    // Short steps keep the window (and Esc) responsive during a web page test.
    AntiFreeze1->setIdleTimeOut(50);

    BuildMenu();
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("pnlClient"));
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    BuildInputPanel();
    BuildResultsArea();
    column->addWidget(pnlInput);
    column->addWidget(pcResults, 1);
    setCentralWidget(central);
    StatusPane1 = new TStatusPane(this);
    StatusPane1->setObjectName(QStringLiteral("StatusPane1"));
    setStatusBar(StatusPane1);

    ConnectHandlers();

    // Client area 740 x 621; the menu bar lies outside it.
    resize(740, 621 + menuBar()->sizeHint().height());
    move(217, 162);

    BindStoredProps();
    FStateSequence = std::make_unique<TFormStateSequence>(*FormStore, static_cast<IFormStateWindow&>(*this));

    FormCreate();
}

TfMain::~TfMain()
{
    FDestroying = true;
    // Told to end without a close (or the close's save failed): save now.
    FStateSequence->SaveIfNotSaved();
    FormDestroy();
}

void TfMain::BindStoredProps()
{
    FormStore->SetStoredProps(TFormStorage::MainWindowStoredProps());
    // The status bar's panes as the settings file knows panels; the design has two.
    TStoredPropertyAccessor panels;
    // Panels keep every stored property (and any stored panel beyond the two shown), so a
    // save writes back what it read; only Text and Width come from the panes themselves.
    panels.Get = [this](QObject*) {
        QList<TStatusPanel> list = FStoredPanels;
        for (int index = 0; index < StatusPane1->PanelCount(); ++index) {
            if (index >= list.size())
                list.append(TStatusPanel());
            list[index].Text = StatusPane1->PanelText(index);
            list[index].Width = StatusPane1->PanelWidth(index);
        }
        return QVariant::fromValue(TStatusPanel::ToCollection(list));
    };
    panels.Set = [this](QObject*, const QVariant& value) {
        FStoredPanels = TStatusPanel::FromCollection(value.value<TCollectionValue>());
        const QList<TStatusPanel>& list = FStoredPanels;
        for (int index = 0; index < std::min<int>(list.size(), StatusPane1->PanelCount()); ++index) {
            StatusPane1->SetPanelText(index, list[index].Text);
            StatusPane1->SetPanelWidth(index, list[index].Width);
        }
        return true;
    };
    FormStore->SetAccessor(QStringLiteral("StatusPane1"), QStringLiteral("Panels"), panels);
    FormStore->BindStoredProps(this);
}

void TfMain::BuildInputPanel()
{
    pnlInput = new QWidget(this);
    pnlInput->setObjectName(QStringLiteral("pnlInput"));
    pnlInput->setFixedHeight(InputPanelHeight);
    pnlInput->setAutoFillBackground(true);
    QPalette pal = pnlInput->palette();
    pal.setColor(QPalette::Window, PanelColour);
    pnlInput->setPalette(pal);

    lblServer = new QLabel(QStringLiteral("&Server"), pnlInput);
    lblServer->setObjectName(QStringLiteral("lblServer"));

    // The server field and the port share one fixed-width box, so the mode switch moves
    // nothing else on the panel.
    auto* fieldBox = new QWidget(pnlInput);
    fieldBox->setObjectName(QStringLiteral("pnlServerField"));
    fieldBox->setFixedWidth(ServerFieldWidth);
    auto* fieldRow = new QHBoxLayout(fieldBox);
    fieldRow->setContentsMargins(0, 0, 0, 0);
    fieldRow->setSpacing(5);

    cbServerName = new QLineEdit(fieldBox);
    cbServerName->setObjectName(QStringLiteral("cbServerName"));
    cbServerName->setToolTip(QStringLiteral("Enter URL or Server Name to Test Against"));
    cbServerName->setFixedWidth(ServerFieldWidth);
    cbServerName->setClearButtonEnabled(false);
    acServerHistory = new TServerHistory(cbServerName, this);
    lblServer->setBuddy(cbServerName);

    lblPort = new QLabel(QStringLiteral("&Port"), fieldBox);
    lblPort->setObjectName(QStringLiteral("lblPort"));
    sePort = new TPortSpinEdit(fieldBox);
    sePort->setObjectName(QStringLiteral("sePort"));
    sePort->setToolTip(QStringLiteral("Enter port number where Korvane Server is waiting for a connection"));
    lblPort->setBuddy(sePort);
    lblPort->setEnabled(false);
    lblPort->hide();
    sePort->setEnabled(false);
    sePort->hide();

    fieldRow->addWidget(cbServerName);
    fieldRow->addWidget(lblPort);
    fieldRow->addWidget(sePort, 1);
    fieldRow->addStretch(0);

    rbKvSrv = new QRadioButton(QStringLiteral("Korvane Server"), pnlInput);
    rbKvSrv->setObjectName(QStringLiteral("rbKvSrv"));
    rbKvSrv->setToolTip(QStringLiteral("When checked performs a test against the Korvane Server"));
    rbWebSrv = new QRadioButton(QStringLiteral("&Web Page"), pnlInput);
    rbWebSrv->setObjectName(QStringLiteral("rbWebSrv"));
    rbWebSrv->setToolTip(QStringLiteral("When checked performs a test against a website"));
    rbWebSrv->setChecked(true);

    btnConnect = new QPushButton(QStringLiteral("&Connect"), pnlInput);
    btnConnect->setObjectName(QStringLiteral("btnConnect"));
    btnConnect->setToolTip(QStringLiteral("Start Test"));
    btnConnect->setAutoDefault(false);
    btnGrph = new QPushButton(QStringLiteral("Clear S&tats"), pnlInput);
    btnGrph->setObjectName(QStringLiteral("btnGrph"));
    btnGrph->setToolTip(QStringLiteral("Clear Graphic and Accumulated statistics"));
    btnGrph->setAutoDefault(false);
    const int buttonWidth = std::max(btnConnect->sizeHint().width(), btnGrph->sizeHint().width()) + 8;
    btnConnect->setFixedWidth(buttonWidth);
    btnGrph->setFixedWidth(buttonWidth);

    auto* row = new QHBoxLayout(pnlInput);
    row->setContentsMargins(8, 0, 8, 0);
    row->setSpacing(6);
    row->addWidget(lblServer);
    row->addWidget(fieldBox);
    row->addSpacing(10);
    row->addWidget(rbKvSrv);
    row->addSpacing(4);
    row->addWidget(rbWebSrv);
    row->addStretch(1);
    row->addWidget(btnConnect);
    row->addWidget(btnGrph);

    setTabOrder(cbServerName, sePort);
    setTabOrder(sePort, rbKvSrv);
    setTabOrder(rbKvSrv, rbWebSrv);
    setTabOrder(rbWebSrv, btnConnect);
    setTabOrder(btnConnect, btnGrph);
}

void TfMain::BuildResultsArea()
{
    pcResults = new QTabWidget(this);
    pcResults->setObjectName(QStringLiteral("pcResults"));
    pcResults->setDocumentMode(true);
    pcResults->tabBar()->setObjectName(QStringLiteral("pcResultsTabs"));
    pcResults->tabBar()->setDrawBase(false);
    pcResults->setStyleSheet(QStringLiteral(
        "QTabWidget#pcResults > QTabBar { background: rgb(192,192,192); }"
        "QTabWidget#pcResults::tab-bar { left: 0px; }"
        "QTabWidget#pcResults > QTabBar::tab { height: 17px; padding: 0px 12px;"
        " background: rgb(192,192,192); border: 1px solid rgb(128,128,128); border-left: none;"
        " color: black; }"
        "QTabWidget#pcResults > QTabBar::tab:selected { font-weight: bold;"
        " background: rgb(240,240,240); border-top-color: rgb(64,64,64); }"));

    tbsGrid = new QWidget(pcResults);
    tbsGrid->setObjectName(QStringLiteral("tbsGrid"));
    auto* gridColumn = new QVBoxLayout(tbsGrid);
    gridColumn->setContentsMargins(0, 0, 0, 0);
    gridColumn->setSpacing(0);
    NxSplitter1 = new QSplitter(Qt::Vertical, tbsGrid);
    NxSplitter1->setObjectName(QStringLiteral("NxSplitter1"));
    NxSplitter1->setHandleWidth(8);
    NxSplitter1->setChildrenCollapsible(false);
    grdResults = new TResultsGrid(NxSplitter1);
    mmDIsplay = new TLogPane(NxSplitter1);
    mmDIsplay->setObjectName(QStringLiteral("mmDIsplay"));
    mmDIsplay->setToolTip(QStringLiteral("Test log"));
    LiveRateGraph1 = new TLiveRateGraph(NxSplitter1);
    NxSplitter1->addWidget(grdResults);
    NxSplitter1->addWidget(LiveRateGraph1);
    NxSplitter1->addWidget(mmDIsplay);
    NxSplitter1->setStretchFactor(0, 1);
    NxSplitter1->setStretchFactor(1, 0);
    NxSplitter1->setStretchFactor(2, 0);
    NxSplitter1->setSizes({400, 0, 109});
    gridColumn->addWidget(NxSplitter1);
    // Shown from the first test on, between the results and the log, so the curve, the
    // log lines and the new row are seen together; until then the grid keeps its room.
    LiveRateGraph1->hide();

    tbsGraph = new QWidget(pcResults);
    tbsGraph->setObjectName(QStringLiteral("tbsGraph"));
    auto* graphColumn = new QVBoxLayout(tbsGraph);
    graphColumn->setContentsMargins(0, 0, 0, 0);
    DBChart1 = new TResultsChart(tbsGraph);
    graphColumn->addWidget(DBChart1);

    pcResults->addTab(tbsGrid, QStringLiteral("&Grid"));
    pcResults->addTab(tbsGraph, QStringLiteral("Speed C&hart"));
    pcResults->setCurrentIndex(0);
    History = new TResultsHistoryView(pcResults);
    History->AttachTo(pcResults);
    // The History tab is off at first; a menu is where a user looks for it.
    QMenu* view = new QMenu(QStringLiteral("&View"), this);
    view->setObjectName(QStringLiteral("ViewMenu1"));
    menuBar()->insertMenu(Help1->menuAction(), view);
    view->addAction(History->ShowTabAction());
}

void TfMain::BuildMenu()
{
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));

    auto separator = [this](QMenu* menu, const char* name) {
        QAction* action = menu->addSeparator();
        action->setObjectName(QString::fromLatin1(name));
        return action;
    };
    auto item = [this](QMenu* menu, const QString& caption, const char* name) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(QString::fromLatin1(name));
        return action;
    };

    N1 = bar->addMenu(QStringLiteral("&File"));
    N1->setObjectName(QStringLiteral("N1"));
    ExportResults1 = item(N1, QStringLiteral("&Export Results..."), "ExportResults1");
    Print1 = item(N1, QStringLiteral("&Print"), "Print1");
    Print1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    N4 = separator(N1, "N4");
    Exit1 = item(N1, QStringLiteral("E&xit"), "Exit1");

    TestMenu1 = bar->addMenu(QStringLiteral("&Test"));
    TestMenu1->setObjectName(QStringLiteral("TestMenu1"));
    TestOptions1 = item(TestMenu1, QStringLiteral("&Options..."), "TestOptions1");
    TestPlan1 = item(TestMenu1, QStringLiteral("&Plan..."), "TestPlan1");

    Help1 = bar->addMenu(QStringLiteral("&Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    KorvaneHelp1 = item(Help1, QStringLiteral("KorvaneHelp"), "KorvaneHelp1");
    KorvaneHelp1->setShortcut(QKeySequence(Qt::Key_F1));
    N2 = separator(Help1, "N2");
    OstrelleWebSite1 = item(Help1, QStringLiteral("Ostrelle Web Site"), "OstrelleWebSite1");
    EmailSupport1 = item(Help1, QStringLiteral("Email Support"), "EmailSupport1");
    CheckforUpgrade1 = item(Help1, QStringLiteral("Check for &Update"), "CheckforUpgrade1");
    N3 = separator(Help1, "N3");
    About1 = item(Help1, QStringLiteral("&About"), "About1");

    // Shortcuts work from any control of the window, also while a menu is closed.
    for (QAction* action : {Print1, KorvaneHelp1})
        action->setShortcutContext(Qt::WindowShortcut);

    actCancelTest = new QAction(QStringLiteral("Cancel Test"), this);
    actCancelTest->setObjectName(QStringLiteral("actCancelTest"));
    actCancelTest->setShortcut(QKeySequence(Qt::Key_Escape));
    actCancelTest->setShortcutContext(Qt::WindowShortcut);
    addAction(actCancelTest);
}

void TfMain::ConnectHandlers()
{
    connect(btnConnect, &QPushButton::clicked, this, Guarded([this] { btnConnectClick(); }));
    connect(btnGrph, &QPushButton::clicked, this, Guarded([this] { ClearGraph1Click(); }));
    // Clicking either button, or the saved mode checking rbKvSrv, switches the panel.
    connect(rbKvSrv, &QRadioButton::clicked, this, Guarded([this] { rbKvSrvClick(); }));
    connect(rbWebSrv, &QRadioButton::clicked, this, Guarded([this] { rbKvSrvClick(); }));
    connect(rbKvSrv, &QRadioButton::toggled, this, Guarded([this] { rbKvSrvClick(); }));
    cbServerName->installEventFilter(this);
    // With the history list open, Enter is pressed in the list and released in the field.
    acServerHistory->Completer()->popup()->installEventFilter(this);
    // Enter in the Port box starts the test as it does in the server field; queued, so the
    // test does not run inside the spin box's own key handler.
    if (auto* portEdit = sePort->findChild<QLineEdit*>())
        connect(portEdit, &QLineEdit::returnPressed, this, Guarded([this] { btnConnectClick(); }),
                Qt::QueuedConnection);

    connect(actCancelTest, &QAction::triggered, this, Guarded([this] { CancelTestClick(); }));
    connect(ExportResults1, &QAction::triggered, this, Guarded([this] { ExportResults1Click(); }));
    connect(TestOptions1, &QAction::triggered, this, Guarded([this] { TestOptions1Click(); }));
    connect(TestPlan1, &QAction::triggered, this, Guarded([this] { TestPlan1Click(); }));
    connect(Print1, &QAction::triggered, this, Guarded([this] { Print1Click(); }));
    connect(Exit1, &QAction::triggered, this, Guarded([this] { Exit1Click(); }));
    connect(KorvaneHelp1, &QAction::triggered, this, Guarded([this] { KorvaneHelp1Click(); }));
    connect(OstrelleWebSite1, &QAction::triggered, this, Guarded([this] { OstrelleWebSite1Click(); }));
    connect(EmailSupport1, &QAction::triggered, this, Guarded([this] { EmailSupport1Click(); }));
    connect(CheckforUpgrade1, &QAction::triggered, this, Guarded([this] { CheckforUpdateClick(); }));
    connect(About1, &QAction::triggered, this, Guarded([this] { About1Click(); }));
}

// ---------------------------------------------------------------------------------------
// Start-up and shutdown

void TfMain::FormCreate()
{
    // The window keeps the platform's standard UI font on every system version.
    const QString dataFolder =
        uUtils::GetSpecialFolderPath(uUtils::CSIDL_LOCAL_APPDATA, false);
    AppStorePath = dataFolder + QStringLiteral("/Korvane");

    Krvn = new TKorvane();

    // Without a known data folder the path would point at the file system's root.
    const bool haveFolder = !dataFolder.isEmpty()
                            && (QFileInfo(AppStorePath).isDir() || QDir().mkpath(AppStorePath));
    if (!haveFolder) {
        const auto answer = QMessageBox::critical(
            this, QApplication::applicationName(),
            QStringLiteral("Can not access configuration folder") + QLatin1Char('\n') + AppStorePath
                + QLatin1Char('\n') + QStringLiteral("Proceed with program?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
        if (answer != QMessageBox::Yes) {
            if (auto* app = TKorvaneApplication::Instance())
                app->Terminate();
            else
                QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        }
    }

    AppStore->SetFileName(AppStorePath + QStringLiteral("/KrvnClnt.ini"));
    AppStore->ReloadIfNeeded();
    TestOptions.Load(*AppStore);
    TargetPlans.Load(*AppStore);
    History->SetPlanShare(TargetPlans.Share());
    ShowPortInUse();

    TTestController::TViews views;
    views.Log = mmDIsplay;
    views.Graph = LiveRateGraph1;
    views.Status = StatusPane1;
    views.Chart = DBChart1;
    views.History = acServerHistory;
    views.Table = [this] { return dmDiskStorage ? dmDiskStorage->cdsKorvaneResults() : nullptr; };
    views.RevealGraph = [this] { RevealLiveGraph(); };
    TestController = new TTestController(*Krvn, views, this);
    TestController->SetPlanNotice(TargetPlans);
    auto* notice = new TDesktopNotice(this);
    connect(notice, &TDesktopNotice::Failed, this,
            [this](const QString& message) { AddLogLine(QStringLiteral("The desktop notice was not shown: ") + message); });
    TestController->SetDesktopNotice(notice);

    auto handler = [this](const std::exception& E) { AppException(E); };
    if (auto* app = TKorvaneApplication::Instance())
        app->SetOnException(handler);
    else
        setApplicationExceptionHandler(handler);

    if (auto* app = TKorvaneApplication::Instance())
        app->SetHelpFile(QCoreApplication::applicationDirPath() + QStringLiteral("/Help/Korvane.html"));

    setWindowTitle(windowTitle() + QStringLiteral(" V.") + AboutInfo1->Version());
}

void TfMain::setVisible(bool visible)
{
    if (visible && !isVisible() && FStateSequence && !FStateSequence->Restored())
        dispatchGuarded([this] {
            FStateSequence->Restore();
            History->RestoreState(*AppStore);
        });
    QMainWindow::setVisible(visible);
}

void TfMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (event->spontaneous())
        return;
    dispatchGuarded([this] { FormShow(); });
}

void TfMain::closeEvent(QCloseEvent* event)
{
    QMainWindow::closeEvent(event);
    if (!event->isAccepted())
        return;
    // A test still waiting would keep the closed program alive, unseen, until its
    // server ends the stream, which may be never.
    dispatchGuarded([this] { CancelTestClick(); });
    dispatchGuarded([this] { FStateSequence->Save(); });
}

void TfMain::BringToFront()
{
    // Still starting up: the window appears by itself shortly.
    if (!isVisible())
        return;
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
}

void TfMain::FormShow()
{
    acServerHistory->SetActive(false);
    acServerHistory->SetSorted(true);
    acServerHistory->SetIgnoreDuplicates(true);
    acServerHistory->SetActive(true);
    cbServerName->setFocus();
    for (QRadioButton* button : {rbKvSrv, rbWebSrv}) {
        QPalette pal = button->palette();
        pal.setColor(QPalette::Window, PanelColour);
        pal.setColor(QPalette::Button, PanelColour);
        button->setPalette(pal);
        button->setAutoFillBackground(true);
    }
}

// ---------------------------------------------------------------------------------------
// Saved state: the window's side

QString TfMain::ProductName() const
{
    return AboutInfo1->ProductName();
}

QString TfMain::Version() const
{
    return AboutInfo1->Version();
}

void TfMain::OpenSplash(const QString& programName, const QStringList& statusLines)
{
    TfrmSplash* splash = TfrmSplash::Open(this);
    splash->setProgramName(programName);
    for (const QString& line : statusLines)
        splash->setStatusUpdt(line);
    splash->showCentred();
    // Painted before the work starts; no user input may slip in meanwhile.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

bool TfMain::SplashOpen() const
{
    return TfrmSplash::Current() != nullptr;
}

void TfMain::ReleaseSplash()
{
    QPointer<TfrmSplash> splash = TfrmSplash::Current();
    TfrmSplash::Release();
    // The queue is not served again once the window is going: free it now.
    if (FDestroying)
        delete splash.data();
}

int TfMain::AccumulatedTestCount() const
{
    return Krvn ? Krvn->AccumulatedTestCount() : 0;
}

double TfMain::AccumulatedAverageSpeed() const
{
    return Krvn ? Krvn->AccumulatedAverageSpeed() : 0.0;
}

void TfMain::RestoreAccumulatedResults(int count, double average)
{
    if (Krvn)
        Krvn->RestoreAccumulatedResults(count, average);
}

bool TfMain::ResultsStoreExists() const
{
    return dmDiskStorage != nullptr;
}

double TfMain::CreateResultsStore()
{
    if (!dmDiskStorage) {
        dmDiskStorage = new TdmDiskStorage(AppStorePath, [this](const QString& message) {
            if (FExitProblems) {
                FExitProblems->append(message);
                return;
            }
            AddLogLine(QStringLiteral("ERROR - ") + message);
            EnableInputs();
        });
        grdResults->SetStore(dmDiskStorage);
        // Loading the chart walks the table, which tells the store its largest speed.
        DBChart1->SetTable(dmDiskStorage->cdsKorvaneResults());
        History->SetTable(dmDiskStorage->cdsKorvaneResults());
    }
    return dmDiskStorage->MaxResult();
}

void TfMain::SetSpeedMaximum(int maximum)
{
    grdResults->SetSpeedMaximum(maximum);
}

void TfMain::ReportStateError(const std::exception& error)
{
    AppException(error);
}

void TfMain::FormDestroy()
{
    if (auto* app = TKorvaneApplication::Instance())
        app->SetOnException({});
    else
        setApplicationExceptionHandler({});

    // The log is already saved (or not) by now, so what fails here is said in a box.
    QStringList problems;
    FExitProblems = &problems;
    if (AppStore) {
        History->SaveState(*AppStore);
        TestOptions.Save(*AppStore);
        TargetPlans.Save(*AppStore);
        const QString failure = AppStore->Flush();
        if (!failure.isEmpty())
            problems << failure;
    }

    // Before the measurement object it runs its tests with.
    delete std::exchange(TestController, nullptr);
    TKorvane* krvn = Krvn;
    Krvn = nullptr;
    delete krvn;

    if (TdmDiskStorage* store = dmDiskStorage) {
        dmDiskStorage = nullptr;
        grdResults->SetStore(nullptr);
        DBChart1->SetTable(nullptr);
        History->SetTable(nullptr);
        delete store;
    }
    FExitProblems = nullptr;
    // Said at start already when the folder could not be reached at all.
    if (!problems.isEmpty() && QFileInfo(AppStorePath).isDir())
        QMessageBox::warning(nullptr, QApplication::applicationName(),
                             problems.join(QStringLiteral("\n\n"))
                                 + QStringLiteral("\n\nThe files as they were before stay whole."));
}

void TfMain::AppException(const std::exception& E)
{
    const QString message = TKorvaneApplication::MessageOf(E);
    AddLogLine(QStringLiteral("ERROR - ") + message);
    if (const QString hint = FailureHint::For(message, FailureHint::TFrontEnd::Window); !hint.isEmpty())
        AddLogLine(hint);
    EnableInputs();
}

void TfMain::AddLogLine(const QString& text)
{
    mmDIsplay->AddLine(LogTimestamp::line(EscapeControlCharacters(text)));
}

void TfMain::SetStatusText(const QString& text, int index)
{
    if (index < StatusPane1->PanelCount())
        StatusPane1->SetPanelText(index, text);
}

void TfMain::EnableInputs()
{
    btnConnect->setEnabled(true);
    btnGrph->setEnabled(true);
    cbServerName->setEnabled(true);
    rbKvSrv->setEnabled(true);
    rbWebSrv->setEnabled(true);
    cbServerName->setFocus();
}

void TfMain::DisableInputs()
{
    btnConnect->setEnabled(false);
    btnGrph->setEnabled(false);
    cbServerName->setEnabled(false);
    rbKvSrv->setEnabled(false);
    rbWebSrv->setEnabled(false);
}

// ---------------------------------------------------------------------------------------
// Test run controller

void TfMain::btnConnectClick()
{
    if (cbServerName->text().isEmpty()) {
        // Nothing is logged for an empty field; a tip beside it says what is missing.
        QToolTip::showText(cbServerName->mapToGlobal(QPoint(0, cbServerName->height())),
                           QStringLiteral("Enter a server name or a web address to test."), cbServerName);
        return;
    }
    if (FTestRunning) {
        // The inputs can come back during a test (an error elsewhere re-enables them);
        // one test at a time.
        AddLogLine(QStringLiteral("A test is already running; press Esc to cancel it."));
        return;
    }

    FTestRunning = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    DisableInputs();
    auto finish = [this] {
        QApplication::restoreOverrideCursor();
        FTestRunning = false;
        EnableInputs();
    };
    const QPointer<TfMain> alive(this);
    try {
        if (!rbKvSrv->isChecked())
            cbServerName->setText(ResultTexts::WithWebScheme(cbServerName->text()));
        TestController->Start(TestPlan());
        // Sleep until something happens, then look again; never spin. The window may be
        // destroyed meanwhile, and the controller with it.
        while (alive && TestController && !TestController->Finished())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!alive || !TestController)
            return;
        TestController->Conclude();
    } catch (...) {
        if (alive)
            finish();
        throw;
    }
    finish();
}

TTestPlan TfMain::TestPlan() const
{
    TTestPlan plan;
    plan.Target = cbServerName->text();
    plan.Kind = !rbKvSrv->isChecked()        ? TTestKind::WebPage
                : TestOptions.UsesSession() ? TTestKind::Session
                                             : TTestKind::ServerStream;
    plan.Port = ResultTexts::RoundHalfEven(sePort->value());
    plan.SessionPort = TestOptions.SessionPort;
    plan.Direction = TSessionRequest::Directions(int(TestOptions.Direction));
    plan.Streams = TestOptions.Streams;
    plan.Seconds = TestOptions.Seconds;
    plan.Window = TestOptions.WindowKiB * 1024;
    plan.IpVersion = TestOptions.IpVersion;
    plan.Latency = TestOptions.LatencyFor(plan.IsSession());
    plan.AllowHttps = TestOptions.AllowHttps;
    plan.RatePlan = TargetPlans.For(plan.Target);
    // The measurement object's own step, which a front end may have changed.
    plan.ProgressIntervalMs = Krvn->ProgressInterval();
    if (plan.IsSession() && !TestOptions.SecretFile.isEmpty()) {
        QString error;
        if (!TTestPlan::ReadSecretFile(TestOptions.SecretFile, plan.Secret, error))
            throw Exception(QStringLiteral("Korvane can not start the session: ") + error);
    }
    return plan;
}

void TfMain::TestOptions1Click()
{
    TTestOptionsDialog dialog(TestOptions, this);
    if (dialog.exec() == QDialog::Accepted) {
        TestOptions = dialog.Options();
        ShowPortInUse();
    }
}

void TfMain::TestPlan1Click()
{
    TPlanDialog dialog(TargetPlans, cbServerName->text(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    TargetPlans = dialog.Plans();
    History->SetPlanShare(TargetPlans.Share());
    if (TestController)
        TestController->SetPlanNotice(TargetPlans);
}

void TfMain::RevealLiveGraph()
{
    LiveRateGraph1->show();
    QList<int> sizes = NxSplitter1->sizes();
    const int strip = LiveGraphHeight;
    sizes[1] = strip;
    sizes[0] = std::max(60, sizes[0] - strip);
    NxSplitter1->setSizes(sizes);
}

void TfMain::CancelTestClick()
{
    if (FTestRunning && TestController)
        TestController->Cancel();
}

bool TfMain::cbServerNameKeyUp(int& Key, Qt::KeyboardModifiers Shift)
{
    Q_UNUSED(Shift);  // Enter starts a test whatever the modifiers
    if (Key != Qt::Key_Return && Key != Qt::Key_Enter)
        return false;
    Key = 0;
    btnConnectClick();
    return true;
}

bool TfMain::eventFilter(QObject* watched, QEvent* event)
{
    const bool inServerField = watched == cbServerName || watched == acServerHistory->Completer()->popup();
    if (inServerField && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter)
            FServerEnterDown = true;
    } else if (watched == cbServerName && event->type() == QEvent::FocusOut) {
        FServerEnterDown = false;
    } else if (watched == cbServerName && event->type() == QEvent::KeyRelease) {
        auto* keyEvent = static_cast<QKeyEvent*>(event);
        const bool isEnter = keyEvent->key() == Qt::Key_Return || keyEvent->key() == Qt::Key_Enter;
        if (isEnter && !FServerEnterDown)
            return true;
        if (isEnter && !keyEvent->isAutoRepeat())
            FServerEnterDown = false;
        if (!keyEvent->isAutoRepeat()) {
            int key = keyEvent->key();
            bool handled = false;
            dispatchGuarded([&] { handled = cbServerNameKeyUp(key, keyEvent->modifiers()); });
            if (handled)
                return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TfMain::rbKvSrvClick()
{
    const bool serverMode = rbKvSrv->isChecked();
    cbServerName->setFixedWidth(serverMode ? ServerFieldWidthWithPort : ServerFieldWidthWeb);
    lblPort->setEnabled(serverMode);
    lblPort->setVisible(serverMode);
    sePort->setVisible(serverMode);
    ShowPortInUse();
    cbServerName->setFocus();
}

void TfMain::ShowPortInUse()
{
    // A session connects to the session port of Test > Options: the Port box would be
    // ignored, so it says so instead of taking a number in vain.
    const bool session = TestOptions.UsesSession();
    sePort->setEnabled(rbKvSrv->isChecked() && !session);
    sePort->setToolTip(session ? QStringLiteral("Session tests use the session port %1, set in Test > Options")
                                     .arg(TestOptions.SessionPort)
                               : QStringLiteral("Enter port number where Korvane Server is waiting for a connection"));
}

void TfMain::ClearGraph1Click()
{
    mmDIsplay->Clear();
    cbServerName->clear();
    acServerHistory->Clear();
    if (dmDiskStorage)
        dmDiskStorage->DeleteAll();
    Krvn->ClearAccumalatedResults();
    SetStatusText(QString(), 0);
    SetStatusText(QString(), 1);
    cbServerName->setFocus();
}

// ---------------------------------------------------------------------------------------
// Menu commands

void TfMain::Exit1Click()
{
    close();
}

void TfMain::ExportResults1Click()
{
    const TResultsTable* table = dmDiskStorage ? dmDiskStorage->cdsKorvaneResults() : nullptr;
    const QString written = TResultsExport::Execute(this, table);
    if (!written.isEmpty())
        AddLogLine(QStringLiteral("Results exported to %1").arg(written));
}

void TfMain::Print1Click()
{
    if (DBChart1->PointCount() <= 0) {
        // No parent: the box is centred on the screen.
        QMessageBox box(QMessageBox::Information, QApplication::applicationName(),
                        QStringLiteral("Sorry, nothing to print."), QMessageBox::Ok);
        box.exec();
        return;
    }
    // Offered beside the default report: the results of the chosen days against their plans,
    // pictured as the History tab draws them.
    Tdmrpt::PlanReportSource plan;
    plan.to = QDate::currentDate();
    plan.from = plan.to.addDays(-29);
    plan.text = [this](const QDate& from, const QDate& to) {
        TPlanReport::TInput input;
        if (dmDiskStorage && dmDiskStorage->cdsKorvaneResults())
            input.Rows = dmDiskStorage->cdsKorvaneResults()->Rows();
        input.Share = TargetPlans.Share();
        input.From = from;
        input.To = to;
        input.LogLines = mmDIsplay->Lines();
        return TPlanReport::Text(input);
    };
    plan.paint = [this](QPainter& painter, const QRect& rect, const QDate& from, const QDate& to) {
        const double start = History->ViewStart(), end = History->ViewEnd();
        History->SetView(DayCountDate::fromDateTime(from.startOfDay()), DayCountDate::fromDateTime(to.addDays(1).startOfDay()));
        History->Draw(painter, rect);
        if (end > start)
            History->SetView(start, end);
        else
            History->ShowAll();
    };
    Tdmrpt::PrintReport(this, mmDIsplay->Lines(), [this](QPainter& painter, const QRect& rect) {
        DBChart1->Draw(painter, rect);
        DBChart1->update();
    }, [this](QPainter& painter, const QRect& rect) { History->Draw(painter, rect); }, plan);
}

QString TfMain::HelpPage() const
{
    QStringList candidates;
    if (auto* app = TKorvaneApplication::Instance(); app && !app->HelpFile().isEmpty())
        candidates << app->HelpFile();
    else
        candidates << QCoreApplication::applicationDirPath() + QStringLiteral("/Help/Korvane.html");
    // An installed program keeps its data apart from the executable, under the prefix it
    // was built for or under the one it was moved to.
    candidates << QStringLiteral(KORVANE_INSTALL_DATADIR "/Help/Korvane.html")
               << QDir::cleanPath(QCoreApplication::applicationDirPath()
                                  + QStringLiteral("/../share/korvane/Help/Korvane.html"));
    for (const QString& candidate : std::as_const(candidates)) {
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    return {};
}

void TfMain::KorvaneHelp1Click()
{
    const QString page = HelpPage();
    if (page.isEmpty()) {
        AddLogLine(QStringLiteral("Could not open the help: Help/Korvane.html was not found beside the program "
                                  "or in its data folder"));
        return;
    }
    // A browser that never shows up is said in the log, with the page's path to open by hand.
    uUtils::OpenLocalPage(page, this, [this, page](const QString& reason) {
        AddLogLine(QStringLiteral("Could not open the help page: %1. The page is at %2").arg(reason, page));
    });
}

void TfMain::OstrelleWebSite1Click()
{
    const QString host = QStringLiteral(KORVANE_WEB_HOST);
    if (!uUtils::OpenWebAddress(host, this))
        LogNotOpened(QStringLiteral("the web site"), uUtils::WebAddressUrl(host));
}

void TfMain::EmailSupport1Click()
{
    const QString mail = QStringLiteral(KORVANE_SUPPORT_MAIL);
    if (!uUtils::OpenMailAddress(mail, this))
        LogNotOpened(QStringLiteral("a mail to support"), uUtils::MailAddressUrl(mail));
}

void TfMain::CheckforUpdateClick()
{
    const QString minor = AboutInfo1->MinorVersion();
    const QString major = AboutInfo1->MajorVersion();
    const QString program = AboutInfo1->InternalName();
    if (!uUtils::OpenUpgradePage(program, major, minor, this))
        LogNotOpened(QStringLiteral("the update page"), uUtils::UpgradePageUrl(program, major, minor));
}

void TfMain::LogNotOpened(const QString& what, const QString& address)
{
    // The desktop gives no reason; what the user can act on is that nothing is set up for it.
    AddLogLine(QStringLiteral("Could not open %1 (%2): no program is set up to open it").arg(what, address));
}

void TfMain::About1Click()
{
    AboutInfo1->Show(this);
}
