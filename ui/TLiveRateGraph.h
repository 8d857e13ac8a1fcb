#pragma once

#include "TTestProgress.h"

#include <QPointF>
#include <QString>
#include <QVector>
#include <QWidget>

class QPainter;

// The rate of the running test over time, drawn in the speed chart's style: one area
// over the time since the timer started, with a mark on the latest rate. It keeps the
// last test's curve until the next test starts.
class TLiveRateGraph : public QWidget
{
    Q_OBJECT
public:
    explicit TLiveRateGraph(QWidget* parent = nullptr);

    // A longer test has its older samples merged in pairs, so memory and drawing stay bounded.
    static constexpr int MaxSamples = 4096;

    // Clears the curve for a new test of target.
    void Start(const QString& target);
    void AddSample(const TTestProgress& progress);
    // The test ended; averageRate (KB/s, or a negative value for none) is drawn as a line.
    void Finish(double averageRate);

    bool Running() const { return FRunning; }
    QString Target() const { return FTarget; }
    // Seconds since the timer started and KB/s, in arrival order.
    const QVector<QPointF>& Samples() const { return FSamples; }
    const TTestProgress& Latest() const { return FLatest; }

    // Paints the graph into rect at that rectangle's size.
    void Draw(QPainter& painter, const QRect& rect) const;

    QSize sizeHint() const override { return {600, 140}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString FTarget;
    QVector<QPointF> FSamples;
    TTestProgress FLatest;
    bool FRunning = false;
    double FAverage = -1;
};
