#include "engine/http/CookieSplitting.h"
#include "engine/http/CookieManager.h"

#include <QTest>

namespace {

const QDateTime kNow(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);

TUri Uri(const QString &url)
{
    TUri uri;
    uri.MergeURL(url);
    return uri;
}

QStringList CookieLines(TCookieManager &store, const QString &url, const QDateTime &now = kNow)
{
    QStringList lines;
    for (const auto &line : store.GenerateClientCookies(Uri(url), false, now))
        lines.append(line.first + QStringLiteral(": ") + line.second);
    return lines;
}

} // namespace

class TestCookies : public QObject
{
    Q_OBJECT

private slots:
    void split_data();
    void split();
    void parse_data();
    void parse();
    void expiry_data();
    void expiry();
    void acceptance_data();
    void acceptance();
    void sending_data();
    void sending();
    void literalHostsKeepTheirOwn_data();
    void literalHostsKeepTheirOwn();
    void replacementKeepsPlace();
    void namesCompareWithoutCase_data();
    void namesCompareWithoutCase();
    void identityIsDomainPathAndName();
    void limits_data();
    void limits();
    void progressCanStopAFlood();
    void invalidHostSetsNothing();
    void emptyValueStoredNotSent();
    void pastExpiryPurged();
    void maxAgeCountsFromReceipt();
    void secureNeverSentOverHttp();
    void twoCookiesGiveThreeLines();
    void versionOneLine();
    void setCookie2();
};

void TestCookies::split_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("cookies");
    QTest::newRow("one") << "a=1" << QStringList{"a=1"};
    QTest::newRow("two") << "a=1, b=2" << QStringList{"a=1", "b=2"};
    QTest::newRow("expires comma") << "a=1; expires=Sun, 06 Nov 2050 08:49:37 GMT, b=2"
                                   << QStringList{"a=1; expires=Sun, 06 Nov 2050 08:49:37 GMT", "b=2"};
    QTest::newRow("expires upper case") << "a=1; EXPIRES=Sunday, 06-Nov-50 08:49:37 GMT; path=/, b=2"
                                        << QStringList{"a=1; EXPIRES=Sunday, 06-Nov-50 08:49:37 GMT; path=/", "b=2"};
    QTest::newRow("numeric expires") << "a=1; expires=60, b=2" << QStringList{"a=1; expires=60", "b=2"};
    QTest::newRow("quoted comma") << "a=\"x,y\"; path=/, b=2" << QStringList{"a=\"x,y\"; path=/", "b=2"};
    QTest::newRow("unclosed quote") << "a=\"x, b=2" << QStringList{"a=\"x, b=2"};
    QTest::newRow("blanks and empties") << "  , a=1 ,, b=2 ,  " << QStringList{"a=1", "b=2"};
    QTest::newRow("empty") << "" << QStringList();
}

void TestCookies::split()
{
    QFETCH(QString, value);
    QTEST(SplitCookieHeader(value), "cookies");
}

void TestCookies::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("secure");
    QTest::addColumn<bool>("httpOnly");
    QTest::addColumn<int>("version");

    QTest::newRow("plain") << "a=1" << "a" << "1" << "" << "/" << false << false << 0;
    QTest::newRow("blanks trimmed") << "  a  =  1  ;  Path = /x " << "a" << "1" << "" << "/x" << false << false << 0;
    QTest::newRow("quoted value") << "a=\"x;y\"; path=/p" << "a" << "x;y" << "" << "/p" << false << false << 0;
    QTest::newRow("empty path") << "a=1; path=" << "a" << "1" << "" << "/" << false << false << 0;
    QTest::newRow("domain port dropped") << "a=1; Domain=example.com:8080" << "a" << "1" << "example.com" << "/" << false << false << 0;
    QTest::newRow("flags last") << "a=1; HttpOnly; Secure" << "a" << "1" << "" << "/" << true << true << 0;
    QTest::newRow("flag with value") << "a=1; secure=no" << "a" << "1" << "" << "/" << true << false << 0;
    QTest::newRow("version") << "a=1; Version=1" << "a" << "1" << "" << "/" << false << false << 1;
    QTest::newRow("bad version") << "a=1; Version=x" << "a" << "1" << "" << "/" << false << false << 0;
    QTest::newRow("bare name") << "lonely" << "lonely" << "" << "" << "/" << false << false << 0;
    QTest::newRow("value only") << "=v" << "" << "v" << "" << "/" << false << false << 0;
    QTest::newRow("empty") << "" << "" << "" << "" << "/" << false << false << 0;
}

