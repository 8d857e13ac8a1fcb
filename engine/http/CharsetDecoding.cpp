#include "CharsetDecoding.h"

#include "Utf7Decoding.h"

#include <QStringDecoder>

#include <optional>

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
