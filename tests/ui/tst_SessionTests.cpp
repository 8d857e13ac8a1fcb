#include "tests/ui/ServerWindowFixture.h"
#include "tests/ui/UiTestMain.h"

#include "settings/AppIniFileStorage.h"
#include "storage/DiskStorage.h"
#include "storage/ResultsTable.h"
#include "ui/TLiveRateGraph.h"
#include "engine/stream/TKorvane.h"
#include "ui/TLogPane.h"
#include "ui/TPortSpinEdit.h"
#include "ui/TResultsGrid.h"
#include "engine/run/TestPlan.h"
#include "ui/TStatusPane.h"
#include "ui/TTestOptionsDialog.h"

#include <QComboBox>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
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
    void optionsDialogShowsEveryWordWhole();
    void optionsAreStoredInTheirOwnSection();
    void secretAndWindowAreKeptOnceChosen();
    void unreadableSecretFileStopsTheSession();
    void sessionGivesOneRowPerDirection_data();
    void sessionGivesOneRowPerDirection();
    void escCancelsASession();
    void streamTestNamesTheAddress_data();
    void streamTestNamesTheAddress();
    void streamTestGetsLatencyOnlyWhenAsked_data();
    void streamTestGetsLatencyOnlyWhenAsked();
    void escDuringIdleProbesCancelsTheTest_data();
    void escDuringIdleProbesCancelsTheTest();
    void probesGoWhereTheyStartNoStream_data();
    void probesGoWhereTheyStartNoStream();

private:
    TfMain* RunFromWindow(const TTestOptions& options);
    QString SettingsFile() const { return FFixture.HomeFile(QStringLiteral("data/Korvane/KrvnClnt.ini")); }

    ServerWindowFixture FFixture;
    std::unique_ptr<TfMain> FWindow;
    quint16 FSessionPort = 0;
    quint16 FStreamPort = 0;
};

void tst_SessionTests::initTestCase()
{
    FFixture.StartServer({"--session-port", "0"}, QStringLiteral("sessions"));
    FSessionPort = FFixture.AnnouncedPort(QStringLiteral("sessions"));
    FStreamPort = FFixture.AnnouncedPort(QStringLiteral("listening"));
    QVERIFY2(FStreamPort != 0, qPrintable(FFixture.Announced()));
}

void tst_SessionTests::cleanupTestCase()
{
    FFixture.StopServer();
}

void tst_SessionTests::init()
{
    FFixture.NewHome();
}

void tst_SessionTests::cleanup()
{
    FWindow.reset();
    FFixture.DropHome();
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
        // Beside the other tests only while latency is measured at all.
        QVERIFY(dialog->cbLatencyAllTests->isEnabled());
        dialog->cbLatency->setChecked(false);
        QVERIFY(!dialog->cbLatencyAllTests->isEnabled());
        dialog->cbLatency->setChecked(true);
        dialog->cbLatencyAllTests->setChecked(true);
        auto* buttons = dialog->findChild<QDialogButtonBox*>();
        buttons->button(accept ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    });
    w->TestOptions1->trigger();
    TTestOptions expected = accept ? TTestOptions{TTestOptions::Both, 16, 3, 9000} : TTestOptions();
    expected.AllowHttps = accept;
    expected.IpVersion = accept ? TIpVersion::IPv6Only : TIpVersion::Automatic;
    expected.LatencyAllTests = accept;
    QVERIFY(w->TestOptions == expected);
}

