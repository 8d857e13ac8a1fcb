#include "UiTestMain.h"

#include "AppIniFileStorage.h"
#include "ResultsTable.h"
#include "TLiveRateGraph.h"
#include "TKorvane.h"
#include "TLogPane.h"
#include "TResultsGrid.h"
#include "TSessionTestRunner.h"
#include "TStatusPane.h"
#include "TTestOptionsDialog.h"

#include <QComboBox>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

// The window's Test > Options and the session tests they turn on, against korvane-server.
class tst_SessionTests : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void optionsDialogKeepsOrDropsTheChoices_data();
    void optionsDialogKeepsOrDropsTheChoices();
    void optionsAreStoredInTheirOwnSection();
    void sessionGivesOneRowPerDirection_data();
    void sessionGivesOneRowPerDirection();
    void escCancelsASession();
    void streamTestNamesTheAddress_data();
    void streamTestNamesTheAddress();

private:
    TfMain* RunFromWindow(const TTestOptions& options);
    QString SettingsFile() const { return FHome->filePath(QStringLiteral("data/Korvane/KrvnClnt.ini")); }

    std::unique_ptr<QTemporaryDir> FHome;
    std::unique_ptr<TfMain> FWindow;
    QProcess FServer;
    quint16 FSessionPort = 0;
};

void tst_SessionTests::initTestCase()
{
    const QString serverPath = qEnvironmentVariable("KORVANE_BIN_DIR") + QStringLiteral("/korvane-server");
    QVERIFY2(QFileInfo(serverPath).isExecutable(), qPrintable(serverPath));
    FServer.start(serverPath, {"--listen", "127.0.0.1", "--port", "0", "--session-port", "0"});
    QVERIFY(FServer.waitForStarted());
    QString announced;
    static const QRegularExpression sessions(QStringLiteral("sessions on 127\\.0\\.0\\.1:(\\d+)"));
    QRegularExpressionMatch m;
    QTRY_VERIFY_WITH_TIMEOUT((announced += QString::fromUtf8(FServer.readAllStandardError()),
                              (m = sessions.match(announced)).hasMatch()),
                             10000);
    FSessionPort = m.captured(1).toUShort();
}

void tst_SessionTests::cleanupTestCase()
{
    FServer.kill();
    FServer.waitForFinished();
}

void tst_SessionTests::init()
{
    FHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", FHome->filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", FHome->filePath(QStringLiteral("config")).toUtf8());
}

void tst_SessionTests::cleanup()
{
    FWindow.reset();
    FHome.reset();
}

void tst_SessionTests::optionsDialogKeepsOrDropsTheChoices_data()
{
    QTest::addColumn<bool>("accept");
    QTest::newRow("OK keeps them") << true;
    QTest::newRow("Cancel drops them") << false;
}

