#pragma once

#include "engine/run/TTestProgress.h"

#include <QPointF>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QWidget>

class QFontMetricsF;
class QPainter;

// The rate of the running test over time, drawn in the speed chart's style: one area
// over the time since the timer started, with a mark on the latest rate. It keeps the
// last test's curve until the next test starts. A session of both directions draws one
// curve per direction; with latency measured, the probes' round trips are a line on a
// second axis (ms) at the right.
class TLiveRateGraph : public QWidget
{
    Q_OBJECT
public:
    explicit TLiveRateGraph(QWidget* parent = nullptr);

    // A longer test has its older samples merged in pairs, so memory and drawing stay bounded.
    static constexpr int MaxSamples = 4096;

    // Clears the curve for a new test of target; with latency, the ms axis is drawn from the start.
    void Start(const QString& target, bool latency = false);
    void AddSample(const TTestProgress& progress);
    // The samples that follow make a curve of their own, named in a legend (a session's
    // next direction). Before any sample it names the first curve.
    void StartCurve(const QString& name);
    // A round trip measured beside the load, at seconds since the timer started.
    void AddLatency(double seconds, double ms);
    // The test ended; averageRate (KB/s, or a negative value for none) is drawn as a line,
    // and resultFigures replace the last interval's figures on the title line. Without them
    // the title says there is no result: the last interval's figures would read like one.
    void Finish(double averageRate, const QString& resultFigures = QString());

    bool Running() const { return FRunning; }
    QString Target() const { return FTarget; }
    // Seconds since the timer started and KB/s, in arrival order.
    const QVector<QPointF>& Samples() const { return FSamples; }
    const TTestProgress& Latest() const { return FLatest; }
    // Seconds and ms, in arrival order.
    const QVector<QPointF>& LatencySamples() const { return FLatency; }
    bool ShowsLatency() const { return FLatencyAxis; }
    // The curves' names in order; one unnamed curve for a plain test.
    QStringList CurveNames() const;
    // Which curve each sample belongs to (an index into CurveNames).
    const QVector<int>& SampleCurves() const { return FSampleCurve; }
    // What the title line shows on the right.
    QString Figures() const;
    // Whether the rate axis is logarithmic: curves whose peaks differ by more than
    // LogScaleRatio would leave the smaller one a line on the floor of a linear axis.
    bool LogScale() const;
    static constexpr double LogScaleRatio = 10;

    // Paints the graph into rect at that rectangle's size.
    void Draw(QPainter& painter, const QRect& rect) const;

    QSize sizeHint() const override { return {600, 140}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void DrawAverage(QPainter& painter, const QRectF& plot, double y) const;
    void DrawLegend(QPainter& painter, const QRectF& back, const QFontMetricsF& fm) const;

    QString FTarget;
    QVector<QPointF> FSamples;
    QVector<int> FSampleCurve;
    QStringList FCurveNames{QString()};
    QVector<QPointF> FLatency;
    TTestProgress FLatest;
    bool FRunning = false;
    bool FLatencyAxis = false;
    double FAverage = -1;
    QString FResultFigures;
    bool FFinished = false;
};
