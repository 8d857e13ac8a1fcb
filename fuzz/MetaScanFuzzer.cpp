// The meta scan reads the page as US-ASCII with every byte above 0x7F as "?": the same page
// with those bytes replaced must give the same header lines, all of them ASCII.

#include "fuzz/FuzzCheck.h"

#include "engine/http/MetaHeaderScan.h"
#include "engine/http/ResponseTextDecoder.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray page(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QStringList lines = ScanMetaHeaderLines(page);

    QByteArray ascii = page;
    for (char &c : ascii)
        if (static_cast<unsigned char>(c) > 0x7F)
            c = '?';
    FUZZ_CHECK(ScanMetaHeaderLines(ascii) == lines);

    for (const QString &line : lines)
        for (const QChar c : line)
            FUZZ_CHECK(c.unicode() < 0x80);

    // The decoder state built from the page must answer without fault.
    TResponseTextDecoder decoder;
    decoder.ScanMetaHeaders(page);
    FUZZ_CHECK(decoder.DecodedBodyLength(page, true) == decoder.DecodeBody(page, true).size());
    return 0;
}
