#include "TLiveRateGraph.h"

#include "ChartStyle.h"

#include "ProgressText.h"
#include "TResultsChart.h"

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

}  // namespace

TLiveRateGraph::TLiveRateGraph(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("LiveRateGraph1"));
    setMinimumSize(200, 90);
}

void TLiveRateGraph::Start(const QString& target)
{
    FTarget = target;
    FSamples.clear();
    FLatest = TTestProgress();
    FRunning = true;
    FAverage = -1;
    update();
}

void TLiveRateGraph::AddSample(const TTestProgress& progress)
{
    if (!FRunning)
        return;
    // A restarted timer (a redirect to another server) starts the curve again.
    if (!FSamples.isEmpty() && progress.ElapsedUs / 1e6 < FSamples.last().x())
        FSamples.clear();
    FLatest = progress;
    FSamples.append(QPointF(progress.ElapsedUs / 1e6, std::max(progress.IntervalRate, 0.0)));
    if (FSamples.size() > MaxSamples) {
        QVector<QPointF> merged;
        merged.reserve(FSamples.size() / 2 + 1);
        for (qsizetype i = 0; i + 1 < FSamples.size(); i += 2)
            merged.append(QPointF(FSamples[i + 1].x(), (FSamples[i].y() + FSamples[i + 1].y()) / 2));
        if (FSamples.size() % 2)
            merged.append(FSamples.last());
        FSamples = std::move(merged);
    }
    update();
}

void TLiveRateGraph::Finish(double averageRate)
{
    FRunning = false;
    FAverage = averageRate;
    update();
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
    QString figures;
    if (!FSamples.isEmpty())
        figures = ProgressText::Figures(FLatest);
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
    const double timeStep = NiceStep(std::max(maxTime, 5.0) / 8);
    const double timeMax = std::max(std::ceil(maxTime / timeStep) * timeStep, timeStep);

    const double leftLabels = std::max(fm.horizontalAdvance(locale.toString(rateMax, 'f', rateDecimals)),
                                       fm.horizontalAdvance(unitText));
    const double outerTop = titleRect.bottom() + 6;
    const double outerBottom = area.bottom() - lineHeight - 6;
    const double outerLeft = area.left() + 8 + leftLabels + 6;
    const double outerRight = area.right() - 10 - fm.horizontalAdvance(QStringLiteral("000 s")) / 2;
    const double depth = std::max(0.0, std::round(std::min(outerRight - outerLeft, outerBottom - outerTop)
                                                  * TResultsChart::DepthPercent / 100 / 2));
    const QRectF p(QPointF(outerLeft, outerTop + depth), QPointF(outerRight - depth, outerBottom));
    if (p.width() < 20 || p.height() < 20) {
        painter.restore();
        return;
    }
    const QRectF back = p.translated(depth, -depth);
    auto x = [&](double t) { return p.left() + t / timeMax * p.width(); };
    auto y = [&](double rate) { return p.bottom() - rate / unit / rateMax * p.height(); };

    ChartStyle::DrawWalls(painter, p, depth);

    // Rate axis.
    const int rateSteps = int(std::round(rateMax / rateStep));
    for (int s = 0; s <= rateSteps && s <= 100; ++s) {
        const double v = s * rateStep;
        const double yy = p.bottom() - v / rateMax * p.height();
        if (s > 0) {
            painter.setPen(QPen(GridLine, 0, Qt::DotLine));
            painter.drawLine(QPointF(back.left(), yy - depth), QPointF(back.right(), yy - depth));
            painter.drawLine(QPointF(p.left(), yy), QPointF(back.left(), yy - depth));
        }
        painter.setPen(pal.color(QPalette::WindowText));
        painter.drawLine(QPointF(p.left() - 4, yy), QPointF(p.left(), yy));
        if (s < rateSteps || yy - lineHeight > outerTop)
            painter.drawText(QRectF(area.left(), yy - lineHeight / 2, p.left() - 6 - area.left(), lineHeight),
                             Qt::AlignRight | Qt::AlignVCenter, locale.toString(v, 'f', rateDecimals));
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

    if (FSamples.isEmpty()) {
        painter.setPen(pal.color(QPalette::PlaceholderText));
        painter.drawText(p, Qt::AlignCenter,
                         FRunning ? QStringLiteral("Waiting for data...")
                                  : QStringLiteral("The rate of the next test appears here."));
        painter.restore();
        return;
    }

    // The curve: an area from the timer's start, in the chart's first bar colour.
    const QColor colour = TResultsChart::BarColor(0);
    QPolygonF curve;
    curve.reserve(FSamples.size() + 3);
    curve << QPointF(x(0), p.bottom()) << QPointF(x(0), y(FSamples.first().y()));
    for (const QPointF& s : FSamples)
        curve << QPointF(x(s.x()), y(s.y()));
    curve << QPointF(x(FSamples.last().x()), p.bottom());
    painter.setRenderHint(QPainter::Antialiasing, true);
    QLinearGradient fill(p.topLeft(), p.bottomLeft());
    fill.setColorAt(0, colour.lighter(118));
    fill.setColorAt(1, colour);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawPolygon(curve);
    painter.setPen(QPen(colour.darker(160), 1.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(curve.mid(1, curve.size() - 2));
    painter.setRenderHint(QPainter::Antialiasing, false);

    // The test's own result, once it is known.
    if (FAverage >= 0) {
        const double ya = y(FAverage);
        painter.setPen(QPen(TitleColour, 1, Qt::DashLine));
        painter.drawLine(QPointF(p.left(), ya), QPointF(p.right(), ya));
    }

    // A mark on the latest rate, in the speed chart's mark style.
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

void TLiveRateGraph::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    Draw(painter, rect());
}
