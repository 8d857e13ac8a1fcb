#include "support/VersionInfo.h"

TVersionInfo::TVersionInfo(QObject* Owner)
    : TVersionInfo(TVersionBlock::Shipped(), Owner)
{
}

TVersionInfo::TVersionInfo(const TVersionBlock& block, QObject* Owner)
    : QObject(Owner)
{
    readBlock(block);
}

void TVersionInfo::readBlock(const TVersionBlock& block)
{
    if (!block.present)
        return;  // no block: every text empty, every flag false

    strSignature = QStringLiteral("%1").arg(quint64(block.dwSignature), 16, 16, QLatin1Char('0')).toUpper();
    strMajorVersion = QString::number(block.dwFileVersionMS >> 16);
    strMinorVersion = QString::number(block.dwFileVersionMS & 0xFFFFu);
    strRelease = QString::number(block.dwFileVersionLS >> 16);
    strBuild = QString::number(block.dwFileVersionLS & 0xFFFFu);

    const quint32 flags = block.dwFileFlagsMask & block.dwFileFlags;
    bDebug = flags & 0x01;
    bPreRelease = flags & 0x02;
    bPrivate = flags & 0x08;
    bSpecialBuild = flags & 0x20;

    // Only the U.S. English table counts; key names match regardless of case,
    // as version resource queries do.
    const auto table = block.stringTables.constFind(TVersionBlock::EnglishKey);
    if (table == block.stringTables.constEnd())
        return;
    auto value = [&](const QString& name) {
        for (auto it = table->constBegin(); it != table->constEnd(); ++it) {
            if (it.key().compare(name, Qt::CaseInsensitive) == 0)
                return it.value();
        }
        return QString();
    };
    strFileDescription = value(QStringLiteral("FileDescription"));
    strVersion = value(QStringLiteral("FileVersion"));
    strInternalName = value(QStringLiteral("InternalName"));
    strCopyright = value(QStringLiteral("LegalCopyright"));
    strProdDescription = value(QStringLiteral("ProductDescription"));
    strProdVersion = value(QStringLiteral("ProductVersion"));
    strCompanyName = value(QStringLiteral("CompanyName"));
    strLegalTradeMarks = value(QStringLiteral("LegalTrademarks"));
    strOriginalFileName = value(QStringLiteral("OriginalFileName"));
    strProductName = value(QStringLiteral("ProductName"));
    strComments = value(QStringLiteral("Comments"));
}
