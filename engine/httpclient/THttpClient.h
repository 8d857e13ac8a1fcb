#pragma once

#include "engine/http/CookieManager.h"
#include "engine/http/ResponseTextDecoder.h"
#include "engine/http/Uri.h"
#include "engine/httpclient/TBlockConsumer.h"
#include "engine/httpclient/THttpResponse.h"
#include "engine/httpclient/THttpStatus.h"
#include "engine/httpclient/TTlsInfo.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class TSocketConnection;
class TTlsContext;

enum THttpProtocolVersion { pv1_0, pv1_1 };

// Bit values of HTTPOptions.
enum THttpOption : unsigned {
    hoInProcessAuth = 1,
    hoKeepOrigProtocol = 2,
    hoForceEncodeParams = 4
};
using THttpOptions = unsigned;

// dest, NumRedirect, Handled and VMethod may be changed by the handler.
using THttpRedirectEvent =
    std::function<void(QObject *Sender, QString &dest, int &NumRedirect, bool &Handled, QString &VMethod)>;

// Our HTTP/1.1 client: a blocking GET of an http URL that follows redirects, keeps cookies
// for its life, reuses a kept-alive connection and returns the final body decoded to text.
// https is refused unless AllowHttps is set; then it goes over TLS with the peer verified.
// Used from one thread; Cancel() may be called from any thread.
class THttpClient : public QObject
{
    Q_OBJECT

public:
    explicit THttpClient(QObject *parent = nullptr);
    ~THttpClient() override;

    // Fetches URL and returns the final response's body as text. Raises the EHttp* exceptions
    // (and EHttpUnknownProtocol); EFetchCancelled after Cancel().
    QString Get(const QString &URL);
    // The same fetch, returning only Get's text length in UTF-16 code units: a large body is
    // measured without building its text.
    qint64 GetTextLength(const QString &URL);
    // Closes an open connection, reporting hsDisconnecting and hsDisconnected.
    void Disconnect();
    bool Connected() const;
    // Numeric address and family ("ipv4", "ipv6") of the last connection made; empty before.
    QString PeerAddress() const;
    QString PeerFamily() const;
    int PeerPort() const;
    // The address the last "Connecting to" notice named; it differs from PeerAddress only
    // when that address failed and another one of the name answered.
    QString AnnouncedAddress() const;
    // Ends a fetch in progress at its next wait or block: the connection is closed and Get
    // raises EFetchCancelled. Safe from any thread and from inside a status handler.
    void Cancel();

    THttpStatusEvent OnStatus;
    THttpRedirectEvent OnRedirect;

    THttpProtocolVersion ProtocolVersion() const { return FProtocolVersion; }
    void setProtocolVersion(THttpProtocolVersion value) { FProtocolVersion = value; }
    bool HandleRedirects() const { return FHandleRedirects; }
    void setHandleRedirects(bool value) { FHandleRedirects = value; }
    // A fetch follows at most RedirectMaximum - 1 redirects.
    int RedirectMaximum() const { return FRedirectMaximum; }
    void setRedirectMaximum(int value) { FRedirectMaximum = value; }
    bool AllowCookies() const { return FAllowCookies; }
    void setAllowCookies(bool value) { FAllowCookies = value; }
    THttpOptions HTTPOptions() const { return FHTTPOptions; }
    void setHTTPOptions(THttpOptions value) { FHTTPOptions = value; }
    // Kept for completeness: this client answers every 401/407 as an error.
    int MaxAuthRetries() const { return FMaxAuthRetries; }
    void setMaxAuthRetries(int value) { FMaxAuthRetries = value; }
    // Milliseconds; 0: 120000 ms of wait steps with the anti-freeze in use, no limit without.
    int ConnectTimeout() const { return FConnectTimeout; }
    void setConnectTimeout(int value) { FConnectTimeout = value; }
    // Milliseconds a read waits for data; -1 (or 0) waits without limit.
    int ReadTimeout() const;
    void setReadTimeout(int value);

    // Off: every https URL and redirect fails with EHttpIOHandlerPropInvalid, as without TLS.
    bool AllowHttps() const { return FAllowHttps; }
    void setAllowHttps(bool value) { FAllowHttps = value; }
    // Families a connection may use: -1 as the URL says (IPv6 for an IPv6 address, else
    // IPv4), 0 the URL's IPv6 address or else a race of both, 4 or 6 that family only.
    int IpVersionChoice() const { return FIpVersionChoice; }
    void setIpVersionChoice(int value) { FIpVersionChoice = value; }
    // A PEM file of CA certificates trusted besides the system's; empty for none. A file that
    // cannot be read fails the next https fetch with EHttpTlsError.
    const QString &ExtraCaFile() const { return FExtraCaFile; }
    void setExtraCaFile(const QString &path);
    // The TLS handshake of the connection the last response came over; empty when that
    // connection was not encrypted.
    const std::optional<TTlsInfo> &TlsInfo() const { return FTlsInfo; }

