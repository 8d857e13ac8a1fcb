// URL parse and merge: the first line is merged into an empty URI, each further line into
// the result, as a page and its redirects are. Every merged URI must name a host that can
// be looked up and must read back as itself from its own text.

#include "fuzz/FuzzCheck.h"

#include "fuzz/HostNameBytes.h"
#include "engine/http/Uri.h"

#include <QString>
#include <QStringList>

#include <exception>

namespace {

QString UrlText(const TUri &uri)
{
    QString text = uri.Protocol + QStringLiteral("://");
    if (!uri.Username.isEmpty()) {
        text += uri.Username;
        if (!uri.Password.isEmpty())
            text += u':' + uri.Password;
        text += u'@';
    }
    text += uri.IPVersion == 6 ? u'[' + uri.Host + u']' : uri.Host;
    text += u':' + uri.Port + uri.Path + uri.Document;
    if (!uri.Query.isEmpty())
        text += u'?' + uri.Query;
    return text;
}

void CheckMerged(const TUri &uri)
{
    FUZZ_CHECK(HostCanHold(uri.Host));
    FUZZ_CHECK(!uri.Protocol.isEmpty());
    FUZZ_CHECK(!uri.Port.isEmpty());
    FUZZ_CHECK(uri.Path.startsWith(u'/') && uri.Path.endsWith(u'/'));

    // The request line carries no blank, control or non-ASCII byte, whatever the URL held.
    const QString target = uri.RequestTarget();
    for (const QChar c : target)
        FUZZ_CHECK(c.unicode() > 0x20 && c.unicode() < 0x7F);

    // A backslash right after the first ":" of a relative or "//" URL stays as typed (a
    // drive-like "x:" path, or a password as in "//user:\pw@host"); in a full URL it reads
    // as "/", so such a URI has no text of its own.
    if ((uri.Username + uri.Password + uri.Path + uri.Document).contains(u'\\'))
        return;
    // A port that is no number ("46[]B") is refused at the connect; its text need not read
    // back the same.
    if (uri.PortNumber() < 0)
        return;
    const TUri reread = TUri::ParseURL(UrlText(uri));
    FUZZ_CHECK(reread == uri);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QStringList lines = text.split(u'\n');

    TUri uri;
    for (qsizetype i = 0; i < lines.size() && i < 8; ++i) {
        TUri::ParseURL(lines[i]); // never throws
        const TUri before = uri;
        try {
            uri.MergeURL(lines[i]);
        } catch (const std::exception &) {
            // A refused URL leaves the current one as it was.
            FUZZ_CHECK(uri == before);
            continue;
        }
        CheckMerged(uri);
    }
    return 0;
}
