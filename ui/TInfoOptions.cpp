#include "ui/TInfoOptions.h"

#include "KorvaneBuildConfig.h"

#include <cstdio>
#include <cstring>

std::optional<int> TInfoOptions::Answer(int argc, char* argv[])
{
    if (argc < 2)
        return std::nullopt;
    const char* first = argv[1];
    if (std::strcmp(first, "-h") == 0 || std::strcmp(first, "--help") == 0) {
        std::fputs(Usage(), stdout);
        return 0;
    }
    if (std::strcmp(first, "--version") == 0) {
        std::printf("korvclnt (Korvane Client) %s\n", KORVANE_VERSION_STRING);
        return 0;
    }
    return std::nullopt;
}

const char* TInfoOptions::Usage()
{
    return "Usage: korvclnt [--help | --version]\n"
           "Opens the Korvane Client window, which measures download speed from a Korvane\n"
           "server or a web page and keeps every valid result.\n"
           "Only one copy runs per program file: starting it again brings the running\n"
           "window to the front, and other arguments are handed to it and ignored.\n"
           "  -h, --help   show this help and exit\n"
           "  --version    show the version and exit\n";
}
