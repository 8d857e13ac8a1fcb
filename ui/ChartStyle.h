#pragma once

#include <QColor>
#include <QRectF>

class QPainter;

// What the speed chart and the live rate graph share, so the two read as one style.
namespace ChartStyle {

inline const QColor MarkShadow(130, 130, 130);
inline const QColor WallEdge(150, 150, 150);
inline const QColor GridLine(200, 200, 200);
// Behind results that fell short of their plan's share.
inline const QColor BelowPlanShade(255, 170, 170);

// 1, 2 or 5 times a power of ten, at least raw.
double NiceStep(double raw);

// The panel behind a chart: white fading to a light blue at the bottom.
void FillPanel(QPainter& painter, const QRectF& area);

// The back, left and floor walls of a pseudo-3D plot whose front face is front, with the
// back wall depth pixels right of it and up.
void DrawWalls(QPainter& painter, const QRectF& front, double depth);

}  // namespace ChartStyle
