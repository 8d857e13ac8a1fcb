#include "ui/TLiveRateGraph.h"

#include "ui/ChartStyle.h"

#include "engine/NumberFormat.h"
#include "engine/run/ProgressText.h"
#include "ui/TResultsChart.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <algorithm>
#include <cmath>

namespace {

using ChartStyle::GridLine;
using ChartStyle::MarkShadow;
const QColor TitleColour(0, 0, 128);

using ChartStyle::NiceStep;

// The latency line: the chart's second colour, which stands apart from the rate areas.
const QColor LatencyColour = TResultsChart::BarColor(1);

// The rate area of each curve: the first in the chart's first bar colour, as always.
QColor CurveColour(int curve)
{
    return TResultsChart::BarColor(curve == 0 ? 0 : curve + 1);
}

// Merges neighbours in pairs, never across a change of group, so memory stays bounded while
// each curve keeps its own points.
void MergePairs(QVector<QPointF>& points, QVector<int>* groups)
{
    QVector<QPointF> merged;
    QVector<int> mergedGroups;
    merged.reserve(points.size() / 2 + 2);
    qsizetype i = 0;
    while (i < points.size()) {
        const bool pair = i + 1 < points.size() && (!groups || (*groups)[i] == (*groups)[i + 1]);
        if (pair) {
            merged.append(QPointF(points[i + 1].x(), (points[i].y() + points[i + 1].y()) / 2));
            i += 2;
        } else {
            merged.append(points[i]);
            i += 1;
        }
        if (groups)
            mergedGroups.append((*groups)[i - 1]);
    }
    points = std::move(merged);
    if (groups)
        *groups = std::move(mergedGroups);
}

// The peak rate of each curve, in curve order.
QVector<double> CurvePeaks(const QVector<QPointF>& samples, const QVector<int>& curves)
{
    QVector<double> peaks;
    for (qsizetype i = 0; i < samples.size(); ++i) {
        const int curve = curves[i];
        if (peaks.size() <= curve)
            peaks.resize(curve + 1, 0.0);
        peaks[curve] = std::max(peaks[curve], samples[i].y());
    }
    return peaks;
}

// The ticks of a logarithmic rate axis in KB/s: 1, 10 and 100 of each unit, so every label
// is a round number of KB/s, MB/s or GB/s.
double LogTickAbove(double kbps)
{
    const double unit = kbps >= 1024.0 * 1024 ? 1024.0 * 1024 : kbps >= 1024 ? 1024 : 1;
    const double inUnit = kbps / unit;
    for (double step : {1.0, 10.0, 100.0})
        if (inUnit <= step * (1 + 1e-9))
            return step * unit;
    return unit * 1024;
}

double LogTickBelow(double kbps)
{
    double tick = 1;
    for (double next = LogTickAbove(1.5); next <= kbps && tick < 1e15; next = LogTickAbove(next * 1.5))
        tick = next;
    return tick;
}

QString LogTickText(double kbps)
{
    if (kbps >= 1024.0 * 1024)
        return QString::number(kbps / 1024 / 1024) + QStringLiteral(" GB/s");
    if (kbps >= 1024)
        return QString::number(kbps / 1024) + QStringLiteral(" MB/s");
    return QString::number(kbps) + QStringLiteral(" KB/s");
}

}  // namespace

TLiveRateGraph::TLiveRateGraph(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("LiveRateGraph1"));
    setMinimumSize(200, 90);
}

void TLiveRateGraph::Start(const QString& target, bool latency)
{
    FTarget = target;
    FSamples.clear();
    FSampleCurve.clear();
    FCurveNames = QStringList{QString()};
    FLatency.clear();
    FLatest = TTestProgress();
    FRunning = true;
    FLatencyAxis = latency;
    FAverage = -1;
    FResultFigures.clear();
    FFinished = false;
    update();
}

void TLiveRateGraph::AddSample(const TTestProgress& progress)
{
    if (!FRunning)
        return;
    // A restarted timer (a redirect to another server) starts the curve again.
    if (!FSamples.isEmpty() && progress.ElapsedUs / 1e6 < FSamples.last().x()) {
        FSamples.clear();
        FSampleCurve.clear();
        FLatency.clear();
    }
    FLatest = progress;
    FSamples.append(QPointF(progress.ElapsedUs / 1e6, std::max(progress.IntervalRate, 0.0)));
    FSampleCurve.append(int(FCurveNames.size()) - 1);
    if (FSamples.size() > MaxSamples)
        MergePairs(FSamples, &FSampleCurve);
    update();
}

