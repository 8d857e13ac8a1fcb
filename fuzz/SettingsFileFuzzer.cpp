// The settings file: read, write, read must give every section and value back unchanged,
// a value written then must read back as written, and looking many keys up at once must
// find what looking them up one by one finds.

#include "fuzz/FuzzCheck.h"

#include "settings/IniDocument.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace {

void CheckSameContent(const TIniDocument &first, const TIniDocument &second)
{
    const QStringList sections = first.SectionNames();
    FUZZ_CHECK(second.SectionNames() == sections);
    for (const QString &section : sections)
        FUZZ_CHECK(second.SectionLines(section) == first.SectionLines(section));
}

// A list's items are looked up all at once; that must agree with one key at a time, for
// keys of every case, repeated keys and keys that are not there.
void CheckBulkLookup(const TIniDocument &document)
{
    for (const QString &section : document.SectionNames()) {
        QStringList keys;
        for (const QString &line : document.SectionLines(section)) {
            const QString key = line.section(u'=', 0, 0);
            keys << key << key.toUpper() << key + u'x';
        }
        const QList<std::optional<QString>> values = document.Values(section.toLower(), keys);
        FUZZ_CHECK(values.size() == keys.size());
        for (qsizetype i = 0; i < keys.size(); ++i)
            FUZZ_CHECK(values[i] == document.Value(section.toLower(), keys[i]));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    TIniDocument read;
    read.LoadFromBytes(bytes);

    TIniDocument reread;
    reread.LoadFromBytes(read.SaveToBytes());
    CheckSameContent(read, reread);
    CheckBulkLookup(read);

    // The program's own write: a value (here the file's first line) under a key of ours.
    const QString value = read.SectionNames().isEmpty() || read.SectionLines(read.SectionNames().first()).isEmpty()
                              ? QString()
                              : read.SectionLines(read.SectionNames().first()).first();
    read.SetValue(QStringLiteral("fMain"), QStringLiteral("cbServerName_Text"), value);
    TIniDocument written;
    written.LoadFromBytes(read.SaveToBytes());
    CheckSameContent(read, written);
    return 0;
}
