#include "tools/korvane-cli/CliOptions.h"
#include "tools/korvane-cli/CliRunner.h"
#include "KorvaneBuildConfig.h"
#include "engine/httpclient/TAntiFreeze.h"

#include <QCoreApplication>

#include <cstdio>
#include <exception>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    CliOptions options;
    QString error;
    switch (CliOptions::parse(QCoreApplication::arguments(), options, error)) {
    case CliOptions::ParseResult::Help:
        std::fputs(qPrintable(CliOptions::usage()), stdout);
        return 0;
    case CliOptions::ParseResult::Version:
        std::printf("korvane-cli (Korvane Client) %s\n", KORVANE_VERSION_STRING);
        return 0;
    case CliOptions::ParseResult::Error:
        std::fprintf(stderr, "korvane-cli: %s\n%s", qPrintable(error), qPrintable(CliOptions::usage()));
        return 2;
    case CliOptions::ParseResult::Ok:
        break;
    }
    try {
        // Keeps timers (the --timeout cancel) running while a web fetch blocks.
        TAntiFreeze antiFreeze;
        // The meter is for a person watching: not in JSON mode, and never into a file or pipe.
        const bool meter = !options.json && !options.quiet && ::isatty(fileno(stderr));
        CliRunner runner(options, stdout, meter ? stderr : nullptr);
        return runner.run();
    } catch (const std::exception &e) {
        // Out of descriptors or memory before any test could start: say so, never abort.
        std::fprintf(stderr, "korvane-cli: cannot start a test: %s\n", e.what());
        return 1;
    }
}
