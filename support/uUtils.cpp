#include "support/uUtils.h"

#include "KorvaneBuildConfig.h"

#include <QDesktopServices>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>

#include <algorithm>

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

void openWithXdg(const QString& path, QObject* context, const TPageFailure& failed, int watchMs)
{
    const QString xdgOpen = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (xdgOpen.isEmpty()) {
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
            failed(PageOpenerFailure(3));
        return;
    }
    // A shell watches xdg-open for a while and ends with its exit code, or with 0 once the
    // opener has run long enough to be showing the page. xdg-open itself runs on in the
    // background, so neither waiting for a browser nor ending this program closes it.
    static const QString watcher = QStringLiteral(
        "\"$1\" \"$2\" >/dev/null 2>&1 </dev/null & p=$!\n"
        "i=0\n"
        "while [ $i -lt \"$3\" ]; do\n"
        "  sleep 0.1\n"
        "  if ! kill -0 $p 2>/dev/null; then wait $p; exit $?; fi\n"
        "  i=$((i+1))\n"
        "done\n"
        "exit 0\n");
    auto* process = new QProcess(context);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, context,
                     [process, failed](int exitCode, QProcess::ExitStatus status) {
                         process->deleteLater();
                         if (status != QProcess::NormalExit || exitCode != 0)
                             failed(PageOpenerFailure(status == QProcess::NormalExit ? exitCode : -1));
                     });
    QObject::connect(process, &QProcess::errorOccurred, context, [process, failed](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        process->deleteLater();
        failed(PageOpenerFailure(3));
    });
    process->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), watcher, QStringLiteral("sh"), xdgOpen, path,
                                               QString::number(std::max(1, watchMs / 100))});
}

TPageOpener& pageOpener()
{
    static TPageOpener opener = openWithXdg;
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

QString PageOpenerFailure(int exitCode)
{
    // xdg-open's own codes: 2 the file is gone, 3 a tool it needs is missing, 4 nothing took it.
    switch (exitCode) {
    case 2:
        return QStringLiteral("the file could not be found");
    case 3:
        return QStringLiteral("no program to open web pages is installed");
    case 4:
        return QStringLiteral("no browser is set up to open it");
    default:
        return QStringLiteral("the desktop could not open it (xdg-open ended with %1)").arg(exitCode);
    }
}

void OpenLocalPage(const QString& path, QObject* context, const TPageFailure& failed, int watchMs)
{
    pageOpener()(path, context, failed, watchMs);
}

TPageOpener SetPageOpener(TPageOpener opener)
{
    TPageOpener previous = pageOpener();
    pageOpener() = opener ? std::move(opener) : TPageOpener(openWithXdg);
    return previous;
}

TAddressOpener SetAddressOpener(TAddressOpener opener)
{
    TAddressOpener previous = addressOpener();
    addressOpener() = opener ? std::move(opener) : TAddressOpener(openWithDesktop);
    return previous;
}

}  // namespace uUtils
