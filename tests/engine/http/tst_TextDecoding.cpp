#include "CharsetDecoding.h"
#include "IdContentType.h"
#include "IdHeaderList.h"
#include "IdResponseTextDecoder.h"
#include "Utf7Decoding.h"

#include <QTest>

class TestTextDecoding : public QObject
{
    Q_OBJECT

private slots:
    void decodeBytes_data();
    void decodeBytes();
    void utf7_data();
    void utf7();
    void contentType_data();
    void contentType();
    void headerList();
    void responseCharsetWinsOverMeta();
    void metaFallback();
    void metaListHoldsLatestPageOnly();
};

void TestTextDecoding::decodeBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("charset");
    QTest::addColumn<QString>("text");

    const QByteArray aeUtf8("a\xC3\xA9");
    QTest::newRow("utf-8 two chars") << aeUtf8 << "UTF-8" << QStringLiteral("a\u00e9");
    QTest::newRow("utf-8 lower case") << aeUtf8 << "utf-8" << QStringLiteral("a\u00e9");
    QTest::newRow("utf-8 mixed case") << aeUtf8 << "Utf-8" << QStringLiteral("a\u00e9");
    QTest::newRow("latin-1 three chars") << aeUtf8 << "ISO-8859-1" << QStringLiteral("a\u00c3\u00a9");
    QTest::newRow("no charset") << aeUtf8 << "" << QStringLiteral("a\u00c3\u00a9");
    QTest::newRow("unknown charset") << aeUtf8 << "x-no-such-set" << QStringLiteral("a\u00c3\u00a9");
    QTest::newRow("implausible name") << aeUtf8 << QString::fromLatin1("utf-8\0x", 7) << QStringLiteral("a\u00c3\u00a9");
    QTest::newRow("utf-8 FF empty") << QByteArray("\xFF") << "UTF-8" << QString();
    QTest::newRow("utf-8 invalid mid text") << QByteArray("abc\xC3(def") << "UTF-8" << QString();
    QTest::newRow("utf-8 overlong") << QByteArray("\xC0\xAF") << "UTF-8" << QString();
    QTest::newRow("utf-8 surrogate") << QByteArray("\xED\xA0\x80") << "UTF-8" << QString();
    QTest::newRow("utf-8 truncated") << QByteArray("a\xE2\x82") << "UTF-8" << QString();
    QTest::newRow("utf-8 astral two units") << QByteArray("\xF0\x9F\x98\x80") << "UTF-8" << QStringLiteral("\U0001F600");
    QTest::newRow("utf-8 bom counted") << QByteArray("\xEF\xBB\xBFx") << "UTF-8" << QStringLiteral("\uFEFFx");
    QTest::newRow("utf-8 empty") << QByteArray() << "UTF-8" << QString();
    QTest::newRow("utf-16 little endian") << QByteArray("a\0\xE9\0", 4) << "UTF-16" << QStringLiteral("a\u00e9");
    QTest::newRow("utf-16 big endian bom") << QByteArray("\xFE\xFF\0a", 4) << "UTF-16" << QStringLiteral("\uFEFFa");
    QTest::newRow("utf-16le") << QByteArray("a\0", 2) << "utf-16le" << QStringLiteral("a");
    QTest::newRow("utf-16be") << QByteArray("\0a", 2) << "UTF-16BE" << QStringLiteral("a");
    QTest::newRow("utf-7") << QByteArray("Hi Mom -+Jjo--!") << "UTF-7" << QStringLiteral("Hi Mom -\u263a-!");
    QTest::newRow("windows-1252 euro") << QByteArray("\x80") << "windows-1252" << QStringLiteral("\u20ac");
    QTest::newRow("koi8-r") << QByteArray("\xC1\xC2") << "KOI8-R" << QStringLiteral("\u0430\u0431");
    QTest::newRow("shift_jis") << QByteArray("\x82\xA0\x82\xA2") << "Shift_JIS" << QStringLiteral("\u3042\u3044");
    QTest::newRow("gb2312") << QByteArray("\xC4\xE3\xBA\xC3") << "GB2312" << QStringLiteral("\u4f60\u597d");
    QTest::newRow("big5") << QByteArray("\xA7\x41\xA6\x6E") << "Big5" << QStringLiteral("\u4f60\u597d");
    QTest::newRow("euc-kr") << QByteArray("\xC7\xD1") << "EUC-KR" << QStringLiteral("\ud55c");
    QTest::newRow("us-ascii high byte replaced") << QByteArray("a\xE9") << "US-ASCII" << QStringLiteral("a\ufffd");
}

void TestTextDecoding::decodeBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, charset);
    QTEST(DecodeBytes(bytes, charset), "text");
}

