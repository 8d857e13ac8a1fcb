// Charset decoding and the length counter. The first byte picks the charset (or, at 0xFF,
// the charset name is the text up to the first LF), the second the sizes of the pieces the
// body arrives in. The streamed count and the one-pass length must equal the decoded text's
// length, however the body is split.

#include "fuzz/FuzzCheck.h"

#include "engine/http/CharsetDecoding.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <array>

namespace {

// The names servers send, plus case and alias variants and names no converter knows.
constexpr std::array<const char *, 18> Charsets = {
    "", "utf-8", "UTF8", "utf-7", "csUTF7", "iso-8859-1", "us-ascii", "windows-1252",
    "utf-16", "UTF-16BE", "utf-16le", "utf-32", "utf-32be", "shift_jis", "gb2312", "big5",
    "koi8-r", "x-no-such-charset",
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const auto *bytes = reinterpret_cast<const char *>(data);
    QString charset;
    QByteArray body;
    if (data[0] == 0xFF) {
        const QByteArray rest(bytes + 2, static_cast<qsizetype>(size - 2));
        const qsizetype lf = rest.indexOf('\n');
        charset = QString::fromLatin1(lf >= 0 ? rest.left(lf) : rest);
        body = lf >= 0 ? rest.mid(lf + 1) : QByteArray();
    } else {
        charset = QString::fromLatin1(Charsets[data[0] % Charsets.size()]);
        body = QByteArray(bytes + 2, static_cast<qsizetype>(size - 2));
    }

    const qsizetype decoded = DecodeBytes(body, charset).size();
    FUZZ_CHECK(DecodedLength(body, charset) == decoded);
    // Any name the decoder does not know decodes one character per byte.
    if (!IsKnownCharset(charset))
        FUZZ_CHECK(decoded == body.size());

    if (!DecodedLengthCounter::Counts(charset))
        return 0;
    // Piece sizes cycle through 1..8 from the seed, so splits fall inside every kind of
    // multi-byte sequence.
    DecodedLengthCounter counter(charset);
    unsigned seed = data[1];
    for (qsizetype at = 0; at < body.size();) {
        const qsizetype piece = std::min<qsizetype>(1 + (seed & 7), body.size() - at);
        seed = seed * 37 + 11;
        counter.Add(QByteArrayView(body.constData() + at, piece));
        at += piece;
    }
    FUZZ_CHECK(counter.Finish() == decoded);

    DecodedLengthCounter whole(charset);
    whole.Add(body);
    FUZZ_CHECK(whole.Finish() == decoded);
    return 0;
}