    const THttpResponse &Response() const { return FResponse; }
    int ResponseCode() const { return FResponse.ResponseCode(); }
    const QString &ResponseText() const { return FResponse.ResponseText(); }
    const TUri &URL() const { return FURI; }
    // Null until the first response has been processed (or when cookies are not allowed).
    TCookieManager *CookieManager() const { return FCookieManager.get(); }
    const TResponseTextDecoder &TextDecoder() const { return FDecoder; }
    // While a fetch runs: body bytes of the response being read so far, and the length it
    // announced (-1: none, or chunked). A new fetch or response body starts both afresh.
    qint64 BodyBytesRead() const;
    qint64 AnnouncedBodyLength() const { return FAnnouncedBodyLength; }

    static constexpr const char *DefaultAccept = "text/html, */*";
    static constexpr const char *DefaultAcceptEncoding = "identity";
    static constexpr const char *DefaultUserAgent = "Mozilla/3.0 (compatible; Korvane Client)";
    static constexpr int RedirectDiscardWaitMs = 5000;
    static constexpr int ShortDiscardWaitMs = 100;
    // Characters (line ends included) one header block or trailer block may hold.
    static constexpr qsizetype MaxHeaderBlockSize = 1024 * 1024;

    // Bytes of an error body kept for its text; the rest is read and dropped.
    static constexpr qsizetype MaxErrorTextBytes = 64 * 1024;

    // 100 and 103: interim responses, skipped for the final one.
    static bool IsInterim(int code);
    // A header line's bytes as text: "?" for bytes above 0x7F, except in a Location, where
    // they are percent-encoded.
    static QString HeaderLineText(const QByteArray &line);
    // The length of bytes without a UTF-8 sequence cut by its end.
    static qsizetype CompleteUtf8Length(QByteArrayView bytes);
    // The hexadecimal size before ";"; 0 when it is not a hexadecimal number.
    static qint64 ParseChunkSize(const QString &line);

private:
    // Runs the exchange and returns the final response's body. With countedLength, a body
    // that only needs counting is counted into it instead of being returned.
    QByteArray Fetch(const QString &URL, std::optional<qint64> *countedLength);
    void Notify(THttpStatus status, const QString &argument = QString());
    bool KeptAlive();
    // Opens or reuses the connection; true when an open one is reused.
    bool PrepareConnection();
    int ConnectionIpVersion() const;
    // Inside a catch: whether the failure is the server having closed the connection.
    static bool ClosedByServer();
    void SendRequest(const QString &method);
    void ReadResponse();
    // Lines up to the first empty one; EHeaderBlockTooLarge beyond MaxHeaderBlockSize.
    // With keepOnClose, a close by the server ends the block instead of failing.
    QStringList ReadHeaderBlock(bool keepOnClose);
    // The Set-Cookie and Set-Cookie2 values of the response's headers.
    void StoreCookies();
    void StoreCookies(const QStringList &setCookies, const QStringList &setCookies2);
    // Decides on the response; true when the fetch goes on to url with method.
    bool HandleResponse(QByteArray &body, QString &url, QString &method);
    [[noreturn]] void RaiseProtocolError();
    // The meta headers of the latest page, and their cookies for its host.
    void TakeMetaHeaders(const QStringList &lines);
    void ReadBody(QByteArray *dest, int waitLimitMs, const TBlockConsumer &consume = {});
    void ReadChunkedBody(QByteArray *dest, const TBlockConsumer &consume);
    void EndFetchAfterFailure() noexcept;

    THttpProtocolVersion FProtocolVersion = pv1_1;
    bool FHandleRedirects = false;
    int FRedirectMaximum = 15;
    bool FAllowCookies = true;
    THttpOptions FHTTPOptions = hoForceEncodeParams;
    int FMaxAuthRetries = 3;
    int FConnectTimeout = 0;
    bool FAllowHttps = false;
    int FIpVersionChoice = -1;
    QString FExtraCaFile;
    std::unique_ptr<TTlsContext> FTlsContext; // made at the first https connection
    std::optional<TTlsInfo> FTlsInfo;

    std::unique_ptr<TSocketConnection> FConnection;
    TUri FURI;
    THttpResponse FResponse;
    TResponseTextDecoder FDecoder;
    std::unique_ptr<TCookieManager> FCookieManager;
    int FRedirectCount = 0;
    int FAuthRetries = 0;
    int FAuthProxyRetries = 0;
    bool FExchangeOpen = false; // a request was sent and its response is not fully read
    std::optional<qint64> *FCountedLength = nullptr; // set while GetTextLength fetches
    qint64 FAnnouncedBodyLength = -1;
};
