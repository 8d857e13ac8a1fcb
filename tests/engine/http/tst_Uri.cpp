#include "engine/http/EHttpInvalidUrl.h"
#include "engine/http/EHttpUnknownProtocol.h"
#include "engine/http/Uri.h"

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
    void invalidHostIsRefused_data();
    void invalidHostIsRefused();
    void hostOutsideAsciiIsConverted();
    void webTarget_data();
    void webTarget();
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
    QTest::newRow("ipv6 full form") << "http://[2001:db8:0:0:0:0:0:1]:8080/a/b.html?x=1" << "http"
                                    << "2001:db8:0:0:0:0:0:1" << "8080" << "/a/" << "b.html" << "x=1" << 6;
    QTest::newRow("ipv6 with dotted tail") << "http://[::ffff:192.0.2.1]/" << "http" << "::ffff:192.0.2.1" << "" << "/" << "" << "" << 6;
    QTest::newRow("ipv6 upper case kept") << "HTTP://[FE80::A]/" << "http" << "FE80::A" << "" << "/" << "" << "" << 6;
    QTest::newRow("ipv6 with user") << "http://u:p@[::1]:81/a" << "http" << "::1" << "81" << "/" << "a" << "" << 6;
    QTest::newRow("ipv6 user holding a colon") << "http://u:p:q@[::1]/" << "http" << "::1" << "" << "/" << "" << "" << 6;
    QTest::newRow("ipv6 empty port") << "http://[::1]:/" << "http" << "::1" << "" << "/" << "" << "" << 6;
    QTest::newRow("ipv6 query on host") << "http://[::1]?q=[::2]" << "http" << "::1" << "" << "/" << "" << "q=[::2]" << 6;
    QTest::newRow("ipv6 fragment on host") << "http://[::1]:8080#f" << "http" << "::1" << "8080" << "/" << "" << "" << 6;
    QTest::newRow("ipv6 colon in path") << "http://[::1]/a:b/c:d" << "http" << "::1" << "" << "/a:b/" << "c:d" << "" << 6;
    QTest::newRow("ipv6 backslashes") << "http://[::1]:8080\\a\\b" << "http" << "::1" << "8080" << "/a/" << "b" << "" << 6;
    QTest::newRow("ipv6 scheme-relative") << "//[::1]:81/p" << "" << "::1" << "81" << "/" << "p" << "" << 6;
    QTest::newRow("brackets in the path only") << "/a/[::1]/b" << "" << "" << "" << "/a/[::1]/" << "b" << "" << 4;
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
    QTest::newRow("leading zeros on the default port") << "http://host:0080/" << "/" << "host" << "80";
    QTest::newRow("leading zeros") << "http://host:08080/x" << "/x" << "host:8080" << "8080";
    QTest::newRow("url inside the query") << "http://host/go?u=http://x/y" << "/go?u=http://x/y" << "host" << "80";
    QTest::newRow("fragment not sent") << "http://h/a/b.html#top" << "/a/b.html" << "h" << "80";
    QTest::newRow("hash after query sent") << "http://h/b.html?x=1#y" << "/b.html?x=1#y" << "h" << "80";
    QTest::newRow("ipv6 bracketed in Host") << "http://[::1]:8080/" << "/" << "[::1]:8080" << "8080";
    QTest::newRow("ipv6 default port") << "http://[::1]/" << "/" << "[::1]" << "80";
    QTest::newRow("ipv6 default port written") << "http://[::1]:80/" << "/" << "[::1]" << "80";
    QTest::newRow("ipv6 port with leading zeros") << "http://[::1]:08080/" << "/" << "[::1]:8080" << "8080";
    QTest::newRow("ipv6 https default port") << "https://[2001:db8::1]/" << "/" << "[2001:db8::1]" << "443";
    QTest::newRow("ipv6 https other port") << "https://[2001:db8::1]:8443/x" << "/x" << "[2001:db8::1]:8443" << "8443";
    QTest::newRow("ipv6 with dotted tail") << "http://[::ffff:192.0.2.1]:81/" << "/" << "[::ffff:192.0.2.1]:81" << "81";
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
    QTest::newRow("scheme-relative") << base << "//other/p/q" << "/p/q" << "other" << "http";
    QTest::newRow("scheme-relative with port") << base << "//other:81/p" << "/p" << "other:81" << "http";
    QTest::newRow("scheme-relative keeps https") << "https://h:8443/" << "//other/p" << "/p" << "other" << "https";
    QTest::newRow("query holding a url") << base << "/login?back=http://evil/" << "/login?back=http://evil/" << "h:8080" << "http";
    QTest::newRow("path holding a url") << base << "/web/1/http://evil/x" << "/web/1/http://evil/x" << "h:8080" << "http";

    const QString v6 = QStringLiteral("http://[::1]:8080/a/b.html?q=1");
    QTest::newRow("ipv6 document") << v6 << "c.html" << "/a/c.html" << "[::1]:8080" << "http";
    QTest::newRow("ipv6 dot dot") << v6 << "../d/e.html" << "/d/e.html" << "[::1]:8080" << "http";
    QTest::newRow("ipv6 absolute path") << v6 << "/x" << "/x" << "[::1]:8080" << "http";
    QTest::newRow("ipv6 query only") << v6 << "?z=2" << "/a/?z=2" << "[::1]:8080" << "http";
    QTest::newRow("ipv6 absolute, same host") << v6 << "http://[::1]:8080/p" << "/p" << "[::1]:8080" << "http";
    QTest::newRow("ipv6 absolute, default port") << v6 << "http://[::1]/p" << "/p" << "[::1]" << "http";
    QTest::newRow("ipv6 to another ipv6 host") << v6 << "http://[2001:db8::2]:81/p" << "/p" << "[2001:db8::2]:81" << "http";
    QTest::newRow("ipv6 to an ipv4 host") << v6 << "http://127.0.0.1:8080/p" << "/p" << "127.0.0.1:8080" << "http";
    QTest::newRow("ipv6 to a name") << v6 << "http://other/p" << "/p" << "other" << "http";
    QTest::newRow("ipv4 to an ipv6 host") << base << "http://[::1]:9/p" << "/p" << "[::1]:9" << "http";
    QTest::newRow("ipv6 to https") << v6 << "https://[::1]/p" << "/p" << "[::1]" << "https";
    QTest::newRow("ipv6 to https with port") << v6 << "https://[::1]:8443/p" << "/p" << "[::1]:8443" << "https";
    QTest::newRow("ipv6 scheme-relative") << v6 << "//[2001:db8::1]:81/p" << "/p" << "[2001:db8::1]:81" << "http";
    QTest::newRow("ipv6 scheme-relative default port") << v6 << "//[2001:db8::1]/p" << "/p" << "[2001:db8::1]" << "http";
    QTest::newRow("ipv6 scheme-relative keeps https") << "https://[::1]:8443/" << "//[::2]/p" << "/p" << "[::2]" << "https";
    QTest::newRow("ipv6 query holding an ipv6 url") << v6 << "/go?to=http://[::2]/" << "/go?to=http://[::2]/" << "[::1]:8080" << "http";
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
    QTest::newRow("leading zeros") << "0000080" << 80;
    QTest::newRow("only zeros") << "000" << -1;
}

