#include "engine/LogTimestamp.h"

namespace {

bool isZoneSeparator(QChar c)
{
    return c.isSpace() || c == u',' || c == u'\uFF0C' || c == u'\u3001' || c == u'\u060C';
}

QChar closingBracket(QChar open)
{
    switch (open.unicode()) {
    case u'(':
        return u')';
    case u'[':
        return u']';
    case u'{':
        return u'}';
    case u'\uFF08':
        return u'\uFF09';
    case u'\uFF3B':
        return u'\uFF3D';
    case u'\u3010':
        return u'\u3011';
    default:
        return QChar();
    }
}

} // namespace

namespace LogTimestamp {

QString withoutTimeZone(const QString &timeFormat)
{
    QString f = timeFormat;
    bool quoted = false;
    qsizetype i = 0;
    while (i < f.size()) {
        const QChar c = f.at(i);
        if (c == u'\'') {
            quoted = !quoted; // a doubled quote toggles twice, as it should
            ++i;
            continue;
        }
        if (quoted || c != u't') {
            ++i;
            continue;
        }
        qsizetype start = i;
        qsizetype end = i;
        while (end < f.size() && f.at(end) == u't')
            ++end;
        // "[t]", "(t)": the brackets go with the zone, or the log shows them empty.
        qsizetype before = start;
        while (before > 0 && f.at(before - 1).isSpace())
            --before;
        qsizetype after = end;
        while (after < f.size() && f.at(after).isSpace())
            ++after;
        if (before > 0 && after < f.size() && !closingBracket(f.at(before - 1)).isNull()
            && f.at(after) == closingBracket(f.at(before - 1))) {
            start = before - 1;
            end = after + 1;
        }
        // The separator goes on the side where the zone meets the time.
        qsizetype sepStart = start;
        while (sepStart > 0 && isZoneSeparator(f.at(sepStart - 1)))
            --sepStart;
        if (sepStart > 0) {
            start = sepStart;
        } else {
            while (end < f.size() && isZoneSeparator(f.at(end)))
                ++end;
        }
        f.remove(start, end - start);
        i = start;
    }
    return f.trimmed();
}

QString format(const QDateTime &when, const QLocale &locale)
{
    return locale.toString(when.date(), QLocale::ShortFormat) + u' '
        + locale.toString(when.time(), withoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
}

QString format(const QDateTime &when)
{
    return format(when, QLocale::system());
}

bool parse(const QString &logLine, QDateTime &when, QString &text, const QLocale &locale)
{
    const qsizetype dash = logLine.indexOf(QStringLiteral(" - "));
    if (dash <= 0)
        return false;
    const QString format = locale.dateFormat(QLocale::ShortFormat) + u' '
                           + withoutTimeZone(locale.timeFormat(QLocale::LongFormat));
    QDateTime read = locale.toDateTime(logLine.left(dash), format);
    if (!read.isValid())
        return false;
    // A two-digit year reads as 19xx; this log was written this century.
    if (read.date().year() < 1970)
        read = read.addYears(100);
    when = read;
    text = logLine.mid(dash + 3);
    return true;
}

QString line(const QString &text)
{
    return format(QDateTime::currentDateTime()) + QStringLiteral(" - ") + text;
}

} // namespace LogTimestamp
