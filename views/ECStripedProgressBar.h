#pragma once

#include <QBasicTimer>
#include <QWidget>

/// A slim progress bar drawn in the accent colour with moving diagonal stripes: determinate
/// (filled to value / maximum) or indeterminate (stripes across the whole track). The stripes
/// move only while the bar is visible and animating.
class ECStripedProgressBar : public QWidget
{
    Q_OBJECT

public:
    explicit ECStripedProgressBar(QWidget* parent = nullptr);

    int maximum() const { return m_maximum; }
    int value() const { return m_value; }
    bool isIndeterminate() const { return m_indeterminate; }
    bool isAnimating() const { return m_animating; }
    /// Whether the stripes are moving right now.
    bool isTimerRunning() const { return m_timer.isActive(); }
    /// The part of the track that is filled, 0 to 1 (1 when indeterminate).
    double fraction() const;

    void setMaximum(int maximum);
    void setValue(int value);
    void setIndeterminate(bool indeterminate);
    void setAnimating(bool animating);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void updateTimer();
    void updateAccessibleText();

    int m_maximum { 100 };
    int m_value { 0 };
    bool m_indeterminate { false };
    bool m_animating { false };
    int m_phase { 0 };
    QBasicTimer m_timer;
};
