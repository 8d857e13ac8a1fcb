#include "support/VersionBlock.h"

#include "KorvaneBuildConfig.h"

TVersionBlock TVersionBlock::Shipped()
{
    TVersionBlock block;
    block.present = true;
    block.dwSignature = 0xFEEF04BDu;
    block.dwFileVersionMS = (quint32(KORVANE_VERSION_MAJOR) << 16) | quint32(KORVANE_VERSION_MINOR);
    block.dwFileVersionLS = (quint32(KORVANE_VERSION_PATCH) << 16) | quint32(KORVANE_VERSION_TWEAK);
    block.dwFileFlagsMask = 0x3F;
    block.dwFileFlags = 0;

    const QString productVersion =
        QStringLiteral("%1.%2").arg(KORVANE_VERSION_MAJOR).arg(KORVANE_VERSION_MINOR);
    // No LegalTrademarks and no ProductDescription entry, on purpose.
    block.stringTables.insert(EnglishKey, {
        {QStringLiteral("CompanyName"), QStringLiteral("Ostrelle")},
        {QStringLiteral("FileDescription"), QStringLiteral("Korvane Client")},
        {QStringLiteral("FileVersion"), QStringLiteral(KORVANE_VERSION_STRING)},
        {QStringLiteral("InternalName"), QStringLiteral("Korvane")},
        {QStringLiteral("LegalCopyright"), QStringLiteral("Copyright \u00A9 2024 Ostrelle")},
        {QStringLiteral("OriginalFilename"), QStringLiteral("KorvClnt.exe")},
        {QStringLiteral("ProductName"), QStringLiteral("Korvane")},
        {QStringLiteral("ProductVersion"), productVersion},
        {QStringLiteral("Comments"), QStringLiteral("Measures download speed from a Korvane server or a web page.")},
        {QStringLiteral("CompileDate"), QStringLiteral(__DATE__)},
    });
    return block;
}
