#pragma once

#include <QString>
#include <QStringList>

// Splits one Set-Cookie / Set-Cookie2 header value into single cookie texts at ",",
// except inside a double-quoted value and the first "," after "Expires=" (which
// belongs to the date). Each text is trimmed; empty ones are dropped.
QStringList SplitCookieHeader(const QString &headerValue);
