#pragma once

#include <QDateTime>
#include <QString>

// Reads the common Internet date forms: RFC 1123 ("Sun, 06 Nov 1994 08:49:37 GMT"),
// RFC 850 ("Sunday, 06-Nov-94 08:49:37 GMT"), asctime ("Sun Nov  6 08:49:37 1994"),
// the Netscape cookie form ("Sun, 06-Nov-1994 08:49:37 GMT"), with two- or four-digit
// years (70..99 are 19xx, 00..69 are 20xx) and a zone of GMT/UTC/UT/Z, a US zone
// name or a numeric +hhmm/-hhmm (none means GMT). Returns the moment in UTC, or an
// invalid QDateTime when the text is not such a date.
QDateTime ParseInternetDate(const QString &text);
