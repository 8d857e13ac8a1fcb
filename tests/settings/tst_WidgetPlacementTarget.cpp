#include "settings/FormStorage.h"
#include "settings/WidgetPlacementTarget.h"

#include <QApplication>
#include <QScreen>
#include <QtTest>

// The rules applied to a real top-level widget on the offscreen platform.
class TestWidgetPlacementTarget : public QObject
{
    Q_OBJECT
private slots:
    void savedPositionComesBackWithDesignedSize();
    void maximizedStateComesBack();
};

void TestWidgetPlacementTarget::savedPositionComesBackWithDesignedSize()
{
    TAppIniFileStorage store;
    TFormStorage storage;
    storage.SetAppStorage(&store);

    QWidget first;
    first.resize(740, 621);
    first.move(217, 162);
    first.show();
    first.resize(800, 700);   // the user resized it
    TWidgetPlacementTarget firstSide(&first);
    storage.SavePlacement(firstSide);
    const QSize screen = QGuiApplication::primaryScreen()->size();
    QCOMPARE(store.ReadString(QString("fMain\\NormPos(%1x%2)").arg(screen.width()).arg(screen.height())),
             QString("217,162,1017,862"));
    QCOMPARE(store.ReadInteger(R"(fMain\ShowCmd)"), 1);

    QWidget second;
    second.resize(740, 621);
    TWidgetPlacementTarget secondSide(&second);
    storage.RestorePlacement(secondSide);
    QVERIFY(!second.isVisible());
    QCOMPARE(second.pos(), QPoint(217, 162));
    QCOMPARE(second.size(), QSize(740, 621));
}

void TestWidgetPlacementTarget::maximizedStateComesBack()
{
    TAppIniFileStorage store;
    store.WriteString(R"(fMain\ShowCmd)", "3");
    TFormStorage storage;
    storage.SetAppStorage(&store);
    QWidget window;
    TWidgetPlacementTarget side(&window);
    storage.RestorePlacement(side);
    QVERIFY(window.windowState() & Qt::WindowMaximized);
    QVERIFY(!window.isVisible());
}

QTEST_MAIN(TestWidgetPlacementTarget)
#include "tst_WidgetPlacementTarget.moc"
