#pragma once

#include "tools/korvane-server/ListeningPort.h"
#include "tools/korvane-server/ServerCounters.h"

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

// The metrics port of korvane-server: answers GET /metrics over HTTP/1.1 with the
// server's counters in the Prometheus text format, and nothing else. It shares the
// stream server's epoll loop and never blocks it: every socket is non-blocking,
// requests and responses are small and bounded, each connection is closed after
// one response, and only a few connections are held at once (the oldest gives way).
class MetricsEndpoint
{
public:
    using CountersSource = std::function<ServerCounters()>;

    MetricsEndpoint(std::string address, uint16_t port, CountersSource counters);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint &) = delete;
    MetricsEndpoint &operator=(const MetricsEndpoint &) = delete;

    // Listens and adds the listener to epoll. False with a message on stderr.
    bool open(int epollFd);
    // True for the descriptors this endpoint registered.
    bool owns(int fd) const;
    void handle(int fd, uint32_t events, int64_t nowNs);
    // Out of descriptors, the listener pauses: when it wants to wake (0 = not), and the wake.
    int64_t wakeNs() const { return FListener.wakeNs(); }
    void runDue(int64_t nowNs) { FListener.runDue(nowNs); }

    // The response for a request head (request line and headers); public for tests.
    std::string respond(const std::string &head) const;
    static std::string metricsText(const ServerCounters &counters);

    static constexpr size_t MaxHeadBytes = 8192;
    static constexpr size_t MaxClients = 16;

private:
    struct Client
    {
        std::string in;
        std::string out;
        uint64_t sequence = 0;
    };

    void accept(int64_t nowNs);
    void readFrom(int fd, Client &c);
    void writeTo(int fd, Client &c);
    void close(int fd);
    void closeOldest();

    std::string FAddress;
    uint16_t FPort;
    CountersSource FCounters;
    int FEpoll = -1;
    ListeningPort FListener;
    uint64_t FSequence = 0;
    std::unordered_map<int, Client> FClients;
};
