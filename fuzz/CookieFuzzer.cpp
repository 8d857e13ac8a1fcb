// Cookie parsing and the store. Line 1 is the URL of the page that sets cookies, line 2 the
// URL of a later request, every further line a Set-Cookie value ("2:" in front: Set-Cookie2).
// No cookie may be kept for a domain its page's host does not domain-match, or from a host
// that cannot exist, nor be sent to a host that does not domain-match the cookie's domain.

#include "fuzz/FuzzCheck.h"

#include "engine/http/CookieManager.h"
#include "engine/http/CookieSplitting.h"
#include "fuzz/HostNameBytes.h"
#include "engine/http/InternetDate.h"
#include "engine/http/NetscapeCookie.h"
#include "engine/http/Uri.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <exception>
#include <optional>

namespace {

bool IsIPv4(const QString &host)
{
    const QStringList parts = host.split(u'.');
    if (parts.size() != 4)
        return false;
    for (const QString &part : parts) {
        bool ok = false;
        if (part.isEmpty() || part.size() > 3 || part.toUInt(&ok) > 255 || !ok)
            return false;
    }
    return true;
}

// The host is the domain, or a name below it; an address literal only matches itself.
bool DomainMatches(const QString &host, const QString &domain)
{
    const QString bare = domain.startsWith(u'.') ? domain.mid(1) : domain;
    if (bare.isEmpty())
        return false;
    if (host.compare(bare, Qt::CaseInsensitive) == 0)
        return true;
    if (IsIPv4(host) || host.contains(u':'))
        return false;
    return host.endsWith(u'.' + bare, Qt::CaseInsensitive);
}

std::optional<TUri> Merged(const QString &text)
{
    TUri uri;
    try {
        uri.MergeURL(text);
    } catch (const std::exception &) {
        return std::nullopt;
    }
    return uri;
}

bool Sent(const TCookieManager::HeaderLine &line, const TNetscapeCookie &cookie)
{
    if (cookie.Version <= 0)
        return line.second == cookie.CookieName + u'=' + cookie.Value;
    return line.second.contains(QStringLiteral("; ") + cookie.CookieName + QStringLiteral("=\"") + cookie.Value
                                + u'"')
           && (cookie.Domain.isEmpty() || line.second.endsWith(QStringLiteral("; $Domain=\"") + cookie.Domain + u'"'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QStringList lines = text.split(u'\n');
    if (lines.size() < 3)
        return 0;
    const std::optional<TUri> page = Merged(lines.takeFirst());
    const std::optional<TUri> request = Merged(lines.takeFirst());
    if (!page || !request)
        return 0;

    const QDateTime now(QDate(2026, 5, 1), QTime(12, 0), Qt::UTC);
    QStringList setCookies, setCookies2;
    for (const QString &line : std::as_const(lines)) {
        if (line.startsWith(QStringLiteral("2:")))
            setCookies2.append(line.mid(2));
        else
            setCookies.append(line);
        for (const QString &single : SplitCookieHeader(line)) {
            const TNetscapeCookie cookie = TNetscapeCookie::Parse(single, now);
            // An expiry is a real moment or none at all.
            FUZZ_CHECK(!cookie.Expires.isValid() || cookie.Expires.timeSpec() == Qt::UTC);
        }
    }

    TCookieManager store;
    store.AddServerCookies(setCookies, setCookies2, *page, now);
    const QList<TNetscapeCookie> kept = store.Cookies();
    // A page on a host that cannot exist (a NUL in its name, say) sets nothing.
    FUZZ_CHECK(kept.isEmpty() || HostCanHold(page->Host));
    for (qsizetype i = 0; i < kept.size(); ++i) {
        const TNetscapeCookie &cookie = kept[i];
        FUZZ_CHECK(DomainMatches(page->Host, cookie.Domain));
        // Names compare without regard to case: one name, one place in the store.
        for (qsizetype j = i + 1; j < kept.size(); ++j)
            FUZZ_CHECK(kept[j].Path != cookie.Path || kept[j].Domain.compare(cookie.Domain, Qt::CaseInsensitive) != 0
                       || kept[j].CookieName.compare(cookie.CookieName, Qt::CaseInsensitive) != 0);
        for (const QString &part : {cookie.CookieName, cookie.Value, cookie.Domain, cookie.Path})
            for (const QChar c : part)
                FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() != 0x7F);
    }

    const QList<TCookieManager::HeaderLine> sent =
        store.GenerateClientCookies(*request, request->Protocol == u"https", now);
    // Every line sent must come from a cookie whose domain the request's host matches (the
    // store may hold cookies of one name and value for several domains).
    for (const TCookieManager::HeaderLine &line : sent) {
        if (line.first == u"Cookie2" && line.second == u"$Version=\"1\"")
            continue;
        bool fromMatchingCookie = false;
        for (const TNetscapeCookie &cookie : kept)
            fromMatchingCookie = fromMatchingCookie || (DomainMatches(request->Host, cookie.Domain) && Sent(line, cookie));
        FUZZ_CHECK(fromMatchingCookie);
    }
    return 0;
}
