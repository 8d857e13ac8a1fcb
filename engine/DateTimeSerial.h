#pragma once

#include <QDateTime>

// Local date-times as day counts from 30 December 1899 with the time of day as fraction,
// the form in which start times are kept and stored.
namespace DateTimeSerial {

double fromDateTime(const QDateTime &local);
// Negative values keep the date in the whole part and the time in the fraction's magnitude.
QDateTime toDateTime(double serial);

} // namespace DateTimeSerial
