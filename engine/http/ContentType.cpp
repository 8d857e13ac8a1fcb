#include "engine/http/ContentType.h"

#include <QStringList>

namespace {

QString Unquote(QString value)
{
    value = value.trimmed();
    if (value.size() >= 2 && ((value.startsWith(u'"') && value.endsWith(u'"'))
                              || (value.startsWith(u'\'') && value.endsWith(u'\''))))
        value = value.mid(1, value.size() - 2).trimmed();
    return value;
}

} // namespace

TContentType TContentType::Parse(const QString &headerValue)
{
    TContentType result;
    const QString value = headerValue.trimmed();
    if (value.isEmpty())
        return result;

    QStringList parts = value.split(u';');
    result.ContentType = parts.takeFirst().trimmed();
    for (const QString &parameter : std::as_const(parts)) {
        const qsizetype equals = parameter.indexOf(u'=');
        if (equals < 0)
            continue;
        if (parameter.left(equals).trimmed().compare(u"charset", Qt::CaseInsensitive) == 0) {
            result.CharSet = Unquote(parameter.mid(equals + 1));
            break;
        }
    }
    if (result.CharSet.isEmpty() && result.ContentType.startsWith(u"text/", Qt::CaseInsensitive))
        result.CharSet = QStringLiteral("ISO-8859-1");
    return result;
}
