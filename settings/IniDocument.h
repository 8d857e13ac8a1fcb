#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The file's byte-order mark, kept so a flush writes the file back the same way.
enum class TIniEncoding {
    SystemCodePage,   // no mark: each line UTF-8, or Latin-1 when its bytes are not UTF-8
    Utf8Bom,          // the same line rule after a UTF-8 mark
    Utf16LE,
    Utf16BE,
};

// The INI text in memory: ordered sections of ordered lines. Section names and keys are
// compared without regard to case; lines the program never writes are kept as they are.
// Sections and keys are indexed, so files of a hundred thousand lines load, read and
// save in linear time.
class TIniDocument
{
public:
    void Clear();

    // Replaces the content with the parsed bytes (byte-order mark detection, trimming,
    // comments, empty lines and lines before the first section dropped).
    void LoadFromBytes(const QByteArray& bytes);
    // Sections in order, each followed by an empty line, CR LF line ends, in Encoding().
    // Without a UTF-16 mark a line read as Latin-1 is written back as the same bytes;
    // every other line is written as UTF-8, so a value always reads back as it was.
    QByteArray SaveToBytes() const;

    TIniEncoding Encoding() const { return FEncoding; }
    void SetEncoding(TIniEncoding encoding) { FEncoding = encoding; }

    QStringList SectionNames() const;
    bool SectionExists(const QString& section) const;
    // True when the section itself or any section below it (name + "\") exists.
    bool SectionOrSubSectionExists(const QString& section) const;
    QStringList SectionLines(const QString& section) const;

    bool ValueExists(const QString& section, const QString& key) const;
    std::optional<QString> Value(const QString& section, const QString& key) const;
    // The values of many keys of one section, in the order asked (nullopt where a key is
    // missing): a list of a hundred thousand items finds its section once.
    QList<std::optional<QString>> Values(const QString& section, const QStringList& keys) const;
    // Replaces the key's line in place, or appends it to its section (the section is
    // appended to the document when missing).
    void SetValue(const QString& section, const QString& key, const QString& value);
    void DeleteKey(const QString& section, const QString& key);
    // Deletes, in one pass, every key of the section for which the predicate holds.
    void DeleteKeys(const QString& section, const std::function<bool(const QString& key)>& which);
    // Removes the section and every section below it.
    void EraseSection(const QString& section);
    // Removes, in one pass, every section whose name satisfies the predicate.
    void EraseSections(const std::function<bool(const QString& name)>& which);

    // Appends a copy of each section of the other document (lines and their encodings)
    // that this one has neither nor erased since it was loaded.
    void AdoptMissingSections(const TIniDocument& other);

private:
    struct TLine {
        QString Text;
        QString FoldedKey;     // the key in folded case; empty for a line without "="
        bool Latin1 = false;   // read from bytes that were not UTF-8
    };
    struct TSection {
        QString Name;
        bool NameLatin1 = false;
        QList<TLine> Lines;
        // Folded key -> first line with that key; rebuilt after deletions.
        mutable QHash<QString, qsizetype> KeyIndex;
        mutable bool KeyIndexStale = false;
    };

    static TLine MakeLine(const QString& text, bool latin1);
    qsizetype SectionIndex(const QString& section) const;
    static qsizetype LineIndex(const TSection& section, const QString& key);
    void AppendSection(const QString& name, bool nameLatin1);
    void RebuildSectionIndex();

    QList<TSection> FSections;
    QHash<QString, qsizetype> FSectionIndex;   // folded name -> first section of that name
    QSet<QString> FErased;                     // folded names of sections erased since loading
    TIniEncoding FEncoding = TIniEncoding::SystemCodePage;
};
