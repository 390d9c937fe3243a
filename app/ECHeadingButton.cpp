#include "app/ECHeadingButton.h"

#include "app/ECTheme.h"

#include <QPainter>

namespace {
constexpr int ARROW_GAP = 10;
}

ECHeadingButton::ECHeadingButton(QWidget* parent)
    : QAbstractButton(parent)
{
    setFont(ECTheme::font(24, QFont::DemiBold));
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void ECHeadingButton::setArrowImage(const QPixmap& image, const QString& name)
{
    m_arrow = image;
    m_arrowName = name;
    setCursor(name.startsWith(QLatin1String("placeholder")) ? Qt::PointingHandCursor : Qt::ArrowCursor);
    update();
}

QSize ECHeadingButton::sizeHint() const
{
    const QSizeF arrow = m_arrow.deviceIndependentSize();
    return QSize(fontMetrics().horizontalAdvance(text()) + ARROW_GAP + int(arrow.width()) + 8,
        std::max(fontMetrics().height(), int(arrow.height())) + 8);
}

void ECHeadingButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QSizeF arrow = m_arrow.deviceIndependentSize();
    const int textWidth = fontMetrics().horizontalAdvance(text());
    // The text is centred on its own; the arrow hangs off its right end so the name never shifts.
    const qreal textLeft = (width() - textWidth) / 2.0;
    p.setPen(isEnabled() ? ECTheme::text() : ECTheme::secondaryText());
    p.setFont(font());
    p.drawText(QRectF(textLeft, 0, textWidth + 1, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
    if (!m_arrow.isNull()) {
        const QRectF target(
            textLeft + textWidth + ARROW_GAP, (height() - arrow.height()) / 2.0 + 2, arrow.width(), arrow.height());
        p.setOpacity(isDown() ? 0.6 : 1.0);
        p.drawPixmap(target, m_arrow, QRectF(m_arrow.rect()));
    }
    if (hasFocus()) {
        p.setOpacity(1.0);
        p.setPen(QPen(ECTheme::accent(), 2));
        p.drawLine(QPointF(textLeft, height() - 2), QPointF(textLeft + textWidth, height() - 2));
    }
}
