#pragma once

#include "engine/httpclient/TTlsInfo.h"

#include <QString>
#include <QtGlobal>

class TTlsContext;
struct ssl_st;

// TLS over a TCP connection that is already established and non-blocking. It never waits:
// every call says whether it needs the socket readable or writable first, so its owner keeps
// serving the GUI and honouring cancels while it waits. Failures are raised as
// EHttpTlsError (texts that name the host and the problem) or, for an error the system
// reported on the socket, as EHttpSocketError.
class TTlsChannel
{
public:
    enum TWant { twNone, twRead, twWrite };

    // host: the name that is checked against the certificate and sent as server name
    // (an address is checked against the certificate's addresses and not sent).
    TTlsChannel(const TTlsContext &context, int fd, const QString &host, int port);
    ~TTlsChannel();
    TTlsChannel(const TTlsChannel &) = delete;
    TTlsChannel &operator=(const TTlsChannel &) = delete;

    // One step of the handshake: twNone once it is complete.
    TWant Handshake();
    // After the handshake: what was agreed.
    TTlsInfo Info(double handshakeMs) const;

    // > 0: bytes read; 0: the peer closed the connection; -1: nothing yet, wait for want.
    qsizetype Read(char *target, qsizetype capacity, TWant &want);
    // > 0: bytes written; -1: wait for want first.
    qsizetype Write(const char *data, qsizetype length, TWant &want);
    // Without waiting: 1 data is ready, 0 the peer has closed, -1 nothing has arrived.
    int Probe();
    // Decrypted bytes ready without reading the socket.
    bool HasPending() const;
    // Says goodbye to the peer if the connection is still sound; never waits.
    void Shutdown();

    // The user's words for a failed certificate check, from the library's result code.
    static QString VerifyFailureText(long result);

    struct TBioState; // the socket behind the channel, as its I/O callbacks see it

private:
    // Turns the result of an I/O call into a want, or raises.
    TWant Classify(int result, bool handshake);
    [[noreturn]] void RaiseHandshakeFailure(unsigned long error);

    ssl_st *FSsl = nullptr;
    TBioState *FBio = nullptr; // owned by the library's BIO
    QString FHost;
    int FPort = 0;
    bool FBroken = false; // after a fatal error no goodbye may be sent
};
