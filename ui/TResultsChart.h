#pragma once

#include "storage/ResultRow.h"

#include "ui/TTextWidthCache.h"

#include <QColor>
#include <QHash>
#include <QImage>
#include <QLocale>
#include <QPalette>
#include <QPointer>
#include <QRectF>
#include <QString>
#include <QVector>
#include <QWidget>

#include <future>
#include <memory>

class QPainter;
class TResultsTable;

// One bar of the chart: a result row's Order, its rate and its two-line label.
struct TChartPoint
{
    qint32 Order = 0;
    double Value = 0;
    QString Label;
    QString ValueText;  // the rate as the shortest mark shows it
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
    ~TResultsChart() override;

    static QString Title() { return QStringLiteral("Korvane Results"); }
    static constexpr int PaletteSize = 11;
    // Bar i takes palette entry i mod 11.
    static QColor BarColor(int index);
    // The right axis: a fixed range with nothing plotted against it, so it is not labelled.
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
    // The lines under each bar, in bar order; empty for bars whose label is left out.
    QVector<QStringList> LabelTexts(const QRect& rect) const;

    // Every request to scroll an axis is refused.
    void Chart1AllowScroll(QObject* Sender, double& AMin, double& AMax, bool& AllowScroll) const;

    QSize sizeHint() const override { return {600, 400}; }

    // True while the picture on screen is not yet the one for the current points and size
    // (large charts are drawn by a worker).
    bool PictureOutdated() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct TLayout;
    // What a drawing depends on, copied so a worker can draw from it.
    struct TInput
    {
        QVector<TChartPoint> points;
        QFont font;
        QPalette palette;
    };
    TInput Input() const { return {FPoints, font(), palette()}; }
    static TLayout Layout(const TInput& input, const QRect& rect, TTextWidthCache& widths);
    static void Paint(QPainter& painter, const TLayout& l, const TInput& input);
    // The layout for rect, worked out again only when the points, the font or the size
    // changed: measuring thousands of marks on every paint would slow the window.
    std::shared_ptr<const TLayout> CachedLayout(const QRect& rect) const;

    // Charts of this many bars are drawn by a worker into a picture, so that a test's result
    // never holds up the window while thousands of bars and marks are drawn; until the new
    // picture is ready, the last one stands in.
    static constexpr int BackgroundDrawPoints = 1000;
    struct TPictureKey
    {
        quint64 generation = 0;
        QSize size;
        qreal pixelRatio = 1;
        QFont font;
        QPalette palette;
        bool operator==(const TPictureKey& other) const;
    };
    struct TPicture
    {
        QImage image;
        TPictureKey key;
        TTextWidthCache widths;
    };
    TPictureKey PictureKey() const;
    // False when no worker could be started.
    bool StartDrawingPicture();
    void PictureDrawn();

    struct TCachedLabel
    {
        TResultRow row;
        QLocale locale;
        QString text;
        QString valueText;
    };

    QPointer<TResultsTable> FTable;
    QVector<TChartPoint> FPoints;
    quint64 FGeneration = 0;  // counts reloads of the points
    QHash<qint32, TCachedLabel> FLabelCache;  // by Order, from the last reload
    mutable std::shared_ptr<const TLayout> FLayoutCache;
    mutable QRect FLayoutCacheRect;
    mutable QFont FLayoutCacheFont;
    mutable TTextWidthCache FTextWidths;
    TPicture FPicture;
    std::future<TPicture> FDrawing;
    TPictureKey FDrawingKey;
};