void TestTextDecoding::utf7_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << QByteArray("abc") << QStringLiteral("abc");
    QTest::newRow("plus minus") << QByteArray("1 +- 1") << QStringLiteral("1 + 1");
    QTest::newRow("implicit end") << QByteArray("+ZeVnLIqe.") << QStringLiteral("\u65e5\u672c\u8a9e.");
    QTest::newRow("surrogate pair") << QByteArray("+2D3eAA-") << QStringLiteral("\U0001F600");
    QTest::newRow("open at end") << QByteArray("a+AGE") << QStringLiteral("aa");
    QTest::newRow("high byte") << QByteArray("a\xFF") << QStringLiteral("a\ufffd");
    QTest::newRow("lone plus at end") << QByteArray("+") << QString();
}

void TestTextDecoding::utf7()
{
    QFETCH(QByteArray, bytes);
    QTEST(DecodeUtf7(bytes), "text");
}

void TestTextDecoding::contentType_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("charset");
    QTest::newRow("text without charset") << "text/html" << "text/html" << "ISO-8859-1";
    QTest::newRow("upper-case text") << "TEXT/Plain" << "TEXT/Plain" << "ISO-8859-1";
    QTest::newRow("charset") << "text/html; charset=utf-8" << "text/html" << "utf-8";
    QTest::newRow("quoted charset") << "text/html; Charset=\"Shift_JIS\"" << "text/html" << "Shift_JIS";
    QTest::newRow("other parameter first") << "text/html; q=1; charset=koi8-r" << "text/html" << "koi8-r";
    QTest::newRow("binary type") << "application/octet-stream" << "application/octet-stream" << "";
    QTest::newRow("binary with charset") << "application/json;charset=UTF-8" << "application/json" << "UTF-8";
    QTest::newRow("empty") << "" << "" << "";
    QTest::newRow("blank") << "   " << "" << "";
}

void TestTextDecoding::contentType()
{
    QFETCH(QString, value);
    const TIdContentType parsed = TIdContentType::Parse(value);
    QTEST(parsed.ContentType, "type");
    QTEST(parsed.CharSet, "charset");
}

void TestTextDecoding::headerList()
{
    const TIdHeaderList list = TIdHeaderList::FromRawLines(
        {"Content-Type: text/html", "X-Long: one", "\t two", " three ", "no colon here", "set-cookie: a=1",
         "Set-Cookie:  b=2 ", ": nameless"});
    QCOMPARE(list.Value("content-type"), QStringLiteral("text/html"));
    QCOMPARE(list.Value("X-LONG"), QStringLiteral("one two three"));
    QCOMPARE(list.Values("Set-Cookie"), QStringList({"a=1", "b=2"}));
    QCOMPARE(list.Count(), 4);
    QVERIFY(!list.Contains("Location"));
    QCOMPARE(list.Value("Location"), QString());
}

void TestTextDecoding::responseCharsetWinsOverMeta()
{
    TIdResponseTextDecoder decoder;
    const QByteArray page("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"
                          "</head><body>\xC3\xA9</body></html>");
    decoder.ScanMetaHeaders(page);
    QCOMPARE(decoder.MetaCharset(), QStringLiteral("utf-8"));
    decoder.SetResponseCharset(TIdContentType::Parse("text/html").CharSet);
    QCOMPARE(decoder.DecodeBody(page, true).size(), page.size());
}

void TestTextDecoding::metaFallback()
{
    TIdResponseTextDecoder decoder;
    decoder.ScanMetaHeaders("<html><head><meta http-equiv=content-type content='text/html; charset=UTF-8'>");
    decoder.SetResponseCharset(QString());
    const QByteArray body("a\xC3\xA9");
    QCOMPARE(decoder.DecodeBody(body, true).size(), 2);
    QCOMPARE(decoder.DecodeBody(body, false).size(), 3); // error bodies do not use the meta charset
}

void TestTextDecoding::metaListHoldsLatestPageOnly()
{
    TIdResponseTextDecoder decoder;
    decoder.ScanMetaHeaders("<html><head><meta http-equiv=Content-Type content='text/html; charset=UTF-8'>"
                            "<meta http-equiv=Set-Cookie content='a=1'>");
    QCOMPARE(decoder.MetaSetCookies(), QStringList{"a=1"});
    decoder.ScanMetaHeaders("<html><head><meta http-equiv=Content-Type content='text/html; charset=KOI8-R'>");
    QCOMPARE(decoder.MetaCharset(), QStringLiteral("KOI8-R"));
    QVERIFY(decoder.MetaSetCookies().isEmpty());
    decoder.ScanMetaHeaders("<html><body>");
    QCOMPARE(decoder.MetaCharset(), QString());
    QVERIFY(decoder.MetaHeaders().IsEmpty());
}

QTEST_GUILESS_MAIN(TestTextDecoding)
#include "tst_TextDecoding.moc"
