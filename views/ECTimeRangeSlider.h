#pragma once

#include <QLabel>
#include <QList>
#include <QPointer>
#include <QSlider>
#include <QStringList>

/// A slider over the nine age ranges; its integer value (0...8) is the index, oldest first.
class ECTimeRangeSlider : public QSlider
{
    Q_OBJECT

public:
    explicit ECTimeRangeSlider(QWidget* parent = nullptr);

    /// Sets the days and labels of the nine ranges; the constructor calls it.
    void awakeFromNib();

    /// Seconds of the range at the slider's value.
    double timeRange() const;
    /// Label of the range at the slider's value, e.g. "6 Months".
    QString readableTimeRange() const;

    const QList<int>& timeValues() const { return m_timeValues; }
    void setTimeValues(QList<int> values) { m_timeValues = std::move(values); }
    const QStringList& timeLabels() const { return m_timeLabels; }
    void setTimeLabels(QStringList labels) { m_timeLabels = std::move(labels); }

    /// A label placed next to the slider; the slider never writes to it, its owner does.
    QLabel* label() const { return m_label; }
    void setLabel(QLabel* label) { m_label = label; }

private:
    int clampedIndex() const;

    QList<int> m_timeValues;
    QStringList m_timeLabels;
    QPointer<QLabel> m_label;
};
