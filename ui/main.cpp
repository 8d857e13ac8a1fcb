#include "TKorvaneApplication.h"
#include "TfMain.h"

int main(int argc, char* argv[])
{
    TKorvaneApplication app(argc, argv);
    app.SetTitle(QStringLiteral("Korvane Client"));
    TfMain fMain;
    if (app.Terminated())
        return 0;
    fMain.show();
    return app.exec();
}
