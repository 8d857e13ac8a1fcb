#pragma once

#include <QtGlobal>

// Validates strict UTF-8 and counts its UTF-16 units sixteen bytes at a time with SSSE3: the
// bytes of a block are classified by table lookups on their nibbles, so text outside ASCII
// costs about as little as ASCII. Pieces of any size may be added; a few bytes of state carry
// over. Used only where the processor has SSSE3 (Available()).
class Utf8BlockCounter
{
public:
    static bool Available();

    void Add(const unsigned char *bytes, qsizetype size);
    // The units counted, or -1 when the text was not valid UTF-8 (or ended inside a character).
    qsizetype Finish();

private:
    void AddBlocks(const unsigned char *blocks, qsizetype count);

    alignas(16) unsigned char FCarry[16] = {};
    int FCarrySize = 0;
    alignas(16) unsigned char FPrevious[16] = {};
    alignas(16) unsigned char FPreviousIncomplete[16] = {};
    alignas(16) unsigned char FError[16] = {};
    qsizetype FUnits = 0;
};
