#include "THttpClient.h"
#include "CharsetDecoding.h"
#include "EHttpConnClosedGracefully.h"
#include "EHttpConnectException.h"
#include "EHttpProtocolException.h"
#include "EHeaderBlockTooLarge.h"
#include "EHttpIOHandlerPropInvalid.h"
#include "TSocketConnection.h"

#include <QStringList>

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

int THttpClient::ReadTimeout() const
{
    return FConnection->ReadTimeout();
}

void THttpClient::setReadTimeout(int value)
{
    FConnection->setReadTimeout(value);
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

QString THttpClient::FoldHeaderLine(const QString &line, int maxLength)
{
    if (line.size() <= maxLength)
        return line;
    QString folded;
    QString rest = line;
    while (rest.size() > maxLength) {
        // Break after the last separator that keeps the piece within the limit, or after the
        // first one beyond it; the leading blank of a continuation is never a break point.
        qsizetype breakAfter = -1;
        bool quoted = false;
        for (qsizetype i = 0; i < rest.size(); ++i) {
            const QChar c = rest[i];
            if (c == u'"') {
                quoted = !quoted;
                continue;
            }
            if (quoted || i == 0 || (c != u' ' && c != u'\t' && c != u','))
                continue;
            if (i + 1 <= maxLength) {
                breakAfter = i + 1;
            } else {
                if (breakAfter < 0)
                    breakAfter = i + 1;
                break;
            }
        }
        if (breakAfter < 0)
            break;
        qsizetype next = breakAfter;
        while (next < rest.size() && (rest[next] == u' ' || rest[next] == u'\t'))
            ++next;
        if (next >= rest.size())
            break;
        folded += rest.left(breakAfter) + QStringLiteral("\r\n");
        rest = u' ' + rest.mid(next);
    }
    return folded + rest;
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
    QByteArray body;
    FRedirectCount = 0;
    FAuthRetries = 0;
    FAuthProxyRetries = 0;
    QString url = URL;
    QString method = QStringLiteral("GET");
    try {
        for (;;) {
            FURI.MergeURL(url);
            PrepareConnection();
            FExchangeOpen = true;
            SendRequest(method);
            ReadResponse();
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

void THttpClient::PrepareConnection()
{
    if (FConnection->Connected() && FConnection->IPVersion() != FURI.IPVersion)
        Disconnect();
    if (FConnection->Connected()
        && (FConnection->Host().compare(FURI.Host, Qt::CaseInsensitive) != 0
            || FConnection->Port() != FURI.PortNumber()))
        Disconnect();
    if (FURI.Protocol.compare(u"https", Qt::CaseInsensitive) == 0)
        throw EHttpIOHandlerPropInvalid();
    if (!KeptAlive())
        Disconnect();
    FConnection->DiscardPendingInput();
    if (FConnection->Connected())
        return;
    const int port = FURI.PortNumber();
    if (port < 0)
        throw EHttpConnectException(QStringLiteral("Invalid port number: %1").arg(FURI.Port));
    FConnection->Connect(FURI.Host, port, FURI.IPVersion, FConnectTimeout);
    Notify(hsConnected);
}

void THttpClient::SendRequest(const QString &method)
{
    QStringList lines;
    lines << method + u' ' + FURI.RequestTarget()
                 + (FProtocolVersion == pv1_0 ? QStringLiteral(" HTTP/1.0") : QStringLiteral(" HTTP/1.1"));
    auto add = [&lines](const QString &name, const QString &value) {
        if (!value.isEmpty())
            lines << FoldHeaderLine(name + QStringLiteral(": ") + value);
    };
    add(QStringLiteral("Host"), FURI.HostHeaderValue());
    add(QStringLiteral("Accept"), QString::fromLatin1(DefaultAccept));
    add(QStringLiteral("Accept-Encoding"), QString::fromLatin1(DefaultAcceptEncoding));
    add(QStringLiteral("User-Agent"), QString::fromLatin1(DefaultUserAgent));
    if (FCookieManager)
        for (const auto &cookie : FCookieManager->GenerateClientCookies(FURI, false))
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
    } while (FResponse.ResponseCode() == 100);
}

QStringList THttpClient::ReadHeaderBlock(bool keepOnClose)
{
    QStringList lines;
    qsizetype size = 0;
    try {
        for (QString line = FConnection->ReadLn(); !line.isEmpty(); line = FConnection->ReadLn()) {
            size += line.size() + 2;
            if (size > MaxHeaderBlockSize)
                throw EHeaderBlockTooLarge();
            lines << line;
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
        FCookieManager->AddServerCookies(setCookies, setCookies2, FURI);
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
            RaiseProtocolError(-1);
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
            ReadBody(nullptr, ShortDiscardWaitMs);
        } else if (FCountedLength && !FResponse.IsHtml()
                   && DecodedLengthCounter::Counts(FDecoder.EffectiveCharset(true))) {
            // Only the text's length is wanted and no meta scan needs the bytes, so the
            // charset is known now: count the body as it arrives instead of holding it.
            DecodedLengthCounter counter(FDecoder.EffectiveCharset(true));
            ReadBody(nullptr, -1, [&counter](QByteArrayView block) { counter.Add(block); });
            *FCountedLength = counter.Finish();
        } else {
            ReadBody(&body, -1);
        }
        FExchangeOpen = false;
        return false;
    }
    // 401 and 407 included: this client never answers an authentication challenge.
    RaiseProtocolError(hundreds == 1 || code == 304 ? ShortDiscardWaitMs : -1);
}

void THttpClient::RaiseProtocolError(int waitLimitMs)
{
    QByteArray errorBody;
    ReadBody(&errorBody, waitLimitMs);
    FExchangeOpen = false;
    throw EHttpProtocolException(FResponse.ResponseText(), FResponse.ResponseCode(),
                                   FDecoder.DecodeBody(errorBody, false));
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
    if (dest && FResponse.IsHtml()) {
        FDecoder.ScanMetaHeaders(*dest);
        // A page's meta cookies belong to that page's host, stored once: handed over again
        // with later responses they would be set for whatever host comes next, and would
        // overwrite newer cookies of the same name.
        StoreCookies(FDecoder.MetaSetCookies(), FDecoder.MetaSetCookies2());
    }
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
