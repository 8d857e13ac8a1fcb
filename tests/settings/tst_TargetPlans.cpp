#include "settings/AppIniFileStorage.h"
#include "settings/TargetPlans.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The plans per target as the settings file keeps them.
class TestTargetPlans : public QObject
{
    Q_OBJECT
private slots:
    void fileWithoutPlansStaysAsItWas();
    void plansRoundTrip();
    void damagedValuesFallBack_data();
    void damagedValuesFallBack();

private:
    QString Write(const QByteArray& text)
    {
        const QString name = FDir.filePath(QStringLiteral("KrvnClnt.ini"));
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
            qFatal("cannot write %s", qPrintable(name));
        return name;
    }
    QByteArray Read(const QString& name)
    {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir FDir;
};

// Loading and saving with no plan chosen writes the file as the store alone would.
void TestTargetPlans::fileWithoutPlansStaysAsItWas()
{
    const QString name = Write("[fMain]\r\ncbServerName_Text=example.com\r\n");
    QByteArray before;
    {
        TAppIniFileStorage store;
        store.SetFileName(name);
        QVERIFY(store.Flush().isEmpty());
        before = Read(name);
    }
    TAppIniFileStorage store;
    store.SetFileName(name);
    TTargetPlans plans;
    plans.Load(store);
    QVERIFY(plans == TTargetPlans());
    plans.Save(store);
    QVERIFY(store.Flush().isEmpty());
    QCOMPARE(Read(name), before);
    QVERIFY(!before.contains("Plans"));
}

void TestTargetPlans::plansRoundTrip()
{
    const QString name = Write("[fMain]\r\ncbServerName_Text=example.com\r\n");
    TTargetPlans plans;
    plans.Set(QStringLiteral("http://www.example.org/a b"), TRatePlan{1.5e9, 0});
    plans.Set(QStringLiteral(" 10.0.0.5 "), TRatePlan{100e6, 20e6});
    plans.SharePercent = 65;
    plans.Notify = true;
    plans.NoticeSlow = 2;
    plans.NoticeOf = 4;
    {
        TAppIniFileStorage store;
        store.SetFileName(name);
        plans.Save(store);
        QVERIFY(store.Flush().isEmpty());
    }
    const QByteArray text = Read(name);
    QVERIFY2(text.contains("[Plans\\Targets]\r\nItem0=100M/20M 10.0.0.5\r\nItem1=1.5G http://www.example.org/a b\r\nCount=2\r\n"),
             text.constData());
    TAppIniFileStorage store;
    store.SetFileName(name);
    TTargetPlans back;
    back.Load(store);
    QVERIFY(back == plans);
    QCOMPARE(back.For(QStringLiteral("10.0.0.5")), (TRatePlan{100e6, 20e6}));
    QVERIFY(!back.For(QStringLiteral("10.0.0.6")).IsSet());
}

void TestTargetPlans::damagedValuesFallBack_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<int>("plans");
    QTest::addColumn<int>("share");
    QTest::addColumn<int>("slow");
    QTest::addColumn<int>("of");
    QTest::newRow("unreadable plans are dropped")
        << QByteArray("[Plans\\Targets]\r\nItem0=100MB 10.0.0.5\r\nItem1=100M\r\nItem2=20M/5M 10.0.0.6\r\nCount=3\r\n")
        << 1 << 80 << 3 << 5;
    QTest::newRow("share out of range") << QByteArray("[Plans]\r\nShare=0\r\n") << 0 << 80 << 3 << 5;
    QTest::newRow("more slow than looked at") << QByteArray("[Plans]\r\nNoticeSlow=7\r\nNoticeOf=4\r\n") << 0 << 80 << 3 << 4;
    QTest::newRow("too many looked at") << QByteArray("[Plans]\r\nNoticeSlow=2\r\nNoticeOf=11\r\n") << 0 << 80 << 2 << 5;
    QTest::newRow("not numbers") << QByteArray("[Plans]\r\nShare=most\r\nNoticeOf=x\r\n") << 0 << 80 << 3 << 5;
}

void TestTargetPlans::damagedValuesFallBack()
{
    QFETCH(QByteArray, section);
    QFETCH(int, plans);
    QFETCH(int, share);
    QFETCH(int, slow);
    QFETCH(int, of);
    TAppIniFileStorage store;
    store.SetFileName(Write(section));
    TTargetPlans loaded;
    loaded.Load(store);
    QCOMPARE(loaded.Plans.size(), plans);
    QCOMPARE(loaded.SharePercent, share);
    QCOMPARE(loaded.NoticeSlow, slow);
    QCOMPARE(loaded.NoticeOf, of);
    QVERIFY(loaded.NoticeSlow <= loaded.NoticeOf);
}

QTEST_GUILESS_MAIN(TestTargetPlans)
#include "tst_TargetPlans.moc"
