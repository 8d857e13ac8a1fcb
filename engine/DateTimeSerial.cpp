#include "engine/DateTimeSerial.h"

#include <cmath>

namespace {
const QDate kEpoch(1899, 12, 30);
constexpr double kMsPerDay = 86400000.0;
} // namespace

namespace DateTimeSerial {

double fromDateTime(const QDateTime &local)
{
    const QDateTime lt = local.toLocalTime();
    const double days = double(kEpoch.daysTo(lt.date()));
    const double fraction = lt.time().msecsSinceStartOfDay() / kMsPerDay;
    return days >= 0 ? days + fraction : days - fraction;
}

QDateTime toDateTime(double serial)
{
    const double whole = std::trunc(serial);
    const double fraction = std::fabs(serial - whole);
    int ms = int(std::llround(fraction * kMsPerDay));
    qint64 days = qint64(whole);
    if (ms >= 86400000) {
        ms -= 86400000;
        days += 1;
    }
    return QDateTime(kEpoch.addDays(days), QTime::fromMSecsSinceStartOfDay(ms));
}

} // namespace DateTimeSerial
