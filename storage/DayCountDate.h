#pragma once

#include <QDateTime>

// Dates as a day count from 30 Dec 1899 with the time of day as fraction, the
// form the measurement object reports and the results file stores. Values
// before the epoch keep the time of day as a positive fraction (-1.25 is
// 29 Dec 1899 06:00). Resolution of the conversions is one millisecond.
namespace DayCountDate {

// Local date-time to day count. Throws EStorageError for an invalid date-time.
double fromDateTime(const QDateTime &localTime);

// Day count to local date-time; an invalid QDateTime for NaN, infinity or a
// value outside the dates Qt can hold.
QDateTime toDateTime(double dayCount);

} // namespace DayCountDate
