#pragma once

#include <cstdint>
#include <string>

// What korvane-server was asked to do.
struct ServerOptions
{
    std::string listenAddress = "0.0.0.0";
    uint16_t port = 8081;
    uint64_t bytes = 100ull * 1024 * 1024; // per connection, unless seconds is set
    double seconds = 0;                    // > 0: stream for this long instead
    uint64_t rate = 0;                     // bytes per second; 0 = as fast as possible
    std::string metricsAddress;            // --metrics ADDR:PORT
    int metricsPort = -1;                  // -1: no metrics port
    bool version = false;                  // print the version and exit

    // Fills options from argv. Returns false with a message in error on bad input;
    // sets help when usage was asked for.
    static bool parse(int argc, char **argv, ServerOptions &options, bool &help, std::string &error);
    static const char *usage();
};
