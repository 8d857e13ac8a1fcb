#include "tests/ui/LoopbackServer.h"
#include "tests/ui/UiTestMain.h"

#include "engine/ApplicationExceptionHandler.h"
#include "storage/DiskStorage.h"
#include "engine/KorvaneException.h"
#include "storage/ResultsTable.h"
#include "engine/stream/TKorvane.h"
#include "ui/TLogPane.h"
#include "ui/TPortSpinEdit.h"
#include "ui/TResultsChart.h"
#include "ui/TResultsColumn.h"
#include "ui/TResultsGrid.h"
#include "ui/TResultsGridModel.h"
#include "ui/TServerHistory.h"
#include "ui/TStatusPane.h"
#include "ui/TfMain.h"
#include "support/AboutInfo.h"
#include "settings/AppIniFileStorage.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCompleter>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBlock>
#include <QTextLayout>
#include <QTabWidget>
#include <QElapsedTimer>
#include <QTimer>
#include <QToolTip>

#include <memory>

namespace {

// Drops the timestamps ("12/10/25 6:19:02 AM - ") in front of a log line; status lines
// of the measurement object carry two.
QString WithoutTimestamps(QString line)
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{1,2}/\\d{1,2}/\\d{2} \\d{1,2}:\\d{2}:\\d{2}\\s[AP]M - "));
    int stamps = 0;
    while (true) {
        const QRegularExpressionMatch m = stamp.match(line);
        if (!m.hasMatch())
            break;
        line.remove(0, m.capturedLength());
        ++stamps;
    }
    return stamps > 0 ? line : QStringLiteral("<no timestamp> ") + line;
}

// Posts an event whose handler throws, as a failing command would.
class ThrowingObject : public QObject
{
public:
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::User)
            throw Exception(QStringLiteral("Printer on fire"));
        return QObject::event(e);
    }
};

}  // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startUp();
    void controls_data();
    void controls();
    void logWrapsLongLines();
    void longLogFillsInWhileTheWindowRuns();
    void menuTree_data();
    void menuTree();
    void gridColumns();

    void serverStreamFromWindow();
    void exactResultLines();
    void webPageFromWindow();
    void invalidTest();
    void serverTextShownHarmlessly();
    void refusedConnection();
    void targetWithControlCharacterRefused_data();
    void targetWithControlCharacterRefused();
    void emptyField_data();
    void emptyField();
    void mistakesGetAHint_data();
    void mistakesGetAHint();
    void portBoxFollowsTheTestKind();
    void statusPaneShowsLongFiguresWhole();
    void webPrefix_data();
    void webPrefix();
    void enterOnCompletionStartsTest();
    void modeToggle();
    void clearStats();
    void escCancels_data();
    void escCancels();
    void closeDuringTestCancelsIt_data();
    void closeDuringTestCancelsIt();
    void errorDuringTestAndSecondConnect();
    void fieldChangedDuringTestKeepsTestedTarget_data();
    void fieldChangedDuringTestKeepsTestedTarget();
    void exceptionFromEventIsLogged();
    void speedMaximumFollowsTests();
    void exitCloses();

private:
    TfMain* OpenWindow();
    QStringList Log() const;
    // Types the target into the server field and presses Enter; returns when the test is over.
    void RunTest(const QString& target);
    void UseServerMode(quint16 port);
    // The target of a test whose server never ends it, in the mode the row asks for.
    QString HeldTestTarget(bool web, quint16 port);
    // Presses Esc in the window once the log shows a line containing text.
    void EscWhenLogged(const QString& text);

    std::unique_ptr<QTemporaryDir> FHome;
    std::unique_ptr<TfMain> FWindow;
};

void tst_MainWindow::init()
{
    FHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", FHome->filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", FHome->filePath(QStringLiteral("config")).toUtf8());
}

void tst_MainWindow::cleanup()
{
    FWindow.reset();
    QVERIFY(!dmDiskStorage);
    QVERIFY(!QApplication::overrideCursor());
    FHome.reset();
}

TfMain* tst_MainWindow::OpenWindow()
{
    return ShowMainWindow(FWindow);
}

QStringList tst_MainWindow::Log() const
{
    QStringList texts;
    for (const QString& line : FWindow->mmDIsplay->Lines())
        texts.append(WithoutTimestamps(line));
    return texts;
}

void tst_MainWindow::RunTest(const QString& target)
{
    FWindow->cbServerName->setFocus();
    QTest::keyClicks(FWindow->cbServerName, target);
    QTest::keyClick(FWindow->cbServerName, Qt::Key_Return);
}

void tst_MainWindow::UseServerMode(quint16 port)
{
    QTest::mouseClick(FWindow->rbKvSrv, Qt::LeftButton);
    FWindow->sePort->setValue(port);
}

QString tst_MainWindow::HeldTestTarget(bool web, quint16 port)
{
    if (web)
        return QStringLiteral("127.0.0.1:%1/").arg(port);
    UseServerMode(port);
    return QStringLiteral("127.0.0.1");
}

void tst_MainWindow::EscWhenLogged(const QString& text)
{
    auto* timer = new QTimer(FWindow.get());
    timer->setInterval(10);
    connect(timer, &QTimer::timeout, timer, [this, timer, text] {
        if (Log().filter(text).isEmpty())
            return;
        timer->stop();
        timer->deleteLater();
        QTest::keyClick(FWindow.get(), Qt::Key_Escape);
    });
    timer->start();
}

// ---------------------------------------------------------------------------------------

