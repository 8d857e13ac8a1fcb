#include "settings/IniDocument.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace {

const QByteArray Utf8Mark("\xEF\xBB\xBF", 3);
const QByteArray Utf16LEMark("\xFF\xFE", 2);
const QByteArray Utf16BEMark("\xFE\xFF", 2);

QString Folded(const QString& name)
{
    return name.toCaseFolded();
}

bool SameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool IsUtf8(QByteArrayView bytes)
{
    QStringDecoder strict(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    (void)QString(strict(bytes));
    return !strict.hasError();
}

// One raw line: UTF-8 when its bytes are UTF-8, else one character per byte, so a stray
// byte in one line cannot spoil the UTF-8 text of the others.
QString DecodeLine(QByteArrayView bytes, bool& latin1)
{
    QStringDecoder strict(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = strict(bytes);
    latin1 = strict.hasError();
    return latin1 ? QString::fromLatin1(bytes.data(), bytes.size()) : text;
}

// A line read as Latin-1 goes back as its bytes only while those bytes still read as
// Latin-1; anything else is UTF-8, which always reads back as the same text.
QByteArray EncodeLine(const QString& text, bool latin1)
{
    if (latin1) {
        bool fits = true;
        for (QChar c : text)
            fits = fits && c.unicode() <= 0xFF;
        if (fits) {
            const QByteArray bytes = text.toLatin1();
            if (!IsUtf8(bytes))
                return bytes;
        }
    }
    return text.toUtf8();
}

QString LineKey(const QString& line)
{
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    return eq < 0 ? QString() : line.left(eq).trimmed();
}

} // namespace

TIniDocument::TLine TIniDocument::MakeLine(const QString& text, bool latin1)
{
    const qsizetype eq = text.indexOf(QLatin1Char('='));
    return {text, eq < 0 ? QString() : Folded(LineKey(text)), latin1};
}

void TIniDocument::Clear()
{
    FSections.clear();
    FSectionIndex.clear();
    FErased.clear();
    FEncoding = TIniEncoding::SystemCodePage;
}

void TIniDocument::LoadFromBytes(const QByteArray& bytes)
{
    Clear();

    // Raw lines with their encoding, split at CR LF, CR or LF.
    struct TRawLine {
        QString Text;
        bool Latin1;
    };
    QList<TRawLine> raw;
    auto splitText = [&raw](const QString& text) {
        qsizetype start = 0;
        while (start <= text.size()) {
            qsizetype end = start;
            while (end < text.size() && text[end] != QLatin1Char('\r') && text[end] != QLatin1Char('\n'))
                ++end;
            raw.append({text.mid(start, end - start), false});
            if (end < text.size() && text[end] == QLatin1Char('\r') && end + 1 < text.size()
                && text[end + 1] == QLatin1Char('\n'))
                ++end;
            start = end + 1;
        }
    };

    if (bytes.startsWith(Utf16LEMark) || bytes.startsWith(Utf16BEMark)) {
        const bool little = bytes.startsWith(Utf16LEMark);
        FEncoding = little ? TIniEncoding::Utf16LE : TIniEncoding::Utf16BE;
        QStringDecoder decoder(little ? QStringConverter::Utf16LE : QStringConverter::Utf16BE,
                               QStringConverter::Flag::Stateless);
        QString text = decoder(QByteArrayView(bytes).sliced(2));
        // A lone surrogate is no character; it would not survive a save in any encoding.
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
                ++i;
            else if (text[i].isSurrogate())
                text[i] = QChar::ReplacementCharacter;
        }
        splitText(text);
    } else {
        QByteArrayView data(bytes);
        if (bytes.startsWith(Utf8Mark)) {
            FEncoding = TIniEncoding::Utf8Bom;
            data = data.sliced(Utf8Mark.size());
        }
        qsizetype start = 0;
        while (start <= data.size()) {
            qsizetype end = start;
            while (end < data.size() && data[end] != '\r' && data[end] != '\n')
                ++end;
            bool latin1 = false;
            QString text = DecodeLine(data.sliced(start, end - start), latin1);
            raw.append({std::move(text), latin1});
            if (end < data.size() && data[end] == '\r' && end + 1 < data.size() && data[end + 1] == '\n')
                ++end;
            start = end + 1;
        }
    }

    qsizetype current = -1;
    for (const TRawLine& rawLine : std::as_const(raw)) {
        QString line = rawLine.Text.trimmed();
        // A byte order mark at a line's start (files joined together) is no text of it: the
        // line decoder drops one there, and so must this, or a mark behind a blank would
        // come first in the saved line and be lost at the next read.
        while (line.startsWith(QChar(0xFEFF)))
            line = line.sliced(1).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']')) && line.size() >= 2) {
            const QString name = line.mid(1, line.size() - 2).trimmed();
            // A repeated section continues the first one, so none of its keys is hidden.
            current = SectionIndex(name);
            if (current < 0) {
                AppendSection(name, rawLine.Latin1);
                current = FSections.size() - 1;
            }
            continue;
        }
        if (current < 0)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        TSection& section = FSections[current];
        if (eq < 0)
            section.Lines.append(MakeLine(line, rawLine.Latin1));
        else
            section.Lines.append(MakeLine(line.left(eq).trimmed() + QLatin1Char('=') + line.mid(eq + 1).trimmed(),
                                          rawLine.Latin1));
        section.KeyIndexStale = true;
    }
}

