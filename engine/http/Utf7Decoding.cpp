#include "engine/http/Utf7Decoding.h"

QString DecodeUtf7(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    Utf7Decoder decoder;
    decoder.Feed(bytes, [&text](char16_t unit) { text += QChar(unit); });
    return text;
}
