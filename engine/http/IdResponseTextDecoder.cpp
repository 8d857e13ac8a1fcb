#include "IdResponseTextDecoder.h"

#include "CharsetDecoding.h"
#include "IdContentType.h"
#include "MetaHeaderScan.h"

void TIdResponseTextDecoder::ScanMetaHeaders(const QByteArray &html)
{
    FMetaHeaders = TIdHeaderList::FromRawLines(ScanMetaHeaderLines(html));
}

QString TIdResponseTextDecoder::MetaCharset() const
{
    if (!FMetaHeaders.Contains(QStringLiteral("Content-Type")))
        return {};
    return TIdContentType::Parse(FMetaHeaders.Value(QStringLiteral("Content-Type"))).CharSet;
}

QString TIdResponseTextDecoder::EffectiveCharset(bool useMetaFallback) const
{
    if (!FResponseCharset.isEmpty() || !useMetaFallback)
        return FResponseCharset;
    return MetaCharset();
}

QString TIdResponseTextDecoder::DecodeBody(const QByteArray &buffer, bool useMetaFallback) const
{
    return DecodeBytes(buffer, EffectiveCharset(useMetaFallback));
}

qsizetype TIdResponseTextDecoder::DecodedBodyLength(const QByteArray &buffer, bool useMetaFallback) const
{
    return DecodedLength(buffer, EffectiveCharset(useMetaFallback));
}
