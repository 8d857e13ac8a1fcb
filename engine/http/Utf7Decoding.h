#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QChar>
#include <QString>

// UTF-7 (RFC 2152) to UTF-16, fed in pieces of any size: a "+" at the end of one piece
// is resolved by the first byte of the next. Bytes above 0x7F become U+FFFD; never fails.
// output(char16_t) receives each code unit; at the end of the input an open shifted run and
// a lone "+" produce nothing, so there is no flush step.
class Utf7Decoder
{
public:
    template <typename Output>
    void Feed(QByteArrayView bytes, Output &&output)
    {
        for (const char byte : bytes) {
            const auto c = static_cast<unsigned char>(byte);
            if (FPlusPending) {
                FPlusPending = false;
                if (c == '-') {
                    output(u'+');
                    continue;
                }
                FShifted = true;
            }
            if (FShifted) {
                const int value = Base64Value(c);
                if (value >= 0) {
                    FBits = (FBits << 6) | static_cast<quint32>(value);
                    FBitCount += 6;
                    if (FBitCount >= 16) {
                        FBitCount -= 16;
                        output(static_cast<char16_t>((FBits >> FBitCount) & 0xFFFF));
                    }
                    FBits &= (1u << FBitCount) - 1;
                    continue;
                }
                // Any other byte ends the shifted run; a "-" is absorbed, leftover bits dropped.
                FShifted = false;
                FBits = 0;
                FBitCount = 0;
                if (c == '-')
                    continue;
            } else if (c == '+') {
                FPlusPending = true;
                continue;
            }
            output(c < 0x80 ? char16_t(c) : char16_t(QChar::ReplacementCharacter));
        }
    }

private:
    static int Base64Value(unsigned char c)
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

    bool FShifted = false;
    bool FPlusPending = false;
    quint32 FBits = 0;
    int FBitCount = 0;
};

// A whole UTF-7 body to UTF-16 (see Utf7Decoder).
QString DecodeUtf7(const QByteArray &bytes);
