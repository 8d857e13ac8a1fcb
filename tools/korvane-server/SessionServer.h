#pragma once

#include "tools/korvane-server/GracefulCloser.h"
#include "tools/korvane-server/ListeningPort.h"
#include "tools/korvane-server/RandomPayload.h"
#include "tools/korvane-server/ServerCounters.h"
#include "tools/korvane-server/ServerOptions.h"
#include "protocol/SessionLineReader.h"
#include "protocol/SessionMessage.h"
#include "tools/korvane-server/TokenBucket.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// The session port of korvane-server: a client asks on a control connection for a
// session (download, upload or both, 1 to 64 streams, a duration or an amount), opens
// the data connections, and gets a report on every stream four times a second and a
// summary at the end. It runs in the stream server's epoll loop and thread: every socket
// is non-blocking, every wait has a deadline, and what a stranger sends costs at most one
// bounded line before it is answered.
//
// Every entry point (handle, runDue, sweep, stopAll) may end streams and sessions: an ended
// stream or session drops its sockets from FSockets at once, so no Socket reference is used
// after a call that can end anything; Session objects stay until reap() at the end of the
// entry point, so a Session pointer taken at its start stays valid throughout.
class SessionServer
{
public:
    // The monotonic clock in ns; the fuzz harness runs the server on a clock of its own.
    using Clock = int64_t (*)();
    static int64_t monotonicNs();

    SessionServer(const ServerOptions &options, int epollFd, GracefulCloser &closer, std::string secret,
                  Clock clock = monotonicNs);
    ~SessionServer();
    SessionServer(const SessionServer &) = delete;
    SessionServer &operator=(const SessionServer &) = delete;

    // Listens on the session port. False (with a message on stderr) when the server must
    // not start; true without a listener when the default port was taken.
    bool open();
    bool listening() const { return FListener.fd() >= 0; }
    bool owns(int fd) const { return fd == FListener.fd() || FSockets.count(fd) != 0; }
    // Takes a client accepted on the session port: registers it and sends its hello.
    void adopt(int fd, std::string address, int64_t nowNs);
    void handle(int fd, uint32_t events, int64_t nowNs);
    void runDue(int64_t nowNs);
    // Checks every connection for a stall; called about once a second.
    void sweep(int64_t nowNs);
    // The earliest wake-up wanted (0 = none).
    int64_t nextWakeNs() const;
    void stopAll();
    bool busy() const { return !FSessions.empty(); }
    void addCounters(ServerCounters &counters) const;

private:
    enum class Kind { Pending, Control, Data };
    enum class Phase { Joining, Download, Upload };
    enum class StreamState { Waiting, Running, Draining, Done };

    struct Session;

    struct Stream
    {
        int fd = -1;
        StreamState state = StreamState::Waiting;
        bool wantWrite = false;
        bool cut = false;
        uint64_t bytes = 0;
        uint64_t budget = 0;     // download: bytes to send; upload: most bytes counted
        int64_t firstNs = 0;     // first byte sent or received
        int64_t lastNs = 0;      // download: all sent; upload: end of stream
        int64_t endNs = 0;       // timed: when sending ends, or when an upload is cut
        int64_t progressNs = 0;  // last time bytes moved
        int64_t queued = 0;      // draining: bytes not yet acknowledged
        TokenBucket bucket;
        int64_t pacedNs = 0;      // paced: time spent waiting on the bucket
        int64_t pacedSinceNs = 0; // when the wait under way began, 0: none
        SessionTcpFigures tcp;   // the figures when the stream ended
    };

    struct Session
    {
        std::string id;
        std::string address;
        int control = -1;
        SessionRequest request;
        Phase phase = Phase::Joining;
        std::vector<Stream> streams; // "both": download 0..N-1, upload N..2N-1
        uint32_t joined = 0;
        int64_t createdNs = 0;
        int64_t endByNs = 0;         // the longest session ends here
        int64_t phaseStartNs = 0;
        int64_t firstByteNs = 0;     // this phase, any stream
        int64_t nextReportNs = 0;
        uint64_t moved = 0;          // both directions, for the byte cap
        SessionLineReader reader{SessionProtocol::MaxLineBytes};
        std::string out;             // control lines the socket could not take yet, in order
        bool wantWrite = false;
        bool ended = false;          // ended; freed by reap() once no caller holds it
    };

    struct Socket
    {
        Kind kind = Kind::Pending;
        int64_t wakeNs = 0;      // scheduled on the timer (0 = not)
        Session *session = nullptr;
        uint32_t stream = 0;
        std::string address;     // pending: the peer's IP address
        std::string nonce;       // pending, with a secret: the hello's nonce
    };

    void acceptClients(int64_t nowNs);
    void readFirstLine(int fd, Socket &s, int64_t nowNs);
    void startSession(int fd, Socket &s, const SessionRequest &request, int64_t nowNs);
    void refuse(int fd, SessionRefusal reason, const std::string &error, std::string address);
    void joinStream(int fd, Socket &s, const SessionJoin &join, int64_t nowNs);
    void dropPending(int fd, bool graceful, int64_t nowNs);

    void readControl(Session &session, int64_t nowNs);
    void sendControl(Session &session, const SessionMessage &message);
    // Sends what waits as far as the socket takes it (send = false: only checks the backlog),
    // and ends a session whose client lets more than the limit pile up.
    void flushControl(Session &session, bool send = true);
    void startPhase(Session &session, SessionDirection direction, int64_t nowNs);
    std::pair<uint32_t, uint32_t> phaseStreams(const Session &session) const;
    bool isUpload(const Session &session, uint32_t index) const;
    void serveDownload(Session &session, uint32_t index, int64_t nowNs);
    void finishDownload(Session &session, uint32_t index, int64_t nowNs);
    void readUpload(Session &session, uint32_t index, int64_t nowNs);
    void endStream(Session &session, uint32_t index, int64_t nowNs, bool cut);
    void checkPhase(Session &session, int64_t nowNs);
    void tick(Session &session, int64_t nowNs);
    void report(Session &session, int64_t nowNs);
    // Ends a session: an empty error is its normal end ("end"), tell = false when the
    // client is gone and hears nothing more.
    void endSession(Session &session, const std::string &error, int64_t nowNs, bool tell = true);
    void reap();

    void setEvents(int fd, uint32_t events);
    void schedule(int fd, int64_t wakeNs);
    void forget(int fd);

    ServerOptions FOptions;
    Clock FClock;
    int FEpoll;
    GracefulCloser &FCloser;
    std::string FSecret;
    ListeningPort FListener;
    bool FPaced = false;
    uint64_t FBlock = 0;
    uint64_t FCapacity = 0;
    int64_t FStallNs = 0;
    std::unique_ptr<RandomPayload> FPayload;
    std::unordered_map<int, Socket> FSockets;
    std::unordered_map<std::string, std::unique_ptr<Session>> FSessions;
    std::unordered_map<std::string, uint32_t> FSessionsByAddress;
    std::unordered_map<std::string, uint32_t> FPendingByAddress;
    size_t FPending = 0;
    std::set<std::pair<int64_t, int>> FWakeups; // (time, socket)
    std::vector<std::string> FEnded;            // sessions to free
    ServerCounters FCounters;
};
