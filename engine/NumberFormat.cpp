#include "engine/NumberFormat.h"

#include <QLocale>

namespace NumberFormat {

QString twoDecimals(double value)
{
    QLocale locale = QLocale::system();
    // The C locale omits grouping by default; result lines always group thousands.
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(value, 'f', 2);
}

} // namespace NumberFormat
