#pragma once

#include "engine/http/NetscapeCookie.h"
#include "engine/http/Uri.h"

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QReadWriteLock>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The HTTP client's in-memory cookie store, in insertion order. A cookie is identified by its
// domain, path and name (the name without regard to case); a new one of the same identity
// takes the old one's place. Storing is linear in the number of cookies, and the store is
// bounded: a cookie text over MaxCookieBytes is dropped, and beyond MaxCookiesPerDomain for one
// domain or MaxCookies in all the oldest cookies go first. Nothing is written to disk.
class TCookieManager
{
public:
    using HeaderLine = QPair<QString, QString>; // name ("Cookie"/"Cookie2"), value
    // Called now and then while many cookies are stored; may throw to stop (a cancel).
    using Progress = std::function<void()>;

    static constexpr int MaxCookiesPerDomain = 50;
    static constexpr int MaxCookies = 3000;
    static constexpr qsizetype MaxCookieBytes = 4096;

    TCookieManager();
    ~TCookieManager();
    TCookieManager(const TCookieManager &) = delete;
    TCookieManager &operator=(const TCookieManager &) = delete;

    // Stores the cookies of one response. setCookies / setCookies2 are the header
    // values (each may hold several cookies), followed by the meta header values.
    // uri is the request's current URI. Rejected cookies are dropped silently.
    void AddServerCookies(const QStringList &setCookies, const QStringList &setCookies2,
                          const TUri &uri,
                          const QDateTime &now = QDateTime::currentDateTimeUtc(),
                          const Progress &progress = {});

    // Purges expired cookies, then returns the Cookie / Cookie2 lines for a request
    // to uri, one line per cookie, plus Cookie2: $Version="1" when only Set-Cookie
    // cookies were selected. secure is true only for https.
    QList<HeaderLine> GenerateClientCookies(const TUri &uri, bool secure,
                                            const QDateTime &now = QDateTime::currentDateTimeUtc());

    // Drops every cookie whose expiry is at or before now.
    void PurgeExpired(const QDateTime &now);

    QList<TNetscapeCookie> Cookies() const;
    qsizetype Count() const;

    // Whether a parsed cookie set by uri would be kept (after defaults are applied).
    static bool IsAccepted(const TNetscapeCookie &cookie, const TUri &uri);
    // Fills Domain (and for Set-Cookie2 Path and ports) from the request URI.
    static void ApplyDefaults(TNetscapeCookie &cookie, const TUri &uri);

private:
    struct Index;

    void Store(const TNetscapeCookie &cookie);

    mutable QReadWriteLock FLock;
    std::unique_ptr<Index> FIndex;
};
