#include "engine/http/HostName.h"

#include <QUrl>

#include <arpa/inet.h>

namespace {

bool IsNameCharacter(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-'
           || c == u'_' || c == u'.';
}

bool IsIPv6Character(char16_t c)
{
    return (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F') || (c >= u'0' && c <= u'9') || c == u':'
           || c == u'.';
}

} // namespace

bool IsValidHostName(const QString &host, int ipVersion)
{
    if (host.isEmpty() || host.size() > 253 + (ipVersion == 6 ? 0 : 1))
        return false;
    for (const QChar c : host) {
        const char16_t unit = c.unicode();
        if (ipVersion == 6 ? !IsIPv6Character(unit) : !IsNameCharacter(unit))
            return false;
    }
    if (ipVersion != 6)
        return true;
    // Only an address fits in brackets: "[1::2::3]" or "[12345::]" reach no lookup either.
    in6_addr address{};
    return inet_pton(AF_INET6, host.toLatin1().constData(), &address) == 1;
}

QString AsciiHostName(const QString &host)
{
    bool ascii = true;
    for (const QChar c : host)
        ascii = ascii && c.unicode() < 0x80;
    if (ascii)
        return host;
    // Letters outside ASCII are fine in a typed name; controls and the like are not, and
    // the conversion would refuse or keep them, so the result is checked by the caller.
    return QString::fromLatin1(QUrl::toAce(host, QUrl::AceProcessingOption::IgnoreIDNWhitelist));
}
