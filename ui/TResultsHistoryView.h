#pragma once

#include <QHash>
#include <QPointer>
#include <QPolygonF>
#include <QRect>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QLineF>
#include <QVector>
#include <QWidget>

class QAction;
class QPainter;
struct TResultRow;
class QTabWidget;
class QToolButton;
class TAppIniFileStorage;
class TResultsTable;

// Every valid stored result as a point at its start time and rate, one colour per series (a
// target with its port and direction), with the median of each day (or hour, when zoomed in)
// drawn only across the results it is the median of. The wheel zooms the
// time axis, dragging pans it, double-click shows everything again. It reads the table's
// rows directly, so it never moves the table's cursor.
class TResultsHistoryView : public QWidget
{
    Q_OBJECT
public:
    explicit TResultsHistoryView(QWidget* parent = nullptr);

    static QString Title() { return QStringLiteral("Korvane History"); }
    static QString TabCaption() { return QStringLiteral("Histor&y"); }
    static QString SettingsSection() { return QStringLiteral("History"); }

    // Binds the view to a results table and follows its posts and resets (nullptr: empty).
    void SetTable(TResultsTable* table);

    // The tab is off until the user turns it on, from the tab strip's context menu or the
    // action a menu shows (ShowTabAction).
    void AttachTo(QTabWidget* tabs);
    QAction* ShowTabAction() const { return FShowTab; }
    bool TabShown() const { return FTabShown; }
    void SetTabShown(bool shown);

    // State in its own settings section; nothing is written while the tab was never shown.
    void RestoreState(const TAppIniFileStorage& store);
    void SaveState(TAppIniFileStorage& store) const;

    // Series in order of first appearance; the chosen ones are drawn (empty choice: all). A
    // choice may also name a bare target, which picks all of its series.
    QStringList Targets() const { return FTargets; }
    // A row's series: "host:8081 (upload)"; a web page's URL carries its own port.
    static QString SeriesName(const TResultRow& row);
    QStringList ChosenTargets() const;
    void SetChosenTargets(const QStringList& targets);
    static QColor TargetColor(int targetIndex);

    // The visible time range as day counts; an empty range means everything.
    double ViewStart() const { return FViewStart; }
    double ViewEnd() const { return FViewEnd; }
    void SetView(double start, double end);
    void ShowAll();
    // Zooms by factor (below 1: in) around the time at widget x.
    void ZoomAt(double x, double factor);

    int PointCount() const { return int(FPoints.size()); }

    // Results below this share of their plan are shaded (0.8: 80 %); each series' plan is
    // drawn as a dashed line at its rate.
    double PlanShare() const { return FPlanShare; }
    void SetPlanShare(double share);
    // Where Draw puts the plan lines (one per run of results under the same plan) and the
    // centres of the shaded results.
    QVector<QLineF> PlanLines(const QRect& rect) const;
    QVector<QPointF> ShadedPositions(const QRect& rect) const;
    static constexpr int ShadeRadius = 5;

    // What Draw puts where, for rect: the plot area, the dots' centres, the time labels, the
    // rate labels and the median lines (one polyline per run of neighbouring buckets).
    QRectF PlotRect(const QRect& rect) const;
    QVector<QPointF> PointPositions(const QRect& rect) const;
    QStringList TimeLabels(const QRect& rect) const;
    QStringList RateLabels(const QRect& rect) const;
    QVector<QPolygonF> MedianLines(const QRect& rect) const;
    static constexpr int DotRadius = 2;  // dots are 5 x 5 pixels
    // The row under a widget position, as its tooltip names it; empty when none.
    QString ToolTipAt(const QPoint& pos) const;

    void Draw(QPainter& painter, const QRect& rect) const;

    QSize sizeHint() const override { return {600, 400}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct TPoint
    {
        double time;  // day count
        double rate;  // KB/s
        int row;
        int target;
        double plan;  // KB/s, 0 without a plan
        bool BelowShare(double share) const { return plan > 0 && rate < plan * share; }
    };
    struct TTick
    {
        double time;
        QString text;
    };
    struct TRateAxis
    {
        double maximum;  // KB/s
        double step;     // KB/s
        double unit;     // KB/s per shown unit
        QString unitText;
        int decimals;
        QString Text(double kbps) const;
    };
    TRateAxis RateAxis(double start, double end, double plotHeight) const;
    static bool Valid(double time, double rate);
    void Reload();
    void RowPosted(int index);
    void AddRow(int index);
    // Marks the target menu for refilling and updates the button's text.
    void RebuildTargetMenu();
    void FillTargetMenu();
    bool Chosen(int target) const;
    // The range drawn: the set view, or all points with a margin.
    void Range(double& start, double& end) const;
    double RateMaximum(double start, double end) const;
    QVector<TTick> Ticks(double start, double end, double width) const;
    // Median per bucket of bucketDays, per chosen series, within [start, end]: runs of
    // neighbouring buckets, each bucket's median from its first result's time to its last's.
    QVector<QVector<QVector<QPointF>>> Medians(double start, double end, double bucketDays) const;
    static double BucketDays(double start, double end);
    struct TMedianLine
    {
        int target;
        QPolygonF points;
    };
    QVector<TMedianLine> MedianPolylines(const QRect& rect) const;
    struct TPlanLine
    {
        int target;
        QLineF line;
    };
    QVector<TPlanLine> PlanRuns(const QRect& rect) const;

    QPointer<TResultsTable> FTable;
    QPointer<QTabWidget> FTabs;
    QVector<TPoint> FPoints;  // sorted by time
    QStringList FTargets;
    QStringList FTargetServers;  // each series' bare target
    QHash<QString, int> FTargetIndex;  // series name to its index in FTargets
    bool FTargetMenuStale = true;
    QSet<QString> FChosen;  // empty: all
    double FViewStart = 0;
    double FViewEnd = 0;
    bool FTabShown = false;
    bool FEverShown = false;
    QToolButton* FTargetButton = nullptr;
    QAction* FShowTab = nullptr;
    QPoint FDragFrom;
    double FDragStart = 0, FDragEnd = 0;
    bool FDragging = false;
    double FPlanShare = 0.8;
};
