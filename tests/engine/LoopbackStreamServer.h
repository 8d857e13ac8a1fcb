#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

// A one-connection TCP server on 127.0.0.1 (or ::1) for tests, on its own thread, so the test's event
// loop stays free for the client under test.
class LoopbackStreamServer
{
public:
    using Session = std::function<void(int fd, LoopbackStreamServer &server)>;

    explicit LoopbackStreamServer(bool ipv6 = false);
    ~LoopbackStreamServer(); // stops a running session and joins

    uint16_t port() const { return FPort; }
    // Accepts one connection, runs session on it, then closes it.
    void serveOnce(Session session);
    void join();

    // Bytes the client wrote before the session ended (it should never write any).
    uint64_t bytesFromClient() const { return FFromClient; }
    bool stopping() const { return FStop; }

    static bool sendAll(int fd, uint64_t bytes);
    // Waits until the client closes or the server stops.
    static void holdUntilClientCloses(int fd, const LoopbackStreamServer &server);
    // A port on 127.0.0.1 where nothing listens.
    static uint16_t unusedPort();

private:
    int FListen = -1;
    uint16_t FPort = 0;
    std::thread FThread;
    std::atomic<bool> FStop{false};
    std::atomic<uint64_t> FFromClient{0};
};
