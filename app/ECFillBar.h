#pragma once

#include <QWidget>

#include <optional>

/// The device's fill level drawn as a bar with the used and total sizes beside it; the bar turns
/// to the warning tone when the device is nearly full. Draws nothing without a level.
class ECFillBar : public QWidget
{
    Q_OBJECT
public:
    explicit ECFillBar(QWidget* parent = nullptr);

    /// `percentage` from 0 to 100; `caption` is the text beside the bar ("44.8 GB of 64 GB used").
    void setLevel(std::optional<double> percentage, const QString& caption);
    std::optional<double> percentage() const { return m_percentage; }
    QString caption() const { return m_caption; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<double> m_percentage;
    QString m_caption;
};
