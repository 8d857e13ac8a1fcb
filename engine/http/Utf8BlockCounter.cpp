#include "engine/http/Utf8BlockCounter.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KORVANE_HAVE_SSSE3_PATH 1
#endif

#ifdef KORVANE_HAVE_SSSE3_PATH

namespace {

// Error bits for a pair of bytes (first, second), looked up by the first byte's high and low
// nibble and the second byte's high nibble; a pair is wrong when all three lookups share a bit.
constexpr unsigned char TooShort = 1 << 0;   // lead, then no continuation
constexpr unsigned char TooLong = 1 << 1;    // ASCII, then a continuation
constexpr unsigned char Overlong3 = 1 << 2;  // E0 80..9F
constexpr unsigned char TooLarge = 1 << 3;   // F4 90..BF, F5 and above
constexpr unsigned char Surrogate = 1 << 4;  // ED A0..BF
constexpr unsigned char Overlong2 = 1 << 5;  // C0, C1
constexpr unsigned char TooLarge1000 = 1 << 6; // F5.. 80..8F
constexpr unsigned char Overlong4 = 1 << 6;  // F0 80..8F
constexpr unsigned char TwoConts = 1 << 7;   // a continuation after a continuation (checked below)
constexpr unsigned char Carry = TooShort | TooLong | TwoConts;

__attribute__((target("ssse3"), always_inline)) inline __m128i Table(unsigned char a0, unsigned char a1, unsigned char a2,
                                                      unsigned char a3, unsigned char a4, unsigned char a5,
                                                      unsigned char a6, unsigned char a7, unsigned char a8,
                                                      unsigned char a9, unsigned char a10, unsigned char a11,
                                                      unsigned char a12, unsigned char a13, unsigned char a14,
                                                      unsigned char a15)
{
    return _mm_setr_epi8(char(a0), char(a1), char(a2), char(a3), char(a4), char(a5), char(a6), char(a7),
                         char(a8), char(a9), char(a10), char(a11), char(a12), char(a13), char(a14), char(a15));
}

__attribute__((target("ssse3"), always_inline)) inline __m128i HighNibbles(__m128i v)
{
    return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
}

__attribute__((target("ssse3"), always_inline)) inline __m128i CheckBlock(__m128i input, __m128i previous)
{
    const __m128i prev1 = _mm_alignr_epi8(input, previous, 15);
    const __m128i byte1High = _mm_shuffle_epi8(
        Table(TooLong, TooLong, TooLong, TooLong, TooLong, TooLong, TooLong, TooLong, TwoConts, TwoConts, TwoConts,
              TwoConts, TooShort | Overlong2, TooShort, TooShort | Overlong3 | Surrogate,
              TooShort | TooLarge | TooLarge1000 | Overlong4),
        HighNibbles(prev1));
    constexpr unsigned char large = Carry | TooLarge | TooLarge1000;
    const __m128i byte1Low = _mm_shuffle_epi8(
        Table(Carry | Overlong3 | Overlong2 | Overlong4, Carry | Overlong2, Carry, Carry, Carry | TooLarge, large,
              large, large, large, large, large, large, large, large | Surrogate, large, large),
        _mm_and_si128(prev1, _mm_set1_epi8(0x0F)));
    const __m128i byte2High = _mm_shuffle_epi8(
        Table(TooShort, TooShort, TooShort, TooShort, TooShort, TooShort, TooShort, TooShort,
              TooLong | Overlong2 | TwoConts | Overlong3 | TooLarge1000 | Overlong4,
              TooLong | Overlong2 | TwoConts | Overlong3 | TooLarge,
              TooLong | Overlong2 | TwoConts | Surrogate | TooLarge,
              TooLong | Overlong2 | TwoConts | Surrogate | TooLarge, TooShort, TooShort, TooShort, TooShort),
        HighNibbles(input));
    const __m128i special = _mm_and_si128(_mm_and_si128(byte1High, byte1Low), byte2High);

    // A continuation after a continuation is right only as the third or fourth byte of a
    // character: where a lead of three or four bytes stands two or three places before.
    const __m128i prev2 = _mm_alignr_epi8(input, previous, 14);
    const __m128i prev3 = _mm_alignr_epi8(input, previous, 13);
    const __m128i third = _mm_subs_epu8(prev2, _mm_set1_epi8(char(0xE0 - 0x80)));
    const __m128i fourth = _mm_subs_epu8(prev3, _mm_set1_epi8(char(0xF0 - 0x80)));
    const __m128i must23 = _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(char(0x80)));
    return _mm_xor_si128(must23, special);
}

