#include "views/ECRankDelegate.h"

#include "modules/ECItemListModel.h"

#include <QPainter>

void ECRankDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyledItemDelegate::paint(painter, option, index);
    const int bars = index.data(ECItemListModel::RankBarsRole).toInt();
    if (bars <= 0) {
        return;
    }
    const QRectF area
        = QRectF(option.rect).adjusted(6, option.rect.height() / 2.0 - 3, -6, -(option.rect.height() / 2.0 - 3));
    const qreal width = area.width() * bars / ECItemListModel::MAX_RANK_BARS;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    QColor track = option.palette.color(QPalette::Mid);
    track.setAlpha(60);
    painter->setBrush(track);
    painter->drawRoundedRect(area, 3, 3);
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    painter->setBrush(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Highlight));
    painter->drawRoundedRect(QRectF(area.left(), area.top(), std::max<qreal>(width, 6), area.height()), 3, 3);
    painter->restore();
}

QSize ECRankDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setWidth(std::max(size.width(), 90));
    return size;
}