void TestCookies::parse()
{
    QFETCH(QString, text);
    const TNetscapeCookie c = TNetscapeCookie::Parse(text, kNow);
    QTEST(c.CookieName, "name");
    QTEST(c.Value, "value");
    QTEST(c.Domain, "domain");
    QTEST(c.Path, "path");
    QTEST(c.Secure, "secure");
    QTEST(c.HttpOnly, "httpOnly");
    QTEST(c.Version, "version");
}

void TestCookies::expiry_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDateTime>("expires");
    QTest::newRow("none") << "a=1" << QDateTime();
    QTest::newRow("date") << "a=1; expires=Sun, 06 Nov 2050 08:49:37 GMT"
                          << QDateTime(QDate(2050, 11, 6), QTime(8, 49, 37), Qt::UTC);
    QTest::newRow("unreadable date") << "a=1; expires=someday" << QDateTime();
    QTest::newRow("seconds") << "a=1; expires=60" << kNow.addSecs(60);
    QTest::newRow("negative seconds give no expiry") << "a=1; expires=-5" << QDateTime();
    QTest::newRow("huge seconds bounded") << "a=1; expires=99999999999999999999999" << kNow.addSecs(qint64(400) * 366 * 24 * 3600);
    QTest::newRow("max-age") << "a=1; max-age=10" << kNow.addSecs(10);
    QTest::newRow("expires wins for version 0") << "a=1; expires=60; max-age=10" << kNow.addSecs(60);
    QTest::newRow("max-age wins for version 1") << "a=1; version=1; expires=60; max-age=10" << kNow.addSecs(10);
    QTest::newRow("max-age zero removes") << "a=1; expires=60; max-age=0" << kNow;
    QTest::newRow("bad max-age ignored") << "a=1; max-age=soon" << QDateTime();
}

void TestCookies::expiry()
{
    QFETCH(QString, text);
    QFETCH(QDateTime, expires);
    const TNetscapeCookie c = TNetscapeCookie::Parse(text, kNow);
    QCOMPARE(c.Expires.isValid(), expires.isValid());
    if (expires.isValid())
        QCOMPARE(c.Expires, expires);
}

void TestCookies::acceptance_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("setCookie");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QString>("domain");

    QTest::newRow("host default") << "http://shop.example.com/" << "a=1" << true << "shop.example.com";
    QTest::newRow("host default two labels") << "http://example.com/" << "a=1" << true << "example.com";
    QTest::newRow("localhost default") << "http://localhost/" << "a=1" << true << ".localhost";
    QTest::newRow("ip host default") << "http://127.0.0.1/" << "a=1" << true << "127.0.0.1";
    QTest::newRow("domain=localhost rejected") << "http://localhost/" << "a=1; domain=localhost" << false << "";
    QTest::newRow("parent domain") << "http://shop.example.com/" << "a=1; domain=example.com" << true << "example.com";
    QTest::newRow("dotted parent domain") << "http://a.b.example.com/" << "a=1; domain=.example.com" << true << ".example.com";
    QTest::newRow("cross domain rejected") << "http://shop.example.com/" << "a=1; domain=example.de" << false << "";
    QTest::newRow("child domain rejected") << "http://example.com/" << "a=1; domain=shop.example.com" << false << "";
    QTest::newRow("suffix without dot rejected") << "http://badexample.com/" << "a=1; domain=example.com" << false << "";
    QTest::newRow("top-level domain rejected") << "http://shop.example.com/" << "a=1; domain=.com" << false << "";
    QTest::newRow("ip parent rejected") << "http://10.0.0.1/" << "a=1; domain=0.0.1" << false << "";
    QTest::newRow("line break in value rejected") << "http://example.com/" << "a=1\nX: y" << false << "";
    QTest::newRow("v1 default") << "http://shop.example.com/p/x" << "a=1; version=1" << true << ".shop.example.com";
    QTest::newRow("v1 one level up") << "http://shop.example.com/" << "a=1; version=1; domain=.example.com" << true << ".example.com";
    QTest::newRow("v1 two levels up rejected") << "http://a.shop.example.com/" << "a=1; version=1; domain=.example.com" << false << "";
    QTest::newRow("v1 without leading dot rejected") << "http://shop.example.com/" << "a=1; version=1; domain=example.com" << false << "";
    QTest::newRow("v1 path not prefix rejected") << "http://shop.example.com/a/" << "a=1; version=1; path=/b" << false << "";
    QTest::newRow("v1 ip host rejected") << "http://127.0.0.1/" << "a=1; version=1" << false << "";
}

