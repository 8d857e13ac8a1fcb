#pragma once

#include <cstdint>

// Why the session port turned a session away.
enum class SessionRefusal { Busy, Address, Auth, Request, Timeout, Count };

// What korvane-server reports on its metrics port.
struct ServerCounters
{
    uint64_t connectionsTotal = 0;  // accepted since start
    uint64_t activeConnections = 0; // open now
    uint64_t pacedConnections = 0;  // open now and paced by --rate
    uint64_t bytesSentTotal = 0;    // includes what open connections have sent so far
    uint64_t errorsTotal = 0;       // connections ended by an error, failed accepts
    double startTimeSeconds = 0;    // Unix time the server started

    uint64_t sessionsTotal = 0;          // accepted since start
    uint64_t activeSessions = 0;         // open now
    uint64_t sessionStreamsTotal = 0;    // data connections joined since start
    uint64_t activeSessionStreams = 0;   // joined and open now
    uint64_t sessionsFailedTotal = 0;    // accepted, then ended before their end
    uint64_t sessionBytesSentTotal = 0;  // download payload, open sessions included
    uint64_t sessionBytesReceivedTotal = 0; // upload payload counted, open sessions included
    uint64_t refusedJoinsTotal = 0;      // data connections closed for a bad join
    uint64_t refusedSessions[int(SessionRefusal::Count)] = {};
};
