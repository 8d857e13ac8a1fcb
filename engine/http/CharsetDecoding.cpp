#include "engine/http/CharsetDecoding.h"

#include "engine/http/Utf7Decoding.h"

#include <QStringDecoder>

#include <algorithm>
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

bool DecodedLengthCounter::Counts(const QString &charset)
{
    if (!IsKnownCharset(charset) || IsUtf7(charset))
        return true;
    const std::optional<QStringConverter::Encoding> builtin =
        QStringConverter::encodingForName(charset.toLatin1().constData());
    return builtin == QStringConverter::Utf8 || builtin == QStringConverter::Latin1
           || builtin == QStringConverter::Utf16 || builtin == QStringConverter::Utf16LE
           || builtin == QStringConverter::Utf16BE || builtin == QStringConverter::Utf32LE
           || builtin == QStringConverter::Utf32BE;
}

DecodedLengthCounter::DecodedLengthCounter(const QString &charset, bool blockwiseUtf8)
{
    Q_ASSERT(Counts(charset));
    if (!IsKnownCharset(charset))
        return;
    if (IsUtf7(charset)) {
        FMode = Mode::Utf7;
        return;
    }
    const std::optional<QStringConverter::Encoding> builtin =
        QStringConverter::encodingForName(charset.toLatin1().constData());
    if (builtin == QStringConverter::Utf8) {
        FMode = Mode::Utf8;
        FUtf8Blocks = blockwiseUtf8 && Utf8BlockCounter::Available();
    } else if (builtin == QStringConverter::Utf16) {
        FMode = Mode::FixedWidth;
        FByteOrderFromBom = true;
    } else if (builtin == QStringConverter::Utf16LE || builtin == QStringConverter::Utf16BE
               || builtin == QStringConverter::Utf32LE || builtin == QStringConverter::Utf32BE) {
        FMode = Mode::FixedWidth;
        FEncoding = builtin;
        FUnitSize = builtin == QStringConverter::Utf32LE || builtin == QStringConverter::Utf32BE ? 4 : 2;
    }
}

