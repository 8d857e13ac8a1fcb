#include "engine/http/CookieManager.h"

#include "engine/http/CookieSplitting.h"
#include "engine/http/HostName.h"

#include <QHash>
#include <QReadLocker>
#include <QSet>
#include <QWriteLocker>

#include <list>

namespace {

bool IsIPAddress(const QString &host)
{
    if (host.contains(u':'))
        return true; // IPv6
    const QStringList parts = host.split(u'.');
    if (parts.size() != 4)
        return false;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return false;
        for (const QChar c : part)
            if (c < u'0' || c > u'9')
                return false;
    }
    return true;
}

bool EndsWith(const QString &text, const QString &tail)
{
    return text.endsWith(tail, Qt::CaseInsensitive);
}

bool Equal(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString WithoutLeadingDot(const QString &domain)
{
    return domain.startsWith(u'.') ? domain.mid(1) : domain;
}

// A host may set cookies only for itself and the domains above it.
bool HostMaySet(const QString &host, const QString &domain)
{
    const QString bare = WithoutLeadingDot(domain);
    if (bare.isEmpty())
        return false;
    if (Equal(host, bare))
        return true;
    return !IsIPAddress(host) && EndsWith(host, u'.' + bare);
}

// The match used when choosing cookies for a request. A leading "." does not keep
// the cookie from the host it names, or a host could never get back what it set
// for itself (".localhost", or a versioned cookie's ".host" default).
bool DomainSelects(const QString &host, const QString &domain)
{
    const QString bare = WithoutLeadingDot(domain);
    if (bare.isEmpty())
        return false;
    // An address is no name below a domain, even when its text ends like one.
    return Equal(host, bare) || (!IsIPAddress(host) && EndsWith(host, u'.' + bare));
}

bool HasControlCharacters(const QString &text)
{
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    return false;
}

int RequestPort(const TUri &uri)
{
    const int port = uri.PortNumber();
    return port > 0 ? port : 80;
}

QString Quoted(const QString &text)
{
    return u'"' + text + u'"';
}

QString CookieLineValue(const TNetscapeCookie &cookie)
{
    if (cookie.Version <= 0)
        return cookie.CookieName + u'=' + cookie.Value;
    QString value = QStringLiteral("$Version=") + Quoted(QString::number(cookie.Version)) + QStringLiteral("; ")
                    + cookie.CookieName + u'=' + Quoted(cookie.Value);
    if (!cookie.Path.isEmpty())
        value += QStringLiteral("; $Path=") + Quoted(cookie.Path);
    if (!cookie.Domain.isEmpty())
        value += QStringLiteral("; $Domain=") + Quoted(cookie.Domain);
    return value;
}

QString DomainKey(const TNetscapeCookie &cookie)
{
    return WithoutLeadingDot(cookie.Domain).toLower();
}

struct CookieKey
{
    QString Domain; // as stored, lower case
    QString Path;
    QString Name;   // case-folded: "ſ" and "S" are both "s", as names compare without case
    bool operator==(const CookieKey &) const = default;
};

size_t qHash(const CookieKey &key, size_t seed = 0)
{
    return qHashMulti(seed, key.Domain, key.Path, key.Name);
}

CookieKey KeyOf(const TNetscapeCookie &cookie)
{
    return {cookie.Domain.toLower(), cookie.Path, cookie.CookieName.toCaseFolded()};
}

} // namespace

// The cookies in store order, found by identity and counted per domain. A domain's list
// is in store order too and never longer than its limit, so dropping from it is cheap.
struct TCookieManager::Index
{
    using Iterator = std::list<TNetscapeCookie>::iterator;

    std::list<TNetscapeCookie> Cookies;
    QHash<CookieKey, Iterator> ByKey;
    QHash<QString, QList<Iterator>> ByDomain;