void tst_MainWindow::startUp()
{
    TfMain* w = OpenWindow();
    QCOMPARE(w->windowTitle(), QStringLiteral("Korvane Client V.") + w->AboutInfo1->Version());
    QCOMPARE(w->AboutInfo1->Version(), QStringLiteral("2.0.0.69"));

    // The per-user folder is created with its parents, and the settings file lives in it.
    const QString folder = FHome->filePath(QStringLiteral("data")) + QStringLiteral("/Korvane");
    QCOMPARE(w->AppStorePath, folder);
    QVERIFY(QFileInfo(folder).isDir());
    QCOMPARE(w->AppStore->FileName(), folder + QStringLiteral("/KrvnClnt.ini"));
    QCOMPARE(TKorvaneApplication::Instance()->HelpFile(),
             QCoreApplication::applicationDirPath() + QStringLiteral("/Help/Korvane.html"));

    // Size and layout: input panel, tabs, status bar from top to bottom.
    QCOMPARE(w->centralWidget()->width(), 740);
    QCOMPARE(w->minimumSize(), QSize(686, 300));
    QCOMPARE(w->pnlInput->height(), 40);
    const int panelBottom = w->pnlInput->mapTo(w, QPoint(0, w->pnlInput->height())).y();
    const int tabsTop = w->pcResults->mapTo(w, QPoint(0, 0)).y();
    const int tabsBottom = w->pcResults->mapTo(w, QPoint(0, w->pcResults->height())).y();
    QVERIFY(panelBottom <= tabsTop);
    QVERIFY(tabsBottom <= w->StatusPane1->mapTo(w, QPoint(0, 0)).y());
    QCOMPARE(w->pcResults->currentWidget(), w->tbsGrid);
    QCOMPARE(w->mmDIsplay->height(), 109);
    QCOMPARE(w->NxSplitter1->handleWidth(), 8);

    // The store exists from the first show, and the views are empty.
    QVERIFY(dmDiskStorage);
    QCOMPARE(w->grdResults->model()->rowCount(), 0);
    QCOMPARE(w->DBChart1->PointCount(), 0);
    QCOMPARE(w->grdResults->SpeedMaximum(), 1);
    QCOMPARE(w->StatusPane1->PanelCount(), 2);
    QCOMPARE(w->StatusPane1->PanelWidth(0), 200);
    QCOMPARE(w->StatusPane1->PanelWidth(1), 50);
    QCOMPARE(QApplication::focusWidget(), w->cbServerName);
    QVERIFY(w->Krvn);
}

void tst_MainWindow::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("hint");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("visible");
    QTest::newRow("lblServer") << "lblServer" << "&Server" << "" << true << true;
    QTest::newRow("cbServerName") << "cbServerName" << "" << "Enter URL or Server Name to Test Against" << true << true;
    QTest::newRow("lblPort") << "lblPort" << "&Port" << "" << false << false;
    QTest::newRow("sePort") << "sePort" << "80" << "Enter port number where Korvane Server is waiting for a connection"
                            << false << false;
    QTest::newRow("rbKvSrv") << "rbKvSrv" << "Korvane Server" << "When checked performs a test against the Korvane Server"
                             << true << true;
    QTest::newRow("rbWebSrv") << "rbWebSrv" << "&Web Page" << "When checked performs a test against a website" << true
                              << true;
    QTest::newRow("btnConnect") << "btnConnect" << "&Connect" << "Start Test" << true << true;
    QTest::newRow("btnGrph") << "btnGrph" << "Clear S&tats" << "Clear Graphic and Accumulated statistics" << true << true;
    QTest::newRow("mmDIsplay") << "mmDIsplay" << "" << "Test log" << true << true;
    QTest::newRow("grdResults") << "grdResults" << "" << "Test results" << true << true;
}

void tst_MainWindow::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QString, hint);
    QFETCH(bool, enabled);
    QFETCH(bool, visible);
    TfMain* w = OpenWindow();
    auto* widget = w->findChild<QWidget*>(name);
    QVERIFY(widget);
    QString text;
    if (auto* label = qobject_cast<QLabel*>(widget))
        text = label->text();
    else if (auto* button = qobject_cast<QAbstractButton*>(widget))
        text = button->text();
    else if (auto* edit = qobject_cast<QLineEdit*>(widget))
        text = edit->text();
    else if (auto* spin = qobject_cast<QAbstractSpinBox*>(widget))
        text = spin->text();
    QCOMPARE(text, caption);
    QCOMPARE(widget->toolTip(), hint);
    QCOMPARE(widget->isEnabled(), enabled);
    QCOMPARE(widget->isVisible(), visible);

    QVERIFY(w->rbWebSrv->isChecked());
    QVERIFY(!w->rbKvSrv->isChecked());
    QCOMPARE(w->cbServerName->width(), 249);
    QCOMPARE(w->sePort->value(), 80.0);
    QCOMPARE(w->lblServer->buddy(), w->cbServerName);
    QCOMPARE(w->lblPort->buddy(), static_cast<QWidget*>(w->sePort));
    QVERIFY(w->mmDIsplay->isReadOnly());
    QVERIFY(!(w->mmDIsplay->focusPolicy() & Qt::TabFocus));
    QVERIFY(w->grdResults->focusPolicy() & Qt::TabFocus);
    QCOMPARE(w->pcResults->count(), 2);
    QCOMPARE(w->pcResults->tabText(0), QStringLiteral("&Grid"));
    QCOMPARE(w->pcResults->tabText(1), QStringLiteral("Speed C&hart"));
    QCOMPARE(w->pcResults->widget(1), w->tbsGraph);
    QCOMPARE(w->DBChart1->parentWidget(), w->tbsGraph);
}

void tst_MainWindow::logWrapsLongLines()
{
    TfMain* w = OpenWindow();
    const QString url = QStringLiteral("http://www.example.org/") + QString(300, QLatin1Char('a'));
    w->mmDIsplay->AddLine(QStringLiteral("Initiating Test to ") + url);
    w->mmDIsplay->AddLine(QStringLiteral("Test finished"));
    QCoreApplication::processEvents();
    // Nothing to scroll sideways: the long line takes several rows of the pane instead.
    QCOMPARE(w->mmDIsplay->horizontalScrollBar()->maximum(), 0);
    const QTextBlock longLine = w->mmDIsplay->document()->firstBlock();
    QVERIFY(longLine.layout()->lineCount() >= 2);
    QCOMPARE(w->mmDIsplay->Lines().first(), QStringLiteral("Initiating Test to ") + url);
}

