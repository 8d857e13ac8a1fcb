#include "engine/http/CharsetDecoding.h"
#include "engine/http/ContentType.h"
#include "engine/http/HeaderList.h"
#include "engine/http/ResponseTextDecoder.h"
#include "engine/http/Utf7Decoding.h"

#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTest>

class TestTextDecoding : public QObject
{
    Q_OBJECT

private slots:
    void decodeBytes_data();
    void decodeBytes();
    void decodedLength_data();
    void decodedLength();
    void decodedLengthMatchesDecoding_data();
    void decodedLengthMatchesDecoding();
    void utf8CountOfEveryShortSequence();
    void utf16And32CountedInPieces_data();
    void utf16And32CountedInPieces();
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
    QTest::newRow("utf-16 odd byte at end") << QByteArray("a\0b", 3) << "UTF-16LE" << QStringLiteral("a\ufffd");
    QTest::newRow("utf-16 lone byte") << QByteArray("\xFE") << "UTF-16" << QString();
    QTest::newRow("utf-32 cut unit") << QByteArray("a\0\0\0b\0", 6) << "UTF-32LE" << QStringLiteral("a\ufffd");
    QTest::newRow("utf-32 astral") << QByteArray("\0\xF6\x01\0", 4) << "UTF-32LE" << QStringLiteral("\U0001F600");
    QTest::newRow("shift_jis cut after lead byte") << QByteArray("a\x82") << "Shift_JIS" << QStringLiteral("a");
    QTest::newRow("utf-7 plus at end") << QByteArray("a+") << "UTF-7" << QStringLiteral("a");
    QTest::newRow("utf-8 above U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << "UTF-8" << QString();
    QTest::newRow("utf-8 noncharacter kept") << QByteArray("\xEF\xBF\xBF") << "UTF-8" << QStringLiteral("\uffff");
    QTest::newRow("utf-8 long ascii run") << QByteArray(40, 'x') + "\xC3\xA9" << "UTF-8"
                                          << QString(40, u'x') + QChar(0xE9);
    QTest::newRow("utf-8 invalid after ascii run") << QByteArray(40, 'x') + "\x80" << "UTF-8" << QString();
}

void TestTextDecoding::decodeBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, charset);
    QTEST(DecodeBytes(bytes, charset), "text");
}

void TestTextDecoding::decodedLength_data()
{
    decodeBytes_data();
}

void TestTextDecoding::decodedLength()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, charset);
    QFETCH(QString, text);
    QCOMPARE(DecodedLength(bytes, charset), text.size());
}

namespace {

enum class Shape { RandomBytes, EncodedText, Utf7Like };

// Text with ASCII, Latin-1, BMP and astral characters, now and then a lone surrogate.
QString RandomText(QRandomGenerator &random, int length)
{
    QString text;
    for (int i = 0; i < length; ++i) {
        switch (random.bounded(6)) {
        case 0:
        case 1:
            text += QChar(char16_t(0x20 + random.bounded(0x5F)));
            break;
        case 2:
            text += QChar(char16_t(0xA0 + random.bounded(0x60)));
            break;
        case 3:
            text += QChar(char16_t(0x4E00 + random.bounded(0x100)));
            break;
        case 4:
            text += QString::fromUcs4(U"\U0001F600\U00010348\U0010FFFF" + random.bounded(3), 1);
            break;
        default:
            text += random.bounded(8) == 0 ? QChar(char16_t(0xD800 + random.bounded(0x800)))
                                           : QChar(char16_t(0x3040 + random.bounded(0x60)));
            break;
        }
    }
    return text;
}

QByteArray RandomInput(QRandomGenerator &random, Shape shape, const QString &charset, int length)
{
    QByteArray bytes;
    if (shape == Shape::RandomBytes) {
        bytes.resize(length);
        for (char &b : bytes)
            b = char(random.bounded(256));
        return bytes;
    }
    if (shape == Shape::Utf7Like) {
        static const char alphabet[] = "+-+-AZaz09/+. \x80\xFF";
        for (int i = 0; i < length; ++i)
            bytes += alphabet[random.bounded(int(sizeof alphabet - 1))];
        return bytes;
    }
    QStringEncoder encoder(charset.toLatin1().constData());
    bytes = encoder.encode(RandomText(random, length));
    // Damage some: cut the end, or change, insert or drop a byte somewhere.
    for (int damage = random.bounded(4) - 1; damage > 0 && !bytes.isEmpty(); --damage) {
        const int at = random.bounded(int(bytes.size()));
        switch (random.bounded(4)) {
        case 0:
            bytes.truncate(at);
            break;
        case 1:
            bytes[at] = char(random.bounded(256));
            break;
        case 2:
            bytes.insert(at, char(random.bounded(256)));
            break;
        default:
            bytes.remove(at, 1);
            break;
        }
    }
    return bytes;
}

} // namespace