    void Remove(Iterator it)
    {
        ByKey.remove(KeyOf(*it));
        const QString domain = DomainKey(*it);
        auto found = ByDomain.find(domain);
        if (found != ByDomain.end()) {
            found->removeOne(it);
            if (found->isEmpty())
                ByDomain.erase(found);
        }
        Cookies.erase(it);
    }
};

TCookieManager::TCookieManager() : FIndex(std::make_unique<Index>()) {}

TCookieManager::~TCookieManager() = default;

void TCookieManager::ApplyDefaults(TNetscapeCookie &cookie, const TUri &uri)
{
    if (cookie.Kind == TCookieKind::RFC2965) {
        if (cookie.Domain.isEmpty())
            cookie.Domain = uri.Host;
        if (cookie.PortGiven && cookie.PortList.isEmpty())
            cookie.PortList.append(RequestPort(uri));
        return;
    }
    if (!cookie.Domain.isEmpty())
        return;
    if (cookie.Version == 1)
        cookie.Domain = u'.' + uri.Host;
    else
        cookie.Domain = uri.Host.contains(u'.') ? uri.Host : u'.' + uri.Host;
}

bool TCookieManager::IsAccepted(const TNetscapeCookie &cookie, const TUri &uri)
{
    // Line breaks or other controls could end up in a request header.
    if (HasControlCharacters(cookie.CookieName) || HasControlCharacters(cookie.Value)
        || HasControlCharacters(cookie.Domain) || HasControlCharacters(cookie.Path))
        return false;
    // A host or domain no host can have (a NUL, a blank, "%" ...) would match by its
    // readable tail: "evil\0.example.com" must not set cookies for example.com.
    if (!IsValidHostName(uri.Host, uri.IPVersion))
        return false;
    const QString bareDomain = WithoutLeadingDot(cookie.Domain);
    if (!IsValidHostName(bareDomain) && !IsValidHostName(bareDomain, 6))
        return false;
    // An explicit domain must name more than a top-level label ("com", ".com").
    if (cookie.DomainGiven && !WithoutLeadingDot(cookie.Domain).contains(u'.')
        && !Equal(WithoutLeadingDot(cookie.Domain), uri.Host))
        return false;
    if (!HostMaySet(uri.Host, cookie.Domain))
        return false;

    if (cookie.Kind == TCookieKind::RFC2965) {
        if (!(uri.Path + uri.Document).startsWith(cookie.Path, Qt::CaseInsensitive))
            return false;
        return !cookie.PortGiven || cookie.PortList.contains(RequestPort(uri));
    }
    if (cookie.Version != 1)
        return cookie.Domain.contains(u'.');

    const QString &domain = cookie.Domain;
    if (!(uri.Path + uri.Document).startsWith(cookie.Path, Qt::CaseInsensitive))
        return false;
    if (!domain.startsWith(u'.') || domain.indexOf(u'.', 1) < 0)
        return false;
    if (IsIPAddress(uri.Host))
        return false;
    if (Equal(uri.Host, domain.mid(1)))
        return true;
    if (!EndsWith(uri.Host, domain) || uri.Host.size() <= domain.size())
        return false;
    return !uri.Host.left(uri.Host.size() - domain.size()).contains(u'.');
}