void tst_MainWindow::longLogFillsInWhileTheWindowRuns()
{
    TfMain* w = OpenWindow();
    TLogPane* log = w->mmDIsplay;
    QStringList lines;
    for (int i = 0; i < 12345; ++i)
        lines.append(QStringLiteral("line %1").arg(i));

    // The latest lines at once, the view at the end; every line is there for a save.
    log->SetLines(lines);
    QCOMPARE(log->document()->blockCount(), TLogPane::ShownAtOnce);
    QCOMPARE(log->document()->lastBlock().text(), QStringLiteral("line 12344"));
    QCOMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
    QCOMPARE(log->Lines(), lines);
    // A test logs meanwhile: its line goes after all of them.
    log->AddLine(QStringLiteral("new"));
    QCOMPARE(log->Lines(), lines + QStringList{QStringLiteral("new")});
    QTRY_COMPARE(log->PendingLines(), 0);
    QCOMPARE(log->Lines(), lines + QStringList{QStringLiteral("new")});
    QCOMPARE(log->document()->blockCount(), 12346);
    QCOMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());

    // Scrolled up by the user, the view stays on the same lines while earlier ones go in.
    log->SetLines(lines);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 0);
    QVERIFY(log->PendingLines() > 0);
    log->verticalScrollBar()->setValue(log->verticalScrollBar()->maximum() / 2);
    const QString onTop = log->cursorForPosition(QPoint(4, 4)).block().text();
    QTRY_COMPARE(log->PendingLines(), 0);
    QCOMPARE(log->cursorForPosition(QPoint(4, 4)).block().text(), onTop);

    // Cleared while filling: nothing comes back.
    log->SetLines(lines);
    log->Clear();
    QCOMPARE(log->Lines(), QStringList());
    QTest::qWait(50);
    QCOMPARE(log->Lines(), QStringList());
}

void tst_MainWindow::menuTree_data()
{
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("captions");
    QTest::addColumn<QStringList>("shortcuts");
    QTest::newRow("File") << "N1" << QStringList{"ExportResults1", "Print1", "N4", "Exit1"}
                          << QStringList{"&Export Results...", "&Print", "", "E&xit"}
                          << QStringList{"", "Ctrl+P", "", ""};
    // The History tab is off at first: here is where a user turns it on.
    QTest::newRow("View") << "ViewMenu1" << QStringList{"acShowHistory"} << QStringList{"&History Tab"} << QStringList{""};
    QTest::newRow("Help") << "Help1"
                          << QStringList{"KorvaneHelp1", "N2", "OstrelleWebSite1", "EmailSupport1", "CheckforUpgrade1",
                                         "N3", "About1"}
                          << QStringList{"KorvaneHelp", "", "Ostrelle Web Site", "Email Support", "Check for &Update", "",
                                         "&About"}
                          << QStringList{"F1", "", "", "", "", "", ""};
}

void tst_MainWindow::menuTree()
{
    QFETCH(QString, menu);
    QFETCH(QStringList, names);
    QFETCH(QStringList, captions);
    QFETCH(QStringList, shortcuts);
    TfMain* w = OpenWindow();
    QCOMPARE(w->menuBar()->objectName(), QStringLiteral("MainMenu1"));
    const QList<QAction*> top = w->menuBar()->actions();
    QCOMPARE(top.size(), 4);
    QCOMPARE(top[0]->text(), QStringLiteral("&File"));
    QCOMPARE(top[1]->text(), QStringLiteral("&Test"));
    QCOMPARE(top[2]->text(), QStringLiteral("&View"));
    QCOMPARE(top[3]->text(), QStringLiteral("&Help"));
    auto* m = w->findChild<QMenu*>(menu);
    QVERIFY(m);
    const QList<QAction*> items = m->actions();
    QCOMPARE(items.size(), names.size());
    for (int i = 0; i < items.size(); ++i) {
        QCOMPARE(items[i]->objectName(), names[i]);
        QCOMPARE(items[i]->isSeparator(), captions[i].isEmpty());
        if (!items[i]->isSeparator())
            QCOMPARE(items[i]->text(), captions[i]);
        QCOMPARE(items[i]->shortcut().toString(), shortcuts[i]);
    }
}

void tst_MainWindow::gridColumns()
{
    TfMain* w = OpenWindow();
    TResultsGrid* grid = w->grdResults;
    const QStringList headers{"Server", "StartTime", "Duration", "BytesRx", "Result", "Speed"};
    const QStringList names{"coldbServer", "coldbStartTime", "coldbDuration", "coldbBytesRx", "coldbResult",
                            "coldbSpeed"};
    QCOMPARE(grid->model()->columnCount(), 6);
    for (int c = 0; c < 6; ++c) {
        QCOMPARE(grid->model()->headerData(c, Qt::Horizontal).toString(), headers[c]);
        auto* column = grid->findChild<TResultsColumn*>(names[c]);
        QVERIFY(column);
        QCOMPARE(column->Position(), c);
    }
    // The fixed columns keep their widths, at least 80 and room for their longest text;
    // Server keeps its 250 and the Speed bar takes the rest, down to its narrowest.
    int fixedWidth = 0;
    for (int c : {1, 2, 3, 4}) {
        const int width = grid->Column(c)->Width();
        QCOMPARE(width, TResultsGrid::StartWidth(c, QFontMetrics(grid->font())));
        QVERIFY(width >= 80);
        fixedWidth += width;
    }
    const int server = grid->coldbServer()->Width();
    const int speed = grid->coldbSpeed()->Width();
    QVERIFY(qAbs(server + speed + fixedWidth - grid->viewport()->width()) <= 1);
    QCOMPARE(server, 250);
    QVERIFY(speed >= TResultsGrid::MinimumBarWidth && speed < 168);

    const int oldServer = server;
    w->resize(w->width() + 200, w->height());
    // The bar gets its 168 back first, then both grow.
    QTRY_VERIFY(grid->coldbServer()->Width() > oldServer);
    QVERIFY(grid->coldbSpeed()->Width() >= 168);
    QCOMPARE(grid->coldbDuration()->Width(), TResultsGrid::StartWidth(2, QFontMetrics(grid->font())));
    QVERIFY(qAbs(grid->coldbServer()->Width() + grid->coldbSpeed()->Width() + fixedWidth - grid->viewport()->width()) <= 1);
}

// ---------------------------------------------------------------------------------------

