#pragma once

#include <QStyledItemDelegate>

/// Draws a rank as a short bar, longer for a better candidate, instead of a run of "|".
class ECRankDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
