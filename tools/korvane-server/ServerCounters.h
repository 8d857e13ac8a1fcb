#pragma once

#include <cstdint>

// What korvane-server reports on its metrics port.
struct ServerCounters
{
    uint64_t connectionsTotal = 0;  // accepted since start
    uint64_t activeConnections = 0; // open now
    uint64_t pacedConnections = 0;  // open now and paced by --rate
    uint64_t bytesSentTotal = 0;    // includes what open connections have sent so far
    uint64_t errorsTotal = 0;       // connections ended by an error, failed accepts
    double startTimeSeconds = 0;    // Unix time the server started
};
