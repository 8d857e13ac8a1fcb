#pragma once

#include "MetricsEndpoint.h"
#include "ServerOptions.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

// Event-driven stream server: every accepted client gets the configured amount (or duration)
// of bytes, optionally paced, and is then closed. Nothing is ever read from a client.
class StreamServer
{
public:
    explicit StreamServer(const ServerOptions &options);
    ~StreamServer();

    // Serves until SIGINT or SIGTERM. Returns the process exit code.
    int run();

private:
    struct Connection
    {
        int fd = -1;
        std::string peer;
        uint64_t sent = 0;
        int64_t startNs = 0;
        int64_t dueNs = 0;     // paced: when the next send is due (0 = waiting for writability)
        bool wantWrite = true; // registered for EPOLLOUT
    };

    bool setUp();
    void acceptClients();
    void pump(Connection &c, int64_t nowNs);
    void finish(int fd, const char *error = nullptr);
    void setWriteInterest(Connection &c, bool on);
    int nextTimeoutMs(int64_t nowNs) const;
    void runDueConnections(int64_t nowNs);
    ServerCounters counters() const;

    ServerOptions FOptions;
    int FListen = -1;
    int FEpoll = -1;
    int FSignals = -1;
    int64_t FAcceptPausedUntil = 0;
    std::unordered_map<int, Connection> FConnections;
    // Served on its own port in the same loop, only with --metrics.
    std::unique_ptr<MetricsEndpoint> FMetrics;
    ServerCounters FCounters; // finished connections; counters() adds the open ones
};