void TestTextDecoding::decodedLengthMatchesDecoding_data()
{
    QTest::addColumn<QString>("charset");
    QTest::addColumn<int>("shape");

    const int encoded = int(Shape::EncodedText);
    const int randomBytes = int(Shape::RandomBytes);
    QTest::newRow("none") << "" << randomBytes;
    QTest::newRow("unknown") << "x-unknown" << randomBytes;
    QTest::newRow("latin-1") << "iso-8859-1" << randomBytes;
    QTest::newRow("utf-8 text") << "UTF-8" << encoded;
    QTest::newRow("utf-8 bytes") << "utf-8" << randomBytes;
    QTest::newRow("utf-16 text") << "UTF-16" << encoded;
    QTest::newRow("utf-16 bytes") << "UTF-16" << randomBytes;
    QTest::newRow("utf-16le") << "UTF-16LE" << encoded;
    QTest::newRow("utf-16be") << "UTF-16BE" << encoded;
    QTest::newRow("utf-32") << "UTF-32" << encoded;
    QTest::newRow("utf-32le bytes") << "UTF-32LE" << randomBytes;
    QTest::newRow("utf-32be") << "UTF-32BE" << encoded;
    QTest::newRow("utf-7") << "UTF-7" << int(Shape::Utf7Like);
    QTest::newRow("windows-1252") << "windows-1252" << randomBytes;
    QTest::newRow("us-ascii") << "US-ASCII" << randomBytes;
    QTest::newRow("shift_jis text") << "Shift_JIS" << encoded;
    QTest::newRow("shift_jis bytes") << "Shift_JIS" << randomBytes;
    QTest::newRow("gb18030") << "GB18030" << encoded;
    QTest::newRow("big5") << "Big5" << encoded;
    QTest::newRow("euc-kr") << "EUC-KR" << encoded;
    QTest::newRow("euc-jp bytes") << "EUC-JP" << randomBytes;
    QTest::newRow("iso-2022-jp text") << "ISO-2022-JP" << encoded;
    QTest::newRow("iso-2022-jp bytes") << "ISO-2022-JP" << randomBytes;
}

// Whole, and for the charsets counted as bytes arrive also in pieces of random sizes (down
// to single bytes, which split every multi-byte sequence somewhere), the count equals the
// length of the decoded text.
void TestTextDecoding::decodedLengthMatchesDecoding()
{
    QFETCH(QString, charset);
    QFETCH(int, shape);

    const quint32 seed = quint32(qHash(QString::fromLatin1(QTest::currentDataTag())));
    QRandomGenerator random(seed);
    for (int round = 0; round < 400; ++round) {
        // Mostly short inputs; a few long enough to span the counter's internal pieces.
        const int length = round % 100 == 99 ? 40000 + random.bounded(100000) : random.bounded(48);
        const QByteArray bytes = RandomInput(random, Shape(shape), charset, length);
        const qsizetype expected = DecodeBytes(bytes, charset).size();
        const QByteArray context = "seed " + QByteArray::number(seed) + ", round " + QByteArray::number(round)
                                   + ", bytes " + bytes.left(64).toHex();

        QVERIFY2(DecodedLength(bytes, charset) == expected, context.constData());

        if (!DecodedLengthCounter::Counts(charset))
            continue;
        for (const bool blockwise : {true, false}) {
            DecodedLengthCounter counter(charset, blockwise);
            const int largestPiece = random.bounded(2) == 0 ? 4 : 70000;
            for (qsizetype at = 0; at < bytes.size();) {
                const qsizetype piece = std::min<qsizetype>(1 + random.bounded(largestPiece), bytes.size() - at);
                counter.Add(QByteArrayView(bytes).sliced(at, piece));
                at += piece;
            }
            QVERIFY2(counter.Finish() == expected, context.constData());
        }
    }
}

