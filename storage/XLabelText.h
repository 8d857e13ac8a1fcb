#pragma once

#include <QLocale>
#include <QString>

struct TResultRow;

// Text of the calculated XLabel column, used as the chart's bar label:
// Server, a carriage return, "dd MMM HH:mm - ", Speed as a rate, "KB/s - ",
// the received amount in KB formatted the same way, "KB.".
QString XLabelText(const TResultRow &row, const QLocale &locale = QLocale());

// A rate or amount: group separators, exactly two decimals, at most ten
// significant digits; an integer part above ten digits gives scientific form.
QString FormatLabelNumber(double value, const QLocale &locale = QLocale());
