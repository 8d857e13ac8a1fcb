#include "tests/ui/UiTestMain.h"

#include "storage/DiskStorage.h"
#include "ui/TLogPane.h"
#include "ui/TfMain.h"

#include <QLineEdit>
#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>

#include <memory>

// Start-up when the per-user folder cannot be created: the question, and both answers.
// "No" ends the program, so these run in a binary of their own.
class tst_MainWindowStartup : public QObject
{
    Q_OBJECT
private slots:
    void existingFolderAsksNothing();
    void unusableFolderYesContinues();
    void unusableFolderNoTerminates();

private:
    // Answers the next message box with the given button; records its text.
    void AnswerNextBox(QMessageBox::StandardButton button);
    // A data folder that cannot hold a subfolder: a regular file stands in its way.
    QString BlockedDataHome();

    QTemporaryDir FDir;
    QString FBoxText;
    bool FBoxShown = false;
};

void tst_MainWindowStartup::AnswerNextBox(QMessageBox::StandardButton button)
{
    FBoxShown = false;
    FBoxText.clear();
    QTimer::singleShot(0, this, [this, button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        FBoxShown = true;
        FBoxText = box->text();
        box->button(button)->click();
    });
}

QString tst_MainWindowStartup::BlockedDataHome()
{
    const QString file = FDir.filePath(QStringLiteral("not-a-folder"));
    QFile f(file);
    f.open(QIODevice::WriteOnly);
    return file + QStringLiteral("/data");
}

void tst_MainWindowStartup::existingFolderAsksNothing()
{
    const QString home = FDir.filePath(QStringLiteral("home"));
    QDir().mkpath(home + QStringLiteral("/Korvane"));
    qputenv("XDG_DATA_HOME", home.toUtf8());
    AnswerNextBox(QMessageBox::No);
    TfMain w;
    QCoreApplication::processEvents();  // lets the answering timer run (and find no box)
    QVERIFY(!FBoxShown);
    QVERIFY(!TKorvaneApplication::Instance()->Terminated());
}

void tst_MainWindowStartup::unusableFolderYesContinues()
{
    const QString home = BlockedDataHome();
    qputenv("XDG_DATA_HOME", home.toUtf8());
    AnswerNextBox(QMessageBox::Yes);
    {
        TfMain w;
        QVERIFY(FBoxShown);
        QCOMPARE(FBoxText, QStringLiteral("Can not access configuration folder\n") + home
                               + QStringLiteral("/Korvane\nProceed with program?"));
        QVERIFY(!TKorvaneApplication::Instance()->Terminated());
        QCOMPARE(w.AppStorePath, home + QStringLiteral("/Korvane"));
        QVERIFY(w.windowTitle().startsWith(QStringLiteral("Korvane Client V.")));
        // The window works without its folder; the store's file errors go to the log.
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(dmDiskStorage);
        QVERIFY(w.cbServerName->isEnabled());
    }
    QVERIFY(!dmDiskStorage);
}

void tst_MainWindowStartup::unusableFolderNoTerminates()
{
    qputenv("XDG_DATA_HOME", BlockedDataHome().toUtf8());
    AnswerNextBox(QMessageBox::No);
    TfMain w;
    QVERIFY(FBoxShown);
    // The rest of the creation still ran.
    QVERIFY(w.Krvn);
    QVERIFY(w.windowTitle().startsWith(QStringLiteral("Korvane Client V.")));
    QVERIFY(TKorvaneApplication::Instance()->Terminated());
}

KORVANE_UI_TEST_MAIN(tst_MainWindowStartup)
#include "tst_MainWindowStartup.moc"
