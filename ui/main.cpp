#include "SingleInstanceGuard.h"
#include "TKorvaneApplication.h"
#include "TfMain.h"

int main(int argc, char* argv[])
{
    TKorvaneApplication app(argc, argv);
    // A second copy hands its arguments to the running one and ends here, before it
    // reads any settings, shows any window or touches any file.
    TSingleInstanceGuard guard;
    if (!guard.acquire())
        return 0;
    app.SetTitle(QStringLiteral("Korvane Client"));
    TfMain fMain;
    QObject::connect(&guard, &TSingleInstanceGuard::activationRequested, &fMain, &TfMain::BringToFront);
    if (app.Terminated())
        return 0;
    fMain.show();
    return app.exec();
}