void tst_SessionTests::optionsDialogKeepsOrDropsTheChoices()
{
    QFETCH(bool, accept);
    TfMain* w = ShowMainWindow(FWindow);
    QVERIFY(!w->TestOptions.UsesSession());
    // The dialog is modal: it is filled in from a timer once it shows.
    QTimer::singleShot(0, w, [accept] {
        auto* dialog = qobject_cast<TTestOptionsDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        dialog->cbDirection->setCurrentIndex(TTestOptions::Both);
        dialog->seStreams->setValue(16);
        dialog->seSeconds->setValue(3);
        dialog->seSessionPort->setValue(9000);
        dialog->cbAllowHttps->setChecked(true);
        dialog->cbIpVersion->setCurrentIndex(int(TIpVersion::IPv6Only));
        auto* buttons = dialog->findChild<QDialogButtonBox*>();
        buttons->button(accept ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    });
    w->TestOptions1->trigger();
    TTestOptions expected = accept ? TTestOptions{TTestOptions::Both, 16, 3, 9000} : TTestOptions();
    expected.AllowHttps = accept;
    expected.IpVersion = accept ? TIpVersion::IPv6Only : TIpVersion::Automatic;
    QVERIFY(w->TestOptions == expected);
}

void tst_SessionTests::optionsAreStoredInTheirOwnSection()
{
    // Never changed: the settings file gains nothing.
    ShowMainWindow(FWindow);
    FWindow.reset();
    QFile first(SettingsFile());
    QVERIFY(first.open(QIODevice::ReadOnly));
    QVERIFY(!first.readAll().contains("TestOptions"));
    first.close();

    TfMain* w = ShowMainWindow(FWindow);
    w->TestOptions = TTestOptions{TTestOptions::Upload, 8, 5, 8090};
    FWindow.reset();
    QFile second(SettingsFile());
    QVERIFY(second.open(QIODevice::ReadOnly));
    const QByteArray text = second.readAll();
    QVERIFY2(text.contains("[TestOptions]"), text.constData());
    QVERIFY(text.contains("Direction=upload"));
    QVERIFY(text.contains("Streams=8"));

    w = ShowMainWindow(FWindow);
    QVERIFY(w->TestOptions == (TTestOptions{TTestOptions::Upload, 8, 5, 8090}));
    // Back to the defaults: the section stays and says so, rather than keeping old choices.
    w->TestOptions = TTestOptions();
    FWindow.reset();
    w = ShowMainWindow(FWindow);
    QVERIFY(w->TestOptions == TTestOptions());
    QVERIFY(!w->TestOptions.UsesSession());

    // https alone is a choice worth keeping, and it never makes a stream test a session.
    w->TestOptions.AllowHttps = true;
    FWindow.reset();
    w = ShowMainWindow(FWindow);
    QVERIFY(w->TestOptions.AllowHttps);
    QVERIFY(!w->TestOptions.UsesSession());

    // So is a family, kept by name.
    w->TestOptions.IpVersion = TIpVersion::IPv4Only;
    FWindow.reset();
    QFile third(SettingsFile());
    QVERIFY(third.open(QIODevice::ReadOnly));
    QVERIFY(third.readAll().contains("IpVersion=ipv4"));
    w = ShowMainWindow(FWindow);
    QVERIFY(w->TestOptions.IpVersion == TIpVersion::IPv4Only);
    QVERIFY(!w->TestOptions.UsesSession());
}

void tst_SessionTests::streamTestNamesTheAddress_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("target"); // {P}: the server's stream port
    QTest::addColumn<QString>("address"); // empty: no line for it
    QTest::addColumn<QString>("cellShape"); // what the Server cell adds to the target

    // A numeric target is named in the log already.
    QTest::newRow("IPv6 in brackets") << "::1" << "[::1]:{P}" << "" << " (download, 1 stream, ipv6)";
    // An IPv4 row is stored as rows always were.
    QTest::newRow("a name over IPv4") << "127.0.0.1" << "localhost:{P}" << "127.0.0.1" << "";
}

void tst_SessionTests::streamTestNamesTheAddress()
{
    QFETCH(QString, listen);
    QFETCH(QString, target);
    QFETCH(QString, address);
    QFETCH(QString, cellShape);

    QProcess server;
    server.start(qEnvironmentVariable("KORVANE_BIN_DIR") + QStringLiteral("/korvane-server"),
                 {"--listen", listen, "--port", "0", "--session-port", "0", "--bytes", "100000"});
    QVERIFY(server.waitForStarted());
    static const QRegularExpression listening(QStringLiteral("listening on \\S+:(\\d+)"));
    QString announced;
    QRegularExpressionMatch m;
    QTRY_VERIFY_WITH_TIMEOUT((announced += QString::fromUtf8(server.readAllStandardError()),
                              (m = listening.match(announced)).hasMatch()),
                             10000);
    const QString port = m.captured(1);
    target.replace(QStringLiteral("{P}"), port);

    TfMain* w = ShowMainWindow(FWindow);
    QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    w->cbServerName->setText(target);
    w->btnConnectClick();
    server.kill();
    server.waitForFinished();

    const QStringList log = w->mmDIsplay->Lines();
    const QString all = log.join(QLatin1Char('\n'));
    if (address.isEmpty()) {
        QVERIFY2(log.last().endsWith(QStringLiteral(" - Test finished")), qPrintable(all));
    } else {
        QVERIFY2(log.size() >= 2 && log[log.size() - 2].endsWith(QStringLiteral(" - Test finished")), qPrintable(all));
        QVERIFY2(log.last().endsWith(QStringLiteral(" - Connected to %1 port %2.").arg(address, port)),
                 qPrintable(all));
    }
    QCOMPARE(w->grdResults->model()->rowCount(), 1);
    QCOMPARE(w->grdResults->model()->index(0, 0).data().toString(), target + cellShape);
}

