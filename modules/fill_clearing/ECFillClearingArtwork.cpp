#include "modules/fill_clearing/ECFillClearingArtwork.h"

#include "modules/ECIconTile.h"

#include <QPainter>
#include <QPainterPath>

namespace ECFillClearingArtwork {

namespace {

    // A four-pointed sparkle centred on `c` with outer radius `r`.
    QPainterPath sparkle(QPointF c, qreal r)
    {
        QPainterPath path;
        const qreal waist = r * 0.1;
        path.moveTo(c.x(), c.y() - r);
        path.quadTo(c.x() + waist, c.y() - waist, c.x() + r, c.y());
        path.quadTo(c.x() + waist, c.y() + waist, c.x(), c.y() + r);
        path.quadTo(c.x() - waist, c.y() + waist, c.x() - r, c.y());
        path.quadTo(c.x() - waist, c.y() - waist, c.x(), c.y() - r);
        path.closeSubpath();
        return path;
    }

}

QImage giantIconCacheNew(int pixels)
{
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = pixels;
    (void)drawIconTile(p, s, QColor(0xff, 0xc2, 0x4d), QColor(0xff, 0x8a, 0x00));

    // The phone: a white outline with its storage filling up from the bottom in bands.
    const QRectF phone(s * 0.27, s * 0.17, s * 0.36, s * 0.62);
    p.setPen(QPen(Qt::white, s * 0.045));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(phone, s * 0.07, s * 0.07);
    p.setPen(Qt::NoPen);
    const QRectF inside = phone.adjusted(s * 0.06, s * 0.08, -s * 0.06, -s * 0.08);
    const qreal band = inside.height() / 5.0;
    const int alphas[] = { 255, 215, 170 };
    for (int i = 0; i < 3; ++i) {
        p.setBrush(QColor(255, 255, 255, alphas[i]));
        const QRectF bar(inside.left(), inside.bottom() - band * (i + 1) + band * 0.18, inside.width(), band * 0.64);
        p.drawRoundedRect(bar, band * 0.2, band * 0.2);
    }
    // Swept away: sparkles beside the phone's top.
    p.setBrush(Qt::white);
    p.drawPath(sparkle(QPointF(s * 0.74, s * 0.3), s * 0.11));
    p.drawPath(sparkle(QPointF(s * 0.72, s * 0.56), s * 0.06));
    p.drawPath(sparkle(QPointF(s * 0.84, s * 0.44), s * 0.045));
    return image;
}

} // namespace ECFillClearingArtwork
