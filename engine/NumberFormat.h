#pragma once

#include <QString>

namespace NumberFormat {

// A number with exactly two decimals and the locale's group and decimal separators,
// as used in result lines ("1,024.00" in an English locale).
QString twoDecimals(double value);

} // namespace NumberFormat
