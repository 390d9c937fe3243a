#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

/// The application's light theme: white window, near-black text, grey secondary text, one blue
/// accent, and an orange warning tone used only for a nearly full device.
namespace ECTheme {

inline QColor window()
{
    return QColor(0xff, 0xff, 0xff);
}
inline QColor text()
{
    return QColor(0x1d, 0x1d, 0x1f);
}
inline QColor secondaryText()
{
    return QColor(0x6e, 0x6e, 0x73);
}
inline QColor accent()
{
    return QColor(0x0a, 0x84, 0xff);
}
inline QColor warning()
{
    return QColor(0xff, 0x9f, 0x0a);
}
inline QColor track()
{
    return QColor(0xe8, 0xe8, 0xed);
}
inline QColor hairline()
{
    return QColor(0xd2, 0xd2, 0xd7);
}
inline QColor hoverFill()
{
    return QColor(0xf2, 0xf2, 0xf7);
}
inline QColor pressedFill()
{
    return QColor(0xe5, 0xe5, 0xea);
}

/// Fill levels above this many percent are drawn in the warning tone.
inline constexpr double WARNING_PERCENT = 90.0;

/// The application font at `points`, optionally heavier.
QFont font(qreal points, QFont::Weight weight = QFont::Normal);

/// A palette for the whole application built on the desktop's own, so high-contrast themes keep
/// their contrast: only the window and base colours are forced to white and the text near-black
/// when the desktop palette is a light one.
QPalette palette(const QPalette& desktop);

/// The style sheet for the few controls that need more than the palette (links, push buttons).
QString styleSheet();

} // namespace ECTheme
