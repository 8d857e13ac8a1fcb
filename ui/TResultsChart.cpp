#include "ui/TResultsChart.h"

#include "ui/ChartStyle.h"

#include "engine/ApplicationExceptionHandler.h"
#include "storage/ResultsTable.h"
#include "storage/XLabelText.h"

#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <system_error>

namespace {

const QColor Palette[TResultsChart::PaletteSize] = {
    {93, 165, 161}, {196, 83, 49},   {231, 150, 9},  {246, 232, 74},
    {177, 162, 167}, {201, 167, 132}, {140, 121, 81}, {216, 205, 183},
    {8, 101, 83},    {247, 216, 123}, {1, 100, 132},
};

using ChartStyle::GridLine;
using ChartStyle::MarkShadow;
using ChartStyle::NiceStep;

QStringList LabelLines(const TChartPoint& point, const QLocale& locale)
{
    if (point.Label.isEmpty())
        return {FormatLabelNumber(point.Value, locale)};
    QString text = point.Label;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text.split(QLatin1Char('\n'));
}

// Under a bar, a line too wide for its slot breaks after a " - " of its own rather than
// losing its end; at most maxLines lines, the last one elided if the text still needs more.
QStringList FittedLines(const QStringList& lines, const QFontMetricsF& fm, double room, int maxLines)
{
    QStringList out;
    for (const QString& line : lines) {
        if (fm.horizontalAdvance(line) <= room) {
            out << line;
            continue;
        }
        const QStringList parts = line.split(QStringLiteral(" - "));
        QString current;
        for (qsizetype k = 0; k < parts.size(); ++k) {
            const QString piece = parts[k] + (k + 1 < parts.size() ? QStringLiteral(" -") : QString());
            const QString joined = current.isEmpty() ? piece : current + QLatin1Char(' ') + piece;
            if (current.isEmpty() || fm.horizontalAdvance(joined) <= room) {
                current = joined;
            } else {
                out << current;
                current = piece;
            }
        }
        out << current;
    }
    if (out.size() > maxLines) {
        const QString rest = out.mid(maxLines - 1).join(QLatin1Char(' '));
        out = out.mid(0, maxLines - 1);
        out << rest;
    }
    for (QString& line : out)
        line = fm.elidedText(line, Qt::ElideRight, room);
    return out;
}

constexpr int MostLabelLines = 4;

// What a mark shows, from the most to the least complete. Narrow slots take a shorter
// text or a smaller font rather than losing marks.
enum class MarkText { Full, Brief, Value };

struct MarkStyle
{
    MarkText text;
    double scale;  // of the chart's font
    double cap;    // widest line, in pixels at scale 1
};

const MarkStyle MarkStyles[] = {
    {MarkText::Full, 1.0, 260},  {MarkText::Full, 0.85, 260}, {MarkText::Brief, 1.0, 160},
    {MarkText::Brief, 0.85, 160}, {MarkText::Value, 1.0, 1e9}, {MarkText::Value, 0.85, 1e9},
    {MarkText::Value, 0.7, 1e9},
};

constexpr double MarkGap = 4;  // between marks, room for the shadow included

QString ValueText(double value, const QLocale& locale)
{
    return FormatLabelNumber(value, locale) + QStringLiteral("KB/s");
}

QString PointValueText(const TChartPoint& point, const QLocale& locale)
{
    return point.ValueText.isEmpty() ? ValueText(point.Value, locale) : point.ValueText;
}

QStringList MarkLines(const TChartPoint& point, MarkText text, const QLocale& locale)
{
    if (text == MarkText::Value && !point.Label.isEmpty())
        return {PointValueText(point, locale)};
    const QStringList label = LabelLines(point, locale);
    if (text == MarkText::Full || point.Label.isEmpty())
        return label;
    return {label.first(), PointValueText(point, locale)};
}

QFont ScaledFont(const QFont& font, double scale)
{
    QFont scaled = font;
    if (scale != 1.0) {
        if (font.pointSizeF() > 0)
            scaled.setPointSizeF(font.pointSizeF() * scale);
        else if (font.pixelSize() > 0)
            scaled.setPixelSize(std::max(1, int(std::lround(font.pixelSize() * scale))));
    }
    return scaled;
}


}  // namespace

