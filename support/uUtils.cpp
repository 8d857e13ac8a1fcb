#include "support/uUtils.h"

#include "KorvaneBuildConfig.h"

#include <QDesktopServices>
#include <QDir>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>

namespace uUtils {

namespace {

const QString WebSchemePrefix = QStringLiteral("http://");
const QString MailSchemePrefix = QStringLiteral("mailto:");

bool openWithDesktop(const QString& address)
{
    // Tolerant parsing percent-encodes what a URL cannot hold as typed.
    return QDesktopServices::openUrl(QUrl(address, QUrl::TolerantMode));
}

TAddressOpener& addressOpener()
{
    static TAddressOpener opener = openWithDesktop;
    return opener;
}

}  // namespace

QString GetSpecialFolderPath(int FolderId, bool CreateIfMissing)
{
    if (FolderId != CSIDL_LOCAL_APPDATA)
        return QString();
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (path.isEmpty())
        return QString();
    if (CreateIfMissing)
        QDir().mkpath(path);
    return QDir::cleanPath(path);  // no trailing separator
}

bool IsWindowsVersion6OrLater(int majorVersion)
{
    return majorVersion > 5;
}

bool IsWindowsVersion6OrLater()
{
    // "6.1.0-18-amd64" -> 6; an unreadable version counts as old.
    const QString kernel = QSysInfo::kernelVersion();
    const int dot = kernel.indexOf(QLatin1Char('.'));
    bool ok = false;
    const int major = kernel.left(dot < 0 ? kernel.size() : dot).toInt(&ok);
    return ok && IsWindowsVersion6OrLater(major);
}

QString WebAddressUrl(const QString& Address)
{
    return WebSchemePrefix + Address;
}

QString MailAddressUrl(const QString& Address)
{
    return MailSchemePrefix + Address;
}

QString UpgradePageUrl(const QString& ProgName, const QString& MajorVersion, const QString& MinorVersion)
{
    return WebAddressUrl(QStringLiteral(KORVANE_WEB_HOST) + QStringLiteral("/upg.php?program=") + ProgName
                         + QStringLiteral("&version=") + MajorVersion + QLatin1Char('.') + MinorVersion);
}

bool OpenWebAddress(const QString& Address, QWidget* OwnerWindow)
{
    Q_UNUSED(OwnerWindow);  // the desktop opens its own window
    return addressOpener()(WebAddressUrl(Address));
}

bool OpenMailAddress(const QString& Address, QWidget* OwnerWindow)
{
    Q_UNUSED(OwnerWindow);
    return addressOpener()(MailAddressUrl(Address));
}

bool OpenUpgradePage(const QString& ProgName, const QString& MajorVersion,
                     const QString& MinorVersion, QWidget* OwnerWindow)
{
    Q_UNUSED(OwnerWindow);
    return addressOpener()(UpgradePageUrl(ProgName, MajorVersion, MinorVersion));
}

TAddressOpener SetAddressOpener(TAddressOpener opener)
{
    TAddressOpener previous = addressOpener();
    addressOpener() = opener ? std::move(opener) : TAddressOpener(openWithDesktop);
    return previous;
}

}  // namespace uUtils
