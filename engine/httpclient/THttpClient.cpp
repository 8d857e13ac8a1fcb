#include "engine/httpclient/THttpClient.h"
#include "engine/http/CharsetDecoding.h"
#include "engine/httpclient/EHttpConnClosedGracefully.h"
#include "engine/httpclient/EHttpConnectException.h"
#include "engine/httpclient/EHttpProtocolException.h"
#include "engine/httpclient/EHeaderBlockTooLarge.h"
#include "engine/httpclient/EHttpIOHandlerPropInvalid.h"
#include "engine/httpclient/EHttpSocketError.h"
#include "engine/http/MetaHeaderScan.h"
#include "engine/httpclient/TSocketConnection.h"
#include "engine/httpclient/TTlsContext.h"

#include <QDateTime>
#include <QLocale>
#include <QStringList>

#include <cerrno>

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

namespace {
// Bodies announce their length; reserving it saves copies, but a lying server must not make
// us commit memory it never sends, so the reservation is capped (pages are touched lazily).
constexpr qint64 MaxBodyReservation = qint64(512) * 1024 * 1024;
// A large body would otherwise be faulted in 4 KiB at a time while it arrives, which costs
// more than copying it; huge pages cut that by a factor of 512 where the kernel offers them.
void AdviseHugePages(QByteArray &buffer)
{
    constexpr uintptr_t huge = 2 * 1024 * 1024;
    if (buffer.capacity() < qsizetype(4 * huge))
        return;
    const auto begin = reinterpret_cast<uintptr_t>(buffer.data());
    const uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    const uintptr_t last = (begin + uintptr_t(buffer.capacity())) & ~(huge - 1);
    if (last > first)
        ::madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
}
} // namespace

THttpClient::THttpClient(QObject *parent)
    : QObject(parent), FConnection(std::make_unique<TSocketConnection>())
{
    FConnection->OnStatus = [this](QObject *sender, THttpStatus status, const QString &text) {
        if (OnStatus)
            OnStatus(sender, status, text);
    };
}

THttpClient::~THttpClient()
{
    FConnection->OnStatus = nullptr;
    FConnection->Close();
}

void THttpClient::setExtraCaFile(const QString &path)
{
    if (path == FExtraCaFile)
        return;
    FExtraCaFile = path;
    FTlsContext.reset(); // the next https connection trusts the new file
}

int THttpClient::ReadTimeout() const
{
    return FConnection->ReadTimeout();
}

void THttpClient::setReadTimeout(int value)
{
    FConnection->setReadTimeout(value);
}

QString THttpClient::PeerAddress() const
{
    return FConnection->PeerAddress();
}

QString THttpClient::PeerFamily() const
{
    return FConnection->PeerFamily();
}

QString THttpClient::AnnouncedAddress() const
{
    return FConnection->AnnouncedAddress();
}

int THttpClient::PeerPort() const
{
    return FConnection->Port();
}

int THttpClient::ConnectionIpVersion() const
{
    if (FIpVersionChoice == 4 || FIpVersionChoice == 6)
        return FIpVersionChoice;
    if (FURI.IPVersion == 6)
        return 6;
    return FIpVersionChoice == 0 ? 0 : 4;
}

bool THttpClient::Connected() const
{
    return FConnection->Connected();
}

void THttpClient::Cancel()
{
    FConnection->CancelFlag().Raise();
}

void THttpClient::Notify(THttpStatus status, const QString &argument)
{
    if (OnStatus)
        OnStatus(this, status, HttpStatusText(status, argument));
}

void THttpClient::Disconnect()
{
    if (!FConnection->Connected())
        return;
    Notify(hsDisconnecting);
    FConnection->Close();
    Notify(hsDisconnected);
}

qint64 THttpClient::ParseChunkSize(const QString &line)
{
    const qsizetype semicolon = line.indexOf(u';');
    const QString text = (semicolon >= 0 ? line.left(semicolon) : line).trimmed();
    if (text.isEmpty())
        return 0;
    for (QChar c : text)
        if (!isxdigit(c.unicode() < 0x80 ? int(c.unicode()) : 0))
            return 0;
    bool ok = false;
    const qint64 size = text.toLongLong(&ok, 16);
    return ok && size > 0 ? size : 0;
}

QString THttpClient::Get(const QString &URL)
{
    const QByteArray body = Fetch(URL, nullptr);
    return FDecoder.DecodeBody(body, true);
}

qint64 THttpClient::GetTextLength(const QString &URL)
{
    std::optional<qint64> counted;
    const QByteArray body = Fetch(URL, &counted);
    return counted ? *counted : qint64(FDecoder.DecodedBodyLength(body, true));
}

