#include "views/ECStripedProgressBar.h"

#include <QPainter>
#include <QPainterPath>
#include <QTimerEvent>

#include <algorithm>

namespace {

constexpr int STRIPE_PERIOD = 16;
constexpr int FRAME_MILLISECONDS = 33;

}

ECStripedProgressBar::ECStripedProgressBar(QWidget* parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(tr("Progress"));
    updateAccessibleText();
}

double ECStripedProgressBar::fraction() const
{
    if (m_indeterminate) {
        return 1;
    }
    if (m_maximum <= 0) {
        return 0;
    }
    return std::clamp(double(m_value) / double(m_maximum), 0.0, 1.0);
}

void ECStripedProgressBar::setMaximum(int maximum)
{
    if (maximum != m_maximum) {
        m_maximum = maximum;
        updateAccessibleText();
        update();
    }
}

void ECStripedProgressBar::setValue(int value)
{
    if (value != m_value) {
        m_value = value;
        updateAccessibleText();
        update();
    }
}

void ECStripedProgressBar::setIndeterminate(bool indeterminate)
{
    if (indeterminate != m_indeterminate) {
        m_indeterminate = indeterminate;
        updateAccessibleText();
        update();
    }
}

void ECStripedProgressBar::setAnimating(bool animating)
{
    if (animating != m_animating) {
        m_animating = animating;
        updateTimer();
    }
}

QSize ECStripedProgressBar::sizeHint() const
{
    return { 200, 10 };
}

QSize ECStripedProgressBar::minimumSizeHint() const
{
    return { 40, 10 };
}

void ECStripedProgressBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = track.height() / 2;

    QPainterPath trackPath;
    trackPath.addRoundedRect(track, radius, radius);
    const QColor accent = palette().color(QPalette::Highlight);
    QColor trackColor = palette().color(QPalette::Window).darker(108);
    painter.fillPath(trackPath, trackColor);

    const qreal filledWidth = track.width() * fraction();
    if (filledWidth <= 0) {
        return;
    }
    QPainterPath fillPath;
    fillPath.addRoundedRect(
        QRectF(track.left(), track.top(), std::max(filledWidth, track.height()), track.height()), radius, radius);
    painter.save();
    painter.setClipPath(trackPath);
    painter.fillPath(fillPath, m_indeterminate ? accent.lighter(125) : accent);

    // Light diagonal stripes over the filled part, shifted by the animation phase.
    painter.setClipPath(fillPath.intersected(trackPath));
    QColor stripe = QColor(255, 255, 255, 70);
    painter.setPen(Qt::NoPen);
    painter.setBrush(stripe);
    const qreal h = track.height();
    for (qreal x = track.left() - 2 * h + m_phase - STRIPE_PERIOD; x < track.right() + h; x += STRIPE_PERIOD) {
        const QPointF band[] = { { x, track.bottom() }, { x + h, track.top() },
            { x + h + STRIPE_PERIOD / 2.0, track.top() }, { x + STRIPE_PERIOD / 2.0, track.bottom() } };
        painter.drawPolygon(band, 4);
    }
    painter.restore();
}

void ECStripedProgressBar::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_timer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    m_phase = (m_phase + 1) % STRIPE_PERIOD;
    update();
}

void ECStripedProgressBar::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    updateTimer();
}

void ECStripedProgressBar::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    updateTimer();
}

void ECStripedProgressBar::updateTimer()
{
    // No timer while hidden: an idle module window costs nothing.
    if (m_animating && isVisible()) {
        if (!m_timer.isActive()) {
            m_timer.start(FRAME_MILLISECONDS, this);
        }
    } else {
        m_timer.stop();
    }
}

void ECStripedProgressBar::updateAccessibleText()
{
    if (m_indeterminate) {
        setAccessibleDescription(tr("Working"));
    } else {
        setAccessibleDescription(tr("%1 percent").arg(qRound(fraction() * 100)));
    }
}
