#pragma once

#include "engine/httpclient/TBlockConsumer.h"
#include "engine/httpclient/TCancelFlag.h"
#include "engine/httpclient/THttpStatus.h"
#include "engine/httpclient/TTlsInfo.h"
#include "engine/net/TcpConnect.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <sys/socket.h>

#include <memory>
#include <vector>

class TTlsChannel;
class TTlsContext;

// The HTTP client's connection layer: one blocking TCP connection at a time, input buffered
// in blocks, lines read as 7-bit ASCII. Every wait can be cancelled and, with an active
// TAntiFreeze on the GUI thread, is cut into steps that serve the event queue. Socket
// errors and cancels close the connection without a notification. An established connection
// can be turned into a TLS one; everything read and written then goes through it.
class TSocketConnection : public QObject
{
    Q_OBJECT

public:
    static constexpr int RecvBufferSize = 32768;
    static constexpr int SendBufferSize = 32768;
    static constexpr int MaxLineLength = 16384;
    static constexpr int ConnectStepMs = 125;
    static constexpr int AntiFreezeConnectLimitMs = 120000;

    explicit TSocketConnection(QObject *parent = nullptr);
    ~TSocketConnection() override;

    // ipVersion 4 or 6 keeps to that family; 0 races the addresses of both.
    // Reports hsResolving (unless the host is numeric) and hsConnecting, then connects.
    // connectTimeoutMs > 0 limits the connect; otherwise the limit is 120000 ms of wait
    // steps with the anti-freeze in use and none without.
    void Connect(const QString &host, int port, int ipVersion, int connectTimeoutMs);
    bool Connected() const { return FSocket >= 0; }
    // Runs the TLS handshake on the established connection, waiting as the reads do; the
    // connection is closed when it fails. Returns what was agreed.
    TTlsInfo StartTls(const TTlsContext &context);
    bool Secure() const { return FTls != nullptr; }
    // Closes without a notification and drops buffered input.
    void Close();

    QString Host() const { return FHost; }
    int Port() const { return FPort; }
    int IPVersion() const { return FIPVersion; }
    // The numeric address and family ("ipv4", "ipv6") of the current connection.
    QString PeerAddress() const { return FPeerAddress; }
    QString PeerFamily() const { return FPeerFamily; }
    // The address named in the "connecting" notice: the first one the race tried.
    QString AnnouncedAddress() const { return FAnnouncedAddress; }

    // Milliseconds a read waits for data before EReadTimeout; 0 or less waits without limit.
    int ReadTimeout() const { return FReadTimeout; }
    void setReadTimeout(int value) { FReadTimeout = value; }

    // Sends all of data.
    void Write(const QByteArray &data);
    // One line up to LF, CR dropped, bytes above 0x7F as "?". Raises
    // EHttpReadLnMaxLineLengthExceeded when the LF lies more than MaxLineLength bytes ahead, and
    // EHttpConnClosedGracefully when the server closes before the line is complete.
    QString ReadLn();
    // The same line as its bytes, unconverted.
    QByteArray ReadRawLn();
    // Appends exactly count bytes to dest; when dest is null, hands each block to consume
    // (if set) and drops it. When the server closes first, what arrived stays in dest (or
    // has been consumed) and EHttpConnClosedGracefully is raised.
    void ReadBytes(qint64 count, QByteArray *dest, const TBlockConsumer &consume = {});
    // Appends (or consumes, or drops) everything up to the server's close.
    void ReadUntilClose(QByteArray *dest, const TBlockConsumer &consume = {});
    // True when input is buffered or arrives within timeoutMs (negative: no limit).
    bool WaitForData(int timeoutMs);
    // Without waiting: when the server has closed and nothing is pending, closes and reports
    // hsDisconnected. Returns whether the connection is still open.
    bool CheckForDisconnect();
    // Drops pending input; a close found meanwhile closes and reports hsDisconnected.
    void DiscardPendingInput();

    TCancelFlag &CancelFlag() { return FCancel; }
    // For long work between reads: serves the event queue now and then (as after a block)
    // and raises EFetchCancelled when a cancel came.
    void ServeWhileBusy();
    // Bytes received on this object since it was created.
    qint64 ReceivedBytes() const { return FReceivedBytes; }

    // Body bytes handed out by ReadBytes and ReadUntilClose since the last reset.
    qint64 BodyBytesRead() const { return FBodyBytesRead; }
    void ResetBodyBytesRead() { FBodyBytesRead = 0; }

    // Bytes to 7-bit ASCII text and back; anything outside becomes "?".
    static QString AsciiText(const char *data, qsizetype length);
    static QByteArray AsciiBytes(const QString &text);

    THttpStatusEvent OnStatus;

private:
    void Notify(THttpStatus status, const QString &argument = QString());
    void CheckCancel();
    [[noreturn]] void FailWithErrno(int code);
    void PeerClosed();
    bool WaitFor(int fd, short events, int timeoutMs, int stepMs);
    std::vector<TResolvedAddress> Lookup(const QString &host, int family);
    void ConnectTo(const std::vector<TResolvedAddress> &addresses, int limitMs);
    qsizetype Buffered() const { return FInBuf.size() - FInPos; }
    // One receive into target: > 0 bytes read; 0 the server closed (already handled).
    qsizetype Receive(char *target, qsizetype capacity);
    // Body reading: what is already buffered (at most limit bytes), then one receive of up to
    // capacity bytes (0 at the peer's close), each handed to dest or else to consume.
    qsizetype TakeBuffered(qint64 limit, QByteArray *dest, const TBlockConsumer &consume);
    qsizetype ReceiveBlock(qsizetype capacity, QByteArray *dest, const TBlockConsumer &consume);
    qsizetype ReceiveTls(char *target, qsizetype capacity);
    void WriteTls(const QByteArray &data);
    // Waits until the socket is ready for what the TLS layer wants (read timeout applies).
    void WaitForTls(int want);
    // Appends one received block to the input buffer; false when the server closed.
    bool FillBuffer();
    int ReadWaitMs() const { return FReadTimeout > 0 ? FReadTimeout : -1; }
    int DataStepMs() const;
    void ServeAfterBlock();

    int FSocket = -1;
    QString FHost;
    int FPort = 0;
    int FIPVersion = 4;
    QString FPeerAddress;
    QString FPeerFamily;
    QString FAnnouncedAddress;
    int FReadTimeout = -1;
    QByteArray FInBuf;
    qsizetype FInPos = 0;
    QByteArray FScratch; // target for dropped bytes
    qint64 FBodyBytesRead = 0;
    qint64 FLastServedNs = 0;
    qint64 FReceivedBytes = 0;
    TCancelFlag FCancel;
    std::unique_ptr<TTlsChannel> FTls;
};