TfMain* tst_SessionTests::RunFromWindow(const TTestOptions& options)
{
    TfMain* w = ShowMainWindow(FWindow);
    w->TestOptions = options;
    QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    w->cbServerName->setFocus();
    QTest::keyClicks(w->cbServerName, QStringLiteral("127.0.0.1"));
    QTest::keyClick(w->cbServerName, Qt::Key_Return);
    return w;
}

void tst_SessionTests::sessionGivesOneRowPerDirection_data()
{
    QTest::addColumn<int>("direction");
    QTest::addColumn<int>("streams");
    QTest::addColumn<QStringList>("directions");
    QTest::newRow("download, 4 streams") << int(TTestOptions::Download) << 4 << QStringList{"download"};
    QTest::newRow("upload, 1 stream") << int(TTestOptions::Upload) << 1 << QStringList{"upload"};
    QTest::newRow("both, 2 streams") << int(TTestOptions::Both) << 2 << QStringList{"download", "upload"};
}

void tst_SessionTests::sessionGivesOneRowPerDirection()
{
    QFETCH(int, direction);
    QFETCH(int, streams);
    QFETCH(QStringList, directions);
    TfMain* w = RunFromWindow(TTestOptions(TTestOptions::TDirection(direction), streams, 1, FSessionPort));
    QVERIFY(!w->TestRunning());

    const QStringList log = w->mmDIsplay->Lines();
    const QString all = log.join(QLatin1Char('\n'));
    QVERIFY2(all.contains(QStringLiteral(" - Session finished")), qPrintable(all));
    QVERIFY2(log.last().endsWith(QStringLiteral(" - Test finished")), qPrintable(all));
    QVERIFY(!all.contains(QStringLiteral("not valid")));

    QCOMPARE(w->grdResults->model()->rowCount(), directions.size());
    for (int i = 0; i < directions.size(); ++i) {
        const QString cell = w->grdResults->model()->index(i, 0).data().toString();
        // The row also names what limited it, which depends on the machine.
        const QString shape = QStringLiteral("127.0.0.1 (%1, %2 stream%3, ipv4, limited by ")
                                  .arg(directions[i]).arg(streams).arg(streams == 1 ? "" : "s");
        QVERIFY2(cell.startsWith(shape) && cell.endsWith(u')'), qPrintable(cell));
        QVERIFY(w->grdResults->model()->index(i, 4).data(Qt::EditRole).toDouble() > 0);
    }
    QCOMPARE(w->Krvn->AccumulatedTestCount(), directions.size());
    QVERIFY(w->StatusPane1->PanelText(1).contains(QStringLiteral("for %1 tests").arg(directions.size())));
    QVERIFY(w->LiveRateGraph1->Samples().size() >= 2);
    QVERIFY(!w->LiveRateGraph1->Running());
}

void tst_SessionTests::escCancelsASession()
{
    TfMain* w = ShowMainWindow(FWindow);
    w->TestOptions = TTestOptions{TTestOptions::Download, 4, 30, FSessionPort};
    QTimer look;
    look.setInterval(50);
    connect(&look, &QTimer::timeout, w, [w] {
        if (w->TestRunning() && w->LiveRateGraph1->Samples().size() >= 2)
            QTest::keyClick(w, Qt::Key_Escape);
    });
    look.start();
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    w->cbServerName->setText(QStringLiteral("127.0.0.1"));
    w->btnConnectClick();
    look.stop();
    QVERIFY2(clock.elapsed() < 20000, "the cancel did not end the session");
    QVERIFY(!w->TestRunning());
    QCOMPARE(w->grdResults->model()->rowCount(), 0);
    QVERIFY(w->mmDIsplay->Lines().last().endsWith(QStringLiteral(" - Test cancelled")));
    QVERIFY(w->btnConnect->isEnabled());
}

KORVANE_UI_TEST_MAIN(tst_SessionTests)
#include "tst_SessionTests.moc"
