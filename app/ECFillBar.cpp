#include "app/ECFillBar.h"

#include "app/ECTheme.h"

#include <QPainter>

#include <algorithm>

namespace {
constexpr int BAR_WIDTH = 320;
constexpr int BAR_HEIGHT = 10;
constexpr int CAPTION_GAP = 12;
} // namespace

ECFillBar::ECFillBar(QWidget* parent)
    : QWidget(parent)
{
    setFont(ECTheme::font(11.5));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void ECFillBar::setLevel(std::optional<double> percentage, const QString& caption)
{
    m_percentage = percentage;
    m_caption = caption;
    setAccessibleName(percentage ? QStringLiteral("Storage used: %1%").arg(qRound(*percentage)) : QString());
    setAccessibleDescription(caption);
    updateGeometry();
    update();
}

QSize ECFillBar::sizeHint() const
{
    return QSize(BAR_WIDTH + CAPTION_GAP + fontMetrics().horizontalAdvance(QStringLiteral("000.0 GB of 0000 GB used")),
        std::max(BAR_HEIGHT, fontMetrics().height()) + 4);
}

void ECFillBar::paintEvent(QPaintEvent*)
{
    if (!m_percentage) {
        return;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int captionWidth = fontMetrics().horizontalAdvance(m_caption);
    const int total = BAR_WIDTH + (m_caption.isEmpty() ? 0 : CAPTION_GAP + captionWidth);
    const qreal left = (width() - total) / 2.0;
    const QRectF track(left, (height() - BAR_HEIGHT) / 2.0, BAR_WIDTH, BAR_HEIGHT);

    p.setPen(Qt::NoPen);
    p.setBrush(ECTheme::track());
    p.drawRoundedRect(track, BAR_HEIGHT / 2.0, BAR_HEIGHT / 2.0);
    const double fraction = std::clamp(*m_percentage / 100.0, 0.0, 1.0);
    if (fraction > 0) {
        QRectF filled = track;
        filled.setWidth(std::max(double(BAR_HEIGHT), track.width() * fraction));
        p.setBrush(*m_percentage > ECTheme::WARNING_PERCENT ? ECTheme::warning() : ECTheme::accent());
        p.drawRoundedRect(filled, BAR_HEIGHT / 2.0, BAR_HEIGHT / 2.0);
    }
    if (!m_caption.isEmpty()) {
        p.setPen(ECTheme::secondaryText());
        p.drawText(QRectF(track.right() + CAPTION_GAP, 0, captionWidth + 2, height()), Qt::AlignVCenter | Qt::AlignLeft,
            m_caption);
    }
}