struct TResultsChart::TLayout
{
    QRectF area;
    QFont titleFont;
    QFont textFont;
    double lineHeight = 0;
    QRectF titleRect;
    QRectF plot;  // the front face of the plot box
    double depth = 0;
    double axisMin = 0;
    double axisMax = 100;
    double axisStep = 20;
    int axisDecimals = 0;
    double slot = 0;
    int labelEvery = 1;
    QVector<QRectF> bars;
    QVector<QStringList> labels;  // under the bars, wrapped to their slots
    QVector<QRectF> marks;
    QVector<QStringList> markLines;
    QFont markFont;
    double markLineHeight = 0;

    double Y(double value) const
    {
        const double span = axisMax - axisMin;
        return plot.bottom() - (span > 0 ? (value - axisMin) / span : 0) * plot.height();
    }
};

TResultsChart::~TResultsChart()
{
    if (FDrawing.valid())
        FDrawing.wait();
}

TResultsChart::TResultsChart(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("DBChart1"));
    setAutoFillBackground(false);
    setFocusPolicy(Qt::ClickFocus);
    setMinimumSize(200, 150);
}

QColor TResultsChart::BarColor(int index)
{
    const int entry = ((index % PaletteSize) + PaletteSize) % PaletteSize;
    return Palette[entry];
}

void TResultsChart::SetTable(TResultsTable* table)
{
    if (FTable)
        disconnect(FTable, nullptr, this, nullptr);
    FTable = table;
    if (FTable) {
        // Whenever the table is opened, closed or re-created, reload.
        connect(FTable, &TResultsTable::AfterReset, this,
                [this] { dispatchGuarded([this] { RefreshData(); }); });
    }
    RefreshData();
}

void TResultsChart::RefreshData()
{
    FLayoutCache.reset();
    ++FGeneration;
    FPoints.clear();
    if (!FTable || !FTable->Active()) {
        update();
        return;
    }
    const bool wasEnabled = updatesEnabled();
    setUpdatesEnabled(false);
    struct Restore {
        TResultsChart* chart;
        bool enabled;
        ~Restore() { chart->setUpdatesEnabled(enabled); chart->update(); }
    } restore{this, wasEnabled};

    TResultsTable* table = FTable;
    const qint32 bookmark = table->GetBookmark();
    // Every move lets the store see the row being left, which is how it learns its
    // largest speed; so walk with the cursor rather than reading rows directly.
    // A label costs a locale date and number format; rows do not change once posted, so
    // with years of results a reload after each test reuses the labels it already made.
    QHash<qint32, TCachedLabel> labels;
    labels.reserve(table->RecordCount());
    const QLocale locale;
    for (table->First(); !table->Eof(); table->Next()) {
        const TResultRow& row = table->CurrentRow();
        auto known = FLabelCache.find(row.Order);
        if (known == FLabelCache.end() || known->row != row || known->locale != locale)
            known = FLabelCache.insert(row.Order, {row, locale, XLabelText(row, locale),
                                                   ValueText(row.Result, locale)});
        FPoints.append({row.Order, row.Result, known->text, known->valueText});
        labels.insert(row.Order, *known);
    }
    FLabelCache.swap(labels);
    if (bookmark != 0)
        table->GotoBookmark(bookmark);
    std::stable_sort(FPoints.begin(), FPoints.end(),
                     [](const TChartPoint& a, const TChartPoint& b) { return a.Order < b.Order; });
}

