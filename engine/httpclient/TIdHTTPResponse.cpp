#include "TIdHTTPResponse.h"
#include "IdContentType.h"

void TIdHTTPResponse::Clear()
{
    *this = TIdHTTPResponse();
}

int TIdHTTPResponse::ParseStatusCode(const QString &statusLine)
{
    qsizetype start = statusLine.indexOf(u' ');
    if (start < 0)
        return -1;
    while (start < statusLine.size() && statusLine[start] == u' ')
        ++start;
    qsizetype end = statusLine.indexOf(u' ', start);
    if (end < 0)
        end = statusLine.size();
    const QStringView token = QStringView(statusLine).mid(start, end - start);
    if (token.isEmpty())
        return -1;
    for (QChar c : token)
        if (!c.isDigit() || c.unicode() > u'9')
            return -1;
    bool ok = false;
    const int code = token.toInt(&ok);
    return ok ? code : -1;
}

qint64 TIdHTTPResponse::ParseContentLength(const QString &value)
{
    bool ok = false;
    const qint64 length = value.trimmed().toLongLong(&ok);
    return ok && length >= 0 ? length : -1;
}

void TIdHTTPResponse::SetStatusLine(const QString &line)
{
    FResponseText = line;
    FResponseCode = ParseStatusCode(line);
}

void TIdHTTPResponse::SetHeaderLines(const QStringList &lines)
{
    FRawHeaders = lines;
    FHeaders = TIdHeaderList::FromRawLines(lines);
    const TIdContentType type = TIdContentType::Parse(FHeaders.Value(QStringLiteral("Content-Type")));
    FContentType = type.ContentType;
    FCharSet = type.CharSet;
    FContentLength = FHeaders.Contains(QStringLiteral("Content-Length"))
                         ? ParseContentLength(FHeaders.Value(QStringLiteral("Content-Length")))
                         : -1;
    FTransferEncoding = FHeaders.Value(QStringLiteral("Transfer-Encoding"));
    FConnection = FHeaders.Value(QStringLiteral("Connection"));
    FProxyConnection = FHeaders.Value(QStringLiteral("Proxy-Connection"));
    FHasLocation = FHeaders.Contains(QStringLiteral("Location"));
    FLocation = FHeaders.Value(QStringLiteral("Location"));
}

bool TIdHTTPResponse::IsChunked() const
{
    return FTransferEncoding.contains(u"chunked", Qt::CaseInsensitive);
}

bool TIdHTTPResponse::AsksToClose() const
{
    return FConnection.trimmed().compare(u"close", Qt::CaseInsensitive) == 0
           || FProxyConnection.trimmed().compare(u"close", Qt::CaseInsensitive) == 0;
}

bool TIdHTTPResponse::IsHtml() const
{
    return FContentType.compare(u"text/html", Qt::CaseInsensitive) == 0;
}