QByteArray TIniDocument::SaveToBytes() const
{
    const QLatin1String lineEnd("\r\n");
    if (FEncoding == TIniEncoding::Utf16LE || FEncoding == TIniEncoding::Utf16BE) {
        QString text;
        for (const TSection& section : FSections) {
            text += QLatin1Char('[') + section.Name + QLatin1Char(']') + lineEnd;
            for (const TLine& line : section.Lines)
                text += line.Text + lineEnd;
            text += lineEnd;
        }
        const bool little = FEncoding == TIniEncoding::Utf16LE;
        QStringEncoder encoder(little ? QStringConverter::Utf16LE : QStringConverter::Utf16BE,
                               QStringConverter::Flag::Stateless);
        return (little ? Utf16LEMark : Utf16BEMark) + QByteArray(encoder(text));
    }

    QByteArray bytes;
    if (FEncoding == TIniEncoding::Utf8Bom)
        bytes += Utf8Mark;
    for (const TSection& section : FSections) {
        bytes += EncodeLine(QLatin1Char('[') + section.Name + QLatin1Char(']'), section.NameLatin1);
        bytes += lineEnd;
        for (const TLine& line : section.Lines) {
            bytes += EncodeLine(line.Text, line.Latin1);
            bytes += lineEnd;
        }
        bytes += lineEnd;
    }
    return bytes;
}

QStringList TIniDocument::SectionNames() const
{
    QStringList names;
    names.reserve(FSections.size());
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
    if (SectionExists(section))
        return true;
    const QString below = section + QLatin1Char('\\');
    for (const TSection& s : FSections)
        if (s.Name.startsWith(below, Qt::CaseInsensitive))
            return true;
    return false;
}

QStringList TIniDocument::SectionLines(const QString& section) const
{
    const qsizetype index = SectionIndex(section);
    QStringList lines;
    if (index >= 0)
        for (const TLine& line : FSections[index].Lines)
            lines.append(line.Text);
    return lines;
}

bool TIniDocument::ValueExists(const QString& section, const QString& key) const
{
    return Value(section, key).has_value();
}

std::optional<QString> TIniDocument::Value(const QString& section, const QString& key) const
{
    const qsizetype index = SectionIndex(section);
    if (index < 0)
        return std::nullopt;
    const qsizetype line = LineIndex(FSections[index], key);
    if (line < 0)
        return std::nullopt;
    const QString& text = FSections[index].Lines[line].Text;
    return text.mid(text.indexOf(QLatin1Char('=')) + 1);
}

