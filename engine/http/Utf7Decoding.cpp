#include "Utf7Decoding.h"

namespace {

int Base64Value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

QString DecodeUtf7(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    bool shifted = false;
    quint32 bits = 0;
    int bitCount = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (shifted) {
            const int value = Base64Value(c);
            if (value >= 0) {
                bits = (bits << 6) | static_cast<quint32>(value);
                bitCount += 6;
                if (bitCount >= 16) {
                    bitCount -= 16;
                    text += QChar(static_cast<char16_t>((bits >> bitCount) & 0xFFFF));
                }
                bits &= (1u << bitCount) - 1;
                continue;
            }
            // Any other byte ends the shifted run; a "-" is absorbed, leftover bits dropped.
            shifted = false;
            bits = 0;
            bitCount = 0;
            if (c == '-')
                continue;
        } else if (c == '+') {
            if (i + 1 < bytes.size() && bytes[i + 1] == '-') {
                text += u'+';
                ++i;
            } else {
                shifted = true;
            }
            continue;
        }
        text += c < 0x80 ? QChar(c) : QChar(QChar::ReplacementCharacter);
    }
    return text;
}
