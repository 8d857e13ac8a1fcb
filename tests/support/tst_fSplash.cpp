#include "support/fSplash.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QtTest>

class tst_fSplash : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void windowSettings();
    void statusLinesInTurn();
    void longProgramNameIsCut();
    void onlyOneAtATime();
    void releaseFreesOnceTheQueueIsServed();
    void centredOnMainWindow();

private:
    QTemporaryDir FHome;
};

void tst_fSplash::initTestCase()
{
    QVERIFY(FHome.isValid());
    qputenv("XDG_DATA_HOME", (FHome.path() + "/data").toUtf8());
    qputenv("XDG_CONFIG_HOME", (FHome.path() + "/config").toUtf8());
}

void tst_fSplash::cleanup()
{
    TfrmSplash::Release();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_fSplash::windowSettings()
{
    TfrmSplash* splash = TfrmSplash::Open();
    QCOMPARE(splash->size(), QSize(538, 219));
    QCOMPARE(splash->windowTitle(), QStringLiteral("Loading"));
    QVERIFY(splash->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(splash->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(!splash->parentWidget());

    auto* image = splash->findChild<QLabel*>(QStringLiteral("Image1"));
    QVERIFY(image);
    QCOMPARE(image->geometry(), QRect(8, 8, 201, 203));
    QCOMPARE(image->pixmap().size(), QSize(201, 203));

    auto* message = splash->findChild<QLabel*>(QStringLiteral("lblMessage"));
    QVERIFY(message);
    QCOMPARE(message->geometry(), QRect(219, 8, 311, 42));
    QCOMPARE(message->text(), QStringLiteral("Korvane "));

    auto* status = splash->findChild<QPlainTextEdit*>(QStringLiteral("mmStatus"));
    QVERIFY(status);
    QCOMPARE(status->geometry(), QRect(219, 56, 311, 155));
    QVERIFY(!status->isReadOnly());
    QCOMPARE(status->lineWrapMode(), QPlainTextEdit::WidgetWidth);
}

void tst_fSplash::statusLinesInTurn()
{
    TfrmSplash* splash = TfrmSplash::Open();
    splash->setProgramName(QStringLiteral("Korvane"));
    splash->setStatusUpdt(QStringLiteral("Korvane v.2.0.0.69"));
    splash->setStatusUpdt(QStringLiteral("Loading program data please wait."));
    splash->showCentred();

    QCOMPARE(splash->findChild<QLabel*>(QStringLiteral("lblMessage"))->text(), QStringLiteral("Korvane"));
    const QStringList lines =
        splash->findChild<QPlainTextEdit*>(QStringLiteral("mmStatus"))->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines, (QStringList{QStringLiteral("Korvane v.2.0.0.69"),
                                 QStringLiteral("Loading program data please wait.")}));
}

void tst_fSplash::longProgramNameIsCut()
{
    TfrmSplash* splash = TfrmSplash::Open();
    auto* message = splash->findChild<QLabel*>(QStringLiteral("lblMessage"));
    const QString longName = QStringLiteral("Korvane Client for Very Long Product Names");
    splash->setProgramName(longName);
    splash->showCentred();
    QCOMPARE(message->text(), longName);
    QVERIFY(!message->wordWrap());
    QCOMPARE(message->geometry(), QRect(219, 8, 311, 42));
    QVERIFY(message->fontMetrics().horizontalAdvance(longName) > message->width());
}

void tst_fSplash::onlyOneAtATime()
{
    QPointer<TfrmSplash> first = TfrmSplash::Open();
    first->showCentred();
    QPointer<TfrmSplash> second = TfrmSplash::Open();
    QVERIFY(first != second);
    QCOMPARE(TfrmSplash::Current(), second.data());
    QVERIFY(!first || !first->isVisible());
    second->showCentred();

    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!first);
    QVERIFY(second);
    const auto visibleSplashes = [] {
        int n = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            n += qobject_cast<TfrmSplash*>(w) && w->isVisible();
        return n;
    };
    QCOMPARE(visibleSplashes(), 1);
}

void tst_fSplash::releaseFreesOnceTheQueueIsServed()
{
    QPointer<TfrmSplash> splash = TfrmSplash::Open();
    splash->showCentred();
    TfrmSplash::Release();
    QCOMPARE(TfrmSplash::Current(), nullptr);
    QVERIFY(splash);  // still there until the queue is served
    QVERIFY(!splash->isVisible());
    QTRY_VERIFY(!splash);
    TfrmSplash::Release();  // nothing open: harmless
}

void tst_fSplash::centredOnMainWindow()
{
    QWidget mainWindow;
    mainWindow.setGeometry(100, 150, 740, 621);
    mainWindow.show();
    TfrmSplash* splash = TfrmSplash::Open(&mainWindow);
    splash->showCentred();
    const QPoint diff = splash->frameGeometry().center() - mainWindow.frameGeometry().center();
    QVERIFY2(diff.manhattanLength() <= 2, qPrintable(QStringLiteral("off by %1,%2").arg(diff.x()).arg(diff.y())));
}

QTEST_MAIN(tst_fSplash)
#include "tst_fSplash.moc"
