#include "CharsetDecoding.h"

#include "Utf7Decoding.h"

#include <QStringDecoder>

#include <cstring>
#include <optional>
#include <vector>

namespace {

// Only plain registry-style names reach the converter: anything else (blanks,
// NUL, non-ASCII) cannot be a charset name and must not be cut short into one.
bool IsPlausibleName(const QString &name)
{
    if (name.isEmpty() || name.size() > 64)
        return false;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
                        || u == '-' || u == '_' || u == '.' || u == ':' || u == '+' || u == '('
                        || u == ')';
        if (!ok)
            return false;
    }
    return true;
}

bool IsUtf7(const QString &name)
{
    return name.compare(u"UTF-7", Qt::CaseInsensitive) == 0
           || name.compare(u"csUTF7", Qt::CaseInsensitive) == 0
           || name.compare(u"UNICODE-1-1-UTF-7", Qt::CaseInsensitive) == 0;
}

QString Decode(QStringConverter::Encoding encoding, const QByteArray &bytes)
{
    // The BOM is part of the text, as the body's character count must reflect it.
    QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless
                                         | QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

} // namespace

bool IsKnownCharset(const QString &charset)
{
    if (!IsPlausibleName(charset))
        return false;
    if (IsUtf7(charset))
        return true;
    return QStringDecoder(charset.toLatin1().constData()).isValid();
}

QString DecodeBytes(const QByteArray &bytes, const QString &charset)
{
    if (!IsKnownCharset(charset))
        return QString::fromLatin1(bytes);
    if (IsUtf7(charset))
        return DecodeUtf7(bytes);

    const QByteArray name = charset.toLatin1();
    const std::optional<QStringConverter::Encoding> builtin =
        QStringConverter::encodingForName(name.constData());
    if (builtin == QStringConverter::Utf8) {
        QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless
                                                           | QStringConverter::Flag::ConvertInitialBom);
        const QString text = decoder.decode(bytes);
        return decoder.hasError() ? QString() : text;
    }
    if (builtin == QStringConverter::Utf16) {
        // Little-endian as on the wire of most such servers, unless a BOM says big-endian.
        const bool bigEndian = bytes.startsWith("\xFE\xFF");
        return Decode(bigEndian ? QStringConverter::Utf16BE : QStringConverter::Utf16LE, bytes);
    }
    if (builtin == QStringConverter::Utf16LE || builtin == QStringConverter::Utf16BE
        || builtin == QStringConverter::Utf32 || builtin == QStringConverter::Utf32LE
        || builtin == QStringConverter::Utf32BE)
        return Decode(*builtin, bytes);
    if (builtin == QStringConverter::Latin1)
        return QString::fromLatin1(bytes);

    QStringDecoder decoder(name.constData(), QStringConverter::Flag::Stateless
                                                 | QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

namespace {

// Length of a fixed-width UTF-16 or UTF-32 decode. Every whole code unit decodes on its own,
// so the body is decoded in unit-aligned segments by fresh one-shot decoders into one small
// buffer; an incomplete unit at the end stays with the last segment, which always holds
// whole units before it when the body has any, as it does in a decode of the whole body.
qsizetype FixedWidthLength(QStringConverter::Encoding encoding, QByteArrayView bytes)
{
    constexpr qsizetype segment = 64 * 1024; // a multiple of every unit size
    std::vector<QChar> buffer;
    qsizetype units = 0;
    while (!bytes.isEmpty()) {
        const qsizetype size = bytes.size() < 2 * segment ? bytes.size() : segment;
        QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless
                                             | QStringConverter::Flag::ConvertInitialBom);
        const QByteArrayView part = bytes.first(size);
        buffer.resize(size_t(decoder.requiredSpace(size)));
        units += decoder.appendToBuffer(buffer.data(), part) - buffer.data();
        bytes = bytes.sliced(size);
    }
    return units;
}

} // namespace

bool DecodedLengthCounter::Counts(const QString &charset)
{
    if (!IsKnownCharset(charset) || IsUtf7(charset))
        return true;
    const std::optional<QStringConverter::Encoding> builtin =
        QStringConverter::encodingForName(charset.toLatin1().constData());
    return builtin == QStringConverter::Utf8 || builtin == QStringConverter::Latin1;
}

