#include "views/ECCheckboxHeaderView.h"

#include <QPainter>

ECCheckboxHeaderView::ECCheckboxHeaderView(QWidget* parent)
    : QHeaderView(Qt::Horizontal, parent)
{
    setSectionsClickable(true);
    setHighlightSections(false);
    setSortIndicatorShown(false);
    setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void ECCheckboxHeaderView::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const
{
    // The style may leave the painter clipped or translated after drawing the section.
    painter->save();
    QHeaderView::paintSection(painter, rect, logicalIndex);
    painter->restore();
    if (logicalIndex != m_checkboxSection) {
        return;
    }
    // Drawn here rather than by the style: a style sheet on the table makes the style draw no
    // indicator for a header, and the box must look like the rows' own.
    const QRectF box = indicatorRect(rect);
    const Qt::CheckState state = checkState();
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    if (state == Qt::Unchecked) {
        painter->setPen(QPen(QColor(0x8e, 0x8e, 0x93), 1.0));
        painter->setBrush(Qt::white);
    } else {
        painter->setPen(Qt::NoPen);
        painter->setBrush(QColor(0x0a, 0x84, 0xff));
    }
    painter->drawRoundedRect(box.adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    QPen mark(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter->setPen(mark);
    painter->setBrush(Qt::NoBrush);
    if (state == Qt::Checked) {
        const QPointF points[] = { { box.left() + box.width() * 0.25, box.top() + box.height() * 0.52 },
            { box.left() + box.width() * 0.43, box.top() + box.height() * 0.70 },
            { box.left() + box.width() * 0.76, box.top() + box.height() * 0.32 } };
        painter->drawPolyline(points, 3);
    } else if (state == Qt::PartiallyChecked) {
        const qreal y = box.center().y();
        painter->drawLine(QPointF(box.left() + box.width() * 0.27, y), QPointF(box.right() - box.width() * 0.27, y));
    }
    painter->restore();
}

QRectF ECCheckboxHeaderView::indicatorRect(const QRect& section)
{
    constexpr qreal SIDE = 14;
    return QRectF(
        section.left() + (section.width() - SIDE) / 2.0, section.top() + (section.height() - SIDE) / 2.0, SIDE, SIDE);
}

QSize ECCheckboxHeaderView::sectionSizeFromContents(int logicalIndex) const
{
    QSize size = QHeaderView::sectionSizeFromContents(logicalIndex);
    if (logicalIndex == m_checkboxSection) {
        size.setWidth(32);
    }
    return size;
}
