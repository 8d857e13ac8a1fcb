#pragma once

#include <cstdint>
#include <string>

// What korvane-server was asked to do.
struct ServerOptions
{
    std::string listenAddress = "::";      // both families at once
    bool listenGiven = false;              // the default falls back to IPv4 where there is no IPv6
    uint16_t port = 8081;
    uint64_t bytes = 100ull * 1024 * 1024; // per connection, unless seconds is set
    double seconds = 0;                    // > 0: stream for this long instead
    uint64_t rate = 0;                     // bytes per second; 0 = as fast as possible
    std::string metricsAddress;            // --metrics ADDR:PORT
    int metricsPort = -1;                  // -1: no metrics port
    bool version = false;                  // print the version and exit

    // Sessions, on their own port.
    uint16_t sessionPort = 8082;
    bool sessionPortGiven = false;         // an explicit port must work; the default may be taken
    std::string secretFile;                // --secret-file: clients prove they know its secret
    uint32_t maxSessions = 32;             // at once
    uint32_t maxStreams = 64;              // per session
    double maxSessionSeconds = 60;         // longest timed session
    uint32_t maxSessionsPerAddress = 4;    // at once, from one client address
    uint64_t maxSessionBytes = 1ull << 40; // moved by one session, both directions together

    // Both ports.
    double stallSeconds = 30;      // a connection that takes nothing for this long is cut
    std::string congestion; // TCP_CONGESTION of every data connection; empty: the system's
    uint64_t sendBuffer = 256 << 10; // most unsent bytes queued per connection; 0 = the kernel's limit

    // Fills options from argv. Returns false with a message in error on bad input;
    // sets help when usage was asked for.
    static bool parse(int argc, char **argv, ServerOptions &options, bool &help, std::string &error);
    static const char *usage();
};
