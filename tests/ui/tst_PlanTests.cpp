#include "tests/ui/ServerWindowFixture.h"
#include "tests/ui/UiTestMain.h"

#include "storage/DiskStorage.h"
#include "storage/ResultsTable.h"
#include "ui/TDesktopNotice.h"
#include "ui/TLogPane.h"
#include "ui/TPlanDialog.h"
#include "ui/TPortSpinEdit.h"
#include "ui/TResultsGrid.h"
#include "ui/TTestController.h"

#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

namespace {

// Stands in for the desktop's notification service on the test's own bus, and keeps what it
// was asked to show.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct TNotice
    {
        QString App, Icon, Summary, Body;
    };
    QList<TNotice> Shown;

public slots:
    uint Notify(const QString& app, uint, const QString& icon, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int)
    {
        Shown.append({app, icon, summary, body});
        return uint(Shown.size());
    }
};

} // namespace

// Plans per target in the window: the dialog, what the settings file keeps, rows measured
// against a plan, and the desktop notice when results keep falling short.
class tst_PlanTests : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void dialogRefusesWhatIsNoPlan();
    void plansAreKeptOnceChosen();
    void slowResultsRecordTheirShareAndNoticeOnce();
    void noticeWithoutAServiceIsALogLine();

private:
    void ChoosePlan(TfMain* w, const QStringList& typed, int sharePercent, bool notify);
    void RunStreamTest(TfMain* w);
    QString SettingsFile() const { return FFixture.HomeFile(QStringLiteral("data/Korvane/KrvnClnt.ini")); }

    ServerWindowFixture FFixture;
    std::unique_ptr<TfMain> FWindow;
    quint16 FStreamPort = 0;
    QProcess FBus;
    QString FBusAddress;
};

void tst_PlanTests::initTestCase()
{
    FFixture.StartServer({"--bytes", "2000000"}, QStringLiteral("listening"));
    FStreamPort = FFixture.AnnouncedPort(QStringLiteral("listening"));
    QVERIFY(FStreamPort != 0);
    // A session bus of the test's own: the desktop's is never touched.
    FBus.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address"});
    QVERIFY2(FBus.waitForStarted(), "dbus-daemon (package dbus-daemon) is needed");
    QTRY_VERIFY_WITH_TIMEOUT(FBus.canReadLine(), 10000);
    FBusAddress = QString::fromUtf8(FBus.readLine()).trimmed();
    QVERIFY(FBusAddress.startsWith(QStringLiteral("unix:")));
    qputenv("DBUS_SESSION_BUS_ADDRESS", FBusAddress.toUtf8());
}

void tst_PlanTests::cleanupTestCase()
{
    FFixture.StopServer();
    FBus.terminate();
    FBus.waitForFinished();
}

void tst_PlanTests::init()
{
    FFixture.NewHome();
}

void tst_PlanTests::cleanup()
{
    FWindow.reset();
    FFixture.DropHome();
}

// Fills Test > Plan... with each text in turn, pressing OK after each.
void tst_PlanTests::ChoosePlan(TfMain* w, const QStringList& typed, int sharePercent, bool notify)
{
    QTimer::singleShot(0, w, [=] {
        auto* dialog = qobject_cast<TPlanDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        dialog->seShare->setValue(sharePercent);
        dialog->cbNotify->setChecked(notify);
        auto* ok = dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        for (const QString& text : typed) {
            dialog->edPlan->setText(text);
            ok->click();
        }
    });
    w->TestPlan1->trigger();
}

void tst_PlanTests::RunStreamTest(TfMain* w)
{
    QTest::mouseClick(w->rbKvSrv, Qt::LeftButton);
    w->cbServerName->setText(QStringLiteral("127.0.0.1"));
    w->sePort->setValue(FStreamPort);
    w->btnConnectClick();
}

// A plan it cannot read keeps the dialog open, says why and keeps what was typed.
void tst_PlanTests::dialogRefusesWhatIsNoPlan()
{
    TTargetPlans plans;
    TPlanDialog dialog(plans, QStringLiteral(" speed.example.net "));
    dialog.show();
    dialog.edPlan->setText(QStringLiteral("100MB/20MB"));
    dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY2(dialog.lblError->text().contains(QStringLiteral("such as 100M/20M")), qPrintable(dialog.lblError->text()));
    QCOMPARE(dialog.edPlan->text(), QStringLiteral("100MB/20MB"));

    dialog.edPlan->setText(QStringLiteral("100M/20M"));
    dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.Plans().For(QStringLiteral("speed.example.net")), (TRatePlan{100e6, 20e6}));

    // Without a target there is nothing to plan for.
    TPlanDialog empty(plans, QString());
    QVERIFY(!empty.edPlan->isEnabled());
}

