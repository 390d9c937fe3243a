#include "app/ECFillBar.h"

#include "app/ECTheme.h"

#include <QLocale>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <utility>
#include <vector>

namespace {
constexpr int BAR_WIDTH = 320;
constexpr int BAR_HEIGHT = 10;
constexpr int CAPTION_GAP = 12;
constexpr int LEGEND_GAP = 10;
constexpr int SWATCH = 8;
constexpr int SWATCH_GAP = 5;
constexpr int ENTRY_GAP = 16;

/// The categories in the order they are drawn, left to right.
constexpr ECStorageBreakdown::Category ORDER[] = { ECStorageBreakdown::Apps, ECStorageBreakdown::Photos,
    ECStorageBreakdown::Music, ECStorageBreakdown::Other, ECStorageBreakdown::Free };

QString sizeText(std::int64_t bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}
} // namespace

ECFillBar::ECFillBar(QWidget* parent)
    : QWidget(parent)
{
    setFont(ECTheme::font(11.5));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QColor ECFillBar::colour(ECStorageBreakdown::Category category)
{
    switch (category) {
    case ECStorageBreakdown::Apps:
        return ECTheme::accent();
    case ECStorageBreakdown::Photos:
        return QColor(0x30, 0xb0, 0xc7);
    case ECStorageBreakdown::Music:
        return QColor(0xaf, 0x52, 0xde);
    case ECStorageBreakdown::Other:
        return QColor(0xa1, 0xa1, 0xa6);
    case ECStorageBreakdown::Free:
    case ECStorageBreakdown::CATEGORY_COUNT:
        break;
    }
    return ECTheme::track();
}

void ECFillBar::setLevel(
    std::optional<double> percentage, const QString& caption, const std::optional<ECStorageBreakdown>& breakdown)
{
    m_percentage = percentage;
    m_caption = caption;
    m_breakdown = percentage ? breakdown : std::nullopt;
    setAccessibleName(percentage ? QStringLiteral("Storage used: %1%").arg(qRound(*percentage)) : QString());
    QString description = caption;
    for (const QString& entry : legend()) {
        description += QStringLiteral(", ") + entry;
    }
    setAccessibleDescription(description);
    // What the phone does not report is counted in "other", and the tooltip says so.
    QStringList unreported;
    for (const auto category : { ECStorageBreakdown::Apps, ECStorageBreakdown::Photos, ECStorageBreakdown::Music }) {
        if (m_breakdown && !m_breakdown->reported(category)) {
            unreported << ECStorageBreakdown::name(category);
        }
    }
    setToolTip(unreported.isEmpty()
            ? QString()
            : QStringLiteral("This device does not report the space of %1: it is part of Other.")
                  .arg(unreported.join(QStringLiteral(", "))));
    updateGeometry();
    update();
}

QStringList ECFillBar::legend() const
{
    QStringList entries;
    if (!m_breakdown) {
        return entries;
    }
    for (const ECStorageBreakdown::Category category : ORDER) {
        if (m_breakdown->reported(category)) {
            entries << QStringLiteral("%1 %2").arg(
                ECStorageBreakdown::name(category), sizeText(m_breakdown->bytes(category)));
        }
    }
    return entries;
}

QSize ECFillBar::sizeHint() const
{
    const int line = std::max(BAR_HEIGHT, fontMetrics().height()) + 4;
    return QSize(BAR_WIDTH + CAPTION_GAP + fontMetrics().horizontalAdvance(QStringLiteral("000.0 GB of 0000 GB used")),
        m_breakdown ? line + LEGEND_GAP + fontMetrics().height() : line);
}

void ECFillBar::paintEvent(QPaintEvent*)
{
    if (!m_percentage) {
        return;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int line = std::max(BAR_HEIGHT, fontMetrics().height()) + 4;
    const int captionWidth = fontMetrics().horizontalAdvance(m_caption);
    const int total = BAR_WIDTH + (m_caption.isEmpty() ? 0 : CAPTION_GAP + captionWidth);
    const QStringList entries = legend();
    // The legend, centred under the bar and caption: a swatch and "Name size" per category, on a
    // second row when a narrow window cannot take them on one.
    std::vector<std::pair<ECStorageBreakdown::Category, QString>> shown;
    for (const ECStorageBreakdown::Category category : ORDER) {
        if (m_breakdown && m_breakdown->reported(category)) {
            shown.emplace_back(category, entries[int(shown.size())]);
        }
    }
    const auto entryWidth
        = [this](const QString& entry) { return SWATCH + SWATCH_GAP + fontMetrics().horizontalAdvance(entry); };
    int oneRow = -ENTRY_GAP;
    for (const auto& item : shown) {
        oneRow += entryWidth(item.second) + ENTRY_GAP;
    }
    const std::size_t firstRow = oneRow <= width() - 2 * ENTRY_GAP ? shown.size() : (shown.size() + 1) / 2;
    const int rows = shown.empty() ? 0 : (firstRow < shown.size() ? 2 : 1);
    const int legendHeight = rows == 0 ? 0 : LEGEND_GAP + rows * fontMetrics().height();
    const qreal top = std::max(0.0, (height() - line - legendHeight) / 2.0);
    const qreal left = (width() - total) / 2.0;
    const QRectF track(left, top + (line - BAR_HEIGHT) / 2.0, BAR_WIDTH, BAR_HEIGHT);
    const bool nearlyFull = *m_percentage > ECTheme::WARNING_PERCENT;

    p.setPen(Qt::NoPen);
    p.setBrush(ECTheme::track());
    p.drawRoundedRect(track, BAR_HEIGHT / 2.0, BAR_HEIGHT / 2.0);
    if (m_breakdown) {
        // Segments side by side inside the track's rounded outline; free space is the track.
        QPainterPath outline;
        outline.addRoundedRect(track, BAR_HEIGHT / 2.0, BAR_HEIGHT / 2.0);
        p.save();
        p.setClipPath(outline);
        qreal x = track.left();
        for (const ECStorageBreakdown::Category category : ORDER) {
            if (category == ECStorageBreakdown::Free) {
                break;
            }
            const qreal w = track.width() * double(m_breakdown->bytes(category)) / double(m_breakdown->totalBytes());
            p.fillRect(QRectF(x, track.top(), w, track.height()), colour(category));
            x += w;
        }
        p.restore();
    } else if (const double fraction = std::clamp(*m_percentage / 100.0, 0.0, 1.0); fraction > 0) {
        QRectF filled = track;
        filled.setWidth(std::max(double(BAR_HEIGHT), track.width() * fraction));
        p.setBrush(nearlyFull ? ECTheme::warning() : ECTheme::accent());
        p.drawRoundedRect(filled, BAR_HEIGHT / 2.0, BAR_HEIGHT / 2.0);
    }
    if (!m_caption.isEmpty()) {
        p.setPen(nearlyFull ? ECTheme::warning().darker(130) : ECTheme::secondaryText());
        p.drawText(QRectF(track.right() + CAPTION_GAP, top, captionWidth + 2, line), Qt::AlignVCenter | Qt::AlignLeft,
            m_caption);
    }
    const qreal legendTop = top + line + LEGEND_GAP;
    for (std::size_t row = 0; row < std::size_t(rows); ++row) {
        const std::size_t begin = row == 0 ? 0 : firstRow;
        const std::size_t end = row == 0 ? firstRow : shown.size();
        int rowWidth = -ENTRY_GAP;
        for (std::size_t i = begin; i < end; ++i) {
            rowWidth += entryWidth(shown[i].second) + ENTRY_GAP;
        }
        qreal x = (width() - rowWidth) / 2.0;
        const qreal rowTop = legendTop + qreal(row) * fontMetrics().height();
        for (std::size_t i = begin; i < end; ++i) {
            const auto& [category, entry] = shown[i];
            const qreal swatchTop = rowTop + (fontMetrics().height() - SWATCH) / 2.0;
            p.setPen(category == ECStorageBreakdown::Free ? QPen(ECTheme::hairline()) : Qt::NoPen);
            p.setBrush(colour(category));
            p.drawRoundedRect(QRectF(x, swatchTop, SWATCH, SWATCH), 2, 2);
            x += SWATCH + SWATCH_GAP;
            const int textWidth = fontMetrics().horizontalAdvance(entry);
            p.setPen(ECTheme::secondaryText());
            p.drawText(
                QRectF(x, rowTop, textWidth + 2, fontMetrics().height()), Qt::AlignVCenter | Qt::AlignLeft, entry);
            x += textWidth + ENTRY_GAP;
        }
    }
}
