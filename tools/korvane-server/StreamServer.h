#pragma once

#include "tools/korvane-server/GracefulCloser.h"
#include "tools/korvane-server/ListeningPort.h"
#include "tools/korvane-server/MetricsEndpoint.h"
#include "tools/korvane-server/ServerCounters.h"
#include "tools/korvane-server/ServerOptions.h"
#include "tools/korvane-server/SessionServer.h"
#include "tools/korvane-server/TokenBucket.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

// Event-driven stream server: every accepted client gets the configured amount (or duration)
// of bytes, optionally paced, and is then closed. Nothing is ever read from a client.
// One thread and one epoll queue serve all connections together: unpaced ones whenever they
// can take more, paced ones in blocks at the times their token buckets allow, sleeping on a
// timer in between; signals arrive on the same queue.
class StreamServer
{
public:
    explicit StreamServer(const ServerOptions &options);
    ~StreamServer();
    StreamServer(const StreamServer &) = delete;
    StreamServer &operator=(const StreamServer &) = delete;

    // Serves until SIGINT or SIGTERM (0). When the server cannot start, says why on
    // standard error and returns 1.
    int run();

private:
    struct Connection
    {
        int fd = -1;
        std::string peer;
        uint64_t sent = 0;
        uint64_t budget = 0;     // bytes of the whole stream (timed unpaced: no limit)
        int64_t startNs = 0;
        int64_t endNs = 0;       // timed or paced: when the stream ends (0 = when all is sent)
        int64_t wakeNs = 0;      // scheduled on the timer (0 = not)
        int64_t progressNs = 0;  // the last time the client took bytes
        bool wantWrite = false;  // registered for EPOLLOUT
        TokenBucket bucket;      // paced only
    };

    bool setUp();
    bool watch(int fd, uint32_t events);
    void acceptClients(int64_t now);
    void serve(Connection &c, int64_t now);
    void sendEarnedCredit(Connection &c);
    void finish(int fd, const char *error = nullptr);
    void setWriteInterest(Connection &c, bool on);
    void schedule(Connection &c, int64_t wakeNs);
    void runDue(int64_t now);
    bool armTimer();
    void sweep(int64_t now);
    bool readSecret(std::string &secret) const;
    void stopAll();
    ServerCounters counters() const;

    ServerOptions FOptions;
    bool FPaced = false;
    uint64_t FBlock = 0;    // paced: bytes per send
    uint64_t FCapacity = 0; // paced: most credit a connection can gather
    int64_t FDurationNs = 0;
    ListeningPort FListener;
    int FEpoll = -1;
    int FSignals = -1;
    int FTimer = -1;
    int64_t FArmedNs = -1;
    std::unordered_map<int, Connection> FConnections;
    std::set<std::pair<int64_t, int>> FWakeups; // (time, connection)
    int64_t FStallNs = 0;
    int64_t FNextSweepNs = 0;
    // Every port's finished connections wait here until their peer has everything.
    std::unique_ptr<GracefulCloser> FCloser;
    // Served on its own port in the same loop, only with --metrics.
    std::unique_ptr<MetricsEndpoint> FMetrics;
    // Sessions on their own port in the same loop; not listening when the default port is taken.
    std::unique_ptr<SessionServer> FSessions;
    ServerCounters FCounters; // finished connections; counters() adds the open ones
};