void TestCookies::acceptance()
{
    QFETCH(QString, url);
    QFETCH(QString, setCookie);
    QFETCH(bool, stored);
    TCookieManager store;
    store.AddServerCookies({setCookie}, {}, Uri(url), kNow);
    QCOMPARE(store.Count(), stored ? 1 : 0);
    if (stored)
        QTEST(store.Cookies().first().Domain, "domain");
}

void TestCookies::sending_data()
{
    QTest::addColumn<QString>("setBy");
    QTest::addColumn<QString>("setCookie");
    QTest::addColumn<QString>("requestTo");
    QTest::addColumn<bool>("sent");

    QTest::newRow("same host") << "http://shop.example.com/" << "a=1" << "http://shop.example.com/x/y.html" << true;
    QTest::newRow("host below") << "http://shop.example.com/" << "a=1" << "http://x.shop.example.com/" << true;
    QTest::newRow("parent host") << "http://shop.example.com/" << "a=1" << "http://example.com/" << false;
    QTest::newRow("set by parent, to child") << "http://example.com/" << "a=1" << "http://shop.example.com/" << true;
    QTest::newRow("set by parent, to itself") << "http://example.com/" << "a=1" << "http://example.com/" << true;
    QTest::newRow("lookalike host") << "http://example.com/" << "a=1" << "http://badexample.com/" << false;
    QTest::newRow("localhost gets its own back") << "http://localhost/" << "a=1" << "http://localhost/" << true;
    QTest::newRow("dotted domain to bare host") << "http://shop.example.com/" << "a=1; domain=.example.com" << "http://example.com/" << true;
    QTest::newRow("host in other case") << "http://Example.COM/" << "a=1" << "http://example.com/" << true;
    QTest::newRow("path prefix") << "http://h.example/" << "a=1; path=/App" << "http://h.example/app/x" << true;
    QTest::newRow("path outside") << "http://h.example/" << "a=1; path=/app" << "http://h.example/other/" << false;
    QTest::newRow("path with document only") << "http://h.example/" << "a=1; path=/app" << "http://h.example/app" << false;
    // A name that ends like an address sets a domain that must not reach the address itself.
    QTest::newRow("numeric domain to an address") << "http://a.0.0.1/" << "a=1; domain=0.0.1" << "http://10.0.0.1/" << false;
}

void TestCookies::sending()
{
    QFETCH(QString, setBy);
    QFETCH(QString, setCookie);
    QFETCH(QString, requestTo);
    QFETCH(bool, sent);
    TCookieManager store;
    store.AddServerCookies({setCookie}, {}, Uri(setBy), kNow);
    QCOMPARE(store.Count(), 1);
    const QStringList lines = CookieLines(store, requestTo);
    QCOMPARE(lines.contains(QStringLiteral("Cookie: a=1")), sent);
}

