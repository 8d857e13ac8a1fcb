#include "engine/net/ServerTarget.h"
#include "engine/run/FailureHint.h"

#include <QtTest>

using FailureHint::TFrontEnd;

Q_DECLARE_METATYPE(TFrontEnd)

// An error line keeps its words; the hint after it says what to do, in each front end's terms.
class tst_FailureHint : public QObject
{
    Q_OBJECT
private slots:
    void hints_data()
    {
        QTest::addColumn<QString>("error");
        QTest::addColumn<TFrontEnd>("frontEnd");
        QTest::addColumn<QString>("hint");
        const QString https = QStringLiteral("IOHandler value is not valid");
        const QString web = QString::fromStdString(ParseServerTarget("http://example.com/").Error);
        QTest::newRow("https, window") << https << TFrontEnd::Window
                                       << "Hint: https addresses are tested once Test > Options allows https.";
        QTest::newRow("https, cli") << https << TFrontEnd::Cli << "Hint: add --allow-https to test https addresses.";
        QTest::newRow("web address, window") << web << TFrontEnd::Window << "Hint: choose Web Page to test a web address.";
        QTest::newRow("web address, cli") << web << TFrontEnd::Cli << "Hint: add --web to test a web address.";
        QTest::newRow("other target error") << QString::fromStdString(ParseServerTarget("host:0").Error)
                                            << TFrontEnd::Cli << QString();
        QTest::newRow("a refused connection") << "Connection refused" << TFrontEnd::Window << QString();
        QTest::newRow("the words inside a longer error") << "ERROR: IOHandler value is not valid here"
                                                         << TFrontEnd::Cli << QString();
    }
    void hints()
    {
        QFETCH(QString, error);
        QFETCH(TFrontEnd, frontEnd);
        QFETCH(QString, hint);
        QCOMPARE(FailureHint::For(error, frontEnd), hint);
    }

    // Any scheme marks a web address, not only http; the old port and bracket errors no longer
    // speak for such a target.
    void webAddressesAreNamedAsSuch_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("http") << "http://example.com/";
        QTest::newRow("https with a port") << "https://example.com:8443/x";
        QTest::newRow("IPv6 in a URL") << "http://[::1]:8080/";
        QTest::newRow("ftp") << "ftp://host";
    }
    void webAddressesAreNamedAsSuch()
    {
        QFETCH(QString, target);
        const TServerTarget parsed = ParseServerTarget(target.toStdString());
        QCOMPARE(QString::fromStdString(parsed.Error),
                 "Invalid target \"" + target + "\": " + QString::fromLatin1(ServerTarget::WebAddressReason));
    }
};

QTEST_GUILESS_MAIN(tst_FailureHint)
#include "tst_FailureHint.moc"