QByteArray THttpClient::Fetch(const QString &URL, std::optional<qint64> *countedLength)
{
    FCountedLength = countedLength;
    FConnection->CancelFlag().Reset();
    FConnection->ResetBodyBytesRead();
    FAnnouncedBodyLength = -1;
    if (!FConnection->Connected())
        FTlsInfo.reset(); // describes a connection of an earlier fetch
    QByteArray body;
    FRedirectCount = 0;
    FAuthRetries = 0;
    FAuthProxyRetries = 0;
    QString url = URL;
    QString method = QStringLiteral("GET");
    try {
        for (;;) {
            FURI.MergeURL(url);
            const bool reused = PrepareConnection();
            FExchangeOpen = true;
            const qint64 receivedBefore = FConnection->ReceivedBytes();
            try {
                SendRequest(method);
                ReadResponse();
            } catch (const EHttpException &) {
                // A kept-alive connection the server closed meanwhile fails before any byte of
                // the response came: the GET is idempotent, so it goes once more on a new one.
                if (!reused || FConnection->ReceivedBytes() != receivedBefore
                    || FConnection->CancelFlag().IsRaised() || !ClosedByServer())
                    throw;
                FConnection->Close();
                PrepareConnection();
                SendRequest(method);
                ReadResponse();
            }
            if (!HandleResponse(body, url, method))
                break;
            body.clear();
            FAuthRetries = 0;
            FAuthProxyRetries = 0;
        }
    } catch (...) {
        FCountedLength = nullptr;
        EndFetchAfterFailure();
        throw;
    }
    FCountedLength = nullptr;
    if (!KeptAlive())
        Disconnect();
    return body;
}

void THttpClient::EndFetchAfterFailure() noexcept
{
    try {
        // A response that was not read to its end leaves the stream at an unknown place;
        // reusing it would corrupt the next exchange.
        if (FExchangeOpen || !KeptAlive())
            Disconnect();
    } catch (...) {
        FConnection->Close(); // the first failure is the one to report
    }
    FExchangeOpen = false;
}

bool THttpClient::KeptAlive()
{
    if (!FConnection->CheckForDisconnect())
        return false;
    return !FResponse.AsksToClose();
}

bool THttpClient::ClosedByServer()
{
    try {
        throw;
    } catch (const EHttpConnClosedGracefully &) {
        return true;
    } catch (const EHttpSocketError &e) {
        return e.LastError() == ECONNRESET || e.LastError() == EPIPE;
    } catch (...) {
        return false;
    }
}

bool THttpClient::PrepareConnection()
{
    const int ipVersion = ConnectionIpVersion();
    if (FConnection->Connected() && FConnection->IPVersion() != ipVersion)
        Disconnect();
    if (FConnection->Connected()
        && (FConnection->Host().compare(FURI.Host, Qt::CaseInsensitive) != 0
            || FConnection->Port() != FURI.PortNumber()))
        Disconnect();
    const bool https = FURI.Protocol.compare(u"https", Qt::CaseInsensitive) == 0;
    if (https && !FAllowHttps)
        throw EHttpIOHandlerPropInvalid();
    // http and https on one port are two different servers.
    if (FConnection->Connected() && FConnection->Secure() != https)
        Disconnect();
    if (!KeptAlive())
        Disconnect();
    FConnection->DiscardPendingInput();
    if (FConnection->Connected())
        return true;
    const int port = FURI.PortNumber();
    if (port < 0)
        throw EHttpConnectException(QStringLiteral("Invalid port number: %1").arg(FURI.Port));
    // A CA file that cannot be read fails before any connection is made.
    if (https && !FTlsContext)
        FTlsContext = std::make_unique<TTlsContext>(FExtraCaFile);
    FTlsInfo.reset();
    FConnection->Connect(FURI.Host, port, ipVersion, FConnectTimeout);
    Notify(hsConnected);
    if (https) {
        // After "Connected.": the handshake is part of the measured time.
        FTlsInfo = FConnection->StartTls(*FTlsContext);
        Notify(hsStatusText, QStringLiteral("%1 handshake done in %2 ms, cipher %3.")
                                 .arg(FTlsInfo->Protocol, QLocale::system().toString(FTlsInfo->HandshakeMs, 'f', 2),
                                      FTlsInfo->Cipher));
    }
    return false;
}

void THttpClient::SendRequest(const QString &method)
{
    QStringList lines;
    lines << method + u' ' + FURI.RequestTarget()
                 + (FProtocolVersion == pv1_0 ? QStringLiteral(" HTTP/1.0") : QStringLiteral(" HTTP/1.1"));
    // Each line goes whole, however long: servers refuse folded request headers.
    auto add = [&lines](const QString &name, const QString &value) {
        if (!value.isEmpty())
            lines << name + QStringLiteral(": ") + value;
    };
    add(QStringLiteral("Host"), FURI.HostHeaderValue());
    add(QStringLiteral("Accept"), QString::fromLatin1(DefaultAccept));
    add(QStringLiteral("Accept-Encoding"), QString::fromLatin1(DefaultAcceptEncoding));
    add(QStringLiteral("User-Agent"), QString::fromLatin1(DefaultUserAgent));
    if (FCookieManager)
        for (const auto &cookie : FCookieManager->GenerateClientCookies(FURI, FConnection->Secure()))
            add(cookie.first, cookie.second);
    const QString request = lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n\r\n");
    FConnection->Write(TSocketConnection::AsciiBytes(request));
}