void TestCookies::literalHostsKeepTheirOwn_data()
{
    QTest::addColumn<QString>("setBy");
    QTest::addColumn<QString>("setCookie");
    QTest::addColumn<QString>("domain"); // empty: refused
    QTest::addColumn<QStringList>("sentTo");
    QTest::addColumn<QStringList>("notSentTo");

    const QStringList others = {"http://[::2]/", "http://[2001:db8::1]/", "http://127.0.0.1/", "http://localhost/",
                                "http://1/"};
    QTest::newRow("ipv6 default") << "http://[::1]:8080/" << "a=1" << ".::1"
                                  << QStringList{"http://[::1]:8080/x", "http://[::1]:9090/", "http://[::1]/"} << others;
    QTest::newRow("ipv6 host in other case") << "http://[FE80::A]/" << "a=1" << ".FE80::A" << QStringList{"http://[fe80::a]/"}
                                             << QStringList{"http://[fe80::b]/", "http://a/"};
    // A domain is cut at its first ":", so no domain attribute can name an IPv6 address.
    QTest::newRow("ipv6 domain cut to its first group") << "http://[2001:db8::1]/" << "a=1; domain=2001:db8::1" << ""
                                                        << QStringList() << QStringList{"http://[2001:db8::1]/", "http://2001/"};
    QTest::newRow("ipv6 domain cut to a dot") << "http://[::1]/" << "a=1; domain=.::1" << "" << QStringList() << others;
    QTest::newRow("ipv6 domain cut to nothing") << "http://[2001:db8::1]/" << "a=1; domain=::1" << ".2001:db8::1"
                                                << QStringList{"http://[2001:db8::1]:81/"}
                                                << QStringList{"http://[2001:db8::2]/", "http://[::1]/", "http://1/"};
    QTest::newRow("ipv6 tail as domain refused") << "http://[2001:db8::1]/" << "a=1; domain=db8::1" << ""
                                                 << QStringList() << QStringList{"http://[2001:db8::1]/", "http://[db8::1]/"};
    QTest::newRow("ipv6 last group as domain refused") << "http://[2001:db8::1]/" << "a=1; domain=1" << ""
                                                       << QStringList() << QStringList{"http://[2001:db8::1]/", "http://1/"};
    QTest::newRow("ipv6 domain in brackets refused") << "http://[::1]/" << "a=1; domain=[::1]" << "" << QStringList()
                                                     << QStringList{"http://[::1]/"};
    QTest::newRow("ipv6 domain with a zone id refused") << "http://[fe80::1]/" << "a=1; domain=fe80::1%eth0" << ""
                                                        << QStringList() << QStringList{"http://[fe80::1]/"};
    QTest::newRow("ipv6 version 1 refused") << "http://[::1]/" << "a=1; version=1" << "" << QStringList()
                                            << QStringList{"http://[::1]/"};
    QTest::newRow("dotted tail of a mapped address") << "http://[::ffff:10.0.0.1]/" << "a=1; domain=0.0.1" << ""
                                                     << QStringList()
                                                     << QStringList{"http://[::ffff:10.0.0.1]/", "http://10.0.0.1/"};
    QTest::newRow("mapped address keeps its own") << "http://[::ffff:10.0.0.1]/" << "a=1" << "::ffff:10.0.0.1"
                                                  << QStringList{"http://[::ffff:10.0.0.1]/"}
                                                  << QStringList{"http://10.0.0.1/", "http://[::1]/"};
    QTest::newRow("name cannot set an ipv6 domain") << "http://a.example/" << "a=1; domain=::1" << "a.example"
                                                    << QStringList{"http://a.example/"} << QStringList{"http://[::1]/"};
    QTest::newRow("ipv4 cannot set an ipv6 domain") << "http://10.0.0.1/" << "a=1; domain=::ffff:10.0.0.1" << "10.0.0.1"
                                                    << QStringList{"http://10.0.0.1/"}
                                                    << QStringList{"http://[::ffff:10.0.0.1]/", "http://[::1]/"};
}