void TCookieManager::AddServerCookies(const QStringList &setCookies, const QStringList &setCookies2,
                                        const TUri &uri, const QDateTime &now, const Progress &progress)
{
    // Thousands of cookies take a while: the caller gets a word now and then.
    constexpr int progressEvery = 256;
    int handled = 0;
    auto step = [&] {
        if (progress && ++handled % progressEvery == 0)
            progress();
    };

    QStringList ordinaryTexts;
    for (const QString &value : setCookies) {
        ordinaryTexts += SplitCookieHeader(value);
        step();
    }
    QStringList texts2;
    for (const QString &value : setCookies2) {
        texts2 += SplitCookieHeader(value);
        step();
    }
    QList<TNetscapeCookie> cookies2;
    QSet<QString> names2;
    for (const QString &text : std::as_const(texts2)) {
        cookies2.append(TNetscapeCookie::Parse(text, now, TCookieKind::RFC2965));
        names2.insert(cookies2.last().CookieName.toCaseFolded());
        step();
    }

    auto add = [&](TNetscapeCookie cookie, const QString &text) {
        if (text.size() > MaxCookieBytes)
            return;
        ApplyDefaults(cookie, uri);
        if (!IsAccepted(cookie, uri))
            return;
        QWriteLocker lock(&FLock);
        Store(cookie);
    };
    for (const QString &text : std::as_const(ordinaryTexts)) {
        step();
        TNetscapeCookie cookie = TNetscapeCookie::Parse(text, now, TCookieKind::RFC2109);
        // A Set-Cookie2 cookie supersedes the Set-Cookie cookie of the same name.
        if (!names2.contains(cookie.CookieName.toCaseFolded()))
            add(std::move(cookie), text);
    }
    for (qsizetype i = 0; i < cookies2.size(); ++i) {
        step();
        add(cookies2[i], texts2[i]);
    }
}

void TCookieManager::Store(const TNetscapeCookie &cookie)
{
    Index &index = *FIndex;
    const CookieKey key = KeyOf(cookie);
    if (const auto found = index.ByKey.find(key); found != index.ByKey.end()) {
        **found = cookie; // keeps its place
        return;
    }
    const QString domain = DomainKey(cookie);
    QList<Index::Iterator> &ofDomain = index.ByDomain[domain];
    if (ofDomain.size() >= MaxCookiesPerDomain)
        index.Remove(ofDomain.first()); // the domain's oldest
    index.Cookies.push_back(cookie);
    const auto it = std::prev(index.Cookies.end());
    index.ByKey.insert(key, it);
    index.ByDomain[domain].append(it);
    if (qsizetype(index.Cookies.size()) > MaxCookies)
        index.Remove(index.Cookies.begin()); // the oldest of all
}

void TCookieManager::PurgeExpired(const QDateTime &now)
{
    QWriteLocker lock(&FLock);
    Index &index = *FIndex;
    for (auto it = index.Cookies.begin(); it != index.Cookies.end();) {
        const auto next = std::next(it);
        if (it->Expires.isValid() && it->Expires <= now)
            index.Remove(it);
        it = next;
    }
}

QList<TCookieManager::HeaderLine> TCookieManager::GenerateClientCookies(const TUri &uri, bool secure,
                                                                             const QDateTime &now)
{
    PurgeExpired(now);

    QReadLocker lock(&FLock);
    QList<HeaderLine> lines;
    bool anyCookie2 = false;
    const int port = RequestPort(uri);
    for (const TNetscapeCookie &cookie : FIndex->Cookies) {
        if (cookie.Value.isEmpty() || !DomainSelects(uri.Host, cookie.Domain)
            || !uri.Path.startsWith(cookie.Path, Qt::CaseInsensitive) || (cookie.Secure && !secure))
            continue;
        const bool isCookie2 = cookie.Kind == TCookieKind::RFC2965;
        if (isCookie2 && !cookie.PortList.isEmpty() && !cookie.PortList.contains(port))
            continue;
        anyCookie2 = anyCookie2 || isCookie2;
        lines.append({isCookie2 ? QStringLiteral("Cookie2") : QStringLiteral("Cookie"), CookieLineValue(cookie)});
    }
    if (!lines.isEmpty() && !anyCookie2)
        lines.append({QStringLiteral("Cookie2"), QStringLiteral("$Version=\"1\"")});
    return lines;
}

QList<TNetscapeCookie> TCookieManager::Cookies() const
{
    QReadLocker lock(&FLock);
    return QList<TNetscapeCookie>(FIndex->Cookies.begin(), FIndex->Cookies.end());
}

qsizetype TCookieManager::Count() const
{
    QReadLocker lock(&FLock);
    return qsizetype(FIndex->Cookies.size());
}