DecodedLengthCounter::DecodedLengthCounter(const QString &charset)
{
    Q_ASSERT(Counts(charset));
    if (!IsKnownCharset(charset))
        return;
    if (IsUtf7(charset)) {
        FMode = Mode::Utf7;
        return;
    }
    if (QStringConverter::encodingForName(charset.toLatin1().constData()) == QStringConverter::Utf8)
        FMode = Mode::Utf8;
}

void DecodedLengthCounter::Add(QByteArrayView bytes)
{
    switch (FMode) {
    case Mode::OneBytePerChar:
        FUnits += bytes.size();
        break;
    case Mode::Utf8:
        if (!FUtf8Invalid)
            AddUtf8(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
        break;
    case Mode::Utf7:
        FUtf7.Feed(bytes, [this](char16_t) { ++FUnits; });
        break;
    }
}

void DecodedLengthCounter::AddUtf8(const unsigned char *bytes, qsizetype size)
{
    constexpr quint64 highBits = 0x8080808080808080ULL;
    qsizetype i = 0;
    while (i < size) {
        if (FUtf8Due > 0) {
            const unsigned char c = bytes[i++];
            if (c < FUtf8Low || c > FUtf8High) {
                FUtf8Invalid = true;
                return;
            }
            FUtf8Low = 0x80;
            FUtf8High = 0xBF;
            --FUtf8Due;
            continue;
        }
        // Text is mostly ASCII: take it sixteen bytes at a time.
        while (size - i >= 16) {
            quint64 first, second;
            std::memcpy(&first, bytes + i, 8);
            std::memcpy(&second, bytes + i + 8, 8);
            if ((first | second) & highBits)
                break;
            i += 16;
            FUnits += 16;
        }
        if (i >= size)
            break;
        const unsigned char c = bytes[i++];
        if (c < 0x80) {
            ++FUnits;
            continue;
        }
        // Well-formed sequences only: no overlong forms, surrogates or values above U+10FFFF.
        if (c >= 0xC2 && c <= 0xDF) {
            FUtf8Due = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            FUtf8Due = 2;
            if (c == 0xE0)
                FUtf8Low = 0xA0;
            else if (c == 0xED)
                FUtf8High = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            FUtf8Due = 3;
            if (c == 0xF0)
                FUtf8Low = 0x90;
            else if (c == 0xF4)
                FUtf8High = 0x8F;
        } else {
            FUtf8Invalid = true;
            return;
        }
        FUnits += FUtf8Due == 3 ? 2 : 1; // above U+FFFF takes a surrogate pair
    }
}

qsizetype DecodedLengthCounter::Finish()
{
    // UTF-8 cut off inside a sequence is as invalid as a bad byte.
    if (FMode == Mode::Utf8 && (FUtf8Invalid || FUtf8Due > 0))
        return 0;
    return FUnits;
}

qsizetype DecodedLength(QByteArrayView bytes, const QString &charset)
{
    if (DecodedLengthCounter::Counts(charset)) {
        DecodedLengthCounter counter(charset);
        counter.Add(bytes);
        return counter.Finish();
    }
    const std::optional<QStringConverter::Encoding> builtin =
        QStringConverter::encodingForName(charset.toLatin1().constData());
    if (builtin == QStringConverter::Utf16)
        return FixedWidthLength(bytes.startsWith("\xFE\xFF") ? QStringConverter::Utf16BE
                                                              : QStringConverter::Utf16LE,
                                bytes);
    if (builtin == QStringConverter::Utf16LE || builtin == QStringConverter::Utf16BE
        || builtin == QStringConverter::Utf32LE || builtin == QStringConverter::Utf32BE)
        return FixedWidthLength(*builtin, bytes);
    // "UTF-32" picks its byte order from the start, and the code page converters do not give
    // the same text when fed piece by piece (a sequence split between pieces may decode
    // differently), so these are decoded whole.
    return DecodeBytes(bytes.toByteArray(), charset).size();
}