void tst_MainWindow::serverStreamFromWindow()
{
    const QString serverPath = qEnvironmentVariable("KORVANE_BIN_DIR") + QStringLiteral("/korvane-server");
    if (!QFileInfo(serverPath).isExecutable())
        QFAIL(qPrintable(QStringLiteral("korvane-server not found at ") + serverPath));
    QProcess server;
    server.start(serverPath, {"--listen", "127.0.0.1", "--port", "0", "--bytes", "4194304"});
    QVERIFY(server.waitForStarted());
    QString announced;
    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QRegularExpressionMatch m;
    QTRY_VERIFY_WITH_TIMEOUT((announced += QString::fromUtf8(server.readAllStandardError()),
                              (m = listening.match(announced)).hasMatch()),
                             10000);
    const quint16 port = m.captured(1).toUShort();

    TfMain* w = OpenWindow();
    UseServerMode(port);
    RunTest(QStringLiteral("127.0.0.1"));

    const QStringList log = Log();
    QCOMPARE(log.value(0), QStringLiteral("Initiating Test to 127.0.0.1"));
    QCOMPARE(log.value(1), QStringLiteral("Connecting to 127.0.0.1"));
    QCOMPARE(log.value(2), QStringLiteral("Receiving data - timer started."));
    QVERIFY2(log.value(3).startsWith(QStringLiteral("Received 4,096.00 KB (4194304) in ")), qPrintable(log.value(3)));
    QVERIFY(log.value(4).endsWith(QStringLiteral(" KB per second")));
    QCOMPARE(log.value(5), QStringLiteral("Test finished"));
    QCOMPARE(log.size(), 6);
    // Every status line of the measurement object carries two timestamps.
    QCOMPARE(w->mmDIsplay->Lines().value(1).count(QStringLiteral(" - ")), 2);

    QCOMPARE(w->grdResults->model()->rowCount(), 1);
    QCOMPARE(w->grdResults->model()->index(0, 0).data().toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(w->grdResults->model()->index(0, 3).data().toString(), QStringLiteral("4194304"));
    QCOMPARE(w->DBChart1->PointCount(), 1);
    QVERIFY(w->acServerHistory->Strings().contains(QStringLiteral("127.0.0.1")));
    const QString average = w->StatusPane1->PanelText(1);
    QVERIFY2(QRegularExpression(QStringLiteral("^ Average speed of [\\d,]+\\.\\d\\d(KB|MB)/s for 1 tests\\.$"))
                 .match(average)
                 .hasMatch(),
             qPrintable(average));
    QVERIFY(w->btnConnect->isEnabled());
    QVERIFY(w->cbServerName->isEnabled());
    QVERIFY(!w->TestRunning());
    QCOMPARE(QApplication::focusWidget(), w->cbServerName);
    server.kill();
    QVERIFY(server.waitForFinished());
}

void tst_MainWindow::exactResultLines()
{
    LoopbackServer server(LoopbackServer::Mode::Stream, QByteArray(1048576, 'k'));
    TfMain* w = OpenWindow();
    UseServerMode(server.Port());
    RunTest(QStringLiteral("127.0.0.1"));

    TKorvane* k = w->Krvn;
    QVERIFY(k->ValidResult());
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    const QStringList log = Log();
    QCOMPARE(log.value(3), QStringLiteral("Received 1,024.00 KB (1048576) in %1 milliseconds")
                               .arg(en.toString(k->TransferTimeMs(), 'f', 2)));
    QCOMPARE(log.value(4), en.toString(k->TransferRateSec(), 'f', 2) + QStringLiteral(" KB per second"));

    // The row as stored and as shown.
    TResultsTable* table = dmDiskStorage->cdsKorvaneResults();
    QCOMPARE(table->RecordCount(), 1);
    const TResultRow& row = table->Row(0);
    QCOMPARE(row.Server, QStringLiteral("127.0.0.1"));
    QCOMPARE(row.BytesRx, 1048576.0);
    QCOMPARE(row.Result, k->TransferRateSec());
    QCOMPARE(row.Speed, k->TransferRateSec());
    QCOMPARE(row.StartTime, k->StartTime());
    QCOMPARE(row.Duration, qint32(std::nearbyint(k->TransferTimeMs())));
    QAbstractItemModel* model = w->grdResults->model();
    QCOMPARE(model->index(0, 2).data().toString(), QString::number(row.Duration) + QStringLiteral(" ms."));
    QCOMPARE(model->index(0, 4).data().toString(),
             QString::number(row.Result, 'f', 2) + QStringLiteral(" KB/S"));
    QCOMPARE(model->index(0, 5).data().toString(), QString());
    QCOMPARE(model->index(0, 2).data(Qt::TextAlignmentRole).toInt() & Qt::AlignHorizontal_Mask, int(Qt::AlignRight));
    QCOMPARE(model->index(0, 0).data(Qt::TextAlignmentRole).toInt() & Qt::AlignHorizontal_Mask, int(Qt::AlignLeft));
    // The grid follows the table: the new row is the current one.
    QTRY_COMPARE(w->grdResults->currentIndex().row(), 0);
}

void tst_MainWindow::webPageFromWindow()
{
    const QByteArray page = "<html><head><title>Korvane</title></head><body>" + QByteArray(20000, 'w')
                            + "</body></html>";
    LoopbackServer server(LoopbackServer::Mode::Http, page);
    TfMain* w = OpenWindow();
    const QString target = QStringLiteral("127.0.0.1:%1/index.html").arg(server.Port());
    RunTest(target);

    const QStringList log = Log();
    const QString url = QStringLiteral("http://") + target;
    QCOMPARE(w->cbServerName->text(), url);
    QCOMPARE(log.value(0), QStringLiteral("Initiating Test to ") + url);
    const QString received = QStringLiteral("Received %1 KB (%2) in ")
                                 .arg(QLocale().toString(page.size() / 1024.0, 'f', 2))
                                 .arg(page.size());
    QVERIFY2(!log.filter(received).isEmpty(), qPrintable(log.join('\n')));
    QCOMPARE(log.last(), QStringLiteral("Test finished"));
    QCOMPARE(w->grdResults->model()->rowCount(), 1);
    QCOMPARE(w->grdResults->model()->index(0, 0).data().toString(), url);
    QCOMPARE(w->grdResults->model()->index(0, 3).data().toString(), QString::number(page.size()));
    QCOMPARE(w->DBChart1->PointCount(), 1);
    QVERIFY(w->acServerHistory->Strings().contains(url));
    QVERIFY(w->StatusPane1->PanelText(1).endsWith(QStringLiteral("for 1 tests.")));
    QVERIFY(w->btnConnect->isEnabled());
}

void tst_MainWindow::invalidTest()
{
    LoopbackServer server(LoopbackServer::Mode::CloseAtOnce);
    TfMain* w = OpenWindow();
    UseServerMode(server.Port());
    RunTest(QStringLiteral("127.0.0.1"));

    const QStringList log = Log();
    QCOMPARE(log.last(), QStringLiteral("Test results are not valid!"));
    QVERIFY(log.filter(QStringLiteral("Received")).isEmpty());
    QVERIFY(log.filter(QStringLiteral("Test finished")).isEmpty());
    QVERIFY(log.filter(QStringLiteral("ERROR")).isEmpty());
    QCOMPARE(w->grdResults->model()->rowCount(), 0);
    QCOMPARE(w->DBChart1->PointCount(), 0);
    QVERIFY(w->acServerHistory->Strings().isEmpty());
    QCOMPARE(w->StatusPane1->PanelText(1), QString());
    QCOMPARE(w->Krvn->AccumulatedTestCount(), 1);
    QVERIFY(w->btnConnect->isEnabled());
}

// A status line is the server's text: its escape sequences and line breaks show as escapes.
void tst_MainWindow::serverTextShownHarmlessly()
{
    LoopbackServer server(LoopbackServer::Mode::HttpRaw,
                          "HTTP/1.1 500 \x1B[2J\x1B]0;owned\x07\rFAKE LINE\r\nContent-Length: 0\r\n\r\n");
    OpenWindow();
    RunTest(QStringLiteral("127.0.0.1:%1/").arg(server.Port()));
    const QStringList log = Log();
    QVERIFY2(log.contains(QStringLiteral("ERROR - HTTP/1.1 500 \\x1B[2J\\x1B]0;owned\\x07\\rFAKE LINE")),
             qPrintable(log.join(u'\n')));
    for (const QString& line : FWindow->mmDIsplay->Lines())
        for (const QChar c : line)
            QVERIFY2(c.unicode() >= 0x20 && c.unicode() != 0x7F, qPrintable(line));
}

void tst_MainWindow::refusedConnection()
{
    TfMain* w = OpenWindow();
    UseServerMode(LoopbackServer::ClosedPort());
    RunTest(QStringLiteral("127.0.0.1"));

    const QStringList log = Log();
    QCOMPARE(log.value(0), QStringLiteral("Initiating Test to 127.0.0.1"));
    QCOMPARE(log.value(1), QStringLiteral("Connecting to 127.0.0.1"));
    QVERIFY2(log.value(2).startsWith(QStringLiteral("ERROR - Korvane Socket Error #")), qPrintable(log.value(2)));
    QCOMPARE(log.value(3), QStringLiteral("Test results are not valid!"));
    QCOMPARE(log.size(), 4);
    QCOMPARE(w->grdResults->model()->rowCount(), 0);
    for (QWidget* input : std::initializer_list<QWidget*>{w->btnConnect, w->btnGrph, w->cbServerName, w->rbKvSrv,
                                                          w->rbWebSrv})
        QVERIFY(input->isEnabled());
    QVERIFY(!w->TestRunning());
}

void tst_MainWindow::targetWithControlCharacterRefused_data()
{
    QTest::addColumn<bool>("serverMode");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("error");

    QTest::newRow("line feed, server") << true << QStringLiteral("127.0.0.1\nTest finished")
                                       << "U+000A at position 10.";
    QTest::newRow("tab, server") << true << QStringLiteral("127.0.0.1\t") << "U+0009 at position 10.";
    QTest::newRow("escape, web") << false << QStringLiteral("127.0.0.1/\x1b[2J") << "U+001B at position 18.";
}

// Refused before any lookup, and nothing of the target reaches the log or the history.
void tst_MainWindow::targetWithControlCharacterRefused()
{
    QFETCH(bool, serverMode);
    QFETCH(QString, target);
    QFETCH(QString, error);
    TfMain* w = OpenWindow();
    if (serverMode)
        UseServerMode(LoopbackServer::ClosedPort());
    else
        QTest::mouseClick(w->rbWebSrv, Qt::LeftButton);
    w->cbServerName->setText(target);
    QTest::mouseClick(w->btnConnect, Qt::LeftButton);

    QCOMPARE(Log(), QStringList(QStringLiteral("ERROR - Invalid target: it contains the control character ") + error));
    QCOMPARE(w->mmDIsplay->Lines().size(), 1);
    QCOMPARE(w->grdResults->model()->rowCount(), 0);
    QCOMPARE(w->Krvn->AccumulatedTestCount(), 0);
    QVERIFY(w->acServerHistory->Strings().filter(QStringLiteral("127.0.0.1")).isEmpty());
    QVERIFY(w->btnConnect->isEnabled());
    QVERIFY(!w->TestRunning());
}

void tst_MainWindow::emptyField_data()
{
    QTest::addColumn<bool>("serverMode");
    QTest::addColumn<bool>("byButton");
    QTest::newRow("web, Enter") << false << false;
    QTest::newRow("web, Connect") << false << true;
    QTest::newRow("server, Enter") << true << false;
    QTest::newRow("server, Connect") << true << true;
}

void tst_MainWindow::emptyField()
{
    QFETCH(bool, serverMode);
    QFETCH(bool, byButton);
    TfMain* w = OpenWindow();
    if (serverMode)
        QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    if (byButton)
        QTest::mouseClick(w->btnConnect, Qt::LeftButton);
    else
        QTest::keyClick(w->cbServerName, Qt::Key_Return);
    QCOMPARE(w->mmDIsplay->Lines(), QStringList());
    QCOMPARE(w->cbServerName->text(), QString());
    QVERIFY(!QApplication::overrideCursor());
    QCOMPARE(w->Krvn->AccumulatedTestCount(), 0);
    QVERIFY(w->btnConnect->isEnabled());
    // Not a log line, but not silence either: a tip beside the field.
    QVERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QStringLiteral("Enter a server name or a web address to test."));
    QToolTip::hideText();
}

