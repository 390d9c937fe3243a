#include "views/ECTimeRangeSlider.h"

#include "modules/ECAgeRange.h"

#include <QLabel>

#include <algorithm>

ECTimeRangeSlider::ECTimeRangeSlider(QWidget* parent)
    : QSlider(Qt::Horizontal, parent)
{
    setRange(0, ECAgeRange::COUNT - 1);
    setSingleStep(1);
    setPageStep(1);
    setTickInterval(1);
    setTickPosition(QSlider::TicksBelow);
    setTracking(true);
    setAccessibleName(tr("Age"));
    awakeFromNib();
}

void ECTimeRangeSlider::awakeFromNib()
{
    QList<int> days;
    for (const auto& range : ECAgeRange::all()) {
        days.append(range.days);
    }
    setTimeValues(std::move(days));
    setTimeLabels(ECAgeRange::labels());
}

int ECTimeRangeSlider::clampedIndex() const
{
    const auto count = int(std::min(m_timeValues.size(), m_timeLabels.size()));
    return std::clamp(value(), 0, std::max(count - 1, 0));
}

double ECTimeRangeSlider::timeRange() const
{
    if (m_timeValues.isEmpty()) {
        return 0;
    }
    // In integers first: days × 86,400 is exact, then handed out as a double.
    return double(std::int64_t(m_timeValues.at(clampedIndex())) * ECAgeRange::SECONDS_PER_DAY);
}

QString ECTimeRangeSlider::readableTimeRange() const
{
    if (m_timeLabels.isEmpty()) {
        return {};
    }
    return m_timeLabels.at(clampedIndex());
}