TResultsChart::TLayout TResultsChart::Layout(const TInput& input, const QRect& rect, TTextWidthCache& widths)
{
    TLayout l;
    l.area = QRectF(rect);
    l.textFont = input.font;
    l.titleFont = input.font;
    l.titleFont.setBold(true);
    l.titleFont.setPointSizeF(l.textFont.pointSizeF() > 0 ? l.textFont.pointSizeF() * 1.25 : 11);
    const QFontMetricsF fm(l.textFont);
    const QFontMetricsF titleFm(l.titleFont);
    const QLocale locale;
    l.lineHeight = fm.height();

    l.titleRect = QRectF(l.area.left(), l.area.top() + 6, l.area.width(), titleFm.height());

    // Value range first from the data alone; refined once the plot height is known.
    double maxValue = 0;
    double minValue = 0;
    for (const TChartPoint& p : input.points) {
        if (std::isfinite(p.Value)) {
            maxValue = std::max(maxValue, p.Value);
            minValue = std::min(minValue, p.Value);
        }
    }
    if (input.points.isEmpty())
        maxValue = 100;
    else if (maxValue <= minValue)
        maxValue = minValue + 1;

    auto labelText = [&](double v) { return locale.toString(v, 'f', l.axisDecimals); };
    // The right axis keeps its fixed range but no series is plotted against it, so it
    // shows no numbers that would read as a scale of the bars.
    const double rightLabelWidth = 0;
    const int n = static_cast<int>(input.points.size());
    // Fewer readable labels rather than many cut to a few letters.
    const double minLabelWidth = fm.averageCharWidth() * 14;
    auto labelStep = [&](double slot) {
        int every = 1;
        while (slot * every < minLabelWidth && every < n)
            ++every;
        return every;
    };
    // Room under the plot for the labels as they wrap at a slightly narrower slot than the
    // plot will give them: two lines at least, as the labels have.
    int labelLines = 2;
    if (n > 0) {
        const double roughSlot =
            (l.area.width() - fm.horizontalAdvance(labelText(maxValue * 1.5)) - 24) * 0.9 / n;
        const int every = labelStep(roughSlot);
        for (int i = 0; i < n && labelLines < MostLabelLines; i += every)
            labelLines = std::max(labelLines, int(FittedLines(LabelLines(input.points[i], locale), fm,
                                                              roughSlot * every - 4, MostLabelLines)
                                                      .size()));
    }
    const double bottomSpace = labelLines * l.lineHeight + 10;

    // Each point's widest line per kind of mark text, measured once at the chart's font.
    double fullWidth = 0, briefWidth = 0, valueWidth = 0;
    int fullLines = 1;
    bool measured = false;
    auto measure = [&] {
        if (measured)
            return;
        measured = true;
        for (const TChartPoint& p : input.points) {
            const QStringList lines = LabelLines(p, locale);
            // A full mark wraps a line longer than its cap, as the labels under the bars do.
            const double fullCap = MarkStyles[0].cap;
            QStringList full = lines;
            if (std::any_of(lines.cbegin(), lines.cend(),
                            [&](const QString& line) { return widths.Width(l.textFont, line) > fullCap; }))
                full = FittedLines(lines, fm, fullCap, MostLabelLines);
            fullLines = std::max(fullLines, int(full.size()));
            for (const QString& line : full)
                fullWidth = std::max(fullWidth, widths.Width(l.textFont, line));
            const double value = widths.Width(l.textFont, PointValueText(p, locale));
            valueWidth = std::max(valueWidth, value);
            briefWidth = std::max(briefWidth, p.Label.isEmpty()
                                                  ? value
                                                  : std::max(value, widths.Width(l.textFont, lines.first())));
        }
    };
    // The first style whose marks fit in staggered rows above the bars; the last one
    // otherwise, whose marks then may touch.
    MarkStyle style = MarkStyles[std::size(MarkStyles) - 1];
    int markRows = 1;
    double markHeight = 0;
    bool marksFit = true;
    auto chooseMarks = [&](double slot, double plotHeight) {
        marksFit = true;
        const double budget = std::max(plotHeight * 0.45, 0.0);
        // Thousands of bars: not even the shortest rate fits, so measuring every label
        // would only slow the window down.
        const MarkStyle& smallest = MarkStyles[std::size(MarkStyles) - 1];
        const QFontMetricsF smallFm(ScaledFont(l.textFont, smallest.scale));
        const double shortest = smallFm.horizontalAdvance(ValueText(0, locale)) + 8;
        const int leastRows = slot > 0 ? int(std::ceil((shortest + MarkGap) / slot)) : 1;
        if (leastRows * (smallFm.height() + 4 + MarkGap) > budget) {
            style = smallest;
            markHeight = smallFm.height() + 4;
            marksFit = false;
            markRows = std::max(1, int(budget / (markHeight + MarkGap)));
            return;
        }
        measure();
        for (const MarkStyle& candidate : MarkStyles) {
            const double widest = candidate.text == MarkText::Full    ? fullWidth
                                  : candidate.text == MarkText::Brief ? briefWidth
                                                                      : valueWidth;
            const int lines = candidate.text == MarkText::Full ? fullLines
                              : candidate.text == MarkText::Brief ? 2 : 1;
            const double lineHeight = QFontMetricsF(ScaledFont(l.textFont, candidate.scale)).height();
            const double box = std::min(widest, candidate.cap) * candidate.scale + 8;
            const double height = lines * lineHeight + 4;
            const int rows = slot > 0 ? std::max(1, int(std::ceil((box + MarkGap) / slot))) : 1;
            style = candidate;
            markHeight = height;
            markRows = rows;
            if (rows * (height + MarkGap) <= budget)
                return;
        }
        // Nothing fits: as many rows as there is room for, taken in turn.
        marksFit = false;
        markRows = std::max(1, std::min(markRows, int(budget / (markHeight + MarkGap))));
    };

    double leftLabelWidth = fm.horizontalAdvance(labelText(maxValue * 1.5));
    for (int pass = 0; pass < 2; ++pass) {
        const double outerLeft = l.area.left() + leftLabelWidth + 12;
        const double outerTop = l.titleRect.bottom() + 10;
        const double outerBottom = l.area.bottom() - bottomSpace;
        const double roughWidth = l.area.right() - rightLabelWidth - 12 - outerLeft;
        const double roughHeight = outerBottom - outerTop;
        l.depth = std::max(0.0, std::round(std::min(roughWidth, roughHeight) * DepthPercent / 100 / 2));
        l.plot = QRectF(QPointF(outerLeft, outerTop + l.depth),
                        QPointF(l.area.right() - rightLabelWidth - 12 - l.depth, outerBottom));
        if (l.plot.width() < 10 || l.plot.height() < 10)
            break;
        chooseMarks(n > 0 ? l.plot.width() / n : l.plot.width(), l.plot.height());
        const double markSpace = markRows * (markHeight + MarkGap) + MarkArrowLength + 6;
        // Leave room above the tallest bar for its marks.
        const double usable = std::max(l.plot.height() - markSpace - l.depth / 2, l.plot.height() * 0.4);
        const double wanted = input.points.isEmpty() ? maxValue : maxValue * l.plot.height() / usable;
        l.axisMin = minValue;
        l.axisStep = NiceStep((wanted - minValue) / 5);
        l.axisMin = std::floor(minValue / l.axisStep) * l.axisStep;
        l.axisMax = std::ceil(wanted / l.axisStep) * l.axisStep;
        l.axisDecimals = l.axisStep < 1 ? int(std::ceil(-std::log10(l.axisStep))) : 0;
        leftLabelWidth = std::max(fm.horizontalAdvance(labelText(l.axisMax)),
                                  fm.horizontalAdvance(labelText(l.axisMin)));
    }

    l.slot = n > 0 ? l.plot.width() / n : l.plot.width();
    l.labelEvery = labelStep(l.slot);

    l.markFont = ScaledFont(l.textFont, style.scale);
    const QFontMetricsF markFm(l.markFont);
    l.markLineHeight = markFm.height();
    const double markCap = style.cap * style.scale;
    const bool stagger = marksFit && l.plot.width() >= 10 && l.plot.height() >= 10;
    // Marks placed so far whose right edge may still reach the next one.
    QVector<int> recent;
    for (int i = 0; i < n; ++i) {
        const TChartPoint& p = input.points[i];
        const double centre = l.plot.left() + l.slot * (i + 0.5);
        const double width = l.slot * BarWidthPercent / 100;
        const double value = std::isfinite(p.Value) ? p.Value : 0;
        const double y0 = l.Y(std::max(l.axisMin, 0.0));
        const double y1 = l.Y(value);
        l.bars.append(QRectF(QPointF(centre - width / 2, std::min(y0, y1)),
                             QPointF(centre + width / 2, std::max(y0, y1))));

        QStringList under;
        if (i % l.labelEvery == 0) {
            under = FittedLines(LabelLines(p, locale), fm, l.slot * l.labelEvery - 4, labelLines);
        }
        l.labels.append(under);

        // Every bar gets its mark: one that would overlap a mark already placed goes up
        // above it, on a longer arrow.
        QStringList markText = MarkLines(p, style.text, locale);
        if (style.text == MarkText::Full
            && std::any_of(markText.cbegin(), markText.cend(),
                           [&](const QString& line) { return widths.Width(l.markFont, line) > markCap; }))
            markText = FittedLines(markText, markFm, markCap, MostLabelLines);
        double textWidth = 0;
        QStringList shown;
        for (const QString& line : markText) {
            const double width = widths.Width(l.markFont, line);
            if (width <= markCap) {
                textWidth = std::max(textWidth, width);
                shown.append(line);
                continue;
            }
            const QString fitted = markFm.elidedText(line, Qt::ElideRight, markCap);
            textWidth = std::max(textWidth, widths.Width(l.markFont, fitted));
            shown.append(fitted);
        }
        const double boxWidth = std::ceil(textWidth) + 8;
        const double boxHeight = shown.size() * l.markLineHeight + 4;
        const double topOfBar = l.bars.last().top() - l.depth / 2;
        double left = centre + l.depth / 2 - boxWidth / 2;
        // Inside the walls, clear of both axes' labels.
        const double leftmost = l.plot.left() + 2;
        left = std::clamp(left, leftmost, std::max(leftmost, l.plot.right() + l.depth - boxWidth - 2));
        QRectF box(left, topOfBar - MarkArrowLength - boxHeight, boxWidth, boxHeight);
        // Too many bars for marks that never touch (thousands in a window): the rows in
        // turn, each mark still shown.
        if (!marksFit)
            box.translate(0, -(i % markRows) * (boxHeight + MarkGap));

        if (stagger) {
            recent.erase(std::remove_if(recent.begin(), recent.end(),
                                        [&](int j) { return l.marks[j].right() + MarkGap <= box.left(); }),
                         recent.end());
            // The lowest place above the bar that meets no mark already placed: right
            // above the bar, or just above one of the marks in reach. Taking the lowest keeps
            // marks of equal bars in a few rows instead of a rising staircase.
            auto meets = [&](const QRectF& candidate) {
                const QRectF padded = candidate.adjusted(-MarkGap / 2, -MarkGap / 2, MarkGap / 2, MarkGap / 2);
                return std::any_of(recent.begin(), recent.end(), [&](int j) {
                    return l.marks[j].adjusted(-MarkGap / 2, -MarkGap / 2, MarkGap / 2, MarkGap / 2).intersects(padded);
                });
            };
            if (meets(box)) {
                QVector<double> bottoms;
                for (int j : std::as_const(recent)) {
                    const double bottom = l.marks[j].top() - MarkGap;
                    if (bottom < box.bottom())
                        bottoms.append(bottom);
                }
                std::sort(bottoms.begin(), bottoms.end(), std::greater<double>());
                // The last one is above every mark in reach, so one always fits.
                for (double bottom : std::as_const(bottoms)) {
                    QRectF lifted = box;
                    lifted.moveBottom(bottom);
                    if (!meets(lifted) || bottom == bottoms.last()) {
                        box = lifted;
                        break;
                    }
                }
            }
            recent.append(i);
        }
        // Only when nothing fits do marks reach the title; they still show.
        if (box.top() < l.area.top())
            box.moveTop(l.area.top());
        l.marks.append(box);
        l.markLines.append(shown);
    }

    return l;
}

