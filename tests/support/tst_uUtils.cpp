#include "support/uUtils.h"

#include "KorvaneBuildConfig.h"

#include <QPointer>
#include <QProcess>
#include <QtTest>

class tst_uUtils : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void addresses_data();
    void addresses();
    void upgradePageInsertsValuesUnchanged();
    void localDataFolder();
    void unknownFolderIdGivesEmptyPath();
    void versionThreshold_data();
    void versionThreshold();
    void localPageOpenerFailureIsReported_data();
    void localPageOpenerFailureIsReported();

private:
    QTemporaryDir FHome;
    QStringList FOpened;
};

void tst_uUtils::initTestCase()
{
    QVERIFY(FHome.isValid());
    qputenv("XDG_DATA_HOME", (FHome.path() + "/data").toUtf8());
    qputenv("XDG_CONFIG_HOME", (FHome.path() + "/config").toUtf8());
    uUtils::SetAddressOpener([this](const QString& address) {
        FOpened << address;
        return true;
    });
}

void tst_uUtils::cleanup()
{
    FOpened.clear();
}

void tst_uUtils::addresses_data()
{
    QTest::addColumn<int>("routine");  // 0 web, 1 mail, 2 upgrade
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("opened");

    const QString host = QStringLiteral(KORVANE_WEB_HOST);
    QTest::newRow("web host") << 0 << host << "http://" + host;
    QTest::newRow("empty web address") << 0 << QString() << "http://";
    QTest::newRow("web address with path and query") << 0 << "example.org/a?b=c" << "http://example.org/a?b=c";
    QTest::newRow("support mail") << 1 << QStringLiteral(KORVANE_SUPPORT_MAIL)
                                  << QStringLiteral("mailto:" KORVANE_SUPPORT_MAIL);
    QTest::newRow("upgrade page") << 2 << QString()
                                  << "http://" + host + "/upg.php?program=Korvane&version=2.0";
}

void tst_uUtils::addresses()
{
    QFETCH(int, routine);
    QFETCH(QString, address);
    QFETCH(QString, opened);
    if (routine == 0)
        uUtils::OpenWebAddress(address);
    else if (routine == 1)
        uUtils::OpenMailAddress(address);
    else
        uUtils::OpenUpgradePage(QStringLiteral("Korvane"), QStringLiteral("2"), QStringLiteral("0"));
    QCOMPARE(FOpened, QStringList{opened});
}

void tst_uUtils::upgradePageInsertsValuesUnchanged()
{
    uUtils::OpenUpgradePage(QStringLiteral("My Prog&x"), QStringLiteral("10"), QStringLiteral("65535"));
    QCOMPARE(FOpened, QStringList{QStringLiteral("http://" KORVANE_WEB_HOST "/upg.php?program=My Prog&x&version=10.65535")});
}

void tst_uUtils::localDataFolder()
{
    const QString expected = FHome.path() + "/data";
    QVERIFY(!QFileInfo::exists(expected));
    QCOMPARE(uUtils::GetSpecialFolderPath(uUtils::CSIDL_LOCAL_APPDATA, false), expected);
    QVERIFY2(!QFileInfo::exists(expected), "asked not to create, yet created");

    QCOMPARE(uUtils::GetSpecialFolderPath(28, true), expected);
    QVERIFY(QFileInfo(expected).isDir());

    // A trailing separator in the environment does not reach the caller.
    qputenv("XDG_DATA_HOME", (expected + "/").toUtf8());
    QCOMPARE(uUtils::GetSpecialFolderPath(28, false), expected);
    qputenv("XDG_DATA_HOME", expected.toUtf8());
}

void tst_uUtils::unknownFolderIdGivesEmptyPath()
{
    QCOMPARE(uUtils::GetSpecialFolderPath(26, true), QString());
    QCOMPARE(uUtils::GetSpecialFolderPath(-1, false), QString());
}

void tst_uUtils::versionThreshold_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<bool>("newer");
    QTest::newRow("4") << 4 << false;
    QTest::newRow("5") << 5 << false;
    QTest::newRow("6") << 6 << true;
    QTest::newRow("10") << 10 << true;
}

void tst_uUtils::versionThreshold()
{
    QFETCH(int, major);
    QFETCH(bool, newer);
    QCOMPARE(uUtils::IsWindowsVersion6OrLater(major), newer);
}

void tst_uUtils::localPageOpenerFailureIsReported_data()
{
    QTest::addColumn<QString>("opener");  // the body of a stand-in xdg-open
    QTest::addColumn<QString>("reason");  // empty: no failure
    QTest::newRow("opened") << "exit 0" << QString();
    QTest::newRow("no browser set up") << "exit 4" << "no browser is set up to open it";
    QTest::newRow("a tool missing") << "exit 3" << "no program to open web pages is installed";
    QTest::newRow("unknown code") << "exit 9" << "the desktop could not open it (xdg-open ended with 9)";
    // Some openers stay until the browser closes: past the watch they count as showing the page.
    QTest::newRow("still running") << "sleep 5" << QString();
}

void tst_uUtils::localPageOpenerFailureIsReported()
{
    QFETCH(QString, opener);
    QFETCH(QString, reason);
    QTemporaryDir bin;
    const QString fake = bin.filePath(QStringLiteral("xdg-open"));
    const QString seen = bin.filePath(QStringLiteral("seen"));
    {
        QFile script(fake);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\necho \"$1\" > '%1'\n%2\n").arg(seen, opener).toUtf8());
    }
    QVERIFY(QFile::setPermissions(fake, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8() + ':' + path);

    QObject context;
    QStringList reasons;
    const QString page = FHome.filePath(QStringLiteral("Korvane.html"));
    uUtils::OpenLocalPage(page, &context, [&](const QString& text) { reasons << text; }, 600);
    const QPointer<QProcess> process = context.findChild<QProcess*>();
    QVERIFY(process);
    QTRY_VERIFY_WITH_TIMEOUT(!process || process->state() == QProcess::NotRunning, 5000);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    qputenv("PATH", path);
    QCOMPARE(reasons, reason.isEmpty() ? QStringList() : QStringList{reason});
    QFile args(seen);
    QVERIFY(args.open(QIODevice::ReadOnly));
    QCOMPARE(args.readAll().trimmed(), page.toUtf8());
}

QTEST_GUILESS_MAIN(tst_uUtils)
#include "tst_uUtils.moc"
