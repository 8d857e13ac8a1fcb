#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// How the file's bytes were encoded; kept so a flush writes them back the same way.
enum class TIniEncoding {
    SystemCodePage,   // UTF-8 without a byte-order mark
    Utf8Bom,
    Utf16LE,
    Utf16BE,
    Latin1,           // a file without a mark that is not valid UTF-8: bytes kept as they are
};

// The INI text in memory: ordered sections of ordered lines. Section names and keys are
// compared without regard to case; lines the program never writes are kept as they are.
class TIniDocument
{
public:
    void Clear();

    // Replaces the content with the parsed bytes (byte-order mark detection, trimming,
    // comments, empty lines and lines before the first section dropped).
    void LoadFromBytes(const QByteArray& bytes);
    // Sections in order, each followed by an empty line, CR LF line ends, in Encoding().
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
    // Replaces the key's line in place, or appends it to its section (the section is
    // appended to the document when missing).
    void SetValue(const QString& section, const QString& key, const QString& value);
    void DeleteKey(const QString& section, const QString& key);
    // Removes the section and every section below it.
    void EraseSection(const QString& section);

private:
    struct TSection {
        QString Name;
        QStringList Lines;
    };

    int SectionIndex(const QString& section) const;
    static int LineIndex(const TSection& section, const QString& key);

    QList<TSection> FSections;
    TIniEncoding FEncoding = TIniEncoding::SystemCodePage;
};
