#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringList>

// The <meta http-equiv=... content=...> lines of an HTML page's head, as raw header lines
// "Name: content" (or "Name:" without content), in page order. Only the head counts: tags
// before <html> are ignored, <title> outside the head stops the scan, <body> ends it. The page
// is read as US-ASCII: every byte above 0x7F reads as "?".
//
// The page may be fed in blocks of any size as it arrives; the lines are the same for any
// split. Only a tag cut by a block edge is carried over (or the tail a skipped comment, title
// or script could close in), so memory stays small whatever the page's size. A tag longer than
// MaxTagLength ends the scan, as a carried tag must not grow without bound.
class TMetaHeaderScanner
{
public:
    static constexpr qsizetype MaxTagLength = 64 * 1024;

    void Add(QByteArrayView bytes);
    // The lines found; the end of the page ends an unfinished tag.
    QStringList Finish();
    // Nothing more can be taken, whatever follows.
    bool Done() const { return FDone; }

private:
    struct NeedMore {};
    struct TooLong {};

    // Scans data and returns how many of its bytes are consumed; the rest is carried.
    qsizetype Scan(QByteArrayView data);
    // One tag from the "<" at open; returns the position after what it used.
    qsizetype Tag(qsizetype open);

    bool End(qsizetype i) const;
    void Reach(qsizetype i) const;
    char At(qsizetype i) const { return FData[i]; }
    QString Text(qsizetype start, qsizetype length) const;
    bool NextAttribute(qsizetype &pos, QString &name, QString &value);
    qsizetype ReadMeta(qsizetype pos);

    QByteArray FPending;
    QByteArray FSkipMarker; // while skipping a comment, title or script: what ends it
    bool FHtmlSeen = false;
    bool FInHead = false;
    bool FDone = false;
    bool FFinal = false;
    QStringList FLines;

    // while scanning
    QByteArrayView FData;
    qsizetype FTagStart = 0;
};

QStringList ScanMetaHeaderLines(QByteArrayView html);
