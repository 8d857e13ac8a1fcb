#pragma once

#include <QString>

// Bytes no host name or address literal can hold. A host with one must never reach a
// lookup, a Host header or the cookie store.
inline bool HostCanHold(const QString &host)
{
    for (const QChar c : host) {
        const char16_t u = c.unicode();
        if (u <= 0x20 || u == 0x7F)
            return false;
        switch (u) {
        case u'/': case u'\\': case u'?': case u'#': case u'@': case u'[': case u']':
            return false;
        default:
            break;
        }
    }
    return true;
}