void DecodedLengthCounter::CountFixedWidth(QByteArrayView units)
{
    if (units.isEmpty())
        return;
    QStringDecoder decoder(*FEncoding, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    std::vector<QChar> buffer(size_t(decoder.requiredSpace(units.size())));
    FUnits += decoder.appendToBuffer(buffer.data(), units) - buffer.data();
}

void DecodedLengthCounter::AddFixedWidth(QByteArrayView bytes)
{
    // Decoding in pieces of a fair size keeps the buffer small and the calls few.
    constexpr qsizetype piece = 64 * 1024;
    while (!bytes.isEmpty()) {
        const qsizetype take = std::min(bytes.size(), piece);
        FPendingUnits.append(bytes.data(), take);
        bytes = bytes.sliced(take);
        if (!FEncoding) {
            if (FPendingUnits.size() < 2)
                continue;
            FEncoding = FPendingUnits.startsWith("\xFE\xFF") ? QStringConverter::Utf16BE : QStringConverter::Utf16LE;
        }
        // Keep the last whole unit and any cut one back, and a high surrogate before them.
        qsizetype ready = (FPendingUnits.size() / FUnitSize - 1) * FUnitSize;
        if (ready < piece)
            continue;
        if (FUnitSize == 2) {
            const auto *last = reinterpret_cast<const unsigned char *>(FPendingUnits.constData() + ready - 2);
            const unsigned high = *FEncoding == QStringConverter::Utf16BE ? last[0] : last[1];
            if (high >= 0xD8 && high <= 0xDB)
                ready -= 2;
        }
        CountFixedWidth(QByteArrayView(FPendingUnits).first(ready));
        FPendingUnits.remove(0, ready);
    }
}

void DecodedLengthCounter::Add(QByteArrayView bytes)
{
    switch (FMode) {
    case Mode::OneBytePerChar:
        FUnits += bytes.size();
        break;
    case Mode::Utf8:
        if (FUtf8Blocks)
            FUtf8BlockCounter.Add(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
        else if (!FUtf8Invalid)
            AddUtf8(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
        break;
    case Mode::FixedWidth:
        AddFixedWidth(bytes);
        break;
    case Mode::Utf7:
        FUtf7.Feed(bytes, [this](char16_t) { ++FUnits; });
        break;
    }
}

namespace {

// Strict UTF-8 as an automaton whose transitions for one byte are packed into one 64-bit row:
// each state is a shift (a multiple of 6), and the next state is the row shifted by the current
// one. The only work that depends on the previous byte is one shift, so text outside ASCII is
// checked at close to the speed of reading it. No overlong forms, surrogates or values above
// U+10FFFF pass.
namespace Utf8Automaton {

enum State : int {
    Accept = 0,     // between characters
    Need1 = 6,      // one continuation byte due
    Need2 = 12,     // two due
    AfterE0 = 18,   // then A0..BF and one more
    AfterED = 24,   // then 80..9F and one more
    Need3 = 30,     // three due
    AfterF0 = 36,   // then 90..BF and two more
    AfterF4 = 42,   // then 80..8F and two more
    Reject = 48     // stays
};

constexpr int Next(int state, unsigned b)
{
    const bool cont = b >= 0x80 && b <= 0xBF;
    switch (state) {
    case Accept:
        if (b < 0x80)
            return Accept;
        if (b >= 0xC2 && b <= 0xDF)
            return Need1;
        if (b == 0xE0)
            return AfterE0;
        if (b == 0xED)
            return AfterED;
        if (b >= 0xE1 && b <= 0xEF)
            return Need2;
        if (b == 0xF0)
            return AfterF0;
        if (b >= 0xF1 && b <= 0xF3)
            return Need3;
        if (b == 0xF4)
            return AfterF4;
        return Reject;
    case Need1:
        return cont ? Accept : Reject;
    case Need2:
        return cont ? Need1 : Reject;
    case AfterE0:
        return b >= 0xA0 && b <= 0xBF ? Need1 : Reject;
    case AfterED:
        return b >= 0x80 && b <= 0x9F ? Need1 : Reject;
    case Need3:
        return cont ? Need2 : Reject;
    case AfterF0:
        return b >= 0x90 && b <= 0xBF ? Need2 : Reject;
    case AfterF4:
        return b >= 0x80 && b <= 0x8F ? Need2 : Reject;
    default:
        return Reject;
    }
}

// The top two bits of a row hold the UTF-16 units the byte starts: 0 for a continuation,
// 2 for the lead of a character above U+FFFF.
constexpr int UnitsShift = 62;

struct Tables
{
    quint64 Row[256] = {};
};

constexpr Tables MakeTables()
{
    Tables tables;
    for (unsigned b = 0; b < 256; ++b) {
        for (int state = Accept; state <= Reject; state += 6)
            tables.Row[b] |= quint64(Next(state, b)) << state;
        const quint64 units = (b & 0xC0) == 0x80 ? 0 : b >= 0xF0 ? 2 : 1;
        tables.Row[b] |= units << UnitsShift;
    }
    return tables;
}

constexpr Tables Table = MakeTables();

} // namespace Utf8Automaton

} // namespace

void DecodedLengthCounter::AddUtf8(const unsigned char *bytes, qsizetype size)
{
    using namespace Utf8Automaton;
    constexpr quint64 highBits = 0x8080808080808080ULL;
    quint64 state = FUtf8State;
    qsizetype units = 0;
    qsizetype i = 0;
    while (i < size) {
        // Text is mostly ASCII: between characters take it sixteen bytes at a time.
        if ((state & 63) == Accept) {
            while (size - i >= 16) {
                quint64 first, second;
                std::memcpy(&first, bytes + i, 8);
                std::memcpy(&second, bytes + i + 8, 8);
                if ((first | second) & highBits)
                    break;
                i += 16;
                units += 16;
            }
        }
        // Then a run through the automaton; a rejected byte keeps it rejected, so it is
        // looked at once per run only.
        const qsizetype end = std::min(size, i + 64);
        for (; i < end; ++i) {
            // Only the low six bits of the state count; x86 shifts mask their count the same
            // way, so the mask costs nothing on the path from one byte to the next.
            const quint64 row = Table.Row[bytes[i]];
            state = row >> (state & 63);
            units += qsizetype(row >> UnitsShift);
        }
        if ((state & 63) == Reject) {
            FUtf8Invalid = true;
            return;
        }
    }
    FUtf8State = state & 63;
    FUnits += units;
}

qsizetype DecodedLengthCounter::Finish()
{
    // UTF-8 cut off inside a sequence is as invalid as a bad byte.
    if (FMode == Mode::FixedWidth) {
        if (!FEncoding)
            FEncoding = QStringConverter::Utf16LE; // fewer than two bytes: no BOM
        CountFixedWidth(FPendingUnits);
        FPendingUnits.clear();
        return FUnits;
    }
    if (FMode == Mode::Utf8 && FUtf8Blocks) {
        const qsizetype units = FUtf8BlockCounter.Finish();
        return units < 0 ? 0 : units;
    }
    if (FMode == Mode::Utf8 && (FUtf8Invalid || FUtf8State != 0))
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
    // "UTF-32" picks its byte order from the start, and the code page converters do not give
    // the same text when fed piece by piece (a sequence split between pieces may decode
    // differently), so these are decoded whole.
    return DecodeBytes(bytes.toByteArray(), charset).size();
}
