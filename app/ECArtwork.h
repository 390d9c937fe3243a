#pragma once

#include <QPixmap>

/// Torvane's own artwork, drawn with QPainter at any scale so it stays sharp on every screen:
/// one icon per cleaning tool in a single style (a rounded tile with a soft gradient and a white
/// glyph), the phone-and-cable picture shown while nothing is connected, and the heading arrow.
namespace ECArtwork {

enum class Icon {
    Apps,
    TempFiles,
    Photos,
    Music,
    Messages,
};

/// `points` is the logical edge length; the pixmap carries `devicePixelRatio`.
QPixmap moduleIcon(Icon icon, int points, qreal devicePixelRatio);

/// A phone with a cable leaving its bottom edge.
QPixmap connectPicture(int pointsHigh, qreal devicePixelRatio);

/// The small phone drawn in each row of the device picker.
QPixmap deviceThumb(int pointsHigh, qreal devicePixelRatio);

/// The heading's arrow: a downward chevron, or a transparent image of the same size that keeps
/// the heading from moving when the arrow goes away.
QPixmap headingArrow(bool visible, int points, qreal devicePixelRatio);

/// The application icon (the temp-files tile), for the window and the desktop entry.
QPixmap applicationIcon(int points);

} // namespace ECArtwork
