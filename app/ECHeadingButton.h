#pragma once

#include <QAbstractButton>
#include <QPixmap>

/// The main window's heading: large text with the device-picker arrow after it. It stays a
/// button at all times; the arrow image says whether pressing it offers a choice.
class ECHeadingButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit ECHeadingButton(QWidget* parent = nullptr);

    /// The arrow image and the name it is known by ("placeholder-down-arrow.png" or
    /// "transparent-arrow-replacement.png").
    void setArrowImage(const QPixmap& image, const QString& name);
    QString arrowImageName() const { return m_arrowName; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap m_arrow;
    QString m_arrowName;
};