void TLiveRateGraph::StartCurve(const QString& name)
{
    if (!FRunning)
        return;
    const bool curveHasSamples = !FSampleCurve.isEmpty() && FSampleCurve.last() == FCurveNames.size() - 1;
    if (curveHasSamples)
        FCurveNames.append(name);
    else
        FCurveNames.last() = name;
    update();
}

void TLiveRateGraph::AddLatency(double seconds, double ms)
{
    if (!FRunning || !(ms >= 0) || !std::isfinite(ms))
        return;
    FLatencyAxis = true;
    FLatency.append(QPointF(seconds, ms));
    if (FLatency.size() > MaxSamples)
        MergePairs(FLatency, nullptr);
    update();
}

void TLiveRateGraph::Finish(double averageRate, const QString& resultFigures)
{
    FRunning = false;
    FFinished = true;
    FAverage = averageRate;
    FResultFigures = resultFigures;
    update();
}

bool TLiveRateGraph::LogScale() const
{
    const QVector<double> peaks = CurvePeaks(FSamples, FSampleCurve);
    if (peaks.size() < 2)
        return false;
    const auto [low, high] = std::minmax_element(peaks.begin(), peaks.end());
    return *low > 0 && *high / *low > LogScaleRatio;
}

QStringList TLiveRateGraph::CurveNames() const
{
    return FCurveNames;
}

QString TLiveRateGraph::Figures() const
{
    if (!FRunning && !FResultFigures.isEmpty())
        return FResultFigures;
    if (FFinished && FAverage < 0)
        return QStringLiteral("no result");
    if (FSamples.isEmpty())
        return {};
    QString figures = ProgressText::Figures(FLatest);
    if (FLatencyAxis && !FLatency.isEmpty())
        figures += QStringLiteral("   latency ") + NumberFormat::twoDecimals(FLatency.last().y()) + QStringLiteral(" ms");
    return figures;
}