// Each choice and note of the dialog is readable whole at the size it opens with.
void tst_SessionTests::optionsDialogShowsEveryWordWhole()
{
    TTestOptionsDialog dialog(TTestOptions{});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    if (const QByteArray dir = qgetenv("KORVANE_SCREENSHOT_DIR"); !dir.isEmpty())
        dialog.grab().save(QString::fromLocal8Bit(dir) + QStringLiteral("/options-dialog.png"));
    const QList<QLabel*> labels = dialog.findChildren<QLabel*>();
    QVERIFY(labels.size() >= 8);
    for (const QLabel* label : labels) {
        if (!label->isVisible())
            continue;
        const QString what = label->text();
        if (label->wordWrap())
            QVERIFY2(label->height() >= label->heightForWidth(label->width()), qPrintable(what));
        else
            QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(what));
    }
    for (const QAbstractButton* box : dialog.findChildren<QCheckBox*>())
        QVERIFY2(box->width() >= box->sizeHint().width(), qPrintable(box->text()));
    // No field squeezed below the height its text needs.
    for (const QWidget* field : dialog.findChildren<QWidget*>())
        if (field->isVisible() && !field->objectName().startsWith(QLatin1String("qt_"))
            && (qobject_cast<const QAbstractSpinBox*>(field) || qobject_cast<const QComboBox*>(field)
                || qobject_cast<const QLineEdit*>(field)))
            QVERIFY2(field->height() >= field->minimumSizeHint().height(), qPrintable(field->objectName()));
    // Every test the choices change is named where they are.
    QStringList groups;
    for (const QGroupBox* group : dialog.findChildren<QGroupBox*>())
        groups << group->title();
    QCOMPARE(groups, (QStringList{"Korvane server tests", "Latency", "Web page tests", "Every test"}));
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

