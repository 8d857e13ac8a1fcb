#pragma once

#include <QString>

// Whether text can stand as the host of a URL we connect to: a name of ASCII letters, digits,
// "-", "_" and "." (the IPv4 forms included) or, for a bracketed host, an IPv6 address in one of
// its textual forms (no zone id). A NUL,
// a blank, a control, "%" or any other byte that no host name holds makes it invalid, so it
// can never reach a lookup, a Host header or a cookie domain.
bool IsValidHostName(const QString &host, int ipVersion = 4);

// The host as we connect to it: a name with letters outside ASCII in its ASCII (punycode)
// form, others unchanged. Empty when the name cannot be converted.
QString AsciiHostName(const QString &host);