void tst_MainWindow::mistakesGetAHint_data()
{
    QTest::addColumn<bool>("serverMode");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("lastLines");
    QTest::newRow("web address in server mode")
        << true << QStringLiteral("http://127.0.0.1:1/")
        << QStringList{QStringLiteral("ERROR - Invalid target \"http://127.0.0.1:1/\": a web address is not a Korvane server."),
                       QStringLiteral("Hint: choose Web Page to test a web address.")};
    QTest::newRow("https without the option")
        << false << QStringLiteral("https://127.0.0.1:1/")
        << QStringList{QStringLiteral("ERROR - IOHandler value is not valid"),
                       QStringLiteral("Hint: https addresses are tested once Test > Options allows https.")};
}

// The error line stays as it always was; a line after it says what to do.
void tst_MainWindow::mistakesGetAHint()
{
    QFETCH(bool, serverMode);
    QFETCH(QString, typed);
    QFETCH(QStringList, lastLines);
    TfMain* w = OpenWindow();
    if (serverMode)
        UseServerMode(LoopbackServer::ClosedPort());
    RunTest(typed);
    QTRY_VERIFY(w->btnConnect->isEnabled());
    QCOMPARE(Log().mid(Log().size() - lastLines.size()), lastLines);
    QVERIFY(Log().filter(QStringLiteral("Test cancelled")).isEmpty());
}

