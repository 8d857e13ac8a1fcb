#include "engine/http/NetscapeCookie.h"

#include "engine/http/InternetDate.h"

namespace {

// Keeps far-off or absurd expiry figures inside QDateTime's range.
constexpr qint64 kMaxSeconds = qint64(400) * 366 * 24 * 3600;

QDateTime After(const QDateTime &now, qint64 seconds)
{
    return now.addSecs(qBound(-kMaxSeconds, seconds, kMaxSeconds));
}

bool ReadWholeNumber(const QString &text, qint64 &number)
{
    bool ok = false;
    number = text.toLongLong(&ok);
    if (ok)
        return true;
    // Too many digits for 64 bits still reads as a (very large) number.
    QString digits = text;
    const bool negative = digits.startsWith(u'-');
    if (negative || digits.startsWith(u'+'))
        digits.remove(0, 1);
    if (digits.isEmpty())
        return false;
    for (const QChar c : digits)
        if (c < u'0' || c > u'9')
            return false;
    number = negative ? -kMaxSeconds : kMaxSeconds;
    return true;
}

struct Segment
{
    QString Name;
    QString Value;
};

// Cuts the text at ";" into name[=value] segments; a value that starts with a
// double quote runs to the next one and loses its quotes.
QList<Segment> Segments(const QString &text)
{
    QList<Segment> segments;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i <= n) {
        Segment segment;
        const qsizetype nameStart = i;
        while (i < n && text[i] != u'=' && text[i] != u';')
            ++i;
        segment.Name = text.mid(nameStart, i - nameStart).trimmed();
        if (i < n && text[i] == u'=') {
            ++i;
            while (i < n && (text[i] == u' ' || text[i] == u'\t'))
                ++i;
            if (i < n && text[i] == u'"') {
                const qsizetype close = text.indexOf(u'"', i + 1);
                const qsizetype end = close < 0 ? n : close;
                segment.Value = text.mid(i + 1, end - i - 1);
                i = end;
                while (i < n && text[i] != u';')
                    ++i;
            } else {
                const qsizetype valueStart = i;
                while (i < n && text[i] != u';')
                    ++i;
                segment.Value = text.mid(valueStart, i - valueStart).trimmed();
            }
        }
        if (!segment.Name.isEmpty() || !segment.Value.isEmpty() || segments.isEmpty())
            segments.append(segment);
        ++i; // past the ";"
    }
    return segments;
}

QList<int> ReadPortList(const QString &text)
{
    QList<int> ports;
    for (const QString &item : text.split(u',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int port = item.trimmed().toInt(&ok);
        if (ok && port >= 1 && port <= 65535)
            ports.append(port);
    }
    return ports;
}

} // namespace

TNetscapeCookie TNetscapeCookie::Parse(const QString &text, const QDateTime &now, TCookieKind kind)
{
    TNetscapeCookie cookie;
    cookie.Kind = kind;
    const QList<Segment> segments = Segments(text.trimmed());
    cookie.CookieName = segments.first().Name;
    cookie.Value = segments.first().Value;

    bool maxAgeGiven = false;
    for (qsizetype i = 1; i < segments.size(); ++i) {
        const QString name = segments[i].Name.toUpper();
        const QString &value = segments[i].Value;
        if (name == u"PATH") {
            cookie.Path = value.isEmpty() ? QStringLiteral("/") : value;
        } else if (name == u"EXPIRES") {
            qint64 seconds = 0;
            if (ReadWholeNumber(value, seconds))
                // A negative count gives no expiry, as browsers treat such a value too.
                cookie.Expires = seconds < 0 ? QDateTime() : After(now, seconds);
            else
                cookie.Expires = ParseInternetDate(value);
        } else if (name == u"DOMAIN") {
            cookie.Domain = value.section(u':', 0, 0);
            cookie.DomainGiven = true;
        } else if (name == u"SECURE") {
            cookie.Secure = true;
        } else if (name == u"HTTPONLY") {
            cookie.HttpOnly = true;
        } else if (name == u"VERSION") {
            bool ok = false;
            cookie.Version = value.toInt(&ok);
            if (!ok)
                cookie.Version = 0;
        } else if (name == u"MAX-AGE") {
            qint64 seconds = 0;
            maxAgeGiven = ReadWholeNumber(value, seconds);
            cookie.MaxAge = maxAgeGiven ? seconds : -1;
        } else if (name == u"COMMENT") {
            cookie.Comment = value;
        } else if (name == u"PORT") {
            cookie.PortGiven = true;
            cookie.PortList = ReadPortList(value);
        }
    }
    // Max-Age counts from now; for versioned cookies, and when it asks for removal,
    // it overrides Expires.
    if (maxAgeGiven && (!cookie.Expires.isValid() || cookie.Version >= 1 || cookie.MaxAge <= 0))
        cookie.Expires = After(now, qMax<qint64>(cookie.MaxAge, 0));
    if (cookie.Expires.isValid())
        cookie.Expires = cookie.Expires.toUTC();
    return cookie;
}
