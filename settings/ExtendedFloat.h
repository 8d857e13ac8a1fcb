#pragma once

#include <QByteArray>
#include <QString>

// Doubles stored as the 10 bytes of the x87 80-bit extended format, least significant
// byte of the significand first. Built from the double's bits, so the result is the
// same on every host and every double survives a round trip exactly.
class TExtendedFloat
{
public:
    static constexpr int ByteCount = 10;

    // Widens a double: sign, exponent rebiased to 16383, explicit integer bit;
    // denormals are normalised, infinities and NaNs keep their class.
    static QByteArray Encode(double value);
    // Narrows 10 bytes back to the nearest double; any other size gives 0.
    static double Decode(const QByteArray& bytes);

    // The stored text: 20 upper-case hexadecimal digits.
    static QString ToHex(double value);
};
