#pragma once

#include <QColor>
#include <QRectF>

class QPainter;

/// The rounded tile every tool's icon is drawn on, home screen and tool window alike: a soft shadow,
/// a gradient from `top` to `bottom` and a faint highlight along its top edge, for an icon of
/// `size` points. Answers the tile, for the glyph drawn over it.
QRectF drawIconTile(QPainter& painter, qreal size, const QColor& top, const QColor& bottom);
