#include "support/ProgramArt.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

namespace {

// A speed gauge: an arc of ticks, a needle leaning towards "fast", a hub.
void drawGauge(QPainter& p, const QRectF& area, const QColor& face, const QColor& ink)
{
    const QPointF centre(area.center().x(), area.top() + area.height() * 0.60);
    const qreal radius = area.width() * 0.40;

    p.setPen(Qt::NoPen);
    p.setBrush(face);
    p.drawEllipse(centre, radius * 1.08, radius * 1.08);

    // Ticks from 210 to -30 degrees, the fast end in warm colours.
    const int ticks = 9;
    for (int i = 0; i < ticks; ++i) {
        const qreal angle = (210.0 - i * 240.0 / (ticks - 1)) * M_PI / 180.0;
        const QPointF dir(std::cos(angle), -std::sin(angle));
        QColor tickColour = i < 6 ? ink : QColor(230, 120, 40);
        p.setPen(QPen(tickColour, std::max<qreal>(1.0, radius * 0.09), Qt::SolidLine, Qt::RoundCap));
        p.drawLine(centre + dir * radius * 0.72, centre + dir * radius * 0.95);
    }

    const qreal needleAngle = 20.0 * M_PI / 180.0;
    const QPointF tip = centre + QPointF(std::cos(needleAngle), -std::sin(needleAngle)) * radius * 0.85;
    p.setPen(QPen(QColor(200, 40, 40), std::max<qreal>(1.5, radius * 0.10), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(centre, tip);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawEllipse(centre, radius * 0.13, radius * 0.13);
}

}  // namespace

QPixmap TProgramArt::IconPixmap(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);

    const QRectF tile(0.5, 0.5, size - 1.0, size - 1.0);
    QLinearGradient background(tile.topLeft(), tile.bottomLeft());
    background.setColorAt(0, QColor(52, 120, 200));
    background.setColorAt(1, QColor(20, 62, 130));
    p.setPen(QPen(QColor(14, 44, 96), std::max(1.0, size / 32.0)));
    p.setBrush(background);
    p.drawRoundedRect(tile, size * 0.18, size * 0.18);

    drawGauge(p, tile, QColor(245, 248, 252), QColor(20, 50, 100));
    return pixmap;
}

QIcon TProgramArt::ProgramIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(IconPixmap(size));
    return icon;
}

QPixmap TProgramArt::Logo()
{
    const int width = 201;
    const int height = 203;
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const QRectF card(1, 1, width - 2, height - 2);
    QLinearGradient sky(card.topLeft(), card.bottomLeft());
    sky.setColorAt(0, QColor(70, 140, 215));
    sky.setColorAt(1, QColor(18, 52, 112));
    p.setPen(Qt::NoPen);
    p.setBrush(sky);
    p.drawRoundedRect(card, 18, 18);

    // A soft light behind the gauge.
    QRadialGradient glow(QPointF(width / 2.0, height * 0.5), width * 0.55);
    glow.setColorAt(0, QColor(255, 255, 255, 70));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(glow);
    p.drawRoundedRect(card, 18, 18);

    drawGauge(p, QRectF(20, 4, width - 40, height - 56), QColor(248, 250, 253), QColor(22, 52, 102));

    // Speed streaks under the gauge.
    p.setPen(QPen(QColor(255, 255, 255, 150), 3, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 3; ++i)
        p.drawLine(QPointF(38 + i * 12, 160 + i * 8), QPointF(163 - i * 12, 160 + i * 8));

    QFont font(QStringLiteral("Sans Serif"));
    font.setPixelSize(17);
    font.setBold(true);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 178, width, 22), Qt::AlignCenter, QStringLiteral("KORVANE"));
    return pixmap;
}