void TestCookies::literalHostsKeepTheirOwn()
{
    QFETCH(QString, setBy);
    QFETCH(QString, setCookie);
    QFETCH(QString, domain);
    QFETCH(QStringList, sentTo);
    QFETCH(QStringList, notSentTo);
    TCookieManager store;
    store.AddServerCookies({setCookie}, {}, Uri(setBy), kNow);
    QCOMPARE(store.Count(), domain.isEmpty() ? 0 : 1);
    if (!domain.isEmpty())
        QCOMPARE(store.Cookies().first().Domain, domain);
    for (const QString &url : sentTo)
        QVERIFY2(CookieLines(store, url).contains(QStringLiteral("Cookie: a=1")), qPrintable(url));
    for (const QString &url : notSentTo)
        QVERIFY2(CookieLines(store, url).isEmpty(), qPrintable(url));

    // A Set-Cookie2 cookie from a literal host follows the same rule.
    if (Uri(setBy).IPVersion == 6 && !setCookie.contains(u';')) {
        TCookieManager store2;
        store2.AddServerCookies({}, {setCookie + QStringLiteral("; Version=1")}, Uri(setBy), kNow);
        QCOMPARE(store2.Count(), 1);
        for (const QString &url : sentTo)
            QVERIFY2(!CookieLines(store2, url).isEmpty(), qPrintable(url));
        for (const QString &url : notSentTo)
            QVERIFY2(CookieLines(store2, url).isEmpty(), qPrintable(url));
    }
}

void TestCookies::replacementKeepsPlace()
{
    TCookieManager store;
    store.AddServerCookies({"a=1, B=2, c=3"}, {}, Uri("http://one.example/"), kNow);
    store.AddServerCookies({"b=9"}, {}, Uri("http://one.example/"), kNow);
    const QList<TNetscapeCookie> cookies = store.Cookies();
    QCOMPARE(cookies.size(), 3);
    QCOMPARE(cookies[1].CookieName, QStringLiteral("b"));
    QCOMPARE(cookies[1].Value, QStringLiteral("9"));
}

void TestCookies::namesCompareWithoutCase_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("sent");
    QTest::newRow("upper case") << "session=1" << "SESSION=2" << "SESSION=2";
    // U+017F folds to "s" but has no lower case of its own
    QTest::newRow("long s") << "session=1" << QStringLiteral("\u017Fession=2") << QStringLiteral("\u017Fession=2");
    QTest::newRow("long s first") << QStringLiteral("\u017Fession=1") << "Session=2" << "Session=2";
    QTest::newRow("Kelvin sign") << "key=1" << QStringLiteral("\u212Aey=2") << QStringLiteral("\u212Aey=2");
}

void TestCookies::namesCompareWithoutCase()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, sent);
    TCookieManager store;
    store.AddServerCookies({first}, {}, Uri("http://one.example/"), kNow);
    store.AddServerCookies({second}, {}, Uri("http://one.example/"), kNow);
    QCOMPARE(store.Count(), 1);
    QCOMPARE(CookieLines(store, "http://one.example/"), QStringList({"Cookie: " + sent, "Cookie2: $Version=\"1\""}));
    // a Set-Cookie2 cookie of the folded name supersedes the Set-Cookie one in the same response
    TCookieManager both;
    both.AddServerCookies({first}, {second + QStringLiteral("; version=1")}, Uri("http://one.example/"), kNow);
    QCOMPARE(both.Count(), 1);
    QCOMPARE(both.Cookies().first().Kind, TCookieKind::RFC2965);
}

// One site's cookie never replaces another site's of the same name, nor one of another path.
void TestCookies::identityIsDomainPathAndName()
{
    TCookieManager store;
    store.AddServerCookies({"session=one"}, {}, Uri("http://one.example/"), kNow);
    store.AddServerCookies({"session=two"}, {}, Uri("http://two.example/"), kNow);
    store.AddServerCookies({"session=app; path=/app"}, {}, Uri("http://one.example/"), kNow);
    QCOMPARE(store.Count(), 3);
    QCOMPARE(CookieLines(store, "http://one.example/"), QStringList({"Cookie: session=one", "Cookie2: $Version=\"1\""}));
    QCOMPARE(CookieLines(store, "http://two.example/"), QStringList({"Cookie: session=two", "Cookie2: $Version=\"1\""}));
    QCOMPARE(CookieLines(store, "http://one.example/app/"),
             QStringList({"Cookie: session=one", "Cookie: session=app", "Cookie2: $Version=\"1\""}));
    // an expired cookie of the same identity deletes it
    store.AddServerCookies({"SESSION=gone; max-age=0"}, {}, Uri("http://one.example/"), kNow);
    QCOMPARE(CookieLines(store, "http://one.example/"), QStringList());
    QCOMPARE(store.Count(), 2);
}

