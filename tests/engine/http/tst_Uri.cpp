#include "EHttpUnknownProtocol.h"
#include "Uri.h"

#include <QTest>

class TestUri : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void firstRequest_data();
    void firstRequest();
    void redirect_data();
    void redirect();
    void credentialsCarryOver();
    void unknownProtocol();
    void ipVersionFollowsHost();
    void requestTargetEncodesUnsafeBytes();
    void portNumber_data();
    void portNumber();
};

void TestUri::parse_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("document");
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("ipVersion");

    QTest::newRow("bare host") << "http://host" << "http" << "host" << "" << "/" << "" << "" << 4;
    QTest::newRow("full") << "http://host:8080/a/b.html?x=1" << "http" << "host" << "8080" << "/a/" << "b.html" << "x=1" << 4;
    QTest::newRow("scheme lower-cased") << "HTTP://Host/" << "http" << "Host" << "" << "/" << "" << "" << 4;
    QTest::newRow("fragment cut") << "http://h/a/b.html#top" << "http" << "h" << "" << "/a/" << "b.html" << "" << 4;
    QTest::newRow("hash in query kept") << "http://h/b.html?x=1#y" << "http" << "h" << "" << "/" << "b.html" << "x=1#y" << 4;
    QTest::newRow("question mark inside fragment") << "http://h/p#f?x" << "http" << "h" << "" << "/" << "p" << "" << 4;
    QTest::newRow("fragment in path") << "http://h/a#f/b.html" << "http" << "h" << "" << "/" << "a" << "" << 4;
    QTest::newRow("fragment on host") << "http://h#f" << "http" << "h" << "" << "/" << "" << "" << 4;
    QTest::newRow("query on host") << "http://h?q=1" << "http" << "h" << "" << "/" << "" << "q=1" << 4;
    QTest::newRow("ipv6") << "http://[::1]/x" << "http" << "::1" << "" << "/" << "x" << "" << 6;
    QTest::newRow("ipv6 port") << "http://[fe80::1]:8080/" << "http" << "fe80::1" << "8080" << "/" << "" << "" << 6;
    QTest::newRow("backslashes") << "http://h\\a\\b.html?q=\\x" << "http" << "h" << "" << "/a/" << "b.html" << "q=\\x" << 4;
    QTest::newRow("relative doc") << "c.html" << "" << "" << "" << "" << "c.html" << "" << 4;
    QTest::newRow("relative dirs") << "../d/e.html?z" << "" << "" << "" << "../d/" << "e.html" << "z" << 4;
    QTest::newRow("empty") << "" << "" << "" << "" << "" << "" << "" << 4;
    QTest::newRow("unclosed bracket") << "http://[::1/x" << "http" << "[" << ":1" << "/" << "x" << "" << 4;
}

void TestUri::parse()
{
    QFETCH(QString, url);
    const TUri uri = TUri::ParseURL(url);
    QTEST(uri.Protocol, "protocol");
    QTEST(uri.Host, "host");
    QTEST(uri.Port, "port");
    QTEST(uri.Path, "path");
    QTEST(uri.Document, "document");
    QTEST(uri.Query, "query");
    QTEST(uri.IPVersion, "ipVersion");
}

void TestUri::firstRequest_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("hostHeader");
    QTest::addColumn<QString>("port");

    QTest::newRow("bare host") << "http://host" << "/" << "host" << "80";
    QTest::newRow("explicit port") << "http://host:8080/a/b.html?x=1" << "/a/b.html?x=1" << "host:8080" << "8080";
    QTest::newRow("default port written") << "http://host:80/" << "/" << "host" << "80";
    QTest::newRow("https default") << "https://host/" << "/" << "host" << "443";
    QTest::newRow("https on 80") << "https://host:80/" << "/" << "host:80" << "80";
    QTest::newRow("fragment not sent") << "http://h/a/b.html#top" << "/a/b.html" << "h" << "80";
    QTest::newRow("hash after query sent") << "http://h/b.html?x=1#y" << "/b.html?x=1#y" << "h" << "80";
    QTest::newRow("ipv6 bracketed in Host") << "http://[::1]:8080/" << "/" << "[::1]:8080" << "8080";
    QTest::newRow("ipv6 default port") << "http://[::1]/" << "/" << "[::1]" << "80";
    QTest::newRow("other scheme with port") << "ftp://h:21/f" << "/f" << "h:21" << "21";
}

void TestUri::firstRequest()
{
    QFETCH(QString, url);
    TUri current;
    current.MergeURL(url);
    QTEST(current.RequestTarget(), "target");
    QTEST(current.HostHeaderValue(), "hostHeader");
    QTEST(current.Port, "port");
}

