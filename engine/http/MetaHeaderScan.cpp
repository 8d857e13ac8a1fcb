#include "engine/http/MetaHeaderScan.h"

#include <QString>

namespace {

// None of the characters the scan looks for lies above 0x7F, so it works on the bytes
// themselves and converts only the names and values it takes.
bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

bool IsNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// marker is ASCII and starts with a character that has no case.
qsizetype FindMarker(QByteArrayView data, qsizetype from, QByteArrayView marker)
{
    const qsizetype length = marker.size();
    for (qsizetype at = data.indexOf(marker[0], from); at >= 0 && at + length <= data.size();
         at = data.indexOf(marker[0], at + 1)) {
        qsizetype i = 1;
        while (i < length && AsciiLower(data[at + i]) == AsciiLower(marker[i]))
            ++i;
        if (i == length)
            return at;
    }
    return -1;
}

bool Is(const QString &name, QStringView wanted)
{
    return name.compare(wanted, Qt::CaseInsensitive) == 0;
}

// Tag names are letters, digits and "-" only, so they are compared as bytes.
bool Is(QByteArrayView name, QByteArrayView wanted)
{
    return name.compare(wanted, Qt::CaseInsensitive) == 0;
}

} // namespace

void TMetaHeaderScanner::Add(QByteArrayView bytes)
{
    if (FDone || bytes.isEmpty())
        return;
    if (FPending.isEmpty()) {
        const qsizetype used = Scan(bytes);
        if (!FDone)
            FPending = bytes.sliced(used).toByteArray();
        return;
    }
    FPending.append(bytes.data(), bytes.size());
    const qsizetype used = Scan(FPending);
    FPending = FDone ? QByteArray() : FPending.mid(used);
}

QStringList TMetaHeaderScanner::Finish()
{
    if (!FDone) {
        FFinal = true;
        Scan(FPending);
    }
    FDone = true;
    FPending.clear();
    FSkipMarker.clear();
    return FLines;
}

qsizetype TMetaHeaderScanner::Scan(QByteArrayView data)
{
    FData = data;
    qsizetype pos = 0;
    while (!FDone) {
        if (!FSkipMarker.isEmpty()) {
            const qsizetype at = FindMarker(data, pos, FSkipMarker);
            if (at < 0) {
                if (FFinal)
                    return data.size();
                // the marker may begin in the last bytes
                return std::max(pos, data.size() - (FSkipMarker.size() - 1));
            }
            pos = at + FSkipMarker.size();
            FSkipMarker.clear();
            continue;
        }
        const qsizetype open = data.indexOf('<', pos);
        if (open < 0)
            return data.size();
        FTagStart = open;
        try {
            pos = Tag(open);
        } catch (const NeedMore &) {
            return open;
        } catch (const TooLong &) {
            FDone = true;
        }
    }
    return data.size();
}

bool TMetaHeaderScanner::End(qsizetype i) const
{
    Reach(i);
    if (i < FData.size())
        return false;
    if (FFinal)
        return true;
    throw NeedMore();
}

void TMetaHeaderScanner::Reach(qsizetype i) const
{
    if (i - FTagStart > MaxTagLength)
        throw TooLong();
}

QString TMetaHeaderScanner::Text(qsizetype start, qsizetype length) const
{
    QString text(length, Qt::Uninitialized);
    for (qsizetype i = 0; i < length; ++i) {
        const auto b = static_cast<unsigned char>(FData[start + i]);
        text[i] = b < 0x80 ? QChar(b) : QChar(u'?');
    }
    return text;
}

qsizetype TMetaHeaderScanner::Tag(qsizetype open)
{
    qsizetype pos = open + 1;
    // "?" or "!" is skipped; a byte above 0x7F reads as "?" too.
    if (!End(pos) && (At(pos) == '?' || At(pos) == '!' || static_cast<unsigned char>(At(pos)) >= 0x80))
        ++pos;
    while (!End(pos) && IsBlank(At(pos)))
        ++pos;
    const qsizetype start = pos;
    while (!End(pos) && IsNameChar(At(pos)))
        ++pos;
    const QByteArrayView name = FData.sliced(start, pos - start);

    if (name.startsWith("--")) {
        FSkipMarker = "-->";
        return start + 2; // a comment may close right after its opening "--"
    }
    if (!FHtmlSeen) {
        FHtmlSeen = Is(name, "HTML");
        return pos;
    }
    if (Is(name, "BODY")) {
        FDone = true;
        return pos;
    }
    if (!FInHead) {
        if (Is(name, "TITLE"))
            FDone = true;
        else
            FInHead = Is(name, "HEAD");
        return pos;
    }
    if (Is(name, "META"))
        return ReadMeta(pos);
    if (Is(name, "TITLE"))
        FSkipMarker = "</title";
    else if (Is(name, "SCRIPT"))
        FSkipMarker = "</script";
    // LINK and every other tag: nothing to take.
    return pos;
}

bool TMetaHeaderScanner::NextAttribute(qsizetype &pos, QString &name, QString &value)
{
    while (!End(pos) && (IsBlank(At(pos)) || At(pos) == '/'))
        ++pos;
    if (End(pos) || At(pos) == '>')
        return false;
    const qsizetype nameStart = pos;
    while (!End(pos) && !IsBlank(At(pos)) && At(pos) != '=' && At(pos) != '>')
        ++pos;
    name = Text(nameStart, pos - nameStart);
    value.clear();
    if (pos == nameStart) { // a stray "=": step over it
        ++pos;
        return true;
    }
    qsizetype look = pos;
    while (!End(look) && IsBlank(At(look)))
        ++look;
    if (End(look) || At(look) != '=')
        return true;
    pos = look + 1;
    while (!End(pos) && IsBlank(At(pos)))
        ++pos;
    if (!End(pos) && (At(pos) == '"' || At(pos) == '\'')) {
        const char quote = At(pos);
        const qsizetype close = FData.indexOf(quote, pos + 1);
        const qsizetype end = close < 0 ? FData.size() : close;
        Reach(end);
        if (close < 0 && !FFinal)
            throw NeedMore();
        value = Text(pos + 1, end - pos - 1);
        pos = close < 0 ? FData.size() : close + 1;
    } else {
        const qsizetype valueStart = pos;
        while (!End(pos) && !IsBlank(At(pos)) && At(pos) != '>')
            ++pos;
        value = Text(valueStart, pos - valueStart);
    }
    return true;
}

qsizetype TMetaHeaderScanner::ReadMeta(qsizetype pos)
{
    QString name;
    QString value;
    if (!NextAttribute(pos, name, value) || !Is(name, u"HTTP-EQUIV"))
        return pos;
    QString line = value + u':';
    while (NextAttribute(pos, name, value)) {
        if (Is(name, u"CONTENT")) {
            line += u' ' + value;
            break;
        }
    }
    // A header value never spans lines.
    for (QChar &c : line)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = u' ';
    FLines.append(line);
    return pos;
}

QStringList ScanMetaHeaderLines(QByteArrayView html)
{
    TMetaHeaderScanner scanner;
    scanner.Add(html);
    return scanner.Finish();
}
