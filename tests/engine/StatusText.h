#pragma once

#include <QString>

// The text of a status line after the measurement object's timestamp.
inline QString statusText(const QString &line)
{
    const qsizetype sep = line.indexOf(QLatin1String(" - "));
    return sep < 0 ? line : line.mid(sep + 3);
}
