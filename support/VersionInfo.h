#pragma once

#include "support/VersionBlock.h"

#include <QObject>
#include <QString>

// Read-only view of the program's version block, filled once on construction.
// The main window owns one (as its TAboutInfo, AboutInfo1); every version text
// the program shows or sends comes from it.
class TVersionInfo : public QObject
{
    Q_OBJECT
public:
    // Reads the block compiled into this program.
    explicit TVersionInfo(QObject* Owner = nullptr);
    // Reads the given block; lets tests check the derivations with odd blocks.
    TVersionInfo(const TVersionBlock& block, QObject* Owner = nullptr);

    QString Signature() const { return strSignature; }  // 16 upper-case hex digits
    QString MajorVersion() const { return strMajorVersion; }
    QString MinorVersion() const { return strMinorVersion; }
    QString Release() const { return strRelease; }
    QString Build() const { return strBuild; }
    bool Debug() const { return bDebug; }
    bool PreRelease() const { return bPreRelease; }
    bool PrivateBuild() const { return bPrivate; }
    bool Special() const { return bSpecialBuild; }
    QString FileDescription() const { return strFileDescription; }
    QString Version() const { return strVersion; }  // the FileVersion string as written
    QString InternalName() const { return strInternalName; }
    QString Copyright() const { return strCopyright; }
    QString ProdDescription() const { return strProdDescription; }
    QString ProdVersion() const { return strProdVersion; }
    QString CompanyName() const { return strCompanyName; }
    QString LegalTradeMarks() const { return strLegalTradeMarks; }
    QString OriginalFileName() const { return strOriginalFileName; }
    QString ProductName() const { return strProductName; }
    QString Comments() const { return strComments; }

private:
    void readBlock(const TVersionBlock& block);

    QString strSignature;
    QString strMajorVersion;
    QString strMinorVersion;
    QString strRelease;
    QString strBuild;
    QString strFileDescription;
    QString strVersion;
    QString strInternalName;
    QString strCopyright;
    QString strProdDescription;
    QString strCompanyName;
    QString strLegalTradeMarks;
    QString strOriginalFileName;
    QString strProductName;
    QString strComments;
    QString strProdVersion;
    bool bDebug = false;
    bool bPreRelease = false;
    bool bPrivate = false;
    bool bSpecialBuild = false;
};
