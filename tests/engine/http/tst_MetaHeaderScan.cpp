#include "engine/http/MetaHeaderScan.h"

#include <QTest>

class TestMetaHeaderScan : public QObject
{
    Q_OBJECT

private slots:
    void scan_data();
    void scan();
    void anySplitGivesTheSameLines_data();
    void anySplitGivesTheSameLines();
    void longTagEndsTheScan_data();
    void longTagEndsTheScan();
    void scanEndsWithTheHead();
};

void TestMetaHeaderScan::scan_data()
{
    QTest::addColumn<QByteArray>("html");
    QTest::addColumn<QStringList>("lines");

    const QByteArray meta("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">");
    const QStringList ct{"Content-Type: text/html; charset=utf-8"};

    QTest::newRow("in head") << "<html><head>" + meta + "</head><body></body></html>" << ct;
    QTest::newRow("upper case tags") << QByteArray("<HTML><HEAD><META HTTP-EQUIV=\"Content-Type\" "
                                                   "CONTENT=\"text/html; charset=utf-8\"></HEAD>") << ct;
    QTest::newRow("doctype and xml prolog") << "<?xml version=\"1.0\"?><!DOCTYPE html>< html ><head>" + meta << ct;
    QTest::newRow("before html ignored") << meta + "<html><head></head>" << QStringList();
    QTest::newRow("no head") << "<html>" + meta << QStringList();
    QTest::newRow("after body not taken") << "<html><head></head><body>" + meta << QStringList();
    QTest::newRow("body without head") << "<html><body><head>" + meta << QStringList();
    QTest::newRow("title before head ends search") << "<html><title>x</title><head>" + meta << QStringList();
    QTest::newRow("title inside head skipped") << "<html><head><title><meta http-equiv=a content=b></title>" + meta << ct;
    QTest::newRow("script skipped") << "<html><head><script>var s='<meta http-equiv=a content=b>';</script>" + meta << ct;
    QTest::newRow("link and other tags ignored") << "<html><head><link rel=x href=y><base href=z>" + meta << ct;
    QTest::newRow("comment skipped") << "<html><head><!-- <meta http-equiv=a content=b> -->" + meta << ct;
    QTest::newRow("comment hides body") << "<html><head><!-- <body> -->" + meta << ct;
    QTest::newRow("comment hides html") << "<!-- <html><head> -->" + meta << QStringList();
    QTest::newRow("single quotes") << QByteArray("<html><head><meta http-equiv='Set-Cookie' content='a=1; path=/'>")
                                   << QStringList{"Set-Cookie: a=1; path=/"};
    QTest::newRow("bare values") << QByteArray("<html><head><meta http-equiv=Refresh content=5>")
                                 << QStringList{"Refresh: 5"};
    QTest::newRow("no content") << QByteArray("<html><head><meta http-equiv=\"Expires\">")
                                << QStringList{"Expires:"};
    QTest::newRow("content not in same tag") << QByteArray("<html><head><meta http-equiv=X><p content=y>")
                                             << QStringList{"X:"};
    QTest::newRow("http-equiv not first") << QByteArray("<html><head><meta content=y http-equiv=X>") << QStringList();
    QTest::newRow("html5 charset form") << QByteArray("<html><head><meta charset=utf-8>") << QStringList();
    QTest::newRow("blanks around equals") << QByteArray("<html><head><meta http-equiv = \"A\" name=n content = \"b c\" >")
                                          << QStringList{"A: b c"};
    QTest::newRow("line break in value made blank") << QByteArray("<html><head><meta http-equiv=Set-Cookie content=\"a=1\r\nX: y\">")
                                                    << QStringList{"Set-Cookie: a=1  X: y"};
    QTest::newRow("high bytes read as question marks") << QByteArray("<html><head><meta http-equiv=X content=\"\xC3\xA9\">")
                                                       << QStringList{"X: ??"};
    // US-ASCII reads a byte above 0x7F as "?", and a "?" right after "<" is skipped.
    QTest::newRow("high byte after lt read as question mark")
        << QByteArray("<html><head><\xE9meta http-equiv=X content=y>") << QStringList{"X: y"};
    QTest::newRow("high byte after lt before html") << QByteArray("<\x80html><head>" + meta) << ct;
    QTest::newRow("two high bytes after lt") << QByteArray("<html><head><\xC3\xA9meta http-equiv=X content=y>")
                                             << QStringList();
    QTest::newRow("unterminated quote") << QByteArray("<html><head><meta http-equiv=\"X") << QStringList{"X:"};
    QTest::newRow("cut after lt") << QByteArray("<html><head><") << QStringList();
    QTest::newRow("unclosed comment") << QByteArray("<html><head><!-- <meta http-equiv=a>") << QStringList();
    QTest::newRow("empty") << QByteArray() << QStringList();
}

void TestMetaHeaderScan::scan()
{
    QFETCH(QByteArray, html);
    QTEST(ScanMetaHeaderLines(html), "lines");
}

namespace {

QByteArray LongPage()
{
    QByteArray page = "<?xml version=\"1.0\"?><!DOCTYPE html>\n<!-- <html><head><meta http-equiv=no> -->\n"
                      "<HTML lang=en>\n< head >\n<script>var s = '<meta http-equiv=no content=1>';</SCRIPT >"
                      "<title>A <meta http-equiv=no> title</TITLE>\n<link rel=stylesheet href=x.css>"
                      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n"
                      "<meta http-equiv='Set-Cookie' content='a=1; path=/'  >"
                      "<meta http-equiv = Refresh name=x content = 5 />"
                      "<\x80meta http-equiv=X-High content=\"caf\xC3\xA9\">"
                      "<!---->"
                      "<meta http-equiv=X-Last>";
    page += "</head><body><meta http-equiv=after content=body>";
    return page;
}

QStringList ScanInBlocks(const QByteArray &page, const QList<qsizetype> &cuts)
{
    TMetaHeaderScanner scanner;
    qsizetype from = 0;
    for (const qsizetype cut : cuts) {
        scanner.Add(page.mid(from, cut - from));
        from = cut;
    }
    scanner.Add(page.mid(from));
    return scanner.Finish();
}

} // namespace

void TestMetaHeaderScan::anySplitGivesTheSameLines_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<int>("blockSize"); // 0: every cut into two pieces, and every two cuts
    const QByteArray page = LongPage();
    const QByteArray unclosed("<html><head><meta http-equiv=\"X-Open content=y><meta http-equiv=Z");
    const QByteArray cutLt("<html><head><meta http-equiv=A content=b><");
    for (const int size : {0, 1, 2, 3, 7, 64}) {
        QTest::addRow("page, blocks of %d", size) << page << size;
        QTest::addRow("unclosed quote, blocks of %d", size) << unclosed << size;
        QTest::addRow("ends after lt, blocks of %d", size) << cutLt << size;
    }
}

