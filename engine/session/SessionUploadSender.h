#pragma once

#include <QString>
#include <QTimer>

#include <cstdint>

class QObject;
class SessionDataStreams;
struct SessionStream;

// Sends an upload on a session's upload streams: incompressible payload in rotation, a few
// chunks per wakeup, each stream shut when its amount is out or the time is up.
class SessionUploadSender
{
public:
    class Listener
    {
    public:
        // An upload's start has been read and its result not yet made.
        virtual bool uploadRuns() const = 0;
        virtual void fail(const QString &text) = 0;

    protected:
        ~Listener() = default;
    };

    SessionUploadSender(QObject *context, Listener &listener, SessionDataStreams &streams);

    // A direction starts: nothing is being sent.
    void reset();
    // The upload's clock starts now: a timed upload sends for seconds from here.
    void startClock(double seconds);
    // Lets the streams send; a timed upload also ends on a timer, should a stream never become
    // writable again.
    void startSending(int64_t bytes);
    void send(SessionStream &stream);
    void stop();

private:
    void endStream(SessionStream &stream);
    void deadlinePassed();

    Listener &listener_;
    SessionDataStreams &streams_;
    QTimer deadline_;
    int64_t startUs_ = -1;
    double seconds_ = 0;
};
