#pragma once

#include <QPixmap>
#include <QStyledItemDelegate>

class QImage;

/// Draws a row's icon scaled into a square beside the name, its aspect kept and sharp at the
/// screen's pixel ratio; a row without an icon keeps the square empty, so every name lines up.
class ECIconDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    /// The icon square's side, in points.
    static constexpr int ICON_POINTS = 24;

    using QStyledItemDelegate::QStyledItemDelegate;

    /// `image` scaled to fit a square of `points` at `pixelRatio`, centred, aspect kept; a
    /// transparent square for a null image.
    static QPixmap iconPixmap(const QImage& image, int points, qreal pixelRatio);

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};
