#pragma once

#include <QFont>
#include <QHash>
#include <QString>

// Text widths by font and text. With years of results, laying the chart out after each test
// measures only the new result's texts; shaping thousands of them again would cost a frame.
// A copy is independent, so a worker can measure on its own copy and hand it back.
class TTextWidthCache
{
public:
    double Width(const QFont& font, const QString& text);

private:
    static constexpr int MaxFonts = 8;
    static constexpr qsizetype MaxTextsPerFont = 200000;
    QHash<QString, QHash<QString, double>> FWidths;  // by the font's key, then by text
};