QList<std::optional<QString>> TIniDocument::Values(const QString& section, const QStringList& keys) const
{
    QList<std::optional<QString>> values(keys.size());
    const qsizetype index = SectionIndex(section);
    if (index < 0)
        return values;
    const TSection& found = FSections[index];
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const qsizetype line = LineIndex(found, keys[i]);
        if (line >= 0) {
            const QString& text = found.Lines[line].Text;
            values[i] = text.mid(text.indexOf(QLatin1Char('=')) + 1);
        }
    }
    return values;
}

void TIniDocument::SetValue(const QString& section, const QString& key, const QString& value)
{
    qsizetype index = SectionIndex(section);
    if (index < 0) {
        AppendSection(section, false);
        index = FSections.size() - 1;
    }
    TSection& target = FSections[index];
    const QString text = key + QLatin1Char('=') + value;
    const qsizetype existing = LineIndex(target, key);
    if (existing >= 0) {
        TLine& line = target.Lines[existing];
        // The same text keeps its bytes, whatever encoding it was read in.
        if (line.Text != text)
            line = MakeLine(text, false);
        return;
    }
    target.Lines.append(MakeLine(text, false));
    if (!target.KeyIndexStale)
        target.KeyIndex.insert(target.Lines.last().FoldedKey, target.Lines.size() - 1);
}

void TIniDocument::DeleteKey(const QString& section, const QString& key)
{
    const qsizetype index = SectionIndex(section);
    if (index < 0)
        return;
    const qsizetype line = LineIndex(FSections[index], key);
    if (line >= 0) {
        FSections[index].Lines.removeAt(line);
        FSections[index].KeyIndexStale = true;
    }
}

void TIniDocument::DeleteKeys(const QString& section, const std::function<bool(const QString& key)>& which)
{
    const qsizetype index = SectionIndex(section);
    if (index < 0)
        return;
    TSection& target = FSections[index];
    const qsizetype removed = target.Lines.removeIf([&](const TLine& line) {
        return !line.FoldedKey.isEmpty() && which(LineKey(line.Text));
    });
    if (removed > 0)
        target.KeyIndexStale = true;
}

void TIniDocument::EraseSection(const QString& section)
{
    const QString below = section + QLatin1Char('\\');
    EraseSections([&](const QString& name) {
        return SameName(name, section) || name.startsWith(below, Qt::CaseInsensitive);
    });
}

void TIniDocument::EraseSections(const std::function<bool(const QString& name)>& which)
{
    const qsizetype removed = FSections.removeIf([&](const TSection& s) {
        if (!which(s.Name))
            return false;
        FErased.insert(Folded(s.Name));
        return true;
    });
    if (removed > 0)
        RebuildSectionIndex();
}

void TIniDocument::AdoptMissingSections(const TIniDocument& other)
{
    for (const TSection& section : other.FSections) {
        const QString folded = Folded(section.Name);
        if (FErased.contains(folded) || FSectionIndex.contains(folded))
            continue;
        FSections.append(section);
        FSectionIndex.insert(folded, FSections.size() - 1);
    }
}

void TIniDocument::AppendSection(const QString& name, bool nameLatin1)
{
    TSection section;
    section.Name = name;
    section.NameLatin1 = nameLatin1;
    FSections.append(std::move(section));
    FSectionIndex.insert(Folded(name), FSections.size() - 1);
}

void TIniDocument::RebuildSectionIndex()
{
    FSectionIndex.clear();
    for (qsizetype i = FSections.size() - 1; i >= 0; --i)
        FSectionIndex.insert(Folded(FSections[i].Name), i);
}

qsizetype TIniDocument::SectionIndex(const QString& section) const
{
    return FSectionIndex.value(Folded(section), -1);
}

qsizetype TIniDocument::LineIndex(const TSection& section, const QString& key)
{
    if (section.KeyIndexStale) {
        section.KeyIndex.clear();
        section.KeyIndex.reserve(section.Lines.size());
        // Backwards, so the first line of a repeated key is the one found.
        for (qsizetype i = section.Lines.size() - 1; i >= 0; --i)
            if (!section.Lines[i].FoldedKey.isEmpty())
                section.KeyIndex.insert(section.Lines[i].FoldedKey, i);
        section.KeyIndexStale = false;
    }
    return section.KeyIndex.value(Folded(key), -1);
}
