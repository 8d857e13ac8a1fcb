#pragma once

#include "ResultRow.h"

#include <QColor>
#include <QHash>
#include <QLocale>
#include <QPointer>
#include <QRectF>
#include <QString>
#include <QVector>
#include <QWidget>

#include <memory>

class QPainter;
class TResultsTable;

// One bar of the chart: a result row's Order, its rate and its two-line label.
struct TChartPoint
{
    qint32 Order = 0;
    double Value = 0;
    QString Label;
};

// The speed chart (DBChart1): one pseudo-3D bar per result row in Order, coloured from an
// eleven-colour palette, labelled under the bar and in a mark above it. It neither zooms
// nor scrolls. It can paint itself into any rectangle at that rectangle's size, which the
// printed report uses.
class TResultsChart : public QWidget
{
    Q_OBJECT
public:
    explicit TResultsChart(QWidget* parent = nullptr);

    static QString Title() { return QStringLiteral("Korvane Results"); }
    static constexpr int PaletteSize = 11;
    // Bar i takes palette entry i mod 11.
    static QColor BarColor(int index);
    static constexpr double RightAxisMaximum = 200;
    static constexpr int MarkArrowLength = 8;
    static constexpr double BarWidthPercent = 70;
    static constexpr double DepthPercent = 15;

    // Binds the chart to a results table and loads its rows (nullptr: no bars).
    void SetTable(TResultsTable* table);
    // Reloads the bars by walking the table from its first row to its last, then returns
    // to the row that was current.
    void RefreshData();

    int PointCount() const { return static_cast<int>(FPoints.size()); }
    const QVector<TChartPoint>& Points() const { return FPoints; }

    // Paints the whole chart into rect, laid out for that rectangle's size.
    void Draw(QPainter& painter, const QRect& rect) const;
    // Where Draw puts the front face of each bar.
    QVector<QRectF> BarRects(const QRect& rect) const;
    // Where Draw puts each bar's mark. Marks that would overlap are lifted into staggered
    // rows, and narrow slots get a shorter text or a smaller font; none is left out.
    QVector<QRectF> MarkRects(const QRect& rect) const;

    // The text each mark shows, in bar order (what fits at rect's size).
    QVector<QStringList> MarkTexts(const QRect& rect) const;

    // Every request to scroll an axis is refused.
    void Chart1AllowScroll(QObject* Sender, double& AMin, double& AMax, bool& AllowScroll) const;

    QSize sizeHint() const override { return {600, 400}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct TLayout;
    TLayout Layout(const QRect& rect) const;
    // The layout for rect, worked out again only when the points, the font or the size
    // changed: measuring thousands of marks on every paint would slow the window.
    const TLayout& CachedLayout(const QRect& rect) const;

    struct TCachedLabel
    {
        TResultRow row;
        QLocale locale;
        QString text;
    };

    QPointer<TResultsTable> FTable;
    QVector<TChartPoint> FPoints;
    QHash<qint32, TCachedLabel> FLabelCache;  // by Order, from the last reload
    mutable std::shared_ptr<const TLayout> FLayoutCache;
    mutable QRect FLayoutCacheRect;
    mutable QFont FLayoutCacheFont;
};
