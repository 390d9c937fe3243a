#include "modules/ECIconTile.h"

#include <QLinearGradient>
#include <QPainter>

QRectF drawIconTile(QPainter& p, qreal size, const QColor& top, const QColor& bottom)
{
    const qreal s = size;
    const QRectF tile(s * 0.04, s * 0.03, s * 0.92, s * 0.92);
    const qreal radius = s * 0.22;
    p.setPen(Qt::NoPen);
    for (int i = 3; i >= 1; --i) {
        p.setBrush(QColor(0, 0, 0, 10));
        p.drawRoundedRect(tile.translated(0, s * 0.012 * i), radius, radius);
    }
    QLinearGradient gradient(tile.topLeft(), tile.bottomLeft());
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    p.setBrush(gradient);
    p.drawRoundedRect(tile, radius, radius);
    QLinearGradient shine(tile.topLeft(), QPointF(tile.left(), tile.center().y()));
    shine.setColorAt(0, QColor(255, 255, 255, 60));
    shine.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(shine);
    p.drawRoundedRect(tile, radius, radius);
    return tile;
}
