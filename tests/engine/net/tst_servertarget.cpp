#include "engine/net/ServerTarget.h"

#include <QTest>

class tst_ServerTarget : public QObject
{
    Q_OBJECT

private slots:
    void parses_data();
    void parses();
    void refuses_data();
    void refuses();
};

void tst_ServerTarget::parses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("name") << "korvane.example" << "korvane.example" << 0;
    QTest::newRow("name and port") << "korvane.example:9000" << "korvane.example" << 9000;
    QTest::newRow("IPv4") << "127.0.0.1" << "127.0.0.1" << 0;
    QTest::newRow("IPv4 and port") << "127.0.0.1:8081" << "127.0.0.1" << 8081;
    QTest::newRow("bare IPv6") << "::1" << "::1" << 0;
    QTest::newRow("bare full IPv6") << "2001:db8::8:800:200c:417a" << "2001:db8::8:800:200c:417a" << 0;
    QTest::newRow("IPv4-mapped IPv6") << "::ffff:192.0.2.1" << "::ffff:192.0.2.1" << 0;
    QTest::newRow("bracketed IPv6") << "[::1]" << "::1" << 0;
    QTest::newRow("bracketed IPv6 and port") << "[::1]:8081" << "::1" << 8081;
    QTest::newRow("highest port") << "[2001:db8::1]:65535" << "2001:db8::1" << 65535;
    QTest::newRow("leading zeros in the port") << "host:00081" << "host" << 81;
    // Nothing to read: the lookup reports it as it always has.
    QTest::newRow("empty") << "" << "" << 0;
}

void tst_ServerTarget::parses()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);
    const TServerTarget target = ParseServerTarget(text.toStdString());
    QCOMPARE(QString::fromStdString(target.Error), QString());
    QCOMPARE(QString::fromStdString(target.Host), host);
    QCOMPARE(target.Port, port);
}

void tst_ServerTarget::refuses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");

    QTest::newRow("no closing bracket") << "[::1" << "Invalid target \"[::1\": the IPv6 address has no closing bracket.";
    QTest::newRow("not IPv6 in brackets")
        << "[localhost]:80" << "Invalid target \"[localhost]:80\": \"localhost\" is not an IPv6 address.";
    QTest::newRow("IPv4 in brackets")
        << "[127.0.0.1]" << "Invalid target \"[127.0.0.1]\": \"127.0.0.1\" is not an IPv6 address.";
    QTest::newRow("zone id in brackets") << "[fe80::1%eth0]:81" << "Invalid target \"[fe80::1%eth0]:81\": zone ids are not supported.";
    QTest::newRow("bare zone id") << "fe80::1%eth0" << "Invalid target \"fe80::1%eth0\": zone ids are not supported.";
    QTest::newRow("text after the bracket")
        << "[::1]8081" << "Invalid target \"[::1]8081\": the port after the address must be a number from 1 to 65535.";
    QTest::newRow("empty port after the bracket")
        << "[::1]:" << "Invalid target \"[::1]:\": the port after the address must be a number from 1 to 65535.";
    QTest::newRow("port zero") << "host:0" << "Invalid target \"host:0\": the port after the host must be a number from 1 to 65535.";
    QTest::newRow("port too high")
        << "host:65536" << "Invalid target \"host:65536\": the port after the host must be a number from 1 to 65535.";
    QTest::newRow("port with a sign")
        << "host:+81" << "Invalid target \"host:+81\": the port after the host must be a number from 1 to 65535.";
    QTest::newRow("no host") << ":8081" << "Invalid target \":8081\": the host before the port is missing.";
    QTest::newRow("bare IPv6 with a port")
        << "::1:8081:x" << "Invalid target \"::1:8081:x\": an IPv6 address with a port is written in brackets, as [::1]:8081.";
}

void tst_ServerTarget::refuses()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    QCOMPARE(QString::fromStdString(ParseServerTarget(text.toStdString()).Error), error);
}

QTEST_APPLESS_MAIN(tst_ServerTarget)
#include "tst_servertarget.moc"
