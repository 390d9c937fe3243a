#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>

/// The nine age ranges the removal tools offer, oldest first. A day is always 86,400 seconds;
/// months and years are fixed day counts, never calendar arithmetic.
struct ECAgeRange
{
    const char* label;
    int days;

    static constexpr std::int64_t SECONDS_PER_DAY = 86'400;
    static constexpr int COUNT = 9;

    constexpr std::int64_t seconds() const { return std::int64_t(days) * SECONDS_PER_DAY; }

    /// The nine ranges in control order: index 0 is "2 Years", index 8 is "1 Day".
    static const std::array<ECAgeRange, COUNT>& all();
    /// The range at a control index; an index outside 0...8 is clamped to the nearest end, since a
    /// control can only ever report one of the nine.
    static const ECAgeRange& atIndex(int index);
    static QStringList labels();

    /// The moment before which things count as old: `now` minus `seconds`, in absolute time.
    static QDateTime cutOffDate(const QDateTime& now, std::int64_t seconds);
};