void THttpClient::ReadResponse()
{
    do {
        FResponse.Clear();
        FResponse.SetStatusLine(FConnection->ReadLn());
        // the server closing inside the header block leaves what arrived as the header block
        FResponse.SetHeaderLines(ReadHeaderBlock(true));
        FDecoder.SetResponseCharset(FResponse.CharSet());
        StoreCookies();
    } while (IsInterim(FResponse.ResponseCode()));
}

bool THttpClient::IsInterim(int code)
{
    return code == 100 || code == 103; // Continue, Early Hints: the final response follows
}

QString THttpClient::HeaderLineText(const QByteArray &line)
{
    // A Location keeps bytes outside ASCII as the URL they stand for (percent-encoded),
    // rather than as "?", which would send the redirect elsewhere.
    static const QByteArray location("location");
    if (line.size() > location.size() && line.first(location.size()).compare(location, Qt::CaseInsensitive) == 0) {
        qsizetype colon = location.size();
        while (colon < line.size() && (line[colon] == ' ' || line[colon] == '\t'))
            ++colon;
        if (colon < line.size() && line[colon] == ':') {
            static const char hex[] = "0123456789ABCDEF";
            QString text;
            text.reserve(line.size());
            for (const char c : line) {
                const auto byte = static_cast<unsigned char>(c);
                if (byte < 0x80) {
                    text += QLatin1Char(c);
                } else {
                    text += u'%';
                    text += QLatin1Char(hex[byte >> 4]);
                    text += QLatin1Char(hex[byte & 0x0F]);
                }
            }
            return text;
        }
    }
    return TSocketConnection::AsciiText(line.constData(), line.size());
}

QStringList THttpClient::ReadHeaderBlock(bool keepOnClose)
{
    QStringList lines;
    qsizetype size = 0;
    try {
        for (QByteArray line = FConnection->ReadRawLn(); !line.isEmpty(); line = FConnection->ReadRawLn()) {
            size += line.size() + 2;
            if (size > MaxHeaderBlockSize)
                throw EHeaderBlockTooLarge();
            lines << HeaderLineText(line);
        }
    } catch (const EHttpConnClosedGracefully &) {
        if (!keepOnClose)
            throw;
    }
    return lines;
}

void THttpClient::StoreCookies()
{
    StoreCookies(FResponse.Headers().Values(QStringLiteral("Set-Cookie")),
                 FResponse.Headers().Values(QStringLiteral("Set-Cookie2")));
}

void THttpClient::StoreCookies(const QStringList &setCookies, const QStringList &setCookies2)
{
    if (!FAllowCookies)
        return;
    if (!FCookieManager)
        FCookieManager = std::make_unique<TCookieManager>();
    if (!setCookies.isEmpty() || !setCookies2.isEmpty())
        FCookieManager->AddServerCookies(setCookies, setCookies2, FURI, QDateTime::currentDateTimeUtc(),
                                         [this] { FConnection->ServeWhileBusy(); });
}

bool THttpClient::HandleResponse(QByteArray &body, QString &url, QString &method)
{
    const int code = FResponse.ResponseCode();
    const int hundreds = code / 100;
    if ((hundreds == 3 && code != 304) || (FResponse.HasLocation() && code != 201)) {
        ++FRedirectCount;
        QString dest = FResponse.Location();
        int numRedirect = FRedirectCount;
        bool handled = FHandleRedirects;
        QString vmethod = method;
        if (OnRedirect)
            OnRedirect(this, dest, numRedirect, handled, vmethod);
        FRedirectCount = numRedirect;
        if (!handled)
            RaiseProtocolError();
        const bool follow = FHandleRedirects && FRedirectCount < FRedirectMaximum;
        if (FConnection->Connected())
            ReadBody(nullptr, RedirectDiscardWaitMs);
        FExchangeOpen = false;
        if (!follow)
            return false;
        url = dest;
        method = vmethod;
        return true;
    }
    if (hundreds == 2) {
        if (code == 204) {
            // never has a body, whatever its headers say
        } else if (const QString charset = FDecoder.EffectiveCharset(true);
                   FCountedLength && DecodedLengthCounter::Counts(charset)
                   && (!FResponse.IsHtml() || !FDecoder.ResponseCharset().isEmpty())) {
            // Only the text's length is wanted and the charset is known now (an HTML page's
            // comes from its header, never from its meta tags): count the body as it arrives,
            // scanning a page's head on the way, instead of holding it.
            DecodedLengthCounter counter(charset);
            TMetaHeaderScanner scanner;
            const bool html = FResponse.IsHtml();
            ReadBody(nullptr, -1, [&](QByteArrayView block) {
                counter.Add(block);
                if (html && !scanner.Done())
                    scanner.Add(block);
            });
            if (html)
                TakeMetaHeaders(scanner.Finish());
            *FCountedLength = counter.Finish();
        } else {
            ReadBody(&body, -1);
        }
        FExchangeOpen = false;
        return false;
    }
    // 401 and 407 included: this client never answers an authentication challenge.
    RaiseProtocolError();
}

