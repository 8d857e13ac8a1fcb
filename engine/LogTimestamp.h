#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// Timestamps of log and status lines: the locale's short date, a blank and its long time
// without the time-zone part.
namespace LogTimestamp {

QString format(const QDateTime &when);
QString format(const QDateTime &when, const QLocale &locale);
// format(now) + " - " + text
QString line(const QString &text);

// Reads back a line that line() wrote in that locale: its time and the text after " - ".
// False for a line that does not start with such a time.
bool parse(const QString &logLine, QDateTime &when, QString &text, const QLocale &locale = QLocale::system());

// A time format with its zone field removed, together with the brackets around it and the
// blanks or commas that set it apart; quoted text is left alone.
QString withoutTimeZone(const QString &timeFormat);

} // namespace LogTimestamp
