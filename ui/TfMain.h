#pragma once

#include "ui/FormStateWindow.h"
#include "settings/StatusPanel.h"
#include "settings/TargetPlans.h"
#include "settings/TestOptions.h"
#include "settings/WidgetPlacementTarget.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <exception>
#include <memory>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QSplitter;
class QTabWidget;
class TAboutInfo;
class TFormStateSequence;
class TAntiFreeze;
class TAppIniFileStorage;
class TFormStorage;
class TResultsHistoryView;
class TKorvane;
class TLiveRateGraph;
class TLogPane;
class TPortSpinEdit;
class TResultsChart;
class TResultsGrid;
class TServerHistory;
class TTestController;
struct TTestPlan;
class TStatusPane;

// The main window: the input panel, the results grid with the log below it, the speed
// chart, the status bar and the menu; it runs tests and records their results. Its saved
// state is restored before it first appears and saved when it closes.
class TfMain : public QMainWindow, private IFormStateWindow
{
    Q_OBJECT
public:
    explicit TfMain(QWidget* parent = nullptr);
    ~TfMain() override;

    // Input panel.
    QWidget* pnlInput = nullptr;
    QLabel* lblServer = nullptr;
    QLineEdit* cbServerName = nullptr;
    TServerHistory* acServerHistory = nullptr;
    QLabel* lblPort = nullptr;
    TPortSpinEdit* sePort = nullptr;
    QRadioButton* rbKvSrv = nullptr;
    QRadioButton* rbWebSrv = nullptr;
    QPushButton* btnConnect = nullptr;
    QPushButton* btnGrph = nullptr;

    // Results area.
    QTabWidget* pcResults = nullptr;
    QWidget* tbsGrid = nullptr;
    QWidget* tbsGraph = nullptr;
    TResultsGrid* grdResults = nullptr;
    QSplitter* NxSplitter1 = nullptr;
    TLogPane* mmDIsplay = nullptr;
    TResultsChart* DBChart1 = nullptr;
    TResultsHistoryView* History = nullptr;
    // The running test's rate over time; kept until the next test starts.
    TLiveRateGraph* LiveRateGraph1 = nullptr;
    TStatusPane* StatusPane1 = nullptr;

    // Menu.
    QMenu* N1 = nullptr;
    QAction* ExportResults1 = nullptr;
    QAction* Print1 = nullptr;
    QAction* N4 = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* TestMenu1 = nullptr;
    QAction* TestOptions1 = nullptr;
    QAction* TestPlan1 = nullptr;
    QMenu* Help1 = nullptr;
    QAction* KorvaneHelp1 = nullptr;
    QAction* N2 = nullptr;
    QAction* OstrelleWebSite1 = nullptr;
    QAction* EmailSupport1 = nullptr;
    QAction* CheckforUpgrade1 = nullptr;
    QAction* N3 = nullptr;
    QAction* About1 = nullptr;
    // Esc: cancels the running test.
    QAction* actCancelTest = nullptr;

    // Non-visual parts.
    TAboutInfo* AboutInfo1 = nullptr;
    TAppIniFileStorage* AppStore = nullptr;
    TFormStorage* FormStore = nullptr;
    // Serves the event queue while a web page test blocks in the HTTP client.
    TAntiFreeze* AntiFreeze1 = nullptr;

    // The measurement object, from creation to destruction of the window.
    TKorvane* Krvn = nullptr;
    // Runs a test from the inputs and the options, and shows what it reports.
    TTestController* TestController = nullptr;
    // Test > Options..., loaded at start and saved at exit.
    TTestOptions TestOptions;
    // Test > Plan..., per target; loaded at start and saved at exit.
    TTargetPlans TargetPlans;
    // The per-user data folder.
    QString AppStorePath;

    // Restores and saves the window's state around its first show and its close.
    TFormStateSequence* StateSequence() const { return FStateSequence.get(); }

    // The application-wide exception handler: logs "ERROR - " + message, enables inputs.
    void AppException(const std::exception& E);

    // True from the start of a test until its results are recorded.
    bool TestRunning() const { return FTestRunning; }

public slots:
    void btnConnectClick();
    void rbKvSrvClick();
    // The Port box is for stream tests only; with session options it is greyed and says why.
    void ShowPortInUse();
    void ClearGraph1Click();
    void CancelTestClick();

    void ExportResults1Click();
    void TestOptions1Click();
    void TestPlan1Click();
    void Print1Click();
    void Exit1Click();
    void KorvaneHelp1Click();
    void OstrelleWebSite1Click();
    void EmailSupport1Click();
    void CheckforUpdateClick();
    void About1Click();

    // Another copy of the program was started: restore the window if minimized and
    // bring it to the front.
    void BringToFront();

public:
    // The first show restores the saved state before the window becomes visible.
    void setVisible(bool visible) override;

protected:
    void showEvent(QShowEvent* event) override;
    // An accepted close cancels a running test and saves the window state into the
    // settings document.
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildInputPanel();
    void BuildResultsArea();
    void BuildMenu();
    void ConnectHandlers();

    void FormCreate();
    void FormShow();
    void FormDestroy();
    void BindStoredProps();
    // The help page: beside the program, else in the installed data folder; empty if none.
    QString HelpPage() const;

    // The window's side of the saved-state restore and save.
    QString ProductName() const override;
    QString Version() const override;
    void OpenSplash(const QString& programName, const QStringList& statusLines) override;
    bool SplashOpen() const override;
    void ReleaseSplash() override;
    IPlacementTarget& PlacementTarget() override { return FPlacement; }
    int AccumulatedTestCount() const override;
    double AccumulatedAverageSpeed() const override;
    void RestoreAccumulatedResults(int count, double average) override;
    bool ResultsStoreExists() const override;
    double CreateResultsStore() override;
    void SetSpeedMaximum(int maximum) override;
    void ReportStateError(const std::exception& error) override;

    void AddLogLine(const QString& text);
    // Tells the user in the log that no program could open an address.
    void LogNotOpened(const QString& what, const QString& address);
    void SetStatusText(const QString& text, int index);
    void EnableInputs();
    void DisableInputs();
    // The test the inputs and the options ask for. Throws when the secret file cannot be read.
    TTestPlan TestPlan() const;
    // Makes room for the live graph below the log.
    void RevealLiveGraph();
    // Returns true when it handled the key (Enter starts a test).
    bool cbServerNameKeyUp(int& Key, Qt::KeyboardModifiers Shift);

    bool FTestRunning = false;
    // While the window is destroyed, file errors are gathered here and shown in one box.
    QStringList* FExitProblems = nullptr;
    // The status panels as last restored, with the properties the panes do not show.
    QList<TStatusPanel> FStoredPanels;
    // Enter acts on its release only when it was also pressed here, so a key that
    // closed a dialog does not start a test.
    bool FServerEnterDown = false;
    bool FDestroying = false;
    TWidgetPlacementTarget FPlacement{this};
    std::unique_ptr<TFormStateSequence> FStateSequence;
};
