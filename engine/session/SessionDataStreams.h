#pragma once

#include "protocol/SocketTcpInfo.h"
#include "engine/session/TSessionTest.h"

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include <sys/socket.h>

class QObject;
class QSocketNotifier;

// One data connection of a session.
struct SessionStream
{
    int index = 0; // as joined on the wire
    TSessionDirection direction = TSessionDirection::Download;
    int fd = -1;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    bool connected = false;
    bool greeted = false; // the server greets every connection, data connections too
    bool joined = false;
    int64_t earlyUs = -1; // payload seen before the start was read
    int lowWater = 1; // SO_RCVLOWAT of a download stream
    int64_t lastArrivalUs = -1; // the kernel's arrival time of the last payload read
    bool finished = false; // download: the server's close was read; upload: sending side shut
    int64_t bytes = 0; // received (download) or handed to the socket (upload)
    int64_t firstUs = -1;
    int64_t lastUs = -1;
    int64_t sendLeft = -1; // upload by amount: bytes still to send; -1 when timed
    int payloadOffset = 0;
    int64_t serverBytes = 0;
    int64_t serverDurationUs = 0;
    TSessionTcpFigures tcp;
    int64_t pacedUs = 0; // download: the server's time waiting on its own pace
    TSocketTcpInfo own; // this side's view of the connection, last read
};

// A session's data connections: opening and joining them, and receiving a download on them
// timed by the kernel's arrival stamps. Sending an upload is the listener's.
class SessionDataStreams
{
public:
    class Listener
    {
    public:
        virtual bool sessionLive() const = 0;
        // The direction's start has been read and its result not yet made.
        virtual bool directionRuns(TSessionDirection direction) const = 0;
        // The control connection's lines read before a stream's payload: the server sends the
        // start before the data, but the two connections race here.
        virtual void serveControlFirst() = 0;
        // Download payload came, first seen at seenUs.
        virtual void payloadReceived(int64_t seenUs, int64_t nowUs) = 0;
        virtual void streamWritable(SessionStream &stream) = 0;
        // A download stream's close was read in its direction.
        virtual void downloadStreamEnded() = 0;
        virtual void fail(const QString &text) = 0;

    protected:
        ~Listener() = default;
    };

    SessionDataStreams(QObject *context, Listener &listener);
    ~SessionDataStreams();
    SessionDataStreams(const SessionDataStreams &) = delete;
    SessionDataStreams &operator=(const SessionDataStreams &) = delete;

    // Lays out perDirection streams for each direction in turn; an upload by amount is split
    // over its streams, the remainder on the first.
    void plan(const std::vector<TSessionDirection> &directions, int perDirection, int64_t uploadBytes);
    // Connects every stream to the address the control connection reached; each joins
    // sessionId once the server has greeted it. False when one could not be opened (failed).
    bool open(const sockaddr_storage &peer, socklen_t length, int window, const std::string &sessionId);
    // True when every open stream has sent its join.
    bool allJoined() const;
    // The earliest payload of the direction seen before its start; -1 when none.
    int64_t earliestEarlyUs(TSessionDirection direction) const;
    void resumeReading(TSessionDirection direction);
    void resumeWriting(TSessionDirection direction);
    // Streams of a direction are numbered as joined; a server may also count each direction from 0.
    SessionStream *forWire(int wireIndex, TSessionDirection direction);

    std::vector<SessionStream> &all() { return streams_; }
    const std::vector<SessionStream> &all() const { return streams_; }

    static void close(SessionStream &stream);
    void closeDirection(TSessionDirection direction);
    void closeAll();
    void clear() { streams_.clear(); }

private:
    bool openOne(SessionStream &s, const sockaddr_storage &peer, socklen_t length, int window);
    void writable(size_t at);
    void readable(size_t at);
    void connectDone(SessionStream &s);
    bool skipGreeting(SessionStream &s);
    bool sendJoin(SessionStream &s);
    void adjustLowWater(SessionStream &s);
    void closedByServer(SessionStream &s);

    QObject *context_;
    Listener &listener_;
    std::vector<SessionStream> streams_;
    int perDirection_ = 1;
    std::string sessionId_;
    std::vector<char> scratch_;
};
