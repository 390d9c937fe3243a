#include "views/ECIconDelegate.h"

#include <QImage>
#include <QPainter>
#include <QPixmapCache>
#include <QWidget>

#include <cmath>

QPixmap ECIconDelegate::iconPixmap(const QImage& image, int points, qreal pixelRatio)
{
    const int side = int(std::ceil(points * pixelRatio));
    const QString key = QStringLiteral("ECIconDelegate:%1:%2").arg(image.cacheKey()).arg(side);
    QPixmap pixmap;
    if (!image.isNull() && QPixmapCache::find(key, &pixmap)) {
        pixmap.setDevicePixelRatio(pixelRatio);
        return pixmap;
    }
    pixmap = QPixmap(side, side);
    pixmap.fill(Qt::transparent);
    if (!image.isNull()) {
        // Scaled in device pixels in one smooth step, so a 1024-pixel icon stays crisp at 24 points.
        const QImage scaled = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QPainter p(&pixmap);
        p.drawImage((side - scaled.width()) / 2, (side - scaled.height()) / 2, scaled);
        p.end();
        QPixmapCache::insert(key, pixmap);
    }
    pixmap.setDevicePixelRatio(pixelRatio);
    return pixmap;
}

void ECIconDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    const qreal ratio = option->widget ? option->widget->devicePixelRatioF() : 1.0;
    option->icon = QIcon(iconPixmap(index.data(Qt::DecorationRole).value<QImage>(), ICON_POINTS, ratio));
    option->decorationSize = QSize(ICON_POINTS, ICON_POINTS);
    option->features |= QStyleOptionViewItem::HasDecoration;
}
