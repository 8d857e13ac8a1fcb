#include "engine/httpclient/THttpResponse.h"
#include "engine/http/ContentType.h"

void THttpResponse::Clear()
{
    *this = THttpResponse();
}

int THttpResponse::ParseStatusCode(const QString &statusLine)
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

qint64 THttpResponse::ParseContentLength(const QString &value)
{
    bool ok = false;
    const qint64 length = value.trimmed().toLongLong(&ok);
    return ok && length >= 0 ? length : -1;
}

void THttpResponse::SetStatusLine(const QString &line)
{
    FResponseText = line;
    FResponseCode = ParseStatusCode(line);
}

void THttpResponse::SetHeaderLines(const QStringList &lines)
{
    FRawHeaders = lines;
    FHeaders = THeaderList::FromRawLines(lines);
    const TContentType type = TContentType::Parse(FHeaders.Value(QStringLiteral("Content-Type")));
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

bool THttpResponse::IsChunked() const
{
    return FTransferEncoding.contains(u"chunked", Qt::CaseInsensitive);
}

bool THttpResponse::AsksToClose() const
{
    if (FConnection.trimmed().compare(u"close", Qt::CaseInsensitive) == 0
        || FProxyConnection.trimmed().compare(u"close", Qt::CaseInsensitive) == 0)
        return true;
    // HTTP/1.0 closes after every response unless it says otherwise; reusing such a
    // connection races the server's close.
    return IsBeforeHttp11() && !FConnection.contains(u"keep-alive", Qt::CaseInsensitive)
           && !FProxyConnection.contains(u"keep-alive", Qt::CaseInsensitive);
}

bool THttpResponse::IsBeforeHttp11() const
{
    if (!FResponseText.startsWith(u"HTTP/", Qt::CaseInsensitive))
        return false;
    const QStringView version = QStringView(FResponseText).mid(5).split(u' ').first();
    const qsizetype dot = version.indexOf(u'.');
    bool majorOk = false;
    bool minorOk = false;
    const int major = version.left(dot < 0 ? version.size() : dot).toInt(&majorOk);
    const int minor = dot < 0 ? 0 : version.mid(dot + 1).toInt(&minorOk);
    if (!majorOk || (dot >= 0 && !minorOk))
        return false;
    return major < 1 || (major == 1 && minor < 1);
}

bool THttpResponse::IsHtml() const
{
    return FContentType.compare(u"text/html", Qt::CaseInsensitive) == 0;
}
