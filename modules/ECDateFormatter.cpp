#include "modules/ECDateFormatter.h"

#include "modules/ECClock.h"

#include <QCoreApplication>

ECDateFormatter::ECDateFormatter(Style style, const ECClock* clock)
    : m_style(style)
    , m_clock(clock ? clock : &ECClock::system())
{
}

QString ECDateFormatter::stringForObjectValue(const QVariant& value) const
{
    switch (value.typeId()) {
    case QMetaType::QDateTime:
        return stringForDate(value.toDateTime());
    case QMetaType::QDate:
        return stringForDate(value.toDate().startOfDay(Qt::UTC));
    default:
        return stringForDate(std::nullopt);
    }
}

QString ECDateFormatter::stringForDate(const std::optional<QDateTime>& date) const
{
    if (!date || !date->isValid() || date->toSecsSinceEpoch() <= 0) {
        return QStringLiteral("Never");
    }
    const QDateTime local = date->toLocalTime();
    if (m_style == Style::Relative) {
        const QDate today = m_clock->now().toLocalTime().date();
        const qint64 daysAgo = local.date().daysTo(today);
        if (daysAgo == 0) {
            return QCoreApplication::translate("ECDateFormatter", "Today");
        }
        if (daysAgo == 1) {
            return QCoreApplication::translate("ECDateFormatter", "Yesterday");
        }
        if (daysAgo > 1 && daysAgo < 7) {
            return QCoreApplication::translate("ECDateFormatter", "%1 days ago").arg(daysAgo);
        }
    }
    if (m_showsTime) {
        return m_locale.toString(local, m_dateFormat);
    }
    return m_locale.toString(local.date(), m_dateFormat);
}
