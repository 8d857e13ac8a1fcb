#include "engine/http/CharsetDecoding.h"
#include "engine/http/CookieSplitting.h"
#include "engine/http/EHttpInvalidUrl.h"
#include "engine/http/EHttpUnknownProtocol.h"
#include "engine/http/HostName.h"
#include "engine/http/ContentType.h"
#include "engine/http/CookieManager.h"
#include "engine/http/HeaderList.h"
#include "engine/http/Uri.h"
#include "engine/http/InternetDate.h"
#include "engine/http/MetaHeaderScan.h"
#include "engine/http/Utf7Decoding.h"

#include <QRandomGenerator>
#include <QTest>

// Random input, built from bytes and from fragments the parsers care about, must
// give some defined result: no crash, no hang, no exception but the specified one.
class TestHttpParserFuzz : public QObject
{
    Q_OBJECT

private slots:
    void parsersSurviveRandomInput();
};

namespace {

QByteArray RandomInput(QRandomGenerator &random)
{
    static const char *const fragments[] = {
        "<", ">", "<!--", "-->", "<html>", "<HEAD>", "<meta", " http-equiv=", " content=", "\"", "'",
        "<title>", "</title", "<script>", "<body>", "=", ";", ",", " ", "\t", "\r\n", "expires=",
        "Sun, 06 Nov 1994 08:49:37 GMT", "-0500", "+", "-", "version=1", "domain=", ".", "..", "/",
        "\\", "?", "#", "@", ":", "[", "]", "://", "http", "https", "path=", "max-age=", "port=",
        "99999999999999999999", "\xC3", "\xA9", "\xFF", "\0",
    };
    QByteArray input;
    const int parts = int(random.bounded(40));
    for (int i = 0; i < parts; ++i) {
        if (random.bounded(3) == 0) {
            input += char(random.bounded(256));
        } else {
            const char *fragment = fragments[random.bounded(int(std::size(fragments)))];
            input += fragment[0] == 0 ? QByteArray(1, '\0') : QByteArray(fragment);
        }
    }
    return input;
}

} // namespace

void TestHttpParserFuzz::parsersSurviveRandomInput()
{
    QRandomGenerator random(20240501);
    const QDateTime now(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);
    const QStringList charsets{"", "UTF-8", "UTF-16", "UTF-16BE", "UTF-7", "Shift_JIS", "x-unknown"};
    TCookieManager store;
    TUri current;
    qsizetype total = 0;

    for (int round = 0; round < 3000; ++round) {
        const QByteArray bytes = RandomInput(random);
        const QString text = QString::fromLatin1(bytes);

        total += DecodeBytes(bytes, charsets[round % charsets.size()]).size();
        total += DecodeUtf7(bytes).size();
        total += ScanMetaHeaderLines(bytes).size();
        total += THeaderList::FromRawLines(text.split(u'\n')).Count();
        total += TContentType::Parse(text).CharSet.size();
        total += ParseInternetDate(text).isValid() ? 1 : 0;
        total += SplitCookieHeader(text).size();
        total += TNetscapeCookie::Parse(text, now).CookieName.size();

        try {
            current.MergeURL(text);
        } catch (const EHttpUnknownProtocol &) {
        } catch (const EHttpInvalidUrl &) {
        }
        // whatever came in, the host we would connect to is a host name or nothing
        QVERIFY(current.Host.isEmpty() || IsValidHostName(current.Host, current.IPVersion));
        total += current.RequestTarget().size() + current.HostHeaderValue().size();
        QVERIFY(current.Path.isEmpty() || current.Path.startsWith(u'/'));

        store.AddServerCookies({text}, {round % 7 == 0 ? text : QString()}, current, now);
        for (const auto &line : store.GenerateClientCookies(current, false, now.addSecs(round)))
            QVERIFY(!line.second.contains(u'\n') && !line.second.contains(u'\r'));
    }
    QVERIFY(total > 0);
}

QTEST_GUILESS_MAIN(TestHttpParserFuzz)
#include "tst_HttpParserFuzz.moc"