// A window that never had a plan writes no [Plans]; one chosen is kept per target, with the
// share and the notice, and read back at the next start.
void tst_PlanTests::plansAreKeptOnceChosen()
{
    ShowMainWindow(FWindow);
    FWindow.reset();
    QFile first(SettingsFile());
    QVERIFY(first.open(QIODevice::ReadOnly));
    QVERIFY(!first.readAll().contains("Plans"));
    first.close();

    TfMain* w = ShowMainWindow(FWindow);
    w->cbServerName->setText(QStringLiteral("http://www.example.org/file"));
    ChoosePlan(w, {QStringLiteral("1G/100M")}, 70, true);
    w->cbServerName->setText(QStringLiteral("speed1.example.net"));
    ChoosePlan(w, {QStringLiteral("250M")}, 70, true);
    FWindow.reset();
    QFile second(SettingsFile());
    QVERIFY(second.open(QIODevice::ReadOnly));
    const QByteArray text = second.readAll();
    QVERIFY2(text.contains("Item0=1G/100M http://www.example.org/file"), text.constData());
    QVERIFY2(text.contains("Item1=250M speed1.example.net"), text.constData());
    QVERIFY(text.contains("Share=70"));

    w = ShowMainWindow(FWindow);
    QCOMPARE(w->TargetPlans.For(QStringLiteral("http://www.example.org/file")), (TRatePlan{1e9, 100e6}));
    QCOMPARE(w->TargetPlans.For(QStringLiteral("speed1.example.net")), (TRatePlan{250e6, 0}));
    QCOMPARE(w->TargetPlans.SharePercent, 70);
    QVERIFY(w->TargetPlans.Notify);
    // An emptied plan field drops the target's plan.
    w->cbServerName->setText(QStringLiteral("speed1.example.net"));
    ChoosePlan(w, {QString()}, 70, true);
    QVERIFY(!w->TargetPlans.For(QStringLiteral("speed1.example.net")).IsSet());
}

// Against a plan no loopback reaches, every result is slow: each row keeps the plan, the grid
// shows the share, and the third slow result of five (not the first, second or fourth) puts
// a notice on the desktop with the expected summary and body.
void tst_PlanTests::slowResultsRecordTheirShareAndNoticeOnce()
{
    auto bus = QDBusConnection::connectToBus(FBusAddress, QStringLiteral("fake-desktop"));
    QVERIFY(bus.isConnected());
    FakeNotifications service;
    QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                               QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService(TDesktopNotice::Service()));

    TfMain* w = ShowMainWindow(FWindow);
    w->cbServerName->setText(QStringLiteral("127.0.0.1"));
    ChoosePlan(w, {QStringLiteral("10000G/1G")}, 80, true);
    QCOMPARE(w->TargetPlans.NoticeSlow, 3);
    QCOMPARE(w->TargetPlans.NoticeOf, 5);

    for (int test = 1; test <= 4; ++test) {
        RunStreamTest(w);
        TResultsTable* table = dmDiskStorage->cdsKorvaneResults();
        QCOMPARE(table->RecordCount(), test);
        const TResultRow& row = table->Row(test - 1);
        QCOMPARE(row.PlanBps, 1e13);
        QVERIFY(row.PlanShare() >= 0 && row.PlanShare() < 0.8);
        // The rate cell as always, the share on the speed bar.
        QVERIFY(w->grdResults->model()->index(test - 1, 4).data().toString().endsWith(QStringLiteral(" KB/S")));
        QCOMPARE(w->grdResults->model()->index(test - 1, 5).data().toString(), QStringLiteral("0 % of plan"));
        QVERIFY(w->mmDIsplay->Lines().join(u'\n').contains(QStringLiteral("% of the plan (10000G)")));
        // Let the bus deliver what was sent, then count.
        QTest::qWait(200);
        QTRY_COMPARE(service.Shown.size(), test >= 3 ? 1 : 0);
    }
    const FakeNotifications::TNotice& notice = service.Shown.first();
    QCOMPARE(notice.App, QStringLiteral("Korvane Client"));
    QCOMPARE(notice.Icon, QStringLiteral("com.korvane.Client"));
    QCOMPARE(notice.Summary, QStringLiteral("127.0.0.1 is below its plan"));
    QVERIFY2(notice.Body.startsWith(QStringLiteral(
                 "3 of the last 5 results of 127.0.0.1 reached less than 80 % of the plan (10000G); the latest 0.")),
             qPrintable(notice.Body));
    bus.unregisterService(TDesktopNotice::Service());
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-desktop"));
}

// Notices on, but nobody on the bus to show them: the log says so and nothing else changes.
void tst_PlanTests::noticeWithoutAServiceIsALogLine()
{
    TfMain* w = ShowMainWindow(FWindow);
    w->cbServerName->setText(QStringLiteral("127.0.0.1"));
    ChoosePlan(w, {QStringLiteral("10000G")}, 80, true);
    w->TargetPlans.NoticeSlow = 1;
    w->TestController->SetPlanNotice(w->TargetPlans);
    RunStreamTest(w);
    QTRY_VERIFY(w->mmDIsplay->Lines().join(u'\n').contains(QStringLiteral("The desktop notice was not shown: ")));
    QCOMPARE(dmDiskStorage->cdsKorvaneResults()->RecordCount(), 1);
}

KORVANE_UI_TEST_MAIN(tst_PlanTests)
#include "tst_PlanTests.moc"
