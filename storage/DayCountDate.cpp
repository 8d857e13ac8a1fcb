#include "storage/DayCountDate.h"

#include "storage/StorageError.h"

#include <cmath>

namespace {

constexpr qint64 MsecsPerDay = 86400000;

QDate epoch()
{
    return QDate(1899, 12, 30);
}

} // namespace

namespace DayCountDate {

double fromDateTime(const QDateTime &localTime)
{
    if (!localTime.isValid())
        throw EStorageError(QStringLiteral("Invalid date and time"));
    const QDateTime local = localTime.toLocalTime();
    const qint64 days = epoch().daysTo(local.date());
    const double fraction = double(local.time().msecsSinceStartOfDay()) / double(MsecsPerDay);
    // Before the epoch the whole part counts backwards but the time of day still adds.
    return days < 0 ? double(days) - fraction : double(days) + fraction;
}

QDateTime toDateTime(double dayCount)
{
    // QDate holds far more, but beyond this the millisecond count no longer fits.
    if (!std::isfinite(dayCount) || std::fabs(dayCount) > 1.0e8)
        return QDateTime();
    double whole = std::trunc(dayCount);
    qint64 msecs = qint64(std::llround(std::fabs(dayCount - whole) * double(MsecsPerDay)));
    if (msecs >= MsecsPerDay) {
        // Rounding reached midnight: it belongs to the next day (or, counting backwards, the
        // previous day's start).
        msecs -= MsecsPerDay;
        whole += dayCount < 0 ? -1.0 : 1.0;
    }
    const QDate date = epoch().addDays(qint64(whole));
    return QDateTime(date, QTime::fromMSecsSinceStartOfDay(int(msecs)));
}

} // namespace DayCountDate
