#include "engine/http/CookieSplitting.h"

namespace {

bool IsLettersOnly(const QString &s)
{
    if (s.isEmpty())
        return false;
    for (const QChar c : s)
        if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')))
            return false;
    return true;
}

} // namespace

QStringList SplitCookieHeader(const QString &headerValue)
{
    QStringList cookies;
    const auto take = [&](qsizetype from, qsizetype to) {
        const QString cookie = headerValue.mid(from, to - from).trimmed();
        if (!cookie.isEmpty())
            cookies.append(cookie);
    };

    qsizetype cookieStart = 0;
    qsizetype attributeStart = 0;
    qsizetype valueStart = -1; // inside an attribute's value when >= 0
    bool inQuotes = false;
    bool expiresCommaAllowed = false;

    for (qsizetype i = 0; i < headerValue.size(); ++i) {
        const QChar c = headerValue[i];
        if (inQuotes) {
            if (c == u'"')
                inQuotes = false;
            continue;
        }
        if (c == u'"' && valueStart >= 0) {
            inQuotes = true;
        } else if (c == u'=' && valueStart < 0) {
            valueStart = i + 1;
            const QString name = headerValue.mid(attributeStart, i - attributeStart).trimmed();
            expiresCommaAllowed = name.compare(u"expires", Qt::CaseInsensitive) == 0;
        } else if (c == u';') {
            attributeStart = i + 1;
            valueStart = -1;
            expiresCommaAllowed = false;
        } else if (c == u',') {
            // The comma after the weekday of an Expires date belongs to the date;
            // after a number or anything else it separates cookies.
            if (expiresCommaAllowed
                && IsLettersOnly(headerValue.mid(valueStart, i - valueStart).trimmed())) {
                expiresCommaAllowed = false;
                continue;
            }
            take(cookieStart, i);
            cookieStart = attributeStart = i + 1;
            valueStart = -1;
            expiresCommaAllowed = false;
        }
    }
    take(cookieStart, headerValue.size());
    return cookies;
}
