#pragma once

#include "engine/http/Utf7Decoding.h"
#include "engine/http/Utf8BlockCounter.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringConverter>

#include <optional>


// Decodes a whole body by charset name (any letter case). UTF-8 is strict: any
// invalid sequence gives empty text. UTF-16 (LE unless a big-endian BOM says
// otherwise), UTF-16LE, UTF-16BE and UTF-7 are decoded here; other names go to
// QStringDecoder (ICU). An empty or unknown name decodes one character per byte.
QString DecodeBytes(const QByteArray &bytes, const QString &charset);

// DecodeBytes(bytes, charset).size(), without building the whole text where that can be
// done exactly: one character per byte, UTF-8 and UTF-7 are counted in one pass, UTF-16 and
// UTF-32 of a known byte order decoded in segments into a small buffer. Other converters
// decode the whole body.
qsizetype DecodedLength(QByteArrayView bytes, const QString &charset);

// True when DecodeBytes knows the name (otherwise it falls back to one char per byte).
bool IsKnownCharset(const QString &charset);

// The length DecodeBytes would give for a body that arrives in pieces of any size, for the
// charsets where Counts() is true: Add each piece in order, then Finish. Holds only a few
// bytes of state.
class DecodedLengthCounter
{
public:
    // True for one character per byte (no, unknown or a Latin-1 charset), UTF-8, UTF-7, and
    // UTF-16 and UTF-32 of a known byte order ("UTF-16" takes it from a BOM, as DecodeBytes).
    static bool Counts(const QString &charset);

    // blockwiseUtf8: count UTF-8 by blocks where the processor allows (false: byte by byte).
    explicit DecodedLengthCounter(const QString &charset, bool blockwiseUtf8 = true);

    void Add(QByteArrayView bytes);
    // The length in UTF-16 code units; 0 for UTF-8 that was invalid anywhere.
    qsizetype Finish();

private:
    enum class Mode { OneBytePerChar, Utf8, Utf7, FixedWidth };

    void AddFixedWidth(QByteArrayView bytes);
    void CountFixedWidth(QByteArrayView units);

    void AddUtf8(const unsigned char *bytes, qsizetype size);

    Mode FMode = Mode::OneBytePerChar;
    qsizetype FUnits = 0;

    // UTF-8: the validating automaton's state (0: between characters).
    quint64 FUtf8State = 0;
    bool FUtf8Invalid = false;
    // Where the processor allows, UTF-8 is counted by blocks instead.
    bool FUtf8Blocks = false;
    Utf8BlockCounter FUtf8BlockCounter;

    Utf7Decoder FUtf7;

    // UTF-16 and UTF-32: whole units are decoded as they come; the last unit (and a high
    // surrogate before it) waits for what follows, so a pair and a cut unit at the end decode
    // as in the whole text. "UTF-16" waits for two bytes to know its byte order.
    std::optional<QStringConverter::Encoding> FEncoding;
    bool FByteOrderFromBom = false;
    int FUnitSize = 2;
    QByteArray FPendingUnits;
};
