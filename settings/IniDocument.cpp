#include "IniDocument.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace {

const QByteArray Utf8Mark("\xEF\xBB\xBF", 3);
const QByteArray Utf16LEMark("\xFF\xFE", 2);
const QByteArray Utf16BEMark("\xFE\xFF", 2);

bool SameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString DecodeFile(const QByteArray& bytes, TIniEncoding& encoding)
{
    auto decodeWith = [](QStringConverter::Encoding codec, QByteArrayView data) {
        QStringDecoder decoder(codec, QStringConverter::Flag::Stateless);
        return QString(decoder(data));
    };
    if (bytes.startsWith(Utf8Mark)) {
        encoding = TIniEncoding::Utf8Bom;
        return decodeWith(QStringConverter::Utf8, QByteArrayView(bytes).sliced(Utf8Mark.size()));
    }
    if (bytes.startsWith(Utf16LEMark)) {
        encoding = TIniEncoding::Utf16LE;
        return decodeWith(QStringConverter::Utf16LE, QByteArrayView(bytes).sliced(Utf16LEMark.size()));
    }
    if (bytes.startsWith(Utf16BEMark)) {
        encoding = TIniEncoding::Utf16BE;
        return decodeWith(QStringConverter::Utf16BE, QByteArrayView(bytes).sliced(Utf16BEMark.size()));
    }
    QStringDecoder strict(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = strict(bytes);
    if (!strict.hasError()) {
        encoding = TIniEncoding::SystemCodePage;
        return text;
    }
    // Not UTF-8: keep every byte as one character so a flush writes the same bytes back.
    encoding = TIniEncoding::Latin1;
    return QString::fromLatin1(bytes);
}

QByteArray EncodeFile(const QString& text, TIniEncoding encoding)
{
    auto encodeWith = [&text](QStringConverter::Encoding codec) {
        QStringEncoder encoder(codec, QStringConverter::Flag::Stateless);
        return QByteArray(encoder(text));
    };
    switch (encoding) {
    case TIniEncoding::Utf8Bom:
        return Utf8Mark + encodeWith(QStringConverter::Utf8);
    case TIniEncoding::Utf16LE:
        return Utf16LEMark + encodeWith(QStringConverter::Utf16LE);
    case TIniEncoding::Utf16BE:
        return Utf16BEMark + encodeWith(QStringConverter::Utf16BE);
    case TIniEncoding::Latin1:
        for (QChar c : text)
            if (c.unicode() > 0xFF)
                return text.toUtf8();   // new text Latin-1 cannot hold must not turn into '?'
        return text.toLatin1();
    case TIniEncoding::SystemCodePage:
        break;
    }
    return text.toUtf8();
}

QString LineKey(const QString& line)
{
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    return eq < 0 ? QString() : line.left(eq).trimmed();
}

} // namespace

void TIniDocument::Clear()
{
    FSections.clear();
    FEncoding = TIniEncoding::SystemCodePage;
}

void TIniDocument::LoadFromBytes(const QByteArray& bytes)
{
    FSections.clear();
    const QString text = DecodeFile(bytes, FEncoding);

    int current = -1;
    qsizetype start = 0;
    while (start <= text.size()) {
        qsizetype end = start;
        while (end < text.size() && text[end] != QLatin1Char('\r') && text[end] != QLatin1Char('\n'))
            ++end;
        const QString line = text.mid(start, end - start).trimmed();
        if (end < text.size() && text[end] == QLatin1Char('\r') && end + 1 < text.size()
            && text[end + 1] == QLatin1Char('\n'))
            ++end;
        start = end + 1;

        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']')) && line.size() >= 2) {
            const QString name = line.mid(1, line.size() - 2).trimmed();
            // A repeated section continues the first one, so none of its keys is hidden.
            current = SectionIndex(name);
            if (current < 0) {
                FSections.append({name, {}});
                current = int(FSections.size() - 1);
            }
            continue;
        }
        if (current < 0)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            FSections[current].Lines.append(line);
        else
            FSections[current].Lines.append(line.left(eq).trimmed() + QLatin1Char('=')
                                            + line.mid(eq + 1).trimmed());
    }
}

QByteArray TIniDocument::SaveToBytes() const
{
    const QLatin1String lineEnd("\r\n");
    QString text;
    for (const TSection& section : FSections) {
        text += QLatin1Char('[') + section.Name + QLatin1Char(']') + lineEnd;
        for (const QString& line : section.Lines)
            text += line + lineEnd;
        text += lineEnd;
    }
    return EncodeFile(text, FEncoding);
}

QStringList TIniDocument::SectionNames() const
{
    QStringList names;
    for (const TSection& section : FSections)
        names.append(section.Name);
    return names;
}

bool TIniDocument::SectionExists(const QString& section) const
{
    return SectionIndex(section) >= 0;
}

bool TIniDocument::SectionOrSubSectionExists(const QString& section) const
{
    const QString below = section + QLatin1Char('\\');
    for (const TSection& s : FSections)
        if (SameName(s.Name, section) || s.Name.startsWith(below, Qt::CaseInsensitive))
            return true;
    return false;
}

QStringList TIniDocument::SectionLines(const QString& section) const
{
    const int index = SectionIndex(section);
    return index < 0 ? QStringList() : FSections[index].Lines;
}

bool TIniDocument::ValueExists(const QString& section, const QString& key) const
{
    return Value(section, key).has_value();
}

std::optional<QString> TIniDocument::Value(const QString& section, const QString& key) const
{
    const int index = SectionIndex(section);
    if (index < 0)
        return std::nullopt;
    const int line = LineIndex(FSections[index], key);
    if (line < 0)
        return std::nullopt;
    const QString& text = FSections[index].Lines[line];
    return text.mid(text.indexOf(QLatin1Char('=')) + 1);
}

void TIniDocument::SetValue(const QString& section, const QString& key, const QString& value)
{
    int index = SectionIndex(section);
    if (index < 0) {
        FSections.append({section, {}});
        index = int(FSections.size() - 1);
    }
    TSection& target = FSections[index];
    const QString line = key + QLatin1Char('=') + value;
    const int existing = LineIndex(target, key);
    if (existing < 0)
        target.Lines.append(line);
    else
        target.Lines[existing] = line;
}

void TIniDocument::DeleteKey(const QString& section, const QString& key)
{
    const int index = SectionIndex(section);
    if (index < 0)
        return;
    const int line = LineIndex(FSections[index], key);
    if (line >= 0)
        FSections[index].Lines.removeAt(line);
}

void TIniDocument::EraseSection(const QString& section)
{
    const QString below = section + QLatin1Char('\\');
    FSections.removeIf([&](const TSection& s) {
        return SameName(s.Name, section) || s.Name.startsWith(below, Qt::CaseInsensitive);
    });
}

int TIniDocument::SectionIndex(const QString& section) const
{
    for (int i = 0; i < FSections.size(); ++i)
        if (SameName(FSections[i].Name, section))
            return i;
    return -1;
}

int TIniDocument::LineIndex(const TSection& section, const QString& key)
{
    for (int i = 0; i < section.Lines.size(); ++i) {
        const QString& line = section.Lines[i];
        if (line.contains(QLatin1Char('=')) && SameName(LineKey(line), key))
            return i;
    }
    return -1;
}
