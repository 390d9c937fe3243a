#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QVariant>

class ECClock;

/// Writes dates for tables. A date that is missing, or not after 1 January 1970 00:00 UTC, is
/// written "Never". With relative style, dates of the last week read "Today", "Yesterday" or
/// "3 days ago"; older ones, and future ones, are written in the locale's short date format.
class ECDateFormatter
{
public:
    enum class Style {
        Absolute,
        Relative,
    };

    explicit ECDateFormatter(Style style = Style::Absolute, const ECClock* clock = nullptr);

    /// `value` may be a QDateTime, a QDate, or empty.
    QString stringForObjectValue(const QVariant& value) const;
    QString stringForDate(const std::optional<QDateTime>& date) const;

    void setLocale(const QLocale& locale) { m_locale = locale; }
    void setDateFormat(QLocale::FormatType format) { m_dateFormat = format; }
    /// Whether the time of day is written after the date in the absolute style.
    void setShowsTime(bool showsTime) { m_showsTime = showsTime; }

private:
    Style m_style;
    const ECClock* m_clock;
    QLocale m_locale;
    QLocale::FormatType m_dateFormat { QLocale::ShortFormat };
    bool m_showsTime { false };
};
