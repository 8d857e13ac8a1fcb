#pragma once

#include <QDateTime>
#include <QString>

// Timestamps of log and status lines: the locale's short date, a blank and its long time
// without the time-zone part.
namespace LogTimestamp {

QString format(const QDateTime &when);
// format(now) + " - " + text
QString line(const QString &text);

} // namespace LogTimestamp