// The Port box starts a test with Enter as the server field does, and is greyed while the
// options make server tests sessions, which use the session port instead.
void tst_MainWindow::portBoxFollowsTheTestKind()
{
    TfMain* w = OpenWindow();
    const quint16 port = LoopbackServer::ClosedPort();
    UseServerMode(port);
    QVERIFY(w->sePort->isEnabled());
    w->cbServerName->setText(QStringLiteral("127.0.0.1"));
    w->sePort->setFocus();
    QTest::keyClick(w->sePort, Qt::Key_Return);
    QTRY_VERIFY(!Log().filter(QStringLiteral("Initiating Test to 127.0.0.1")).isEmpty());
    QTRY_VERIFY(w->btnConnect->isEnabled());
    QVERIFY2(!Log().filter(QStringLiteral("Connecting to")).isEmpty(), qPrintable(Log().join('\n')));

    TTestOptions options = w->TestOptions;
    options.Streams = 4;
    options.SessionPort = 9123;
    w->TestOptions = options;
    w->ShowPortInUse();
    QVERIFY(!w->sePort->isEnabled());
    QVERIFY2(w->sePort->toolTip().contains(QStringLiteral("session port 9123")), qPrintable(w->sePort->toolTip()));
    QTest::mouseClick(w->rbWebSrv, Qt::LeftButton);
    QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    QVERIFY(!w->sePort->isEnabled());

    options.Streams = 1;
    w->TestOptions = options;
    w->ShowPortInUse();
    QVERIFY(w->sePort->isEnabled());
}

// A session's live figures are longer than the first pane's 200 pixels: the pane grows while
// they are shown and comes back after, and the width kept in the settings stays 200.
void tst_MainWindow::statusPaneShowsLongFiguresWhole()
{
    TfMain* w = OpenWindow();
    const QString figures = QStringLiteral("download 9.03 GB 2.2 s 4.65 GB/s latency 1.23 ms");
    w->StatusPane1->SetPanelText(0, figures);
    auto* pane = w->StatusPane1->findChild<QLabel*>(QStringLiteral("StatusPane1Panel0"));
    QVERIFY(pane);
    QVERIFY2(pane->contentsRect().width() >= pane->fontMetrics().horizontalAdvance(figures),
             qPrintable(QString::number(pane->contentsRect().width())));
    QCOMPARE(w->StatusPane1->PanelWidth(0), 200);
    w->StatusPane1->SetPanelText(0, QStringLiteral("short"));
    QCOMPARE(pane->width(), 200);
}

void tst_MainWindow::webPrefix_data()
{
    const QString port = QString::number(LoopbackServer::ClosedPort());
    QTest::addColumn<bool>("serverMode");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("tested");
    QTest::newRow("bare host") << false << "127.0.0.1:" + port << "http://127.0.0.1:" + port;
    QTest::newRow("capital HTTPS scheme") << false << "HTTPS://127.0.0.1:" + port + "/" << "HTTPS://127.0.0.1:" + port + "/";
    // Only a scheme at the start counts: the query's URL does not send the test elsewhere.
    QTest::newRow("http:// in the query") << false << "127.0.0.1:" + port + "/a?b=http://c"
                                          << "http://127.0.0.1:" + port + "/a?b=http://c";
    QTest::newRow("ftp") << false << "ftp://127.0.0.1:" + port + "/" << "ftp://127.0.0.1:" + port + "/";
    QTest::newRow("server mode") << true << "127.0.0.1" << "127.0.0.1";
}

void tst_MainWindow::webPrefix()
{
    QFETCH(bool, serverMode);
    QFETCH(QString, typed);
    QFETCH(QString, tested);
    TfMain* w = OpenWindow();
    if (serverMode)
        UseServerMode(LoopbackServer::ClosedPort());
    RunTest(typed);
    // Every one of these fails; the field keeps the text the test was run with.
    QCOMPARE(w->cbServerName->text(), tested);
    const QStringList log = Log();
    QCOMPARE(log.value(0), QStringLiteral("Initiating Test to ") + tested);
    QVERIFY2(!log.filter(QStringLiteral("ERROR - ")).isEmpty(), qPrintable(log.join('\n')));
    QCOMPARE(w->grdResults->model()->rowCount(), 0);
    QVERIFY(w->btnConnect->isEnabled());
    QVERIFY(!QApplication::overrideCursor());
}

