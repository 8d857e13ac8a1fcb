#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

// Which header set the cookie: Set-Cookie cookies are sent on Cookie lines,
// Set-Cookie2 cookies on Cookie2 lines.
enum class TCookieKind { RFC2109, RFC2965 };

// One cookie as parsed from a header and kept in the store.
struct TNetscapeCookie
{
    QString CookieName;
    QString Value;        // without surrounding double quotes
    QString Domain;       // possibly with a leading "."
    QString Path = QStringLiteral("/");
    QDateTime Expires;    // UTC; invalid means no expiry (kept for the store's life)
    bool Secure = false;
    bool HttpOnly = false;
    int Version = 0;
    qint64 MaxAge = -1;   // seconds; -1 when absent
    QString Comment;
    TCookieKind Kind = TCookieKind::RFC2109;
    bool DomainGiven = false;   // a DOMAIN attribute was present
    // Set-Cookie2 only: the ports the cookie may go to; PortGiven when a PORT attribute was present.
    bool PortGiven = false;
    QList<int> PortList;

    // Parses one cookie text (as split by SplitCookieHeader). Never throws; a text
    // without a name gives a cookie with an empty name. "now" anchors EXPIRES given
    // as seconds and MAX-AGE.
    static TNetscapeCookie Parse(const QString &text, const QDateTime &now,
                                   TCookieKind kind = TCookieKind::RFC2109);

    bool operator==(const TNetscapeCookie &) const = default;
};
