#include "KorvaneBuildConfig.h"
#include "tools/korvane-server/CongestionControl.h"
#include "tools/korvane-server/ServerOptions.h"
#include "tools/korvane-server/StreamServer.h"

#include <cstdio>
#include <exception>
#include <new>

int main(int argc, char **argv)
{
    ServerOptions options;
    bool help = false;
    std::string error;
    if (!ServerOptions::parse(argc, argv, options, help, error)) {
        std::fprintf(stderr, "korvane-server: %s\n%s", error.c_str(), ServerOptions::usage());
        return 2;
    }
    if (help) {
        std::fputs(ServerOptions::usage(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("korvane-server (Korvane Client) %s\n", KORVANE_VERSION_STRING);
        return 0;
    }
    if (!CongestionControl::available(options.congestion, error)) {
        std::fprintf(stderr, "korvane-server: %s\n", error.c_str());
        return 1;
    }
    try {
        StreamServer server(options);
        return server.run();
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "korvane-server: out of memory\n");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "korvane-server: %s\n", e.what());
    }
    return 1;
}