void tst_SessionTests::secretAndWindowAreKeptOnceChosen()
{
    // Other choices alone: the file gains no key for them.
    TfMain* w = ShowMainWindow(FWindow);
    w->TestOptions = TTestOptions{TTestOptions::Upload, 2, 5, 8090};
    FWindow.reset();
    QFile plain(SettingsFile());
    QVERIFY(plain.open(QIODevice::ReadOnly));
    const QByteArray before = plain.readAll();
    QVERIFY(!before.contains("SecretFile") && !before.contains("Window="));
    plain.close();

    // Chosen in the dialog, kept, and each makes a server test a session.
    w = ShowMainWindow(FWindow);
    w->TestOptions = TTestOptions();
    QTimer::singleShot(0, w, [] {
        auto* dialog = qobject_cast<TTestOptionsDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        dialog->edSecretFile->setText(QStringLiteral("  /etc/korvane/secret  "));
        dialog->seWindow->setValue(256);
        dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    w->TestOptions1->trigger();
    QCOMPARE(w->TestOptions.SecretFile, QStringLiteral("/etc/korvane/secret"));
    QCOMPARE(w->TestOptions.WindowKiB, 256);
    QVERIFY(w->TestOptions.UsesSession());
    FWindow.reset();
    w = ShowMainWindow(FWindow);
    QCOMPARE(w->TestOptions.SecretFile, QStringLiteral("/etc/korvane/secret"));
    QCOMPARE(w->TestOptions.WindowKiB, 256);

    // Cleared again: the keys say so, rather than bringing the old choice back.
    w->TestOptions.SecretFile.clear();
    w->TestOptions.WindowKiB = 0;
    FWindow.reset();
    w = ShowMainWindow(FWindow);
    QVERIFY(w->TestOptions.SecretFile.isEmpty());
    QCOMPARE(w->TestOptions.WindowKiB, 0);
    QVERIFY(!w->TestOptions.UsesSession());
}

void tst_SessionTests::unreadableSecretFileStopsTheSession()
{
    TTestOptions options;
    options.SecretFile = FFixture.HomeFile(QStringLiteral("no-such-secret"));
    TfMain* w = RunFromWindow(options);
    QVERIFY(!w->TestRunning());
    const QStringList log = w->mmDIsplay->Lines();
    QVERIFY2(log.last().contains(QStringLiteral("ERROR - Korvane can not start the session: cannot read the secret file ")),
             qPrintable(log.join(u'\n')));
    QVERIFY(!log.join(u'\n').contains(QStringLiteral("Connecting")));
    QCOMPARE(w->grdResults->model()->rowCount(), 0);
    QVERIFY(w->btnConnect->isEnabled());
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
    QTest::addColumn<bool>("latency");
    QTest::newRow("download, 4 streams") << int(TTestOptions::Download) << 4 << QStringList{"download"} << true;
    QTest::newRow("upload, 1 stream") << int(TTestOptions::Upload) << 1 << QStringList{"upload"} << true;
    QTest::newRow("both, 2 streams") << int(TTestOptions::Both) << 2 << QStringList{"download", "upload"} << true;
    QTest::newRow("both, no latency") << int(TTestOptions::Both) << 1 << QStringList{"download", "upload"} << false;
}

void tst_SessionTests::sessionGivesOneRowPerDirection()
{
    QFETCH(int, direction);
    QFETCH(int, streams);
    QFETCH(QStringList, directions);
    QFETCH(bool, latency);
    TTestOptions options(TTestOptions::TDirection(direction), streams, 1, FSessionPort);
    options.Latency = latency;
    TfMain* w = RunFromWindow(options);
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

    // One curve per direction, the latency beside them, and each row with its figures.
    QCOMPARE(w->LiveRateGraph1->CurveNames(), directions);
    QCOMPARE(w->LiveRateGraph1->ShowsLatency(), latency);
    QCOMPARE(!w->LiveRateGraph1->LatencySamples().isEmpty(), latency);
    const QVector<TResultRow>& rows = dmDiskStorage->cdsKorvaneResults()->Rows();
    QCOMPARE(rows.size(), directions.size());
    for (const TResultRow& row : rows) {
        QCOMPARE(row.HasLatency(), latency);
        if (latency) {
            // What the grade is depends on the machine; that there is one does not.
            QVERIFY2(TResultRow::IsGrade(row.Grade), qPrintable(row.Grade));
            QVERIFY(row.IdleLatencyMs >= 0 && row.LoadedLatencyMs >= 0 && row.LoadedLatencyP90Ms >= row.LoadedLatencyMs);
            QVERIFY(row.Rpm > 0);
            QVERIFY(row.LostProbes >= 0);
        }
    }
    // After the test the graph's title shows the results, not the last interval.
    const QString figures = w->LiveRateGraph1->Figures();
    for (const QString& d : std::as_const(directions))
        QVERIFY2(directions.size() == 1 || figures.contains(d + u' '), qPrintable(figures));
    const QRegularExpression latencyFigures(directions.size() == 1 ? QStringLiteral("loaded latency [\\d.]+ ms")
                                                                           : QStringLiteral("B/s \\([\\d.]+ ms"));
    QCOMPARE(latencyFigures.match(figures).hasMatch(), latency);
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

void tst_SessionTests::streamTestGetsLatencyOnlyWhenAsked_data()
{
    QTest::addColumn<bool>("latency");
    QTest::addColumn<bool>("allTests");
    QTest::newRow("defaults: sessions only") << true << false;
    QTest::newRow("asked for every test") << true << true;
    QTest::newRow("latency off") << false << true;
}

// The plain stream test keeps its log and row unless the user asked for latency beside every
// test; then the figures follow the test's own lines, in its row and on the graph.
void tst_SessionTests::streamTestGetsLatencyOnlyWhenAsked()
{
    QFETCH(bool, latency);
    QFETCH(bool, allTests);
    TfMain* w = ShowMainWindow(FWindow);
    w->TestOptions.Latency = latency;
    w->TestOptions.LatencyAllTests = allTests;
    w->TestOptions.SessionPort = FSessionPort;
    QVERIFY(!w->TestOptions.UsesSession());
    QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    w->sePort->setValue(FStreamPort);
    w->cbServerName->setText(QStringLiteral("127.0.0.1"));
    w->btnConnectClick();
    QVERIFY(!w->TestRunning());

    const bool measured = latency && allTests;
    const QStringList log = w->mmDIsplay->Lines();
    const QString all = log.join(QLatin1Char('\n'));
    int finished = -1;
    for (int i = 0; i < log.size(); ++i)
        if (log.at(i).endsWith(QStringLiteral(" - Test finished")))
            finished = i;
    QVERIFY2(finished > 0, qPrintable(all));
    QVERIFY(log.at(finished - 1).endsWith(QStringLiteral(" KB per second")));
    // Nothing of the probes before or between the test's own lines.
    for (int i = 0; i < finished; ++i)
        QVERIFY2(!log.at(i).contains(QStringLiteral("atency")), qPrintable(all));
    if (measured) {
        QVERIFY2(log.size() > finished + 1 && log.at(finished + 1).contains(QStringLiteral(" - Idle latency ")), qPrintable(all));
        QVERIFY2(all.contains(QStringLiteral("bufferbloat grade")), qPrintable(all));
    } else {
        QCOMPARE(finished, log.size() - 1);
    }
    const QVector<TResultRow>& rows = dmDiskStorage->cdsKorvaneResults()->Rows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().HasLatency(), measured);
    QVERIFY(!rows.first().HasTestShape());
    if (measured) {
        // A stream over in a few probe intervals has too few loaded probes for a grade: the
        // log then says so, and the row has none.
        const bool graded = !all.contains(QStringLiteral("No bufferbloat grade: not enough probes"));
        QCOMPARE(TResultRow::IsGrade(rows.first().Grade), graded);
    }
    QCOMPARE(w->LiveRateGraph1->ShowsLatency(), measured);
    QCOMPARE(w->LiveRateGraph1->Figures().contains(QStringLiteral("latency")), measured);
}

void tst_SessionTests::escDuringIdleProbesCancelsTheTest_data()
{
    QTest::addColumn<bool>("session");
    QTest::newRow("stream test") << false;
    // Against a host that does not answer the probes, the idle phase could last 20 s.
    QTest::newRow("session") << true;
}

void tst_SessionTests::escDuringIdleProbesCancelsTheTest()
{
    QFETCH(bool, session);
    TfMain* w = ShowMainWindow(FWindow);
    w->TestOptions.LatencyAllTests = true;
    if (session)
        w->TestOptions.Direction = TTestOptions::Upload;
    w->TestOptions.SessionPort = FSessionPort;
    QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    w->sePort->setValue(FStreamPort);
    w->cbServerName->setText(QStringLiteral("127.0.0.1"));
    // The first thing the test waits for is the idle probes.
    QTimer::singleShot(0, w, [w] { QTest::keyClick(w, Qt::Key_Escape); });
    w->btnConnectClick();
    QVERIFY(!w->TestRunning());
    const QStringList log = w->mmDIsplay->Lines();
    QVERIFY2(log.last().endsWith(QStringLiteral(" - Test cancelled")), qPrintable(log.join(u'\n')));
    QVERIFY(!log.join(u'\n').contains(QStringLiteral("timer started")));
    QVERIFY2(!log.join(u'\n').contains(QStringLiteral("Connecting to")), qPrintable(log.join(u'\n')));
    QCOMPARE(w->grdResults->model()->rowCount(), 0);
    QVERIFY(w->btnConnect->isEnabled());
}

void tst_SessionTests::probesGoWhereTheyStartNoStream_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("web");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    // A Korvane server: its session port, never the stream port, where a connection starts a stream.
    QTest::newRow("korvane server") << "speed.example.net" << false << true << "speed.example.net" << 9000;
    QTest::newRow("web page, default port") << "http://example.org/big.html" << true << true << "example.org" << 80;
    QTest::newRow("https page, default port") << "https://example.org/" << true << true << "example.org" << 443;
    QTest::newRow("web page, own port") << "http://example.org:8080/a?b=1" << true << true << "example.org" << 8080;
    QTest::newRow("IPv6 literal") << "http://[::1]:8081/" << true << true << "::1" << 8081;
    QTest::newRow("no server named") << "  " << false << false << QString() << 0;
    QTest::newRow("no host in the address") << "http://" << true << false << QString() << 0;
}

void tst_SessionTests::probesGoWhereTheyStartNoStream()
{
    QFETCH(QString, target);
    QFETCH(bool, web);
    QFETCH(bool, ok);
    QFETCH(QString, host);
    QFETCH(int, port);
    QString gotHost;
    int gotPort = 0;
    QCOMPARE(TTestPlan::ProbeTarget(target, web, 9000, gotHost, gotPort), ok);
    if (ok) {
        QCOMPARE(gotHost, host);
        QCOMPARE(gotPort, port);
    }
}

KORVANE_UI_TEST_MAIN(tst_SessionTests)
#include "tst_SessionTests.moc"
