#pragma once

#include <QMainWindow>
#include <QString>

#include <exception>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QSplitter;
class QTabWidget;
class TAboutInfo;
class TIdAntiFreeze;
class TJvAppIniFileStorage;
class TJvFormStorage;
class TKorvane;
class TLogPane;
class TPortSpinEdit;
class TResultsChart;
class TResultsGrid;
class TServerHistory;
class TStatusPane;

// The main window: the input panel, the results grid with the log below it, the speed
// chart, the status bar and the menu; it runs tests and records their results.
class TfMain : public QMainWindow
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
    TStatusPane* StatusPane1 = nullptr;

    // Menu.
    QMenu* N1 = nullptr;
    QAction* Print1 = nullptr;
    QAction* N4 = nullptr;
    QAction* Exit1 = nullptr;
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
    TJvAppIniFileStorage* AppStore = nullptr;
    TJvFormStorage* FormStore = nullptr;
    // Serves the event queue while a web page test blocks in the HTTP client.
    TIdAntiFreeze* IdAntiFreeze1 = nullptr;

    // The measurement object, from creation to destruction of the window.
    TKorvane* Krvn = nullptr;
    // The per-user data folder.
    QString AppStorePath;

    // Creates the results store in AppStorePath, binds the grid and the chart to it and
    // sets the speed-bar maximum from it. Does nothing when a store exists.
    void CreateResultsStore();

    // The application-wide exception handler: logs "ERROR - " + message, enables inputs.
    void AppException(const std::exception& E);

    // True from the start of a test until its results are recorded.
    bool TestRunning() const { return FTestRunning; }

public slots:
    void btnConnectClick();
    void rbKvSrvClick();
    void ClearGraph1Click();
    void CancelTestClick();

    void Print1Click();
    void Exit1Click();
    void KorvaneHelp1Click();
    void OstrelleWebSite1Click();
    void EmailSupport1Click();
    void CheckforUpdateClick();
    void About1Click();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildInputPanel();
    void BuildResultsArea();
    void BuildMenu();
    void ConnectHandlers();

    void FormCreate();
    void FormShow();
    void FormDestroy();

    void AddLogLine(const QString& text);
    void SetStatusText(const QString& text, int index);
    void EnableInputs();
    void DisableInputs();
    void RecordTestResult();
    // Returns true when it handled the key (Enter starts a test).
    bool cbServerNameKeyUp(int& Key, Qt::KeyboardModifiers Shift);

    bool FTestRunning = false;
    bool FShownOnce = false;
};
