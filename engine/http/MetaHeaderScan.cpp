#include "MetaHeaderScan.h"

#include <QString>

namespace {

bool IsBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f';
}

bool IsNameChar(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-';
}

// Response text is read as US-ASCII: anything above 0x7F becomes "?".
QString ToAscii(const QByteArray &bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        text[i] = b < 0x80 ? QChar(b) : QChar(u'?');
    }
    return text;
}

struct Attribute
{
    QString Name;
    QString Value;
};

class Scanner
{
public:
    explicit Scanner(const QString &text) : FText(text) {}

    QStringList Run()
    {
        bool htmlSeen = false;
        bool inHead = false;
        while (NextTag()) {
            if (FName.startsWith(QStringLiteral("--"))) {
                SkipPast(QStringLiteral("-->"));
                continue;
            }
            if (!htmlSeen) {
                htmlSeen = Is(u"HTML");
                continue;
            }
            if (Is(u"BODY"))
                break;
            if (!inHead) {
                if (Is(u"TITLE"))
                    break;
                inHead = Is(u"HEAD");
                continue;
            }
            if (Is(u"META"))
                ReadMeta();
            else if (Is(u"TITLE"))
                SkipPast(QStringLiteral("</title"));
            else if (Is(u"SCRIPT"))
                SkipPast(QStringLiteral("</script"));
            // LINK and every other tag: nothing to take.
        }
        return FLines;
    }

private:
    bool Is(QStringView name) const { return FName.compare(name, Qt::CaseInsensitive) == 0; }

    // Moves to the next "<" and reads the tag name after it.
    bool NextTag()
    {
        const qsizetype open = FText.indexOf(u'<', FPos);
        if (open < 0)
            return false;
        FPos = open + 1;
        if (FPos < FText.size() && (FText[FPos] == u'?' || FText[FPos] == u'!'))
            ++FPos;
        while (FPos < FText.size() && IsBlank(FText[FPos]))
            ++FPos;
        const qsizetype start = FPos;
        while (FPos < FText.size() && IsNameChar(FText[FPos]))
            ++FPos;
        FName = FText.mid(start, FPos - start);
        if (FName.startsWith(QStringLiteral("--")))
            FPos = start + 2; // a comment may close right after its opening "--"
        return true;
    }

    void SkipPast(const QString &marker)
    {
        const qsizetype at = FText.indexOf(marker, FPos, Qt::CaseInsensitive);
        FPos = at < 0 ? FText.size() : at + marker.size();
    }

    // Reads one attribute inside the current tag; false at ">" or the end.
    bool NextAttribute(Attribute &attribute)
    {
        while (FPos < FText.size() && (IsBlank(FText[FPos]) || FText[FPos] == u'/'))
            ++FPos;
        if (FPos >= FText.size() || FText[FPos] == u'>')
            return false;
        const qsizetype nameStart = FPos;
        while (FPos < FText.size() && !IsBlank(FText[FPos]) && FText[FPos] != u'='
               && FText[FPos] != u'>')
            ++FPos;
        attribute.Name = FText.mid(nameStart, FPos - nameStart);
        attribute.Value.clear();
        if (FPos == nameStart) { // a stray "=": step over it
            ++FPos;
            return true;
        }
        qsizetype look = FPos;
        while (look < FText.size() && IsBlank(FText[look]))
            ++look;
        if (look >= FText.size() || FText[look] != u'=')
            return true;
        FPos = look + 1;
        while (FPos < FText.size() && IsBlank(FText[FPos]))
            ++FPos;
        if (FPos < FText.size() && (FText[FPos] == u'"' || FText[FPos] == u'\'')) {
            const QChar quote = FText[FPos];
            const qsizetype close = FText.indexOf(quote, FPos + 1);
            const qsizetype end = close < 0 ? FText.size() : close;
            attribute.Value = FText.mid(FPos + 1, end - FPos - 1);
            FPos = close < 0 ? FText.size() : close + 1;
        } else {
            const qsizetype valueStart = FPos;
            while (FPos < FText.size() && !IsBlank(FText[FPos]) && FText[FPos] != u'>')
                ++FPos;
            attribute.Value = FText.mid(valueStart, FPos - valueStart);
        }
        return true;
    }

    void ReadMeta()
    {
        Attribute attribute;
        if (!NextAttribute(attribute)
            || attribute.Name.compare(u"HTTP-EQUIV", Qt::CaseInsensitive) != 0)
            return;
        QString line = attribute.Value + u':';
        while (NextAttribute(attribute)) {
            if (attribute.Name.compare(u"CONTENT", Qt::CaseInsensitive) == 0) {
                line += u' ' + attribute.Value;
                break;
            }
        }
        // A header value never spans lines.
        for (QChar &c : line)
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                c = u' ';
        FLines.append(line);
    }

    const QString FText;
    qsizetype FPos = 0;
    QString FName;
    QStringList FLines;
};

} // namespace

QStringList ScanMetaHeaderLines(const QByteArray &html)
{
    return Scanner(ToAscii(html)).Run();
}