void TestCookies::limits_data()
{
    QTest::addColumn<int>("domains");
    QTest::addColumn<int>("perDomain");
    QTest::addColumn<int>("kept");
    QTest::addColumn<QString>("oldestKept");

    const int perDomain = TCookieManager::MaxCookiesPerDomain;
    QTest::newRow("one domain at its limit") << 1 << perDomain << perDomain << "d0c0";
    QTest::newRow("one domain over its limit") << 1 << perDomain + 7 << perDomain << "d0c7";
    QTest::newRow("many domains over the total")
        << 70 << perDomain << TCookieManager::MaxCookies << QStringLiteral("d10c0");
}

// Beyond a limit the oldest cookies go first: the domain's own, then the oldest of all.
void TestCookies::limits()
{
    QFETCH(int, domains);
    QFETCH(int, perDomain);
    QFETCH(int, kept);
    QFETCH(QString, oldestKept);
    TCookieManager store;
    for (int d = 0; d < domains; ++d) {
        QStringList values;
        for (int c = 0; c < perDomain; ++c)
            values << QStringLiteral("d%1c%2=v").arg(d).arg(c);
        store.AddServerCookies(values, {}, Uri(QStringLiteral("http://d%1.example/").arg(d)), kNow);
    }
    const QList<TNetscapeCookie> cookies = store.Cookies();
    QCOMPARE(cookies.size(), kept);
    QCOMPARE(cookies.first().CookieName, oldestKept);
    QCOMPARE(cookies.last().CookieName, QStringLiteral("d%1c%2").arg(domains - 1).arg(perDomain - 1));
}

void TestCookies::progressCanStopAFlood()
{
    QStringList values;
    for (int i = 0; i < 10000; ++i)
        values << QStringLiteral("c%1=%1").arg(i);
    const QString big = QStringLiteral("big=") + QString(TCookieManager::MaxCookieBytes, u'x');
    TCookieManager store;
    store.AddServerCookies({big, "small=1"}, {}, Uri("http://h.example/"), kNow);
    QCOMPARE(store.Count(), 1); // the cookie over 4096 bytes is dropped
    int calls = 0;
    struct Stop {};
    QVERIFY_THROWS_EXCEPTION(Stop, store.AddServerCookies(values, {}, Uri("http://h.example/"), kNow, [&] {
        if (++calls == 3)
            throw Stop();
    }));
    QVERIFY(store.Count() <= TCookieManager::MaxCookiesPerDomain);
    QCOMPARE(CookieLines(store, "http://h.example/").size(), store.Count() + 1);
}

// A host no host name can be never sets a cookie, whatever domain it names.
void TestCookies::invalidHostSetsNothing()
{
    TUri uri;
    uri.Protocol = QStringLiteral("http");
    uri.Host = QStringLiteral("evil%1.example.com").arg(QChar(0));
    uri.Port = QStringLiteral("80");
    uri.Path = QStringLiteral("/");
    TCookieManager store;
    store.AddServerCookies({"a=1", "b=2; domain=example.com", "c=3; domain=.com"}, {}, uri, kNow);
    QCOMPARE(store.Count(), 0);
}

void TestCookies::emptyValueStoredNotSent()
{
    TCookieManager store;
    store.AddServerCookies({"a=", "b=\"\""}, {}, Uri("http://h.example/"), kNow);
    QCOMPARE(store.Count(), 2);
    QVERIFY(CookieLines(store, "http://h.example/").isEmpty());
}

void TestCookies::pastExpiryPurged()
{
    TCookieManager store;
    store.AddServerCookies({"old=1; expires=Thu, 01 Jan 1998 00:00:00 GMT", "keep=2",
                            "soon=3; expires=60"},
                           {}, Uri("http://h.example/"), kNow);
    QCOMPARE(store.Count(), 3);
    QCOMPARE(CookieLines(store, "http://h.example/"),
             QStringList({"Cookie: keep=2", "Cookie: soon=3", "Cookie2: $Version=\"1\""}));
    QCOMPARE(store.Count(), 2);
    QCOMPARE(CookieLines(store, "http://h.example/", kNow.addSecs(60)),
             QStringList({"Cookie: keep=2", "Cookie2: $Version=\"1\""}));
    QCOMPARE(store.Count(), 1);
}