__attribute__((target("ssse3"), always_inline)) inline __m128i Incomplete(__m128i input)
{
    // A lead in the last three bytes whose character cannot end inside the block.
    const __m128i max = Table(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                              0xF0 - 1, 0xE0 - 1, 0xC0 - 1);
    return _mm_subs_epu8(input, max);
}

__attribute__((target("ssse3,popcnt"), always_inline)) inline qsizetype BlockUnits(__m128i input)
{
    // Every byte but a continuation starts a character; a four-byte lead starts two units.
    const int continuations = _mm_movemask_epi8(_mm_cmplt_epi8(input, _mm_set1_epi8(char(0xC0))));
    // F0..FF are the negative bytes above EF (signed compares also put ASCII above it).
    const int fourByteLeads =
        _mm_movemask_epi8(_mm_cmpgt_epi8(input, _mm_set1_epi8(char(0xEF)))) & _mm_movemask_epi8(input);
    return 16 - __builtin_popcount(unsigned(continuations)) + __builtin_popcount(unsigned(fourByteLeads));
}

} // namespace

bool Utf8BlockCounter::Available()
{
    static const bool available = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt");
    return available;
}

__attribute__((target("ssse3,popcnt"))) void Utf8BlockCounter::AddBlocks(const unsigned char *blocks,
                                                                         qsizetype count)
{
    // The state stays in registers for the whole run of blocks.
    __m128i previous = _mm_load_si128(reinterpret_cast<const __m128i *>(FPrevious));
    __m128i previousIncomplete = _mm_load_si128(reinterpret_cast<const __m128i *>(FPreviousIncomplete));
    __m128i error = _mm_load_si128(reinterpret_cast<const __m128i *>(FError));
    qsizetype units = 0;
    for (qsizetype n = 0; n < count; ++n, blocks += 16) {
        const __m128i input = _mm_loadu_si128(reinterpret_cast<const __m128i *>(blocks));
        if (_mm_movemask_epi8(input) == 0) {
            error = _mm_or_si128(error, previousIncomplete);
            previousIncomplete = _mm_setzero_si128();
            units += 16;
        } else {
            error = _mm_or_si128(error, CheckBlock(input, previous));
            previousIncomplete = Incomplete(input);
            units += BlockUnits(input);
        }
        previous = input;
    }
    _mm_store_si128(reinterpret_cast<__m128i *>(FPrevious), previous);
    _mm_store_si128(reinterpret_cast<__m128i *>(FPreviousIncomplete), previousIncomplete);
    _mm_store_si128(reinterpret_cast<__m128i *>(FError), error);
    FUnits += units;
}

void Utf8BlockCounter::Add(const unsigned char *bytes, qsizetype size)
{
    if (size <= 0)
        return;
    if (FCarrySize > 0) {
        const int take = int(std::min<qsizetype>(16 - FCarrySize, size));
        std::memcpy(FCarry + FCarrySize, bytes, size_t(take));
        FCarrySize += take;
        bytes += take;
        size -= take;
        if (FCarrySize < 16)
            return;
        AddBlocks(FCarry, 1);
        FCarrySize = 0;
    }
    const qsizetype whole = size / 16;
    AddBlocks(bytes, whole);
    bytes += whole * 16;
    size -= whole * 16;
    std::memcpy(FCarry, bytes, size_t(size));
    FCarrySize = int(size);
}

qsizetype Utf8BlockCounter::Finish()
{
    // The end is padded with zeros: a character cut by the end then reads as one followed by
    // ASCII, which is an error, and the padding's units are taken off again.
    const int padding = 16 - FCarrySize;
    std::memset(FCarry + FCarrySize, 0, size_t(padding));
    AddBlocks(FCarry, 1);
    unsigned char zeros[16] = {};
    AddBlocks(zeros, 1);
    FUnits -= padding + 16;
    FCarrySize = 0;
    for (const unsigned char e : FError)
        if (e != 0)
            return -1;
    return FUnits;
}

#else

bool Utf8BlockCounter::Available()
{
    return false;
}

void Utf8BlockCounter::AddBlocks(const unsigned char *, qsizetype) {}
void Utf8BlockCounter::Add(const unsigned char *, qsizetype) {}
qsizetype Utf8BlockCounter::Finish()
{
    return -1;
}

#endif
