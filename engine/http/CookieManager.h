#pragma once

#include "NetscapeCookie.h"
#include "Uri.h"

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QReadWriteLock>
#include <QString>
#include <QStringList>

// The HTTP client's in-memory cookie store: one cookie per name (without regard to
// case), in insertion order, replaced in place. Nothing is written to disk.
class TCookieManager
{
public:
    using HeaderLine = QPair<QString, QString>; // name ("Cookie"/"Cookie2"), value

    // Stores the cookies of one response. setCookies / setCookies2 are the header
    // values (each may hold several cookies), followed by the meta header values.
    // uri is the request's current URI. Rejected cookies are dropped silently.
    void AddServerCookies(const QStringList &setCookies, const QStringList &setCookies2,
                          const TUri &uri,
                          const QDateTime &now = QDateTime::currentDateTimeUtc());

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
    void Store(const TNetscapeCookie &cookie);

    mutable QReadWriteLock FLock;
    QList<TNetscapeCookie> FCookies;
};