std::shared_ptr<const TResultsChart::TLayout> TResultsChart::CachedLayout(const QRect& rect) const
{
    if (!FLayoutCache || FLayoutCacheRect != rect || FLayoutCacheFont != font()) {
        FLayoutCache = std::make_shared<const TLayout>(Layout(Input(), rect, FTextWidths));
        FLayoutCacheRect = rect;
        FLayoutCacheFont = font();
    }
    return FLayoutCache;
}

QVector<QRectF> TResultsChart::BarRects(const QRect& rect) const
{
    return CachedLayout(rect)->bars;
}

QVector<QRectF> TResultsChart::MarkRects(const QRect& rect) const
{
    return CachedLayout(rect)->marks;
}

QVector<QStringList> TResultsChart::MarkTexts(const QRect& rect) const
{
    return CachedLayout(rect)->markLines;
}

QVector<QStringList> TResultsChart::LabelTexts(const QRect& rect) const
{
    return CachedLayout(rect)->labels;
}

void TResultsChart::Draw(QPainter& painter, const QRect& rect) const
{
    Paint(painter, *CachedLayout(rect), Input());
}

void TResultsChart::Paint(QPainter& painter, const TLayout& l, const TInput& input)
{
    const QLocale locale;
    const QPalette& pal = input.palette;

    painter.save();
    painter.setClipRect(l.area);
    painter.setRenderHint(QPainter::Antialiasing, false);

    // Panel and title.
    ChartStyle::FillPanel(painter, l.area);
    painter.setFont(l.titleFont);
    painter.setPen(QColor(0, 0, 128));
    painter.drawText(l.titleRect, Qt::AlignHCenter | Qt::AlignTop, Title());

    if (l.plot.width() < 10 || l.plot.height() < 10) {
        painter.restore();
        return;
    }

    const double d = l.depth;
    const QRectF& p = l.plot;
    const QRectF back = p.translated(d, -d);

    ChartStyle::DrawWalls(painter, p, d);

    // Left axis: grid lines on the walls, labels at the front.
    painter.setFont(l.textFont);
    const QFontMetricsF fm(l.textFont, painter.device());
    const int steps = l.axisStep > 0 ? int(std::round((l.axisMax - l.axisMin) / l.axisStep)) : 0;
    for (int s = 0; s <= steps && s <= 1000; ++s) {
        const double v = l.axisMin + s * l.axisStep;
        const double y = l.Y(v);
        painter.setPen(QPen(GridLine, 0, Qt::DotLine));
        if (s > 0) {
            painter.drawLine(QPointF(back.left(), y - d), QPointF(back.right(), y - d));
            painter.drawLine(QPointF(p.left(), y), QPointF(back.left(), y - d));
        }
        painter.setPen(pal.color(QPalette::WindowText));
        painter.drawLine(QPointF(p.left() - 4, y), QPointF(p.left(), y));
        if (!input.points.isEmpty()) {
            const QString text = locale.toString(v, 'f', l.axisDecimals);
            painter.drawText(QRectF(l.area.left(), y - l.lineHeight / 2, p.left() - 6 - l.area.left(),
                                    l.lineHeight),
                             Qt::AlignRight | Qt::AlignVCenter, text);
        }
    }
    painter.setPen(pal.color(QPalette::WindowText));
    painter.drawLine(p.topLeft(), p.bottomLeft());
    painter.drawLine(p.bottomLeft(), p.bottomRight());

    painter.drawLine(back.topRight(), back.bottomRight());

    // Bars, left to right so each covers the side of the one before. Pens and brushes are
    // made once per palette entry: thousands of bars would otherwise spend more time on
    // colour conversions than on pixels.
    struct Shades { QPen edge; QBrush side, top, front; };
    Shades shades[PaletteSize];
    for (int c = 0; c < PaletteSize; ++c) {
        const QColor colour = BarColor(c);
        shades[c] = {QPen(colour.darker(160)), colour.darker(125), colour.lighter(118), colour};
    }
    const QPointF shift(d, -d);
    for (int i = 0; i < l.bars.size(); ++i) {
        const QRectF& bar = l.bars[i];
        if (bar.width() <= 0)
            continue;
        const Shades& shade = shades[i % PaletteSize];
        painter.setPen(shade.edge);
        painter.setBrush(shade.side);
        const QPointF side[] = {bar.topRight(), bar.topRight() + shift, bar.bottomRight() + shift, bar.bottomRight()};
        painter.drawPolygon(side, 4);
        painter.setBrush(shade.top);
        const QPointF top[] = {bar.topLeft(), bar.topLeft() + shift, bar.topRight() + shift, bar.topRight()};
        painter.drawPolygon(top, 4);
        painter.setBrush(shade.front);
        painter.drawRect(bar);
    }

    // Labels under the bars.
    painter.setPen(pal.color(QPalette::WindowText));
    for (int i = 0; i < l.labels.size(); ++i) {
        const double centre = l.plot.left() + l.slot * (i + 0.5);
        const double room = l.slot * l.labelEvery;
        double y = p.bottom() + 4;
        for (const QString& line : l.labels[i]) {
            painter.drawText(QRectF(centre - room / 2, y, room, l.lineHeight), Qt::AlignHCenter | Qt::AlignTop,
                             line);
            y += l.lineHeight;
        }
    }

    // Marks: tooltip-coloured boxes with a grey shadow, joined to the bar by an arrow.
    const QColor markBack = pal.color(QPalette::ToolTipBase);
    const QColor markText = pal.color(QPalette::ToolTipText);
    // Arrows first, so no arrow of a lifted mark crosses the text of another.
    painter.setPen(QPen(pal.color(QPalette::WindowText), 1));
    for (int i = 0; i < l.marks.size(); ++i) {
        const QRectF& bar = l.bars[i];
        const QPointF foot(bar.center().x() + d / 2, bar.top() - d / 2);
        painter.drawLine(foot, QPointF(foot.x(), l.marks[i].bottom()));
    }
    painter.setFont(l.markFont);
    for (int i = 0; i < l.marks.size(); ++i) {
        const QRectF& box = l.marks[i];
        painter.fillRect(box.translated(2, 2), MarkShadow);
        painter.setBrush(markBack);
        painter.setPen(QColor(0, 0, 0));
        painter.drawRect(box);
        painter.setPen(markText);
        double y = box.top() + 2;
        for (const QString& line : l.markLines[i]) {
            painter.drawText(QRectF(box.left() + 4, y, box.width() - 8, l.markLineHeight),
                             Qt::AlignHCenter | Qt::AlignTop, line);
            y += l.markLineHeight;
        }
    }
    painter.restore();
}