void tst_MainWindow::enterOnCompletionStartsTest()
{
    // With the history's list open, Enter is pressed in the list and released in the
    // field: one Enter takes the completion and starts the test.
    LoopbackServer server(LoopbackServer::Mode::Stream, QByteArray(64 * 1024, 'e'));
    TfMain* w = OpenWindow();
    UseServerMode(server.Port());
    w->acServerHistory->Add(QStringLiteral("127.0.0.1"));
    w->cbServerName->setFocus();
    QTest::keyClicks(w->cbServerName, QStringLiteral("127"));
    QWidget* popup = w->acServerHistory->Completer()->popup();
    QTRY_VERIFY(popup->isVisible());
    QTest::keyClick(popup, Qt::Key_Down);
    QTest::keyPress(popup, Qt::Key_Return);
    QTRY_VERIFY(!popup->isVisible());
    QTest::keyRelease(w->cbServerName, Qt::Key_Return);

    QCOMPARE(Log().value(0), QStringLiteral("Initiating Test to 127.0.0.1"));
    QCOMPARE(Log().last(), QStringLiteral("Test finished"));
    QCOMPARE(w->grdResults->model()->rowCount(), 1);
}

void tst_MainWindow::modeToggle()
{
    TfMain* w = OpenWindow();
    QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    QCOMPARE(w->cbServerName->width(), 149);
    QVERIFY(w->lblPort->isVisible() && w->lblPort->isEnabled());
    QVERIFY(w->sePort->isVisible() && w->sePort->isEnabled());
    QCOMPARE(QApplication::focusWidget(), w->cbServerName);
    // The port fits beside the shortened field, inside the panel's field box.
    QVERIFY(w->sePort->geometry().right() <= w->cbServerName->parentWidget()->width());
    QVERIFY(w->sePort->width() >= 50);

    QTest::mouseClick(w->rbWebSrv, Qt::LeftButton);
    QCOMPARE(w->cbServerName->width(), 246);
    QVERIFY(!w->lblPort->isVisible() && !w->lblPort->isEnabled());
    QVERIFY(!w->sePort->isVisible() && !w->sePort->isEnabled());
    QCOMPARE(QApplication::focusWidget(), w->cbServerName);

    // A mode set without a click (restored settings) switches the panel too.
    w->rbKvSrv->setChecked(true);
    QCOMPARE(w->cbServerName->width(), 149);
    QVERIFY(w->sePort->isVisible());
}

void tst_MainWindow::clearStats()
{
    LoopbackServer server(LoopbackServer::Mode::Stream, QByteArray(300 * 1024, 'c'));
    TfMain* w = OpenWindow();
    UseServerMode(server.Port());
    RunTest(QStringLiteral("127.0.0.1"));
    QCOMPARE(w->grdResults->model()->rowCount(), 1);
    w->StatusPane1->SetPanelText(0, QStringLiteral("something"));
    const int maximum = w->grdResults->SpeedMaximum();
    QVERIFY(maximum > 1);
    const QString resultsFile = w->AppStorePath + QStringLiteral("/KorvaneResults.xml");
    QVERIFY(QFile::exists(resultsFile));

    QTest::mouseClick(w->btnGrph, Qt::LeftButton);
    QCOMPARE(w->mmDIsplay->Lines(), QStringList());
    QCOMPARE(w->cbServerName->text(), QString());
    QCOMPARE(w->acServerHistory->Strings(), QStringList());
    QCOMPARE(w->grdResults->model()->rowCount(), 0);
    QCOMPARE(w->DBChart1->PointCount(), 0);
    QVERIFY(!QFile::exists(resultsFile));
    QCOMPARE(w->Krvn->AccumulatedAverageSpeed(), 0.0);
    QCOMPARE(w->Krvn->AccumulatedTestCount(), 0);
    QCOMPARE(w->StatusPane1->PanelText(0), QString());
    QCOMPARE(w->StatusPane1->PanelText(1), QString());
    QCOMPARE(w->grdResults->SpeedMaximum(), maximum);
    QCOMPARE(QApplication::focusWidget(), w->cbServerName);

    // Recording goes on after a clear.
    RunTest(QStringLiteral("127.0.0.1"));
    QCOMPARE(w->grdResults->model()->rowCount(), 1);
    QVERIFY(w->StatusPane1->PanelText(1).endsWith(QStringLiteral("for 1 tests.")));
}

void tst_MainWindow::escCancels_data()
{
    QTest::addColumn<bool>("web");
    QTest::newRow("server stream") << false;
    QTest::newRow("web page") << true;
}

void tst_MainWindow::escCancels()
{
    QFETCH(bool, web);
    LoopbackServer server(web ? LoopbackServer::Mode::HttpHold : LoopbackServer::Mode::Hold, QByteArray(65536, 'h'));
    TfMain* w = OpenWindow();
    const QString target = HeldTestTarget(web, server.Port());
    // Esc once data flows (the server-stream test logs it; the web test once connected).
    EscWhenLogged(web ? QStringLiteral("Initiating") : QStringLiteral("Receiving data"));
    RunTest(target);

    const QStringList log = Log();
    QCOMPARE(log.last(), QStringLiteral("Test cancelled"));
    QVERIFY(log.filter(QStringLiteral("not valid")).isEmpty());
    QVERIFY(log.filter(QStringLiteral("ERROR")).isEmpty());
    QCOMPARE(w->grdResults->model()->rowCount(), 0);
    QCOMPARE(w->DBChart1->PointCount(), 0);
    QCOMPARE(w->Krvn->AccumulatedTestCount(), 0);
    QVERIFY(w->btnConnect->isEnabled());
    QVERIFY(!w->TestRunning());
}

void tst_MainWindow::closeDuringTestCancelsIt_data()
{
    QTest::addColumn<bool>("web");
    QTest::newRow("server stream") << false;
    QTest::newRow("web page") << true;
}

