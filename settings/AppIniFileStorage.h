#pragma once

#include "settings/CollectionValue.h"
#include "storage/FileStamp.h"
#include "settings/IniDocument.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

// The settings store: the whole INI file in memory, read once when the file name is set
// and written back only by Flush (and once more on destruction). Every value is addressed
// by a backslash path: its last element is the key, the rest the section
// (e.g. "fMain\mmDIsplay_Lines\Item0"). Reads and writes with an empty path are ignored.
// A stored number that cannot be read gives the caller's default, like a missing key.
class TAppIniFileStorage : public QObject
{
    Q_OBJECT
public:
    explicit TAppIniFileStorage(QObject* parent = nullptr);
    ~TAppIniFileStorage() override;   // flushes

    QString FileName() const { return FFileName; }
    // A different name flushes the old file, gets ".ini" when it has no extension, and
    // reloads the document from the new file (empty when the file does not exist).
    void SetFileName(const QString& fileName);
    // Reloads only when the document was never loaded.
    void ReloadIfNeeded();
    void Reload();
    // Writes the whole document through a temporary file and a rename, under the file's
    // lock. Sections another copy of the program wrote to the file since it was read
    // here are kept (the last writer wins for the rest). Does nothing without a file
    // name or when the file is read-only. Returns empty, or why the file could not be
    // written ("Cannot save settings file ...: No space left on device"); the old file
    // is then whole.
    QString Flush();

    TIniDocument& Document() { return FDocument; }
    const TIniDocument& Document() const { return FDocument; }

    bool ValueStored(const QString& path) const;
    // True when a section at the path, or below it, exists (string lists, collections).
    bool PathIsList(const QString& path) const;
    void DeleteValue(const QString& path);
    void DeleteSubTree(const QString& path);

    QString ReadString(const QString& path, const QString& defaultValue = QString()) const;
    void WriteString(const QString& path, const QString& value);

    // Empty text reads as 0; text that is not an integer gives the default (ok = false).
    int ReadInteger(const QString& path, int defaultValue = 0, bool* ok = nullptr) const;
    void WriteInteger(const QString& path, int value);

    // TRUE/YES/Y and FALSE/NO/N in any case, else an integer (non-zero is true).
    bool ReadBoolean(const QString& path, bool defaultValue = false, bool* ok = nullptr) const;
    void WriteBoolean(const QString& path, bool value);

    // The identifier (any case), else the ordinal; otherwise the default.
    int ReadEnumeration(const QString& path, const QStringList& identifiers, int defaultValue,
                        bool* ok = nullptr) const;
    void WriteEnumeration(const QString& path, const QStringList& identifiers, int value);

    // 20 hex digits of the 80-bit extended value; other byte counts give the default;
    // text with a non-hex character is read as a decimal number in the locale.
    double ReadFloat(const QString& path, double defaultValue = 0, bool* ok = nullptr) const;
    void WriteFloat(const QString& path, double value);

    // Item0..Item(Count-1) and Count in the section at the path. Without Count, a single
    // value at the path itself is split at line breaks; otherwise the default.
    QStringList ReadStringList(const QString& path, const QStringList& defaultValue = {}) const;
    void WriteStringList(const QString& path, const QStringList& value);

    // Items in the sub-sections path\Item<k>, Count in the section at the path.
    // Without Count the default is returned unchanged.
    TCollectionValue ReadCollection(const QString& path, const TCollectionValue& defaultValue) const;
    void WriteCollection(const QString& path, const TCollectionValue& value);

    // One published value by its kind (String, Integer, Boolean, Enumeration, Float).
    // A value that cannot be read keeps the given one and returns false.
    bool ReadPublished(const QString& path, TPublishedProperty& property) const;
    void WritePublished(const QString& path, const TPublishedProperty& property);

private:
    bool Resolve(const QString& path, QString& section, QString& key) const;
    std::optional<QString> StoredText(const QString& path) const;
    static QString WithIniExtension(const QString& fileName);

    TIniDocument FDocument;
    QString FFileName;
    bool FLoaded = false;
    bool FReadFailed = false;   // an existing file we could not read is never overwritten
    TFileStamp FStamp;          // the file as last read or written here
};