void TLiveRateGraph::Draw(QPainter& painter, const QRect& rect) const
{
    const QRectF area(rect);
    const QPalette pal = palette();
    const QLocale locale;
    QFont textFont = font();
    QFont titleFont = font();
    titleFont.setBold(true);
    const QFontMetricsF fm(textFont, painter.device());
    const QFontMetricsF titleFm(titleFont, painter.device());
    const double lineHeight = fm.height();

    painter.save();
    painter.setClipRect(rect);
    painter.setRenderHint(QPainter::Antialiasing, false);

    ChartStyle::FillPanel(painter, area);

    // Title on the left, the latest figures on the right of the same line.
    const QRectF titleRect(area.left() + 8, area.top() + 3, area.width() - 16, titleFm.height());
    QString title = QStringLiteral("Live Rate");
    if (!FTarget.isEmpty())
        title += QStringLiteral(" - ") + FTarget;
    const QString figures = Figures();
    const double figuresWidth = fm.horizontalAdvance(figures);
    painter.setFont(titleFont);
    painter.setPen(TitleColour);
    painter.drawText(titleRect.adjusted(0, 0, -figuresWidth - 16, 0), Qt::AlignLeft | Qt::AlignVCenter,
                     titleFm.elidedText(title, Qt::ElideRight, std::max(0.0, titleRect.width() - figuresWidth - 16)));
    painter.setFont(textFont);
    painter.setPen(pal.color(QPalette::WindowText));
    painter.drawText(titleRect, Qt::AlignRight | Qt::AlignVCenter, figures);

    // Axis ranges: time from 0, growing in nice steps; rate from 0 with room for the mark.
    double maxTime = 0;
    double maxRate = 0;
    for (const QPointF& s : FSamples) {
        maxTime = std::max(maxTime, s.x());
        maxRate = std::max(maxRate, s.y());
    }
    maxRate = std::max(maxRate, FAverage);
    // One unit for the whole axis, from the largest value.
    double unit = 1;
    QString unitText = QStringLiteral("KB/s");
    if (maxRate >= 1024.0 * 1024) {
        unit = 1024.0 * 1024;
        unitText = QStringLiteral("GB/s");
    } else if (maxRate >= 1024) {
        unit = 1024;
        unitText = QStringLiteral("MB/s");
    }
    // Room above the highest rate for the mark; a test that has seen nothing yet gets 0 to 4.
    const double rateTop = maxRate > 0 ? maxRate * 1.25 / unit : 4;
    const double rateStep = NiceStep(rateTop / 4);
    const double rateMax = std::max(std::ceil(rateTop / rateStep) * rateStep, rateStep);
    const int rateDecimals = rateStep < 1 ? int(std::ceil(-std::log10(rateStep))) : 0;
    // A logarithmic axis runs from a tick a decade below the smallest curve's peak, so that
    // curve stands at least a decade tall, to the tick above the highest rate.
    const bool logScale = LogScale();
    double logLow = 1;
    double logHigh = 10;
    QStringList logTicks;
    if (logScale) {
        const QVector<double> peaks = CurvePeaks(FSamples, FSampleCurve);
        logLow = LogTickBelow(*std::min_element(peaks.begin(), peaks.end()) / 10);
        logHigh = LogTickAbove(maxRate * 1.25);
        unitText = QStringLiteral("log");
        for (double t = logLow; t <= logHigh * (1 + 1e-9); t = LogTickAbove(t * 1.5))
            logTicks << LogTickText(t);
    }
    const double timeStep = NiceStep(std::max(maxTime, 5.0) / 8);
    const double timeMax = std::max(std::ceil(maxTime / timeStep) * timeStep, timeStep);

    // The latency axis, when latency is measured: ms from 0, with room above the highest.
    double msMax = 0;
    double msStep = 1;
    int msDecimals = 0;
    double rightLabels = 0;
    if (FLatencyAxis) {
        double maxMs = 0;
        for (const QPointF& l : FLatency)
            maxMs = std::max(maxMs, l.y());
        const double msTop = maxMs > 0 ? maxMs * 1.25 : 4;
        msStep = NiceStep(msTop / 4);
        msMax = std::max(std::ceil(msTop / msStep) * msStep, msStep);
        msDecimals = msStep < 1 ? int(std::ceil(-std::log10(msStep))) : 0;
        rightLabels = std::max(fm.horizontalAdvance(locale.toString(msMax, 'f', msDecimals)),
                               fm.horizontalAdvance(QStringLiteral("ms")));
    }

    double leftLabels = std::max(fm.horizontalAdvance(locale.toString(rateMax, 'f', rateDecimals)),
                                 fm.horizontalAdvance(unitText));
    for (const QString& tick : std::as_const(logTicks))
        leftLabels = std::max(leftLabels, fm.horizontalAdvance(tick));
    const double outerTop = titleRect.bottom() + 6;
    const double outerBottom = area.bottom() - lineHeight - 6;
    const double outerLeft = area.left() + 8 + leftLabels + 6;
    const double outerRight = FLatencyAxis ? area.right() - 8 - rightLabels - 6
                                           : area.right() - 10 - fm.horizontalAdvance(QStringLiteral("000 s")) / 2;
    const double depth = std::max(0.0, std::round(std::min(outerRight - outerLeft, outerBottom - outerTop)
                                                  * TResultsChart::DepthPercent / 100 / 2));
    const QRectF p(QPointF(outerLeft, outerTop + depth), QPointF(outerRight - depth, outerBottom));
    if (p.width() < 20 || p.height() < 20) {
        painter.restore();
        return;
    }
    const QRectF back = p.translated(depth, -depth);
    auto x = [&](double t) { return p.left() + t / timeMax * p.width(); };
    const double logSpan = std::log10(logHigh / logLow);
    auto y = [&](double rate) {
        if (logScale)
            return p.bottom() - std::clamp(std::log10(std::max(rate, logLow) / logLow) / logSpan, 0.0, 1.0) * p.height();
        return p.bottom() - rate / unit / rateMax * p.height();
    };

    ChartStyle::DrawWalls(painter, p, depth);

    // Rate axis.
    const auto rateTick = [&](double yy, bool gridLine, const QString& text) {
        if (gridLine) {
            painter.setPen(QPen(GridLine, 0, Qt::DotLine));
            painter.drawLine(QPointF(back.left(), yy - depth), QPointF(back.right(), yy - depth));
            painter.drawLine(QPointF(p.left(), yy), QPointF(back.left(), yy - depth));
        }
        painter.setPen(pal.color(QPalette::WindowText));
        painter.drawLine(QPointF(p.left() - 4, yy), QPointF(p.left(), yy));
        if (yy - lineHeight > outerTop || yy > p.top() + 1)
            painter.drawText(QRectF(area.left(), yy - lineHeight / 2, p.left() - 6 - area.left(), lineHeight),
                             Qt::AlignRight | Qt::AlignVCenter, text);
    };
    if (logScale) {
        int i = 0;
        for (double t = logLow; t <= logHigh * (1 + 1e-9) && i < logTicks.size(); t = LogTickAbove(t * 1.5), ++i)
            rateTick(y(t), i > 0, logTicks[i]);
    } else {
        const int rateSteps = int(std::round(rateMax / rateStep));
        for (int s = 0; s <= rateSteps && s <= 100; ++s) {
            const double v = s * rateStep;
            rateTick(p.bottom() - v / rateMax * p.height(), s > 0, locale.toString(v, 'f', rateDecimals));
        }
    }
    painter.drawText(QRectF(area.left(), outerTop - lineHeight / 2, p.left() - 6 - area.left(), lineHeight),
                     Qt::AlignRight | Qt::AlignVCenter, unitText);
    // Time axis.
    const int timeSteps = int(std::round(timeMax / timeStep));
    const int labelEvery = std::max(1, int(std::ceil(fm.horizontalAdvance(QStringLiteral("0000 s")) * timeSteps / p.width())));
    for (int s = 0; s <= timeSteps && s <= 1000; ++s) {
        const double t = s * timeStep;
        const double xx = x(t);
        painter.drawLine(QPointF(xx, p.bottom()), QPointF(xx, p.bottom() + 3));
        if (s % labelEvery == 0) {
            const QString text = locale.toString(t, 'f', timeStep < 1 ? 1 : 0) + QStringLiteral(" s");
            painter.drawText(QRectF(xx - 40, p.bottom() + 3, 80, lineHeight), Qt::AlignHCenter | Qt::AlignTop, text);
        }
    }
    painter.drawLine(p.topLeft(), p.bottomLeft());
    painter.drawLine(p.bottomLeft(), p.bottomRight());
    // The latency axis stands at the back wall's right edge, labelled on its right.
    auto yMs = [&](double ms) { return p.bottom() - ms / msMax * p.height(); };
    if (FLatencyAxis) {
        painter.setPen(LatencyColour.darker(130));
        painter.drawLine(QPointF(back.right(), back.top()), QPointF(back.right(), back.bottom()));
        const int msSteps = int(std::round(msMax / msStep));
        for (int s = 0; s <= msSteps && s <= 100; ++s) {
            const double v = s * msStep;
            const double yy = yMs(v) - depth;
            painter.drawLine(QPointF(back.right(), yy), QPointF(back.right() + 4, yy));
            if (s < msSteps || yy - lineHeight > outerTop)
                painter.drawText(QRectF(back.right() + 6, yy - lineHeight / 2, area.right() - back.right() - 6, lineHeight),
                                 Qt::AlignLeft | Qt::AlignVCenter, locale.toString(v, 'f', msDecimals));
        }
        painter.drawText(QRectF(back.right() + 6, outerTop - lineHeight / 2, area.right() - back.right() - 6, lineHeight),
                         Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("ms"));
        painter.setPen(pal.color(QPalette::WindowText));
    }

    if (FSamples.isEmpty()) {
        // A test over before its first interval still has its result: the line, and a word on
        // why there is no curve.
        if (FAverage >= 0)
            DrawAverage(painter, p, y(FAverage));
        painter.setPen(pal.color(QPalette::PlaceholderText));
        painter.drawText(p, Qt::AlignCenter,
                         FRunning            ? QStringLiteral("Waiting for data...")
                         : FAverage >= 0     ? QStringLiteral("The test ended before its first interval: its rate is the line.")
                         : FFinished         ? QStringLiteral("No data arrived.")
                                             : QStringLiteral("The rate of the next test appears here."));
        painter.restore();
        return;
    }

    // The curves: areas from the timer's start (a later curve from where the one before it
    // ended), the first in the chart's first bar colour.
    painter.setRenderHint(QPainter::Antialiasing, true);
    double curveStart = 0;
    for (qsizetype first = 0; first < FSamples.size();) {
        const int index = FSampleCurve[first];
        qsizetype end = first;
        while (end < FSamples.size() && FSampleCurve[end] == index)
            ++end;
        const QColor colour = CurveColour(index);
        QPolygonF curve;
        curve.reserve(end - first + 3);
        curve << QPointF(x(curveStart), p.bottom()) << QPointF(x(curveStart), y(FSamples[first].y()));
        for (qsizetype i = first; i < end; ++i)
            curve << QPointF(x(FSamples[i].x()), y(FSamples[i].y()));
        curve << QPointF(x(FSamples[end - 1].x()), p.bottom());
        QLinearGradient fill(p.topLeft(), p.bottomLeft());
        fill.setColorAt(0, colour.lighter(118));
        fill.setColorAt(1, colour);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawPolygon(curve);
        painter.setPen(QPen(colour.darker(160), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawPolyline(curve.mid(1, curve.size() - 2));
        curveStart = FSamples[end - 1].x();
        first = end;
    }
    // The latency line over the areas, on its own axis.
    if (FLatencyAxis && !FLatency.isEmpty()) {
        QPolygonF line;
        line.reserve(FLatency.size());
        // On the back wall, where its axis stands, so its zero is the axis's zero.
        for (const QPointF& l : FLatency)
            line << QPointF(x(l.x()) + depth, yMs(std::clamp(l.y(), 0.0, msMax)) - depth);
        painter.setPen(QPen(LatencyColour, 2));
        if (line.size() == 1)
            painter.drawEllipse(line.first(), 2, 2);
        else
            painter.drawPolyline(line);
    }
    painter.setRenderHint(QPainter::Antialiasing, false);
    DrawLegend(painter, back, fm);

    // The test's own result, once it is known.
    if (FAverage >= 0)
        DrawAverage(painter, p, y(FAverage));

    // A mark on the latest rate while the test runs, in the speed chart's mark style; after
    // it, the title's result says what the last interval's rate beside it would not.
    if (!FRunning) {
        painter.restore();
        return;
    }
    const QPointF foot(x(FSamples.last().x()), y(FSamples.last().y()));
    const QString markText = ProgressText::Rate(FSamples.last().y());
    const double boxWidth = fm.horizontalAdvance(markText) + 8;
    const double boxHeight = lineHeight + 4;
    double left = std::clamp(foot.x() - boxWidth / 2, p.left() + 2, std::max(p.left() + 2, back.right() - boxWidth - 2));
    double top = foot.y() - TResultsChart::MarkArrowLength - boxHeight;
    if (top < outerTop)
        top = foot.y() + TResultsChart::MarkArrowLength;
    const QRectF box(left, top, boxWidth, boxHeight);
    painter.setPen(QPen(pal.color(QPalette::WindowText), 1));
    painter.drawLine(foot, QPointF(foot.x(), top > foot.y() ? box.top() : box.bottom()));
    painter.fillRect(box.translated(2, 2), MarkShadow);
    painter.setBrush(pal.color(QPalette::ToolTipBase));
    painter.setPen(QColor(0, 0, 0));
    painter.drawRect(box);
    painter.setPen(pal.color(QPalette::ToolTipText));
    painter.drawText(box, Qt::AlignCenter, markText);
    painter.restore();
}

void TLiveRateGraph::DrawAverage(QPainter& painter, const QRectF& plot, double y) const
{
    painter.setPen(QPen(TitleColour, 1, Qt::DashLine));
    painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
}

void TLiveRateGraph::DrawLegend(QPainter& painter, const QRectF& back, const QFontMetricsF& fm) const
{
    // Only where there is more than one thing to tell apart.
    QList<std::pair<QString, QColor>> entries;
    if (FCurveNames.size() > 1 || FLatencyAxis) {
        for (int i = 0; i < FCurveNames.size(); ++i)
            entries.append({FCurveNames[i].isEmpty() ? QStringLiteral("rate") : FCurveNames[i], CurveColour(i)});
    }
    if (FLatencyAxis)
        entries.append({QStringLiteral("latency (ms)"), LatencyColour});
    if (entries.isEmpty())
        return;
    const double swatch = std::round(fm.height() * 0.6);
    double width = 8;
    for (const auto& e : std::as_const(entries))
        width += swatch + 4 + fm.horizontalAdvance(e.first) + 10;
    const QRectF box(back.left() + 6, back.top() + 4, width - 6, fm.height() + 4);
    if (box.right() > back.right() - 4 || box.bottom() > back.bottom() - 4)
        return; // no room: the graph alone says more than a clipped legend
    painter.setPen(ChartStyle::WallEdge);
    painter.setBrush(QColor(255, 255, 255, 220));
    painter.drawRect(box);
    double left = box.left() + 5;
    for (const auto& e : std::as_const(entries)) {
        const QRectF mark(left, box.center().y() - swatch / 2, swatch, swatch);
        painter.fillRect(mark, e.second);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(QRectF(mark.right() + 4, box.top(), fm.horizontalAdvance(e.first) + 2, box.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, e.first);
        left = mark.right() + 4 + fm.horizontalAdvance(e.first) + 10;
    }
}

void TLiveRateGraph::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    Draw(painter, rect());
}
