#pragma once

#include "engine/http/HeaderList.h"

#include <QByteArray>
#include <QString>

// The HTTP client's text decoding state: the charset of the latest response and the
// meta headers of the latest scanned HTML page.
class TResponseTextDecoder
{
public:
    // Set from every response's Content-Type (TContentType::CharSet), "" when none.
    void SetResponseCharset(const QString &charset) { FResponseCharset = charset; }
    QString ResponseCharset() const { return FResponseCharset; }

    // Replaces the meta header list with the meta headers of this HTML page.
    void ScanMetaHeaders(const QByteArray &html);
    // Replaces the meta header list with lines already scanned.
    void SetMetaHeaderLines(const QStringList &lines);
    void ClearMetaHeaders() { FMetaHeaders.Clear(); }
    const THeaderList &MetaHeaders() const { return FMetaHeaders; }

    // Charset of the first Content-Type meta header (text/* without charset gives
    // "ISO-8859-1"), "" when none.
    QString MetaCharset() const;

    // Set-Cookie / Set-Cookie2 values of the meta headers, for the cookie store.
    QStringList MetaSetCookies() const { return FMetaHeaders.Values(QStringLiteral("Set-Cookie")); }
    QStringList MetaSetCookies2() const { return FMetaHeaders.Values(QStringLiteral("Set-Cookie2")); }

    // The response charset; when that is empty and useMetaFallback, the meta charset.
    QString EffectiveCharset(bool useMetaFallback) const;

    // Decodes with EffectiveCharset (see DecodeBytes).
    QString DecodeBody(const QByteArray &buffer, bool useMetaFallback) const;
    // DecodeBody(buffer, useMetaFallback).size(), without building the text.
    qsizetype DecodedBodyLength(const QByteArray &buffer, bool useMetaFallback) const;

private:
    QString FResponseCharset;
    THeaderList FMetaHeaders;
};
