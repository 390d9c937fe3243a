#include "app/HoverButton.h"

#include "app/ECTheme.h"

#include <QEnterEvent>
#include <QPainter>
#include <QPainterPath>

HoverButton::HoverButton(QWidget* parent)
    : QAbstractButton(parent)
{
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover);
}

void HoverButton::setImage(const QPixmap& image)
{
    m_image = image;
    update();
}

QSize HoverButton::sizeHint() const
{
    return QSize(112, 112);
}

void HoverButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF tile = QRectF(rect()).adjusted(2, 2, -2, -2);

    QColor background = Qt::transparent;
    if (isEnabled() && isDown()) {
        background = ECTheme::pressedFill();
    } else if (isEnabled() && underMouse()) {
        background = ECTheme::hoverFill();
    }
    if (background.alpha() > 0) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(background);
        painter.drawRoundedRect(tile, 18, 18);
    }
    if (hasFocus()) {
        painter.setPen(QPen(ECTheme::accent(), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(tile.adjusted(1, 1, -1, -1), 17, 17);
    }

    if (!m_image.isNull()) {
        const QSizeF imageSize = m_image.deviceIndependentSize();
        QRectF target(QPointF(0, 0), imageSize);
        target.moveCenter(tile.center());
        if (isDown()) {
            target.translate(0, 1);
        }
        painter.setOpacity(isEnabled() ? 1.0 : 0.35);
        painter.drawPixmap(target, m_image, QRectF(m_image.rect()));
    }
}

void HoverButton::enterEvent(QEnterEvent* event)
{
    QAbstractButton::enterEvent(event);
    update();
    if (m_delegate && isActiveWindow()) {
        m_reportedEnter = true;
        m_delegate->mouseEnteredButton(this);
    }
}

void HoverButton::leaveEvent(QEvent* event)
{
    QAbstractButton::leaveEvent(event);
    update();
    // A leave always follows a reported enter, even if the window lost focus in between, so the
    // help line never keeps describing a button the pointer has left.
    if (m_delegate && (isActiveWindow() || m_reportedEnter)) {
        m_reportedEnter = false;
        m_delegate->mouseExitedButton(this);
    }
}
