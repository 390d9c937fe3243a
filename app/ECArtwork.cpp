#include "app/ECArtwork.h"

#include "app/ECTheme.h"
#include "modules/ECIconTile.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace ECArtwork {

namespace {

    QPixmap blankPixmap(QSizeF points, qreal ratio)
    {
        QPixmap pixmap((points * ratio).toSize());
        pixmap.setDevicePixelRatio(ratio);
        pixmap.fill(Qt::transparent);
        return pixmap;
    }

    struct TileColours
    {
        QColor top;
        QColor bottom;
    };

    TileColours coloursFor(Icon icon)
    {
        switch (icon) {
        case Icon::Apps:
            return { QColor(0x5a, 0xb4, 0xff), QColor(0x0a, 0x6c, 0xf0) };
        case Icon::TempFiles:
            return { QColor(0xff, 0xc2, 0x4d), QColor(0xff, 0x8a, 0x00) };
        case Icon::Photos:
            return { QColor(0x5e, 0xe0, 0xc6), QColor(0x00, 0xa3, 0x93) };
        case Icon::Music:
            return { QColor(0xff, 0x7a, 0x9a), QColor(0xf0, 0x2d, 0x5c) };
        case Icon::Messages:
            return { QColor(0x7e, 0xe0, 0x6e), QColor(0x2c, 0xb8, 0x3c) };
        }
        return { Qt::gray, Qt::darkGray };
    }

    // A four-pointed sparkle centred on `c` with outer radius `r`.
    QPainterPath sparkle(QPointF c, qreal r)
    {
        QPainterPath path;
        const qreal waist = r * 0.28;
        path.moveTo(c.x(), c.y() - r);
        path.quadTo(c.x() + waist * 0.35, c.y() - waist * 0.35, c.x() + r, c.y());
        path.quadTo(c.x() + waist * 0.35, c.y() + waist * 0.35, c.x(), c.y() + r);
        path.quadTo(c.x() - waist * 0.35, c.y() + waist * 0.35, c.x() - r, c.y());
        path.quadTo(c.x() - waist * 0.35, c.y() - waist * 0.35, c.x(), c.y() - r);
        path.closeSubpath();
        return path;
    }

    void drawGlyph(QPainter& p, Icon icon, const QRectF& box)
    {
        const qreal s = box.width();
        const QPointF o = box.topLeft();
        auto at = [&](qreal x, qreal y) { return QPointF(o.x() + x * s, o.y() + y * s); };
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);

