#include "ui/TTextWidthCache.h"

#include <QFontMetricsF>

double TTextWidthCache::Width(const QFont& font, const QString& text)
{
    const QString key = font.key();
    // Bounded, so a long session of font changes or odd texts cannot grow it without end.
    if (FWidths.size() >= MaxFonts && !FWidths.contains(key))
        FWidths.clear();
    QHash<QString, double>& widths = FWidths[key];
    if (widths.size() >= MaxTextsPerFont)
        widths.clear();
    auto known = widths.constFind(text);
    if (known == widths.cend())
        known = widths.insert(text, QFontMetricsF(font).horizontalAdvance(text));
    return *known;
}
