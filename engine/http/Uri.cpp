#include "engine/http/Uri.h"

#include "engine/http/EHttpInvalidUrl.h"
#include "engine/http/EHttpUnknownProtocol.h"
#include "engine/http/HostName.h"

#include <QStringList>

namespace {

// Backslashes in the address part read as "/", as users type them; the two right
// after the first ":" are left alone.
QString NormaliseBackslashes(const QString &text)
{
    QString result = text;
    qsizetype end = result.size();
    for (const QChar stop : {QChar(u'?'), QChar(u'#')}) {
        const qsizetype at = result.indexOf(stop);
        if (at >= 0 && at < end)
            end = at;
    }
    const qsizetype colon = result.indexOf(u':');
    for (qsizetype i = 0; i < end; ++i) {
        if (result[i] != u'\\')
            continue;
        if (colon >= 0 && (i == colon + 1 || i == colon + 2))
            continue;
        result[i] = u'/';
    }
    return result;
}

// Splits off the query and the fragment. A "#" before any "?" starts the fragment
// (so a "?" inside it is no query); a "#" after the "?" belongs to the query.
void SplitQueryAndFragment(const QString &text, QString &main, QString &query)
{
    const qsizetype hash = text.indexOf(u'#');
    const qsizetype question = text.indexOf(u'?');
    if (hash >= 0 && (question < 0 || hash < question)) {
        main = text.left(hash);
        query.clear();
    } else if (question >= 0) {
        main = text.left(question);
        query = text.mid(question + 1);
    } else {
        main = text;
        query.clear();
    }
}

void SplitPathAndDocument(const QString &pathText, QString &path, QString &document)
{
    const qsizetype slash = pathText.lastIndexOf(u'/');
    path = pathText.left(slash + 1);
    document = pathText.mid(slash + 1);
}

void ParseAuthority(const QString &authority, TUri &uri)
{
    QString hostPart = authority;
    const qsizetype at = authority.lastIndexOf(u'@');
    if (at >= 0) {
        const QString userInfo = authority.left(at);
        hostPart = authority.mid(at + 1);
        const qsizetype colon = userInfo.indexOf(u':');
        uri.Username = colon >= 0 ? userInfo.left(colon) : userInfo;
        uri.Password = colon >= 0 && !uri.Username.isEmpty() ? userInfo.mid(colon + 1) : QString();
    }
    const qsizetype open = hostPart.indexOf(u'[');
    const qsizetype close = open >= 0 ? hostPart.indexOf(u']', open + 1) : -1;
    if (open >= 0 && close > open) {
        uri.Host = hostPart.mid(open + 1, close - open - 1);
        const QString after = hostPart.mid(close + 1);
        if (after.startsWith(u':'))
            uri.Port = after.mid(1);
        uri.IPVersion = 6;
    } else {
        const qsizetype colon = hostPart.indexOf(u':');
        uri.Host = colon >= 0 ? hostPart.left(colon) : hostPart;
        uri.Port = colon >= 0 ? hostPart.mid(colon + 1) : QString();
        uri.IPVersion = 4;
    }
}

// Joins a relative directory onto the current one: repeated "/" collapse and ".."
// drops the segment before it; "." segments are sent as they stand, which every
// server resolves. The result starts and ends with "/".
QString JoinPaths(const QString &current, const QString &relative)
{
    QString joined = current;
    if (!joined.endsWith(u'/'))
        joined += u'/';
    joined += relative;
    QStringList kept;
    const QStringList segments = joined.split(u'/', Qt::SkipEmptyParts);
    for (const QString &segment : segments) {
        if (segment == u"..") {
            if (!kept.isEmpty())
                kept.removeLast();
            continue;
        }
        kept.append(segment);
    }
    return kept.isEmpty() ? QStringLiteral("/") : u'/' + kept.join(u'/') + u'/';
}

// A URI scheme: a letter, then letters, digits, "+", "-" or ".". Text before a "://" that is
// no scheme (a path, or a query holding a URL) does not make the URL absolute.
bool IsSchemeName(QStringView text)
{
    if (text.isEmpty())
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
        const bool other = (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.';
        if (!letter && (i == 0 || !other))
            return false;
    }
    return true;
}

// The scheme's length when text starts with a scheme and "://", else -1.
qsizetype SchemeLength(const QString &text)
{
    const qsizetype at = text.indexOf(QStringLiteral("://"));
    return at > 0 && IsSchemeName(QStringView(text).left(at)) ? at : -1;
}

// "0080" is port 80: written without its leading zeros, so the Host header and the
// default-port check see the number.
QString WithoutLeadingZeros(const QString &port)
{
    for (const QChar c : port)
        if (c < u'0' || c > u'9')
            return port;
    qsizetype first = 0;
    while (first + 1 < port.size() && port[first] == u'0')
        ++first;
    return port.mid(first);
}

QString DefaultPort(const QString &protocol)
{
    if (protocol == u"http")
        return QStringLiteral("80");
    if (protocol == u"https")
        return QStringLiteral("443");
    return {};
}

bool IsDefaultPort(const QString &protocol, const QString &port)
{
    return (protocol == u"http" && port == u"80") || (protocol == u"https" && port == u"443");
}

// Bytes that cannot stand in a request line are sent percent-encoded (UTF-8).
QString EncodeForRequestLine(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QString result;
    result.reserve(utf8.size());
    static const char hex[] = "0123456789ABCDEF";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            result += u'%';
            result += QLatin1Char(hex[byte >> 4]);
            result += QLatin1Char(hex[byte & 0x0F]);
        } else {
            result += QLatin1Char(c);
        }
    }
    return result;
}

} // namespace