        switch (icon) {
        case Icon::Apps: {
            // Four app tiles in a grid, one of them lifted away as if being removed.
            const qreal cell = 0.3 * s;
            const qreal radius = cell * 0.26;
            p.drawRoundedRect(QRectF(at(0.16, 0.2), QSizeF(cell, cell)), radius, radius);
            p.drawRoundedRect(QRectF(at(0.16, 0.54), QSizeF(cell, cell)), radius, radius);
            p.drawRoundedRect(QRectF(at(0.5, 0.54), QSizeF(cell, cell)), radius, radius);
            p.save();
            p.setOpacity(0.72);
            p.translate(at(0.69, 0.31));
            p.rotate(14);
            p.drawRoundedRect(QRectF(-cell / 2, -cell / 2, cell, cell), radius, radius);
            p.restore();
            break;
        }
        case Icon::TempFiles: {
            // A page with a folded corner, swept clean: sparkles beside it.
            QPainterPath page;
            const QRectF sheet(at(0.2, 0.16), QSizeF(0.42 * s, 0.56 * s));
            const qreal fold = 0.14 * s;
            page.moveTo(sheet.topLeft());
            page.lineTo(sheet.right() - fold, sheet.top());
            page.lineTo(sheet.right(), sheet.top() + fold);
            page.lineTo(sheet.bottomRight());
            page.lineTo(sheet.bottomLeft());
            page.closeSubpath();
            p.drawPath(page);
            p.setBrush(QColor(255, 255, 255, 150));
            QPainterPath corner;
            corner.moveTo(sheet.right() - fold, sheet.top());
            corner.lineTo(sheet.right() - fold, sheet.top() + fold);
            corner.lineTo(sheet.right(), sheet.top() + fold);
            corner.closeSubpath();
            p.drawPath(corner);
            p.setPen(QPen(coloursFor(Icon::TempFiles).bottom, 0.035 * s, Qt::SolidLine, Qt::RoundCap));
            for (qreal y : { 0.4, 0.5, 0.6 }) {
                p.drawLine(at(0.28, y), at(0.54, y));
            }
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::white);
            p.drawPath(sparkle(at(0.74, 0.62), 0.15 * s));
            p.drawPath(sparkle(at(0.76, 0.3), 0.08 * s));
            p.drawPath(sparkle(at(0.58, 0.84), 0.07 * s));
            break;
        }
        case Icon::Photos: {
            // A landscape: the sun over two hills, in a rounded frame.
            const QRectF frame(at(0.14, 0.22), QSizeF(0.72 * s, 0.56 * s));
            p.setPen(QPen(Qt::white, 0.055 * s));
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(frame, 0.08 * s, 0.08 * s);
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::white);
            p.drawEllipse(at(0.66, 0.38), 0.065 * s, 0.065 * s);
            QPainterPath hills;
            hills.moveTo(at(0.17, 0.75));
            hills.lineTo(at(0.38, 0.46));
            hills.lineTo(at(0.52, 0.62));
            hills.lineTo(at(0.62, 0.53));
            hills.lineTo(at(0.83, 0.75));
            hills.closeSubpath();
            p.drawPath(hills);
            break;
        }
        case Icon::Music: {
            // Two beamed quavers.
            const qreal stem = 0.055 * s;
            p.drawEllipse(at(0.33, 0.7), 0.11 * s, 0.085 * s);
            p.drawEllipse(at(0.67, 0.63), 0.11 * s, 0.085 * s);
            p.drawRect(QRectF(at(0.415, 0.24), QSizeF(stem, 0.46 * s)));
            p.drawRect(QRectF(at(0.755, 0.17), QSizeF(stem, 0.46 * s)));
            QPainterPath beam;
            beam.moveTo(at(0.415, 0.24));
            beam.lineTo(at(0.81, 0.17));
            beam.lineTo(at(0.81, 0.3));
            beam.lineTo(at(0.415, 0.37));
            beam.closeSubpath();
            p.drawPath(beam);
            break;
        }
        case Icon::Messages: {
            // A speech bubble with a tail.
            QPainterPath bubble;
            bubble.addEllipse(QRectF(at(0.14, 0.2), QSizeF(0.72 * s, 0.54 * s)));
            QPainterPath tail;
            tail.moveTo(at(0.27, 0.62));
            tail.quadTo(at(0.27, 0.8), at(0.16, 0.84));
            tail.quadTo(at(0.38, 0.83), at(0.45, 0.71));
            tail.closeSubpath();
            p.drawPath(bubble.united(tail));
            p.setBrush(coloursFor(Icon::Messages).bottom);
            for (qreal x : { 0.36, 0.5, 0.64 }) {
                p.drawEllipse(at(x, 0.47), 0.04 * s, 0.04 * s);
            }
            break;
        }
        }
    }

} // namespace

QPixmap moduleIcon(Icon icon, int points, qreal devicePixelRatio)
{
    QPixmap pixmap = blankPixmap(QSizeF(points, points), devicePixelRatio);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = points;
    const TileColours colours = coloursFor(icon);
    const QRectF tile = drawIconTile(p, s, colours.top, colours.bottom);

    const qreal glyph = tile.width() * 0.8;
    QRectF box(0, 0, glyph, glyph);
    box.moveCenter(tile.center());
    drawGlyph(p, icon, box);
    return pixmap;
}

namespace {

