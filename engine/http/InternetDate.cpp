#include "engine/http/InternetDate.h"

#include <QDate>
#include <QStringList>
#include <QTime>

namespace {

const char *const kMonths[] = {"january", "february", "march",     "april",   "may",      "june",
                               "july",    "august",   "september", "october", "november", "december"};
const char *const kWeekdays[] = {"monday", "tuesday", "wednesday", "thursday",
                                 "friday", "saturday", "sunday"};

// Three-letter abbreviation or the full name.
int NameIndex(const QString &lower, const char *const *names, int count)
{
    for (int i = 0; i < count; ++i) {
        const QLatin1String full(names[i]);
        if (lower == full || (lower.size() == 3 && full.startsWith(lower)))
            return i;
    }
    return -1;
}

// Offset east of GMT in minutes for a zone name.
bool ZoneOffset(const QString &lower, int &minutes)
{
    static const struct { const char *name; int offset; } zones[] = {
        {"gmt", 0},      {"utc", 0},      {"ut", 0},       {"z", 0},
        {"est", -300},   {"edt", -240},   {"cst", -360},   {"cdt", -300},
        {"mst", -420},   {"mdt", -360},   {"pst", -480},   {"pdt", -420},
    };
    for (const auto &zone : zones) {
        if (lower == QLatin1String(zone.name)) {
            minutes = zone.offset;
            return true;
        }
    }
    return false;
}

bool IsLetter(QChar c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsDigit(QChar c) { return c >= u'0' && c <= u'9'; }

// Letter runs, digit runs (a time keeps its ":"), and signed four-digit zones.
// A "+" or "-" is a zone sign only after the time; before it "-" separates
// day, month and year.
QStringList Tokens(const QString &text)
{
    QStringList tokens;
    bool timeSeen = false;
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text[i];
        const qsizetype start = i;
        if (IsLetter(c)) {
            while (i < text.size() && IsLetter(text[i]))
                ++i;
        } else if (IsDigit(c)) {
            while (i < text.size() && (IsDigit(text[i]) || text[i] == u':'))
                ++i;
            timeSeen = timeSeen || text.mid(start, i - start).contains(u':');
        } else if ((c == u'+' || c == u'-') && timeSeen && i + 1 < text.size() && IsDigit(text[i + 1])) {
            ++i;
            while (i < text.size() && IsDigit(text[i]))
                ++i;
        } else {
            ++i;
            continue;
        }
        tokens.append(text.mid(start, i - start));
    }
    return tokens;
}

bool ReadTime(const QString &token, QTime &time)
{
    const QStringList parts = token.split(u':');
    if (parts.size() < 2 || parts.size() > 3)
        return false;
    for (const QString &part : parts)
        if (part.isEmpty() || part.size() > 2)
            return false;
    int second = parts.size() == 3 ? parts[2].toInt() : 0;
    if (second == 60)
        second = 59; // a leap second reads as the last second of its minute
    time = QTime(parts[0].toInt(), parts[1].toInt(), second);
    return time.isValid();
}

} // namespace

QDateTime ParseInternetDate(const QString &text)
{
    if (text.size() > 256)
        return {};
    int day = -1, month = -1, year = -1, zoneMinutes = 0;
    bool haveZoneName = false, haveZoneOffset = false, haveWeekday = false;
    QTime time;

    for (const QString &token : Tokens(text)) {
        if (IsLetter(token[0])) {
            const QString lower = token.toLower();
            int offset = 0;
            if (month < 0 && NameIndex(lower, kMonths, 12) >= 0)
                month = NameIndex(lower, kMonths, 12) + 1;
            else if (!haveWeekday && NameIndex(lower, kWeekdays, 7) >= 0)
                haveWeekday = true;
            else if (!haveZoneName && !haveZoneOffset && ZoneOffset(lower, offset)) {
                zoneMinutes = offset;
                haveZoneName = true;
            } else
                return {};
        } else if (token[0] == u'+' || token[0] == u'-') {
            // "GMT+0200" and "+0200" alike; only one numeric offset.
            if (haveZoneOffset || (haveZoneName && zoneMinutes != 0) || token.size() != 5)
                return {};
            const int hh = token.mid(1, 2).toInt(), mm = token.mid(3, 2).toInt();
            if (hh > 23 || mm > 59)
                return {};
            zoneMinutes = (token[0] == u'-' ? -1 : 1) * (hh * 60 + mm);
            haveZoneOffset = true;
        } else if (token.contains(u':')) {
            if (time.isValid() || !ReadTime(token, time))
                return {};
        } else if (day < 0 && token.size() <= 2) {
            day = token.toInt();
        } else if (year < 0 && (token.size() == 2 || token.size() == 4)) {
            year = token.toInt();
            if (token.size() == 2)
                year += year < 70 ? 2000 : 1900;
        } else {
            return {};
        }
    }

    if (day < 1 || month < 1 || year < 0 || !time.isValid())
        return {};
    const QDate date(year, month, day);
    if (!date.isValid())
        return {};
    return QDateTime(date, time, Qt::UTC).addSecs(-qint64(zoneMinutes) * 60);
}
