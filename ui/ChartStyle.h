#pragma once

#include <QColor>

// What the speed chart and the live rate graph share, so the two read as one style.
namespace ChartStyle {

inline const QColor MarkShadow(130, 130, 130);
inline const QColor WallEdge(150, 150, 150);
inline const QColor GridLine(200, 200, 200);

// 1, 2 or 5 times a power of ten, at least raw.
double NiceStep(double raw);

}  // namespace ChartStyle