void TResultsChart::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (FPoints.size() < BackgroundDrawPoints) {
        Draw(painter, rect());
        return;
    }
    if (!(FPicture.key == PictureKey()) && !StartDrawingPicture()) {
        Draw(painter, rect());  // no worker to be had: drawn here, as small charts are
        return;
    }
    if (!FPicture.image.isNull()) {
        // The last picture, stretched to the size if that changed, until the new one is in.
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRectF(rect()), FPicture.image);
    } else {
        ChartStyle::FillPanel(painter, rect());
    }
}

bool TResultsChart::TPictureKey::operator==(const TPictureKey& other) const
{
    return generation == other.generation && size == other.size && pixelRatio == other.pixelRatio
           && font == other.font && palette == other.palette;
}

TResultsChart::TPictureKey TResultsChart::PictureKey() const
{
    return {FGeneration, size(), devicePixelRatioF(), font(), palette()};
}

bool TResultsChart::PictureOutdated() const
{
    return FPoints.size() >= BackgroundDrawPoints && !(FPicture.key == PictureKey());
}

bool TResultsChart::StartDrawingPicture()
{
    // One drawing at a time; when it is in, the next paint starts one for whatever changed
    // meanwhile.
    if (FDrawing.valid())
        return true;
    const TPictureKey key = PictureKey();
    auto draw = [this, key, input = Input(), widths = FTextWidths]() mutable {
        TPicture picture{QImage(key.size * key.pixelRatio, QImage::Format_RGB32), key, widths};
        picture.image.setDevicePixelRatio(key.pixelRatio);
        picture.image.fill(Qt::white);
        {
            const QRect rect(QPoint(0, 0), key.size);
            QPainter painter(&picture.image);
            Paint(painter, Layout(input, rect, picture.widths), input);
        }
        // Delivered through the event queue; the destructor waits for this thread, so the
        // chart is still there to receive it.
        QMetaObject::invokeMethod(this, &TResultsChart::PictureDrawn, Qt::QueuedConnection);
        return picture;
    };
    try {
        FDrawing = std::async(std::launch::async, std::move(draw));
    } catch (const std::system_error&) {
        return false;
    }
    FDrawingKey = key;
    return true;
}

void TResultsChart::PictureDrawn()
{
    if (!FDrawing.valid())
        return;
    try {
        FPicture = FDrawing.get();
        FTextWidths = FPicture.widths;
    } catch (const std::exception&) {
        // Out of memory for the picture: the last one stays, and no new try until
        // something changes.
        FPicture.key = FDrawingKey;
    }
    update();
}

void TResultsChart::Chart1AllowScroll(QObject*, double&, double&, bool& AllowScroll) const
{
    AllowScroll = false;
}

void TResultsChart::wheelEvent(QWheelEvent* event)
{
    double from = 0;
    double to = 0;
    bool allow = true;
    Chart1AllowScroll(this, from, to, allow);
    event->accept();  // refused: nothing moves
}

void TResultsChart::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
        double from = 0;
        double to = 0;
        bool allow = true;
        Chart1AllowScroll(this, from, to, allow);
        event->accept();
        return;
    }
    default:
        QWidget::keyPressEvent(event);
    }
}
