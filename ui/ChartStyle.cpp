#include "ui/ChartStyle.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPolygonF>

#include <cmath>

double ChartStyle::NiceStep(double raw)
{
    if (!(raw > 0) || !std::isfinite(raw))
        return 1;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * power >= raw * (1 - 1e-9))
            return factor * power;
    }
    return 10 * power;
}

void ChartStyle::FillPanel(QPainter& painter, const QRectF& area)
{
    QLinearGradient panel(area.topLeft(), area.bottomLeft());
    panel.setColorAt(0, QColor(255, 255, 255));
    panel.setColorAt(1, QColor(232, 238, 246));
    painter.fillRect(area, panel);
}

void ChartStyle::DrawWalls(QPainter& painter, const QRectF& front, double depth)
{
    const QRectF& p = front;
    const QRectF back = p.translated(depth, -depth);
    painter.setPen(WallEdge);
    painter.setBrush(QColor(250, 250, 250));
    painter.drawRect(back);
    painter.setBrush(QColor(236, 236, 236));
    painter.drawPolygon(QPolygonF({p.topLeft(), back.topLeft(), back.bottomLeft(), p.bottomLeft()}));
    painter.setBrush(QColor(222, 222, 222));
    painter.drawPolygon(QPolygonF({p.bottomLeft(), back.bottomLeft(), back.bottomRight(), p.bottomRight()}));
}
