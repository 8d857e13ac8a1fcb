#include "settings/ExtendedFloat.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr int DoubleBias = 1023;
constexpr int ExtendedBias = 16383;
constexpr int ExtendedMaxExponent = 0x7FFF;
constexpr std::uint64_t IntegerBit = std::uint64_t(1) << 63;

} // namespace

QByteArray TExtendedFloat::Encode(double value)
{
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const int exponent = int((bits >> 52) & 0x7FF);
    const std::uint64_t fraction = bits & ((std::uint64_t(1) << 52) - 1);

    std::uint64_t significand = 0;
    int extendedExponent = 0;
    if (exponent == 0x7FF) {
        extendedExponent = ExtendedMaxExponent;
        // Infinity keeps only the integer bit; a NaN stays quiet with its payload.
        significand = fraction == 0 ? IntegerBit : IntegerBit | (std::uint64_t(1) << 62) | (fraction << 11);
    } else if (exponent != 0) {
        extendedExponent = exponent - DoubleBias + ExtendedBias;
        significand = IntegerBit | (fraction << 11);
    } else if (fraction != 0) {
        // The extended range holds every double denormal as a normal number.
        const int shift = std::countl_zero(fraction);
        significand = fraction << shift;
        extendedExponent = ExtendedBias + 63 - 1074 - shift;
    }

    QByteArray bytes(ByteCount, '\0');
    for (int i = 0; i < 8; ++i)
        bytes[i] = char((significand >> (8 * i)) & 0xFF);
    const int signAndExponent = (negative ? 0x8000 : 0) | extendedExponent;
    bytes[8] = char(signAndExponent & 0xFF);
    bytes[9] = char((signAndExponent >> 8) & 0xFF);
    return bytes;
}

double TExtendedFloat::Decode(const QByteArray& bytes)
{
    if (bytes.size() != ByteCount)
        return 0;
    std::uint64_t significand = 0;
    for (int i = 7; i >= 0; --i)
        significand = (significand << 8) | std::uint8_t(bytes[i]);
    const int signAndExponent = std::uint8_t(bytes[8]) | (std::uint8_t(bytes[9]) << 8);
    const bool negative = (signAndExponent & 0x8000) != 0;
    const int exponent = signAndExponent & ExtendedMaxExponent;

    double magnitude = 0;
    if (exponent == ExtendedMaxExponent) {
        magnitude = (significand << 1) == 0 ? HUGE_VAL : std::nan("");
    } else if (significand != 0) {
        // Rounds once to 53 bits, then scales; exact for every value that came from a double.
        const int scale = (exponent == 0 ? 1 : exponent) - ExtendedBias - 63;
        magnitude = std::ldexp(double(significand), scale);
    }
    return negative ? -magnitude : magnitude;
}

QString TExtendedFloat::ToHex(double value)
{
    return QString::fromLatin1(Encode(value).toHex().toUpper());
}
