#include "MetaHeaderScan.h"

#include <QTest>

class TestMetaHeaderScan : public QObject
{
    Q_OBJECT

private slots:
    void scan_data();
    void scan();
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

QTEST_GUILESS_MAIN(TestMetaHeaderScan)
#include "tst_MetaHeaderScan.moc"