void THttpClient::RaiseProtocolError()
{
    // The body is drained but only its start is kept: it is the error text, and a hostile
    // server may send any amount.
    QByteArray errorPrefix;
    bool cut = false;
    const int code = FResponse.ResponseCode();
    if (code / 100 != 1 && code != 304) { // these never have a body
        TMetaHeaderScanner scanner;
        const bool html = FResponse.IsHtml();
        ReadBody(nullptr, -1, [&](QByteArrayView block) {
            const qsizetype room = MaxErrorTextBytes - errorPrefix.size();
            errorPrefix.append(block.first(std::min(room, block.size())));
            cut = cut || block.size() > room;
            if (html && !scanner.Done())
                scanner.Add(block);
        });
        if (html)
            TakeMetaHeaders(scanner.Finish());
    }
    FExchangeOpen = false;
    if (cut)
        errorPrefix.truncate(CompleteUtf8Length(errorPrefix));
    QString statusLine = FResponse.ResponseText();
    if (statusLine.trimmed().isEmpty())
        statusLine = QStringLiteral("Empty status line received.");
    throw EHttpProtocolException(statusLine, code, FDecoder.DecodeBody(errorPrefix, false));
}

qsizetype THttpClient::CompleteUtf8Length(QByteArrayView bytes)
{
    // Drops a character cut by the end, which would make a UTF-8 text invalid as a whole.
    qsizetype end = bytes.size();
    qsizetype back = 0;
    while (back < 4 && end - back > 0 && (static_cast<unsigned char>(bytes[end - back - 1]) & 0xC0) == 0x80)
        ++back;
    if (end - back > 0) {
        const auto lead = static_cast<unsigned char>(bytes[end - back - 1]);
        const int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (length > 1 && back + 1 < length)
            return end - back - 1;
    }
    return end;
}

void THttpClient::TakeMetaHeaders(const QStringList &lines)
{
    FDecoder.SetMetaHeaderLines(lines);
    // A page's meta cookies belong to that page's host, stored once: handed over again
    // with later responses they would be set for whatever host comes next, and would
    // overwrite newer cookies of the same name.
    StoreCookies(FDecoder.MetaSetCookies(), FDecoder.MetaSetCookies2());
}

qint64 THttpClient::BodyBytesRead() const
{
    return FConnection->BodyBytesRead();
}

void THttpClient::ReadBody(QByteArray *dest, int waitLimitMs, const TBlockConsumer &consume)
{
    FConnection->ResetBodyBytesRead();
    FAnnouncedBodyLength = FResponse.IsChunked() ? -1 : FResponse.ContentLength();
    if (FResponse.IsChunked()) {
        Notify(hsStatusText, QStringLiteral("Chunk Started"));
        ReadChunkedBody(dest, consume);
    } else {
        const qint64 length = FResponse.ContentLength();
        if (length == 0)
            return;
        if (waitLimitMs >= 0 && !FConnection->WaitForData(waitLimitMs))
            return;
        if (length > 0) {
            if (dest && dest->isEmpty()) {
                dest->reserve(qsizetype(std::min(length, MaxBodyReservation)));
                AdviseHugePages(*dest);
            }
            try {
                FConnection->ReadBytes(length, dest, consume);
            } catch (const EHttpConnClosedGracefully &) {
                // an early close keeps what arrived
            }
        } else {
            FConnection->ReadUntilClose(dest, consume);
        }
    }
    if (dest && FResponse.IsHtml())
        TakeMetaHeaders(ScanMetaHeaderLines(*dest));
}

void THttpClient::ReadChunkedBody(QByteArray *dest, const TBlockConsumer &consume)
{
    for (qint64 size = ParseChunkSize(FConnection->ReadLn()); size != 0;
         size = ParseChunkSize(FConnection->ReadLn())) {
        FConnection->ReadBytes(size, dest, consume);
        FConnection->ReadLn();
    }
    FResponse.AppendRawLines(ReadHeaderBlock(false));
}