// Every sequence of one to four bytes drawn from the values where UTF-8's rules change
// (overlong forms, surrogates, the end of Unicode, stray and missing continuations), at every
// place in a block and across the end of a piece: both counters agree with the strict decoder.
void TestTextDecoding::utf8CountOfEveryShortSequence()
{
    const QByteArray edges = QByteArray::fromHex("00417f808f909fa0bfc0c1c2dfe0e1ecedeeeff0f1f3f4f5ff");
    const QString utf8 = QStringLiteral("UTF-8");
    int index = 0;
    for (int length = 1; length <= 4; ++length) {
        QList<int> digits(length, 0);
        for (;;) {
            QByteArray sequence;
            for (const int digit : std::as_const(digits))
                sequence += edges[digit];
            const QByteArray bytes = QByteArray(index % 16, 'a') + sequence + QByteArray(index % 5, 'b');
            const qsizetype expected = DecodeBytes(bytes, utf8).size();
            for (const bool blockwise : {true, false}) {
                DecodedLengthCounter counter(utf8, blockwise);
                const qsizetype cut = index % (bytes.size() + 1);
                counter.Add(QByteArrayView(bytes).first(cut));
                counter.Add(QByteArrayView(bytes).sliced(cut));
                if (counter.Finish() != expected)
                    QFAIL(qPrintable(QStringLiteral("%1 (blockwise %2, cut %3): expected %4")
                                         .arg(QString::fromLatin1(bytes.toHex(' ')))
                                         .arg(blockwise)
                                         .arg(cut)
                                         .arg(expected)));
            }
            ++index;
            int d = 0;
            while (d < length && ++digits[d] == edges.size())
                digits[d++] = 0;
            if (d == length)
                break;
        }
    }
}

void TestTextDecoding::utf16And32CountedInPieces_data()
{
    QTest::addColumn<QString>("charset");
    QTest::addColumn<int>("piece");
    for (const char *charset : {"UTF-16", "UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE"})
        for (const int piece : {1, 3, 4096, 65535, 65536, 65537, 200000})
            QTest::addRow("%s, pieces of %d", charset, piece) << QString::fromLatin1(charset) << piece;
}

// Pieces cut units and surrogate pairs anywhere, with and without a BOM and a cut last unit:
// the count is the length of the whole text decoded at once.
void TestTextDecoding::utf16And32CountedInPieces()
{
    QFETCH(QString, charset);
    QFETCH(int, piece);
    QString text;
    for (int i = 0; i < 60000; ++i)
        text += i % 3 == 0 ? QStringLiteral("\U0001F600") : i % 3 == 1 ? QStringLiteral("\u00e9") : QStringLiteral("a");
    const QStringConverter::Encoding encoding = *QStringConverter::encodingForName(charset.toLatin1().constData());
    QStringEncoder encoder(encoding == QStringConverter::Utf16 ? QStringConverter::Utf16BE : encoding,
                           QStringConverter::Flag::WriteBom);
    const QByteArray encoded = encoder.encode(text);
    for (const QByteArray &bytes : {encoded, encoded + "x", encoded.mid(2), encoded.mid(3) + "yz"}) {
        const qsizetype expected = DecodeBytes(bytes, charset).size();
        DecodedLengthCounter counter(charset);
        for (qsizetype at = 0; at < bytes.size(); at += piece)
            counter.Add(QByteArrayView(bytes).sliced(at, std::min<qsizetype>(piece, bytes.size() - at)));
        QCOMPARE(counter.Finish(), expected);
    }
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
    const TContentType parsed = TContentType::Parse(value);
    QTEST(parsed.ContentType, "type");
    QTEST(parsed.CharSet, "charset");
}

void TestTextDecoding::headerList()
{
    const THeaderList list = THeaderList::FromRawLines(
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
    TResponseTextDecoder decoder;
    const QByteArray page("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"
                          "</head><body>\xC3\xA9</body></html>");
    decoder.ScanMetaHeaders(page);
    QCOMPARE(decoder.MetaCharset(), QStringLiteral("utf-8"));
    decoder.SetResponseCharset(TContentType::Parse("text/html").CharSet);
    QCOMPARE(decoder.DecodeBody(page, true).size(), page.size());
}

void TestTextDecoding::metaFallback()
{
    TResponseTextDecoder decoder;
    decoder.ScanMetaHeaders("<html><head><meta http-equiv=content-type content='text/html; charset=UTF-8'>");
    decoder.SetResponseCharset(QString());
    const QByteArray body("a\xC3\xA9");
    QCOMPARE(decoder.DecodeBody(body, true).size(), 2);
    QCOMPARE(decoder.DecodeBody(body, false).size(), 3); // error bodies do not use the meta charset
}

void TestTextDecoding::metaListHoldsLatestPageOnly()
{
    TResponseTextDecoder decoder;
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