void TestCookies::maxAgeCountsFromReceipt()
{
    TCookieManager store;
    store.AddServerCookies({"v=1; version=1; max-age=30"}, {}, Uri("http://www.h.example/"), kNow);
    QCOMPARE(CookieLines(store, "http://www.h.example/", kNow.addSecs(29)).size(), 2);
    QCOMPARE(CookieLines(store, "http://www.h.example/", kNow.addSecs(31)).size(), 0);
    QCOMPARE(store.Count(), 0);
}

void TestCookies::secureNeverSentOverHttp()
{
    TCookieManager store;
    store.AddServerCookies({"s=1; path=/; Secure"}, {}, Uri("http://h.example/"), kNow);
    QCOMPARE(store.Count(), 1);
    QVERIFY(store.Cookies().first().Secure);
    QVERIFY(CookieLines(store, "http://h.example/").isEmpty());
    QCOMPARE(store.GenerateClientCookies(Uri("https://h.example/"), true, kNow).size(), 2);
}

void TestCookies::twoCookiesGiveThreeLines()
{
    TCookieManager store;
    store.AddServerCookies({"a=1; expires=Sun, 06 Nov 2050 08:49:37 GMT, b=2"}, {}, Uri("http://h.example/"), kNow);
    const auto lines = store.GenerateClientCookies(Uri("http://h.example/"), false, kNow);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], TCookieManager::HeaderLine("Cookie", "a=1"));
    QCOMPARE(lines[1], TCookieManager::HeaderLine("Cookie", "b=2"));
    QCOMPARE(lines[2], TCookieManager::HeaderLine("Cookie2", "$Version=\"1\""));
}

void TestCookies::versionOneLine()
{
    TCookieManager store;
    store.AddServerCookies({"v=x y; Version=1; Path=/"}, {}, Uri("http://www.h.example/"), kNow);
    QCOMPARE(CookieLines(store, "http://www.h.example/"),
             QStringList({"Cookie: $Version=\"1\"; v=\"x y\"; $Path=\"/\"; $Domain=\".www.h.example\"",
                          "Cookie2: $Version=\"1\""}));
}

void TestCookies::setCookie2()
{
    TCookieManager store;
    // The Set-Cookie2 cookie of a name supersedes the Set-Cookie one of the same response.
    store.AddServerCookies({"a=old, plain=1"}, {"A=new; Version=1; Port"}, Uri("http://h.example:8080/"), kNow);
    QCOMPARE(store.Count(), 2);
    const TNetscapeCookie c2 = store.Cookies().last();
    QCOMPARE(c2.Kind, TCookieKind::RFC2965);
    QCOMPARE(c2.PortList, QList<int>{8080});

    // Cookie2 lines; no extra $Version line when a Set-Cookie2 cookie went out.
    QCOMPARE(CookieLines(store, "http://h.example:8080/"),
             QStringList({"Cookie: plain=1", "Cookie2: $Version=\"1\"; A=\"new\"; $Path=\"/\"; $Domain=\"h.example\""}));
    // Another port does not get it.
    QCOMPARE(CookieLines(store, "http://h.example:9090/"),
             QStringList({"Cookie: plain=1", "Cookie2: $Version=\"1\""}));

    // A port list without the request's port is rejected.
    TCookieManager other;
    other.AddServerCookies({}, {"p=1; Version=1; Port=\"81,82\""}, Uri("http://h.example/"), kNow);
    QCOMPARE(other.Count(), 0);
    other.AddServerCookies({}, {"p=1; Version=1; Port=\"80,82\""}, Uri("http://h.example/"), kNow);
    QCOMPARE(other.Count(), 1);
}

QTEST_GUILESS_MAIN(TestCookies)
#include "tst_Cookies.moc"
