#include "storage/XLabelText.h"

#include "storage/DayCountDate.h"
#include "storage/ResultRow.h"

#include <cmath>

QString FormatLabelNumber(double value, const QLocale &locale)
{
    if (!std::isfinite(value) || std::fabs(value) >= 1.0e10)
        return locale.toString(value, 'G', 10);
    // Ten significant digits at most, then shown with exactly two decimals.
    const double rounded = QString::number(value, 'g', 10).toDouble();
    QLocale grouped = locale;
    grouped.setNumberOptions(locale.numberOptions() & ~QLocale::NumberOptions(QLocale::OmitGroupSeparator));
    return grouped.toString(rounded, 'f', 2);
}

QString XLabelText(const TResultRow &row, const QLocale &locale)
{
    QString text = row.Server;
    text += QChar(u'\r');
    const QDateTime start = DayCountDate::toDateTime(row.StartTime);
    if (start.isValid())
        text += locale.toString(start, QStringLiteral("dd MMM HH:mm - "));
    else
        text += QStringLiteral("?? ??? ??:?? - ");
    text += FormatLabelNumber(row.Speed, locale);
    text += QStringLiteral("KB/s - ");
    text += FormatLabelNumber(row.BytesRx / 1024.0, locale);
    text += QStringLiteral("KB.");
    return text;
}
