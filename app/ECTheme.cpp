#include "app/ECTheme.h"

#include <QApplication>

namespace ECTheme {

QFont font(qreal points, QFont::Weight weight)
{
    QFont result = QApplication::font();
    result.setPointSizeF(points);
    result.setWeight(weight);
    return result;
}

QPalette palette(const QPalette& desktop)
{
    QPalette result = desktop;
    // A dark or high-contrast desktop theme keeps its own colours; the white window is for the
    // ordinary light desktop.
    if (desktop.color(QPalette::Window).lightness() < 128) {
        return result;
    }
    for (const QPalette::ColorGroup group : { QPalette::Active, QPalette::Inactive }) {
        result.setColor(group, QPalette::Window, window());
        result.setColor(group, QPalette::Base, window());
        result.setColor(group, QPalette::WindowText, text());
        result.setColor(group, QPalette::Text, text());
        result.setColor(group, QPalette::ButtonText, text());
        result.setColor(group, QPalette::Highlight, accent());
        result.setColor(group, QPalette::HighlightedText, Qt::white);
        result.setColor(group, QPalette::Link, accent());
        result.setColor(group, QPalette::PlaceholderText, secondaryText());
    }
    result.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0xae, 0xae, 0xb2));
    result.setColor(QPalette::Disabled, QPalette::Text, QColor(0xae, 0xae, 0xb2));
    result.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0xae, 0xae, 0xb2));
    return result;
}

QString styleSheet()
{
    return QStringLiteral(R"(
QPushButton#linkButton {
    border: none;
    background: transparent;
    color: #0a84ff;
    padding: 2px 4px;
}
QPushButton#linkButton:hover { text-decoration: underline; }
QPushButton#linkButton:focus { outline: none; border-bottom: 2px solid #0a84ff; }
QPushButton#primaryButton {
    background: #0a84ff;
    color: white;
    border: none;
    border-radius: 7px;
    padding: 7px 18px;
    font-weight: 600;
}
QPushButton#primaryButton:hover { background: #2a94ff; }
QPushButton#primaryButton:pressed { background: #0070e0; }
QPushButton#primaryButton:disabled { background: #b9d9ff; }
QPushButton#secondaryButton {
    background: #f2f2f7;
    color: #1d1d1f;
    border: 1px solid #d2d2d7;
    border-radius: 7px;
    padding: 7px 18px;
}
QPushButton#secondaryButton:hover { background: #e9e9ef; }
QPushButton#secondaryButton:pressed { background: #dcdce2; }
)");
}

} // namespace ECTheme