    void drawPhone(QPainter& p, const QRectF& body, bool withCable)
    {
        const qreal w = body.width();
        p.setRenderHint(QPainter::Antialiasing);
        if (withCable) {
            QPainterPath cable;
            const QPointF plug(body.center().x(), body.bottom() + w * 0.16);
            cable.moveTo(plug);
            cable.cubicTo(QPointF(plug.x(), plug.y() + w * 0.5), QPointF(plug.x() + w * 0.9, plug.y() + w * 0.2),
                QPointF(plug.x() + w * 1.05, plug.y() + w * 0.75));
            p.setPen(QPen(ECTheme::hairline(), w * 0.07, Qt::SolidLine, Qt::RoundCap));
            p.setBrush(Qt::NoBrush);
            p.drawPath(cable);
            p.setPen(Qt::NoPen);
            p.setBrush(ECTheme::secondaryText());
            p.drawRoundedRect(
                QRectF(plug.x() - w * 0.09, body.bottom() + w * 0.02, w * 0.18, w * 0.17), w * 0.03, w * 0.03);
        }
        p.setPen(QPen(ECTheme::text(), w * 0.06));
        p.setBrush(Qt::white);
        p.drawRoundedRect(body, w * 0.16, w * 0.16);
        p.setPen(Qt::NoPen);
        QLinearGradient screen(body.topLeft(), body.bottomRight());
        screen.setColorAt(0, QColor(0xdc, 0xec, 0xff));
        screen.setColorAt(1, QColor(0xb6, 0xd6, 0xff));
        p.setBrush(screen);
        p.drawRoundedRect(body.adjusted(w * 0.09, w * 0.2, -w * 0.09, -w * 0.2), w * 0.04, w * 0.04);
        p.setBrush(ECTheme::text());
        p.drawRoundedRect(
            QRectF(body.center().x() - w * 0.12, body.top() + w * 0.08, w * 0.24, w * 0.05), w * 0.025, w * 0.025);
        p.setPen(QPen(ECTheme::text(), w * 0.04));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(body.center().x(), body.bottom() - w * 0.1), w * 0.055, w * 0.055);
    }

} // namespace

QPixmap connectPicture(int pointsHigh, qreal devicePixelRatio)
{
    const qreal h = pointsHigh;
    QPixmap pixmap = blankPixmap(QSizeF(h * 0.9, h), devicePixelRatio);
    QPainter p(&pixmap);
    const qreal w = h * 0.42;
    drawPhone(p, QRectF(h * 0.12, h * 0.02, w, h * 0.62), true);
    return pixmap;
}

QPixmap deviceThumb(int pointsHigh, qreal devicePixelRatio)
{
    const qreal h = pointsHigh;
    QPixmap pixmap = blankPixmap(QSizeF(h * 0.55, h), devicePixelRatio);
    QPainter p(&pixmap);
    drawPhone(p, QRectF(h * 0.04, h * 0.03, h * 0.47, h * 0.94), false);
    return pixmap;
}

QPixmap headingArrow(bool visible, int points, qreal devicePixelRatio)
{
    QPixmap pixmap = blankPixmap(QSizeF(points, points), devicePixelRatio);
    if (!visible) {
        return pixmap;
    }
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = points;
    p.setPen(Qt::NoPen);
    p.setBrush(ECTheme::hoverFill());
    p.drawEllipse(QRectF(0, 0, s, s));
    p.setPen(QPen(ECTheme::text(), s * 0.11, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath chevron;
    chevron.moveTo(s * 0.3, s * 0.42);
    chevron.lineTo(s * 0.5, s * 0.62);
    chevron.lineTo(s * 0.7, s * 0.42);
    p.setBrush(Qt::NoBrush);
    p.drawPath(chevron);
    return pixmap;
}

QPixmap applicationIcon(int points)
{
    return moduleIcon(Icon::TempFiles, points, 1.0);
}

} // namespace ECArtwork