void TestUri::portNumber()
{
    QFETCH(QString, port);
    TUri uri;
    uri.Port = port;
    QTEST(uri.PortNumber(), "number");
}

void TestUri::invalidHostIsRefused_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("nul") << QStringLiteral("http://a%1b.example/").arg(QChar(0));
    QTest::newRow("nul before a dot") << QStringLiteral("http://evil%1.example.com/").arg(QChar(0));
    QTest::newRow("blank") << "http://a b/";
    QTest::newRow("line break") << "http://a\r\nX-Injected: 1/";
    QTest::newRow("escape") << "http://a\x1B[2Jb/";
    QTest::newRow("percent") << "http://a%2Fb/";
    QTest::newRow("quote") << "http://a\"b/";
    QTest::newRow("delete") << "http://a\x7F/";
    QTest::newRow("ipv6 with letters") << "http://[::1zz]/";
    QTest::newRow("ipv6 with nul") << QStringLiteral("http://[::1%1]/").arg(QChar(0));
    QTest::newRow("scheme-relative") << "//a b/";
    QTest::newRow("ipv6 zone id") << "http://[fe80::1%25eth0]/";
    QTest::newRow("ipv6 zone id unencoded") << "http://[fe80::1%eth0]:8080/";
    QTest::newRow("ipv6 empty brackets") << "http://[]/";
    QTest::newRow("ipv6 empty brackets with port") << "http://[]:8080/";
    QTest::newRow("ipv6 two double colons") << "http://[1::2::3]/";
    QTest::newRow("ipv6 too many groups") << "http://[1:2:3:4:5:6:7:8:9]/";
    QTest::newRow("ipv6 group too long") << "http://[12345::1]/";
    QTest::newRow("ipv6 bad dotted tail") << "http://[::1.2.3]/";
    QTest::newRow("ipv6 only colons") << "http://[:::]/";
    QTest::newRow("ipv6 blank") << "http://[:: 1]/";
    QTest::newRow("ipv4 in brackets") << "http://[127.0.0.1]/";
    QTest::newRow("ipv6 future form") << "http://[v1.fe80::a+en1]/";
    QTest::newRow("ipv6 scheme-relative zone id") << "//[fe80::1%lo]/";
}

void TestUri::invalidHostIsRefused()
{
    QFETCH(QString, url);
    TUri current;
    current.MergeURL(QStringLiteral("http://good:81/a/"));
    const TUri before = current;
    QVERIFY_THROWS_EXCEPTION(EHttpInvalidUrl, current.MergeURL(url));
    QCOMPARE(current, before);
}

void TestUri::hostOutsideAsciiIsConverted()
{
    TUri current;
    current.MergeURL(QStringLiteral("http://b\u00fccher.example/x"));
    QCOMPARE(current.Host, QStringLiteral("xn--bcher-kva.example"));
    QCOMPARE(current.HostHeaderValue(), QStringLiteral("xn--bcher-kva.example"));
}

void TestUri::webTarget_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("url");
    QTest::newRow("bare host") << "host" << "http://host";
    QTest::newRow("scheme") << "http://host/" << "http://host/";
    QTest::newRow("other scheme") << "ftp://host/" << "ftp://host/";
    QTest::newRow("url in the query") << "host/page?u=http://x" << "http://host/page?u=http://x";
    QTest::newRow("url in the path") << "host/http://x" << "http://host/http://x";
}

void TestUri::webTarget()
{
    QFETCH(QString, typed);
    QFETCH(QString, url);
    QCOMPARE(TUri::WebTarget(typed), url);
    // and it goes to the host typed
    TUri current;
    current.MergeURL(QStringLiteral("http://previous/"));
    if (url.startsWith(u"http:")) {
        current.MergeURL(url);
        QCOMPARE(current.Host, QStringLiteral("host"));
    }
}

QTEST_GUILESS_MAIN(TestUri)
#include "tst_Uri.moc"
