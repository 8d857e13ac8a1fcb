#pragma once

#include "engine/http/HeaderList.h"

#include <QString>
#include <QStringList>

// What the client keeps of the latest response: its status line and headers and the values
// the exchange derives from them.
class THttpResponse
{
public:
    void Clear();
    // The whole status line; the code is the token after the first blank, -1 when not a number.
    void SetStatusLine(const QString &line);
    // Header lines as read (continuation lines included); derives the values below.
    void SetHeaderLines(const QStringList &lines);
    // Trailer lines of a chunked body: kept with the header lines, not interpreted.
    void AppendRawLines(const QStringList &lines) { FRawHeaders += lines; }

    const QString &ResponseText() const { return FResponseText; }
    int ResponseCode() const { return FResponseCode; }
    const QStringList &RawHeaders() const { return FRawHeaders; }
    const THeaderList &Headers() const { return FHeaders; }

    const QString &ContentType() const { return FContentType; }
    const QString &CharSet() const { return FCharSet; }
    // -1 when absent, not a number or negative: the body then runs to the close.
    qint64 ContentLength() const { return FContentLength; }
    const QString &TransferEncoding() const { return FTransferEncoding; }
    const QString &Connection() const { return FConnection; }
    const QString &ProxyConnection() const { return FProxyConnection; }
    bool HasLocation() const { return FHasLocation; }
    const QString &Location() const { return FLocation; }

    bool IsChunked() const;
    // The Connection or Proxy-Connection value is "close", or the response is HTTP/1.0 (or
    // older) without "keep-alive" there.
    bool AsksToClose() const;
    // The status line names HTTP/1.0 or older.
    bool IsBeforeHttp11() const;
    bool IsHtml() const;

    static int ParseStatusCode(const QString &statusLine);
    static qint64 ParseContentLength(const QString &value);

private:
    QString FResponseText;
    int FResponseCode = -1;
    QStringList FRawHeaders;
    THeaderList FHeaders;
    QString FContentType;
    QString FCharSet;
    qint64 FContentLength = -1;
    QString FTransferEncoding;
    QString FConnection;
    QString FProxyConnection;
    bool FHasLocation = false;
    QString FLocation;
};
