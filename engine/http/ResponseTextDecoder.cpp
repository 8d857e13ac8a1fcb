#include "engine/http/ResponseTextDecoder.h"

#include "engine/http/CharsetDecoding.h"
#include "engine/http/ContentType.h"
#include "engine/http/MetaHeaderScan.h"

void TResponseTextDecoder::ScanMetaHeaders(const QByteArray &html)
{
    FMetaHeaders = THeaderList::FromRawLines(ScanMetaHeaderLines(html));
}

void TResponseTextDecoder::SetMetaHeaderLines(const QStringList &lines)
{
    FMetaHeaders = THeaderList::FromRawLines(lines);
}

QString TResponseTextDecoder::MetaCharset() const
{
    if (!FMetaHeaders.Contains(QStringLiteral("Content-Type")))
        return {};
    return TContentType::Parse(FMetaHeaders.Value(QStringLiteral("Content-Type"))).CharSet;
}

QString TResponseTextDecoder::EffectiveCharset(bool useMetaFallback) const
{
    if (!FResponseCharset.isEmpty() || !useMetaFallback)
        return FResponseCharset;
    return MetaCharset();
}

QString TResponseTextDecoder::DecodeBody(const QByteArray &buffer, bool useMetaFallback) const
{
    return DecodeBytes(buffer, EffectiveCharset(useMetaFallback));
}

qsizetype TResponseTextDecoder::DecodedBodyLength(const QByteArray &buffer, bool useMetaFallback) const
{
    return DecodedLength(buffer, EffectiveCharset(useMetaFallback));
}
