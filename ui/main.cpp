#include "settings/instance/SingleInstanceGuard.h"
#include "ui/TInfoOptions.h"
#include "ui/TKorvaneApplication.h"
#include "ui/TTerminationSignals.h"
#include "ui/TfMain.h"

int main(int argc, char* argv[])
{
    if (const auto status = TInfoOptions::Answer(argc, argv))
        return *status;
    TKorvaneApplication app(argc, argv);
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.korvane.Client"));
    // A second copy hands its arguments to the running one and ends here, before it
    // reads any settings, shows any window or touches any file.
    TSingleInstanceGuard guard;
    if (!guard.acquire())
        return 0;
    app.SetTitle(QStringLiteral("Korvane Client"));
    // Taken before the window exists; a request is served once the event loop runs.
    TTerminationSignals termination;
    TfMain fMain;
    QObject::connect(&guard, &TSingleInstanceGuard::activationRequested, &fMain, &TfMain::BringToFront);
    if (app.Terminated())
        return 0;
    // Asked to stop (kill, logout, Ctrl+C): close as Exit does, so the state is saved,
    // and leave any dialog that is open.
    QObject::connect(&termination, &TTerminationSignals::terminationRequested, &fMain, [&fMain] {
        fMain.close();
        QCoreApplication::quit();
    });
    fMain.show();
    return app.exec();
}