// The page may arrive cut anywhere: inside a tag name, an attribute, a quoted value, a
// comment's opening or closing marker, between "<" and "?".
void TestMetaHeaderScan::anySplitGivesTheSameLines()
{
    QFETCH(QByteArray, page);
    QFETCH(int, blockSize);
    const QStringList whole = ScanMetaHeaderLines(page);
    QVERIFY(!whole.isEmpty());
    if (blockSize > 0) {
        QList<qsizetype> cuts;
        for (qsizetype at = blockSize; at < page.size(); at += blockSize)
            cuts << at;
        QCOMPARE(ScanInBlocks(page, cuts), whole);
        return;
    }
    for (qsizetype a = 0; a <= page.size(); ++a) {
        const QStringList lines = ScanInBlocks(page, {a});
        if (lines != whole)
            QFAIL(qPrintable(QStringLiteral("cut at %1: %2").arg(a).arg(lines.join(u'|'))));
    }
    for (qsizetype a = 0; a <= page.size(); a += 5) {
        for (qsizetype b = a; b <= page.size(); ++b) {
            const QStringList lines = ScanInBlocks(page, {a, b});
            if (lines != whole)
                QFAIL(qPrintable(QStringLiteral("cuts at %1 and %2: %3").arg(a).arg(b).arg(lines.join(u'|'))));
        }
    }
}

void TestMetaHeaderScan::longTagEndsTheScan_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QStringList>("lines");
    const qsizetype max = TMetaHeaderScanner::MaxTagLength;
    const QByteArray head("<html><head><meta http-equiv=A content=1>");
    const QByteArray after("<meta http-equiv=B content=2>");
    QTest::newRow("value at the limit is taken")
        << head + "<meta http-equiv=V content=\"" + QByteArray(max - 30, 'v') + "\">" + after
        << QStringList{"A: 1", "V: " + QString(max - 30, u'v'), "B: 2"};
    QTest::newRow("unclosed quote beyond the limit")
        << head + "<meta http-equiv=V content=\"" + QByteArray(3 * max, 'v') + after << QStringList{"A: 1"};
    QTest::newRow("blanks after lt beyond the limit")
        << head + "<" + QByteArray(2 * max, ' ') + "meta http-equiv=C>" + after << QStringList{"A: 1"};
}

// A tag may not grow the carried bytes without bound; the limit gives the same lines however
// the page is cut.
void TestMetaHeaderScan::longTagEndsTheScan()
{
    QFETCH(QByteArray, page);
    QFETCH(QStringList, lines);
    QCOMPARE(ScanMetaHeaderLines(page), lines);
    QList<qsizetype> cuts;
    for (qsizetype at = 32768; at < page.size(); at += 32768)
        cuts << at - 17;
    QCOMPARE(ScanInBlocks(page, cuts), lines);
}

void TestMetaHeaderScan::scanEndsWithTheHead()
{
    TMetaHeaderScanner scanner;
    scanner.Add("<html><head><meta http-equiv=A content=1></head><bo");
    QVERIFY(!scanner.Done());
    scanner.Add("dy>");
    QVERIFY(scanner.Done());
    scanner.Add("<meta http-equiv=B content=2>");
    QCOMPARE(scanner.Finish(), QStringList{"A: 1"});
}

QTEST_GUILESS_MAIN(TestMetaHeaderScan)
#include "tst_MetaHeaderScan.moc"
