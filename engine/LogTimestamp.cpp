#include "LogTimestamp.h"

#include <QLocale>
#include <QRegularExpression>

namespace {

QString longTimeFormatWithoutZone(const QLocale &locale)
{
    QString format = locale.timeFormat(QLocale::LongFormat);
    // Drop the zone token ("t", "tt"...) and the blank or parenthesis around it; quoted text stays.
    static const QRegularExpression zone(QStringLiteral("\\s*\\(?t+\\)?(?=(?:[^']*'[^']*')*[^']*$)"));
    format.remove(zone);
    return format.trimmed();
}

} // namespace

namespace LogTimestamp {

QString format(const QDateTime &when)
{
    const QLocale locale = QLocale::system();
    return locale.toString(when.date(), QLocale::ShortFormat) + u' '
        + locale.toString(when.time(), longTimeFormatWithoutZone(locale));
}

QString line(const QString &text)
{
    return format(QDateTime::currentDateTime()) + QStringLiteral(" - ") + text;
}

} // namespace LogTimestamp