TUri TUri::ParseURL(const QString &text)
{
    TUri uri;
    QString main;
    SplitQueryAndFragment(NormaliseBackslashes(text), main, uri.Query);

    const qsizetype schemeEnd = SchemeLength(main);
    // "//host/path" names a host and keeps the current scheme.
    const bool schemeRelative = schemeEnd < 0 && main.startsWith(QStringLiteral("//"));
    if (schemeEnd >= 0 || schemeRelative) {
        if (schemeEnd >= 0)
            uri.Protocol = main.left(schemeEnd).toLower();
        const QString rest = main.mid(schemeEnd >= 0 ? schemeEnd + 3 : 2);
        const qsizetype slash = rest.indexOf(u'/');
        ParseAuthority(slash >= 0 ? rest.left(slash) : rest, uri);
        SplitPathAndDocument(u'/' + (slash >= 0 ? rest.mid(slash + 1) : QString()), uri.Path,
                             uri.Document);
    } else {
        SplitPathAndDocument(main, uri.Path, uri.Document);
    }
    return uri;
}

void TUri::MergeURL(const QString &text)
{
    TUri given = ParseURL(text);
    // Brackets always name a host: "http://[]/" is no relative URL.
    if (!given.Host.isEmpty() || given.IPVersion == 6) {
        // A host we cannot connect to by that name is refused before any lookup, and never
        // reaches a Host header or a cookie domain.
        if (given.IPVersion != 6)
            given.Host = AsciiHostName(given.Host);
        if (!IsValidHostName(given.Host, given.IPVersion))
            throw EHttpInvalidUrl();
    }
    given.Port = WithoutLeadingZeros(given.Port);
    TUri merged = *this;

    if (!given.Username.isEmpty()) {
        merged.Username = given.Username;
        merged.Password = given.Password;
    }
    merged.Path = given.Path.startsWith(u'/') ? given.Path : JoinPaths(Path, given.Path);
    merged.Document = given.Document;
    merged.Query = given.Query;
    if (!given.Host.isEmpty()) {
        merged.Host = given.Host;
        // The IP version belongs to the host: a relative URL keeps the current one.
        merged.IPVersion = given.IPVersion;
    }
    if (!given.Protocol.isEmpty())
        merged.Protocol = given.Protocol;
    else if (Protocol != u"https")
        merged.Protocol = QStringLiteral("http");

    if (!given.Port.isEmpty())
        merged.Port = given.Port;
    else if (!DefaultPort(given.Protocol).isEmpty())
        merged.Port = DefaultPort(given.Protocol);
    else if (given.Protocol.isEmpty() && !given.Host.isEmpty())
        merged.Port = DefaultPort(merged.Protocol); // "//host": the current scheme's port
    else if (Port.isEmpty())
        throw EHttpUnknownProtocol();

    *this = merged;
}

QString TUri::RequestTarget() const
{
    QString target = Path + Document;
    if (!Query.isEmpty())
        target += u'?' + Query;
    return EncodeForRequestLine(target);
}

QString TUri::HostHeaderValue() const
{
    const QString host = IPVersion == 6 ? u'[' + Host + u']' : Host;
    return IsDefaultPort(Protocol, Port) ? host : host + u':' + Port;
}

int TUri::PortNumber() const
{
    const QString digits = WithoutLeadingZeros(Port);
    if (digits.isEmpty() || digits.size() > 5)
        return -1;
    for (const QChar c : digits)
        if (c < u'0' || c > u'9')
            return -1;
    const int number = digits.toInt();
    return number >= 1 && number <= 65535 ? number : -1;
}

QString TUri::WebTarget(const QString &typed)
{
    return SchemeLength(typed) >= 0 ? typed : QStringLiteral("http://") + typed;
}
