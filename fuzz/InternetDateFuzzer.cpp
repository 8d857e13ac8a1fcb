// Internet dates: whatever the parser accepts is a moment in UTC that reads back as itself
// from its RFC 1123 form.

#include "fuzz/FuzzCheck.h"

#include "engine/http/InternetDate.h"

#include <QDateTime>
#include <QLocale>
#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QDateTime moment = ParseInternetDate(text);
    if (!moment.isValid())
        return 0;
    FUZZ_CHECK(moment.timeSpec() == Qt::UTC);
    const int year = moment.date().year();
    if (year < 1000 || year > 9999)
        return 0;
    const QString rfc1123 =
        QLocale::c().toString(moment, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss")) + QStringLiteral(" GMT");
    FUZZ_CHECK(ParseInternetDate(rfc1123) == moment);
    return 0;
}
