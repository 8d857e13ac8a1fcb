// The settings file: read, write, read must give every section and value back unchanged,
// and a value written then must read back as written.

#include "FuzzCheck.h"

#include "IniDocument.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace {

void CheckSameContent(const TIniDocument &first, const TIniDocument &second)
{
    const QStringList sections = first.SectionNames();
    FUZZ_CHECK(second.SectionNames() == sections);
    for (const QString &section : sections)
        FUZZ_CHECK(second.SectionLines(section) == first.SectionLines(section));
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