void tst_MainWindow::closeDuringTestCancelsIt()
{
    // A test against a server that never finishes must not keep a closed, invisible
    // program running (it would also hold the one-copy lock).
    QFETCH(bool, web);
    LoopbackServer server(web ? LoopbackServer::Mode::HttpHold : LoopbackServer::Mode::Hold, QByteArray(65536, 'h'));
    TfMain* w = OpenWindow();
    const QString target = HeldTestTarget(web, server.Port());

    const bool quitOnClose = QApplication::quitOnLastWindowClosed();
    QApplication::setQuitOnLastWindowClosed(false);
    bool closedWhileRunning = false;
    bool rescued = false;
    auto* timer = new QTimer(w);
    timer->setInterval(10);
    int step = 0;
    QElapsedTimer sinceClose;
    connect(timer, &QTimer::timeout, timer, [&] {
        const QString trigger = web ? QStringLiteral("Initiating") : QStringLiteral("Receiving data");
        if (step == 0 && !Log().filter(trigger).isEmpty()) {
            step = 1;
            closedWhileRunning = w->TestRunning();
            w->Exit1->trigger();
            sinceClose.start();
        } else if (step == 1 && w->TestRunning() && sinceClose.elapsed() > 5000) {
            // Not ended by the close: end it here so the test can report the failure.
            step = 2;
            rescued = true;
            w->CancelTestClick();
        }
    });
    timer->start();
    RunTest(target);
    timer->stop();
    QApplication::setQuitOnLastWindowClosed(quitOnClose);

    QVERIFY(closedWhileRunning);
    QVERIFY(!rescued);
    QVERIFY(!w->isVisible());
    QVERIFY(!w->TestRunning());
    QCOMPARE(Log().last(), QStringLiteral("Test cancelled"));
    QCOMPARE(w->grdResults->model()->rowCount(), 0);
    QCOMPARE(w->Krvn->AccumulatedTestCount(), 0);
}

void tst_MainWindow::errorDuringTestAndSecondConnect()
{
    LoopbackServer server(LoopbackServer::Mode::Hold, QByteArray(1024, 'h'));
    TfMain* w = OpenWindow();
    UseServerMode(server.Port());

    // While the first test waits: a failing command re-enables the inputs, a second
    // Connect is turned away, then Esc ends the first test.
    bool sawEnabled = false;
    auto* timer = new QTimer(w);
    timer->setInterval(10);
    int step = 0;
    connect(timer, &QTimer::timeout, timer, [&] {
        if (step == 0 && !Log().filter(QStringLiteral("Receiving data")).isEmpty()) {
            step = 1;
            handleApplicationException(Exception(QStringLiteral("Printer on fire")));
            sawEnabled = w->btnConnect->isEnabled() && w->cbServerName->isEnabled();
            QTest::mouseClick(w->btnConnect, Qt::LeftButton);
        } else if (step == 1) {
            step = 2;
            timer->stop();
            QTest::keyClick(w, Qt::Key_Escape);
        }
    });
    timer->start();
    RunTest(QStringLiteral("127.0.0.1"));

    const QStringList log = Log();
    QVERIFY(sawEnabled);
    QVERIFY(log.contains(QStringLiteral("ERROR - Printer on fire")));
    QCOMPARE(log.filter(QStringLiteral("Initiating Test")).size(), 1);
    QCOMPARE(log.filter(QStringLiteral("already running")).size(), 1);
    QCOMPARE(log.last(), QStringLiteral("Test cancelled"));
    QCOMPARE(server.Accepted(), 1);
}

void tst_MainWindow::fieldChangedDuringTestKeepsTestedTarget_data()
{
    QTest::addColumn<bool>("clearStats");
    QTest::newRow("typed over") << false;
    QTest::newRow("Clear Stats") << true;
}

void tst_MainWindow::fieldChangedDuringTestKeepsTestedTarget()
{
    // An error re-enables the inputs while a test runs; whatever the user then does to
    // the field, the result belongs to the target that was tested.
    QFETCH(bool, clearStats);
    LoopbackServer server(LoopbackServer::Mode::StreamSlowly, QByteArray(256 * 1024, 's'));
    TfMain* w = OpenWindow();
    UseServerMode(server.Port());
    bool changed = false;
    auto* timer = new QTimer(w);
    timer->setInterval(10);
    connect(timer, &QTimer::timeout, timer, [&] {
        if (Log().filter(QStringLiteral("Receiving data")).isEmpty())
            return;
        timer->stop();
        handleApplicationException(Exception(QStringLiteral("Printer on fire")));
        if (clearStats) {
            QTest::mouseClick(w->btnGrph, Qt::LeftButton);
        } else {
            w->cbServerName->selectAll();
            QTest::keyClicks(w->cbServerName, QStringLiteral("other.example"));
        }
        changed = w->TestRunning();
    });
    timer->start();
    RunTest(QStringLiteral("127.0.0.1"));

    QVERIFY(changed);
    QCOMPARE(Log().last(), QStringLiteral("Test finished"));
    QCOMPARE(w->grdResults->model()->rowCount(), 1);
    QCOMPARE(dmDiskStorage->cdsKorvaneResults()->Row(0).Server, QStringLiteral("127.0.0.1"));
    QCOMPARE(w->acServerHistory->Strings(), QStringList{QStringLiteral("127.0.0.1")});
}

void tst_MainWindow::exceptionFromEventIsLogged()
{
    TfMain* w = OpenWindow();
    w->btnConnect->setEnabled(false);
    ThrowingObject thrower;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    QCOMPARE(Log(), QStringList{QStringLiteral("ERROR - Printer on fire")});
    QVERIFY(w->btnConnect->isEnabled());
}

void tst_MainWindow::speedMaximumFollowsTests()
{
    LoopbackServer server(LoopbackServer::Mode::Stream, QByteArray(2 * 1024 * 1024, 's'));
    TfMain* w = OpenWindow();
    UseServerMode(server.Port());
    RunTest(QStringLiteral("127.0.0.1"));
    const double rate = w->Krvn->TransferRateSec();
    QCOMPARE(w->grdResults->SpeedMaximum(), int(std::nearbyint(rate)));

    // A slower result never lowers it.
    w->grdResults->SetSpeedMaximum(int(rate) * 1000 + 7);
    w->cbServerName->clear();
    RunTest(QStringLiteral("127.0.0.1"));
    QCOMPARE(w->grdResults->SpeedMaximum(), int(rate) * 1000 + 7);
    QCOMPARE(w->DBChart1->PointCount(), 2);
    QVERIFY(w->StatusPane1->PanelText(1).endsWith(QStringLiteral("for 2 tests.")));
    QCOMPARE(w->acServerHistory->Strings(), QStringList{QStringLiteral("127.0.0.1")});
}

void tst_MainWindow::exitCloses()
{
    TfMain* w = OpenWindow();
    QVERIFY(w->isVisible());
    w->Exit1->trigger();
    QVERIFY(!w->isVisible());
}

KORVANE_UI_TEST_MAIN(tst_MainWindow)
#include "tst_MainWindow.moc"
