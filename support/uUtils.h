#pragma once

#include <QString>

#include <functional>

class QObject;
class QWidget;

// Small shell and system helpers of the main window. They keep no state; the openers
// say whether a program took the address, so the caller can tell the user when none did.
namespace uUtils {

// The only folder id the program uses: the per-user local application data
// folder ($XDG_DATA_HOME, by default ~/.local/share).
constexpr int CSIDL_LOCAL_APPDATA = 28;

// Full path of a special folder, without a trailing separator; an empty string
// for an unknown id or when the folder cannot be determined. With
// CreateIfMissing the folder is created.
QString GetSpecialFolderPath(int FolderId, bool CreateIfMissing);

// True when the system's major version (here: the kernel's) is above 5; the
// window then takes the platform's standard UI font.
bool IsWindowsVersion6OrLater();
// The decision itself, for a given major version.
bool IsWindowsVersion6OrLater(int majorVersion);

// The addresses the openers below hand to the desktop.
QString WebAddressUrl(const QString& Address);
QString MailAddressUrl(const QString& Address);
QString UpgradePageUrl(const QString& ProgName, const QString& MajorVersion, const QString& MinorVersion);

// Opens "http://" + Address with the user's browser. Address has no scheme.
// Each opener returns false when no program could be started for the address.
bool OpenWebAddress(const QString& Address, QWidget* OwnerWindow = nullptr);
// Opens "mailto:" + Address with the user's mail program.
bool OpenMailAddress(const QString& Address, QWidget* OwnerWindow = nullptr);
// Opens http://<web host>/upg.php?program=<ProgName>&version=<Major>.<Minor>.
bool OpenUpgradePage(const QString& ProgName, const QString& MajorVersion,
                     const QString& MinorVersion, QWidget* OwnerWindow = nullptr);

// What actually opens an address (false: nothing could open it); by default
// QDesktopServices::openUrl. Tests install their own to capture the address instead of
// launching a browser.
using TAddressOpener = std::function<bool(const QString& address)>;
// Installs an opener (an empty function restores the default); returns the previous one.
TAddressOpener SetAddressOpener(TAddressOpener opener);

// Opens a local page (the help) with the user's browser. Starting the desktop's opener is not
// a browser showing the page: where none is set up, xdg-open fails a moment later. failed then
// gets a short reason, later, on the event loop, while context lives. An opener still running
// after watchMs is taken to show the page (some stay until the browser closes).
using TPageFailure = std::function<void(const QString& reason)>;
void OpenLocalPage(const QString& path, QObject* context, const TPageFailure& failed, int watchMs = 5000);
// What OpenLocalPage runs; by default xdg-open, watched as above. Tests install their own.
using TPageOpener = std::function<void(const QString& path, QObject* context, const TPageFailure& failed, int watchMs)>;
TPageOpener SetPageOpener(TPageOpener opener);
// The reason for an xdg-open exit code.
QString PageOpenerFailure(int exitCode);

}  // namespace uUtils
