#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include "engine/net/TcpConnect.h"

#include <cstdint>
#include <functional>
#include <memory>

class QSocketNotifier;

enum class TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

// Asynchronous TCP client. Activation resolves the host and races its addresses off the GUI
// thread; connect, data and close arrive as notifications through the event loop.
// Whatever escapes a notification handler goes to the application exception handler.
class TClientSocket : public QObject
{
    Q_OBJECT

public:
    using TSocketNotifyEvent = std::function<void(TClientSocket &Socket)>;
    // Error codes are errno values, or getaddrinfo codes (negative) for eeLookup.
    // A handler that leaves ErrorCode non-zero makes the client raise ESocketError.
    using TSocketErrorEvent = std::function<void(TClientSocket &Socket, TErrorEvent ErrorEvent, int &ErrorCode)>;

    explicit TClientSocket(QObject *parent = nullptr);
    ~TClientSocket() override; // an open connection is closed without notification

    QString Host() const { return FHost; }
    void setHost(const QString &host) { FHost = host; }
    // Only the low 16 bits are used.
    int Port() const { return FPort; }
    void setPort(int port) { FPort = port; }

    bool Active() const { return FState != State::Idle; }
    void setActive(bool active);
    // Creates the socket and starts the lookup; throws ESocketError when that fails at once.
    void Open();
    // Closes; an established connection delivers OnDisconnect first, synchronously.
    void Close();
    // Closes at once without any notification; a pending lookup result is dropped.
    void Abort();

    bool Connected() const { return FState == State::Connected; }

    // Which families the next Open() may use.
    TIpVersion IpVersion() const { return FIpVersion; }
    void setIpVersion(TIpVersion version) { FIpVersion = version; }
    // The numeric address and family ("ipv4", "ipv6") of the last connection made.
    QString PeerAddress() const { return FPeerAddress; }
    QString PeerFamily() const { return FPeerFamily; }

    // When the peer's close has already arrived but not been served, serves it now: the
    // buffered bytes through OnRead, then OnDisconnect. Otherwise does nothing.
    void DeliverPendingClose();

    // Bytes readable now without waiting; 0 when not connected.
    int64_t ReceiveLength() const;
    // One receive of up to ReceiveLength() bytes.
    QByteArray ReceiveText();
    // One receive into the caller's buffer; returns the count read (0 when it would wait).
    // A receive failure goes to OnError (eeReceive) and returns -1.
    int64_t ReceiveBuf(void *buffer, int64_t count);
    // As ReceiveBuf, for data that is only counted: the kernel drops it where it can, so
    // scratch (count bytes) is written only where it cannot.
    int64_t ReceiveDiscard(void *scratch, int64_t count);

    TSocketNotifyEvent OnConnecting; // lookup done, the connect race under way
    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnRead;
    TSocketNotifyEvent OnDisconnect; // peer closed; buffered data is still readable inside
    TSocketErrorEvent OnError;

private:
    enum class State { Idle, Resolving, Connecting, Connected };
    struct LookupRelay;
    struct RaceCancel;

    void LookupDone(uint64_t generation);
    void ConnectDone(uint64_t generation, const TConnectResult &result);
    void ReadReady();
    // Serves one read notification; false when the socket had nothing to report.
    bool ServeReadable();
    void PauseReading();
    void AdaptLowWater();
    void PeerClosed();
    void Fail(TErrorEvent kind, int code, const char *api);
    void CloseSocket();
    int64_t Receive(void *buffer, int64_t count, bool discard);
    [[noreturn]] static void RaiseSocketError(int code, const char *api);

    QString FHost;
    int FPort = 0;
    State FState = State::Idle;
    int FSocket = -1;
    uint64_t FGeneration = 0; // changes whenever the socket is closed or reopened
    int64_t FUnreadAtClose = -1; // bytes left unread when the peer's close was last seen
    uint64_t FBytesRead = 0;
    int FLowWater = 1; // SO_RCVLOWAT in force
    int64_t FFirstReadUs = -1; // steady clock, at the first read that took data
    static constexpr int kReadPauseMs = 10;
    static constexpr int kMaxPendingReads = 1000;
    QSocketNotifier *FReadNotifier = nullptr;
    std::shared_ptr<LookupRelay> FRelay;
    std::shared_ptr<RaceCancel> FCancel;
    TIpVersion FIpVersion = TIpVersion::Automatic;
    QString FPeerAddress;
    QString FPeerFamily;
};
