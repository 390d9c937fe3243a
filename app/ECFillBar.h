#pragma once

#include "app/ECStorageBreakdown.h"

#include <QWidget>

#include <optional>

/// The device's fill level drawn as a bar with the used and total sizes beside it. With a
/// breakdown the bar is split into where the space goes (apps, photos and videos, music, other,
/// free), with a legend beneath; categories the phone does not report are part of "other". The
/// caption turns to the warning tone when the device is nearly full. Draws nothing without a level.
class ECFillBar : public QWidget
{
    Q_OBJECT
public:
    explicit ECFillBar(QWidget* parent = nullptr);

    /// `percentage` from 0 to 100; `caption` is the text beside the bar ("44.8 GB of 64 GB used");
    /// `breakdown` comes from the same reading.
    void setLevel(std::optional<double> percentage,
        const QString& caption,
        const std::optional<ECStorageBreakdown>& breakdown = std::nullopt);
    std::optional<double> percentage() const { return m_percentage; }
    QString caption() const { return m_caption; }
    const std::optional<ECStorageBreakdown>& breakdown() const { return m_breakdown; }
    /// The legend's entries as shown, in order ("Apps 12.3 GB"); empty without a breakdown.
    QStringList legend() const;

    /// The colour of a category in the bar and the legend.
    static QColor colour(ECStorageBreakdown::Category category);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<double> m_percentage;
    QString m_caption;
    std::optional<ECStorageBreakdown> m_breakdown;
};
