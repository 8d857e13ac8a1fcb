#include "MetaHeaderScan.h"

#include <QString>

namespace {

// The page is read as US-ASCII, anything above 0x7F as "?". The scan works on the bytes
// themselves, as none of the characters it looks for lies above 0x7F, and converts only
// the names and values it takes: a large page is never copied whole.
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

struct Attribute
{
    QString Name;
    QString Value;
};

class Scanner
{
public:
    explicit Scanner(QByteArrayView bytes) : FBytes(bytes) {}

    QStringList Run()
    {
        bool htmlSeen = false;
        bool inHead = false;
        while (NextTag()) {
            if (FName.startsWith(QStringLiteral("--"))) {
                SkipPast("-->");
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
                SkipPast("</title");
            else if (Is(u"SCRIPT"))
                SkipPast("</script");
            // LINK and every other tag: nothing to take.
        }
        return FLines;
    }

private:
    bool Is(QStringView name) const { return FName.compare(name, Qt::CaseInsensitive) == 0; }
    qsizetype Size() const { return FBytes.size(); }
    char At(qsizetype i) const { return FBytes[i]; }

    QString Text(qsizetype start, qsizetype length) const
    {
        QString text(length, Qt::Uninitialized);
        for (qsizetype i = 0; i < length; ++i) {
            const auto b = static_cast<unsigned char>(FBytes[start + i]);
            text[i] = b < 0x80 ? QChar(b) : QChar(u'?');
        }
        return text;
    }

    // Moves to the next "<" and reads the tag name after it.
    bool NextTag()
    {
        const qsizetype open = FBytes.indexOf('<', FPos);
        if (open < 0)
            return false;
        FPos = open + 1;
        if (FPos < Size() && (At(FPos) == '?' || At(FPos) == '!'))
            ++FPos;
        while (FPos < Size() && IsBlank(At(FPos)))
            ++FPos;
        const qsizetype start = FPos;
        while (FPos < Size() && IsNameChar(At(FPos)))
            ++FPos;
        FName = Text(start, FPos - start);
        if (FName.startsWith(QStringLiteral("--")))
            FPos = start + 2; // a comment may close right after its opening "--"
        return true;
    }

    // marker is ASCII and starts with a character that has no case.
    void SkipPast(QByteArrayView marker)
    {
        const qsizetype length = marker.size();
        for (qsizetype at = FBytes.indexOf(marker[0], FPos); at >= 0 && at + length <= Size();
             at = FBytes.indexOf(marker[0], at + 1)) {
            qsizetype i = 1;
            while (i < length && AsciiLower(At(at + i)) == AsciiLower(marker[i]))
                ++i;
            if (i == length) {
                FPos = at + length;
                return;
            }
        }
        FPos = Size();
    }

    // Reads one attribute inside the current tag; false at ">" or the end.
    bool NextAttribute(Attribute &attribute)
    {
        while (FPos < Size() && (IsBlank(At(FPos)) || At(FPos) == '/'))
            ++FPos;
        if (FPos >= Size() || At(FPos) == '>')
            return false;
        const qsizetype nameStart = FPos;
        while (FPos < Size() && !IsBlank(At(FPos)) && At(FPos) != '=' && At(FPos) != '>')
            ++FPos;
        attribute.Name = Text(nameStart, FPos - nameStart);
        attribute.Value.clear();
        if (FPos == nameStart) { // a stray "=": step over it
            ++FPos;
            return true;
        }
        qsizetype look = FPos;
        while (look < Size() && IsBlank(At(look)))
            ++look;
        if (look >= Size() || At(look) != '=')
            return true;
        FPos = look + 1;
        while (FPos < Size() && IsBlank(At(FPos)))
            ++FPos;
        if (FPos < Size() && (At(FPos) == '"' || At(FPos) == '\'')) {
            const char quote = At(FPos);
            const qsizetype close = FBytes.indexOf(quote, FPos + 1);
            const qsizetype end = close < 0 ? Size() : close;
            attribute.Value = Text(FPos + 1, end - FPos - 1);
            FPos = close < 0 ? Size() : close + 1;
        } else {
            const qsizetype valueStart = FPos;
            while (FPos < Size() && !IsBlank(At(FPos)) && At(FPos) != '>')
                ++FPos;
            attribute.Value = Text(valueStart, FPos - valueStart);
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

    const QByteArrayView FBytes;
    qsizetype FPos = 0;
    QString FName;
    QStringList FLines;
};

} // namespace

QStringList ScanMetaHeaderLines(const QByteArray &html)
{
    return Scanner(html).Run();
}