void TestUri::redirect_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("hostHeader");
    QTest::addColumn<QString>("protocol");

    const QString base = QStringLiteral("http://h:8080/a/b.html?q=1");
    QTest::newRow("document") << base << "c.html" << "/a/c.html" << "h:8080" << "http";
    QTest::newRow("dot dot") << base << "../d/e.html" << "/d/e.html" << "h:8080" << "http";
    QTest::newRow("dot segment stays") << base << "./c.html" << "/a/./c.html" << "h:8080" << "http";
    QTest::newRow("dot dot drops the segment before it") << base << "./../c.html" << "/a/c.html" << "h:8080" << "http";
    QTest::newRow("dot dot past root") << base << "../../../x" << "/x" << "h:8080" << "http";
    QTest::newRow("absolute path") << base << "/x" << "/x" << "h:8080" << "http";
    QTest::newRow("repeated slashes") << base << "d//e/" << "/a/d/e/" << "h:8080" << "http";
    QTest::newRow("query only") << base << "?z=2" << "/a/?z=2" << "h:8080" << "http";
    QTest::newRow("other host") << base << "http://other/p" << "/p" << "other" << "http";
    QTest::newRow("to https") << base << "https://h/p" << "/p" << "h" << "https";
    QTest::newRow("relative keeps https") << "https://h/a/" << "b" << "/a/b" << "h" << "https";
}

void TestUri::redirect()
{
    QFETCH(QString, first);
    QFETCH(QString, location);
    TUri current;
    current.MergeURL(first);
    current.MergeURL(location);
    QTEST(current.RequestTarget(), "target");
    QTEST(current.HostHeaderValue(), "hostHeader");
    QTEST(current.Protocol, "protocol");
}

void TestUri::credentialsCarryOver()
{
    TUri current;
    current.MergeURL(QStringLiteral("http://joe:secret@h/a/"));
    QCOMPARE(current.Host, QStringLiteral("h"));
    QCOMPARE(current.Username, QStringLiteral("joe"));
    QCOMPARE(current.Password, QStringLiteral("secret"));

    current.MergeURL(QStringLiteral("http://h/b"));
    QCOMPARE(current.Username, QStringLiteral("joe"));
    QCOMPARE(current.Password, QStringLiteral("secret"));

    current.MergeURL(QStringLiteral("http://ann@h/c"));
    QCOMPARE(current.Username, QStringLiteral("ann"));
    QCOMPARE(current.Password, QString());

    // A password without a user name is dropped.
    current.MergeURL(QStringLiteral("http://:pw@h/d"));
    QCOMPARE(current.Username, QStringLiteral("ann"));
    QCOMPARE(current.Password, QString());
}

void TestUri::unknownProtocol()
{
    TUri fresh;
    QVERIFY_THROWS_EXCEPTION(EHttpUnknownProtocol, fresh.MergeURL(QStringLiteral("ftp://h/f")));
    QCOMPARE(fresh, TUri()); // a failed merge leaves the URI as it was
    try {
        fresh.MergeURL(QStringLiteral("gopher://h/"));
        QFAIL("no exception");
    } catch (const EHttpUnknownProtocol &e) {
        QCOMPARE(e.Message(), QStringLiteral("Unknown Protocol"));
    }

    // With a current port an unknown scheme without port merges.
    TUri current;
    current.MergeURL(QStringLiteral("http://h:81/"));
    current.MergeURL(QStringLiteral("ftp://other/f"));
    QCOMPARE(current.Port, QStringLiteral("81"));
    QCOMPARE(current.Protocol, QStringLiteral("ftp"));
}

void TestUri::ipVersionFollowsHost()
{
    TUri current;
    current.MergeURL(QStringLiteral("http://[::1]:8080/a/"));
    QCOMPARE(current.IPVersion, 6);
    current.MergeURL(QStringLiteral("b.html"));
    QCOMPARE(current.IPVersion, 6);
    QCOMPARE(current.Host, QStringLiteral("::1"));
    current.MergeURL(QStringLiteral("http://127.0.0.1/"));
    QCOMPARE(current.IPVersion, 4);
}

void TestUri::requestTargetEncodesUnsafeBytes()
{
    TUri current;
    current.MergeURL(QStringLiteral("http://h/a b/\u00e9.html?x=1\r\nX: y"));
    QCOMPARE(current.RequestTarget(), QStringLiteral("/a%20b/%C3%A9.html?x=1%0D%0AX:%20y"));
}

void TestUri::portNumber_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("number");
    QTest::newRow("80") << "80" << 80;
    QTest::newRow("max") << "65535" << 65535;
    QTest::newRow("too big") << "65536" << -1;
    QTest::newRow("zero") << "0" << -1;
    QTest::newRow("letters") << "8a" << -1;
    QTest::newRow("sign") << "+80" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("long") << "0000080" << -1;
}

void TestUri::portNumber()
{
    QFETCH(QString, port);
    TUri uri;
    uri.Port = port;
    QTEST(uri.PortNumber(), "number");
}

QTEST_GUILESS_MAIN(TestUri)
#include "tst_Uri.moc"
