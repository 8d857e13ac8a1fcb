// Starts like the program does: the guard first. Prints "running" or
// "turned-away", then, while running, "activated <args joined by |>" for every
// later start. Ends when its standard input closes.
#include "settings/instance/SingleInstanceGuard.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    TSingleInstanceGuard guard;
    if (!guard.acquire()) {
        std::printf("turned-away\n");
        return 0;
    }
    QStringList received;
    QObject::connect(&guard, &TSingleInstanceGuard::commandLineReceived,
                     [&](const QStringList& arguments) { received = arguments; });
    QObject::connect(&guard, &TSingleInstanceGuard::activationRequested, [&] {
        std::printf("activated %s\n", qPrintable(received.join(QLatin1Char('|'))));
        std::fflush(stdout);
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            app.quit();
    });

    std::printf("running\n");
    std::fflush(stdout);
    return app.exec();
}
