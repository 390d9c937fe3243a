#include "modules/ECAgeRange.h"

#include <algorithm>

const std::array<ECAgeRange, ECAgeRange::COUNT>& ECAgeRange::all()
{
    static constexpr std::array<ECAgeRange, COUNT> ranges { {
        { "2 Years", 730 },
        { "1 Year", 365 },
        { "6 Months", 182 },
        { "3 Months", 91 },
        { "1 Month", 30 },
        { "2 Weeks", 14 },
        { "1 Week", 7 },
        { "3 Days", 3 },
        { "1 Day", 1 },
    } };
    return ranges;
}

const ECAgeRange& ECAgeRange::atIndex(int index)
{
    return all()[std::size_t(std::clamp(index, 0, COUNT - 1))];
}

QStringList ECAgeRange::labels()
{
    QStringList result;
    for (const auto& range : all()) {
        result.append(QString::fromLatin1(range.label));
    }
    return result;
}

QDateTime ECAgeRange::cutOffDate(const QDateTime& now, std::int64_t seconds)
{
    // Absolute seconds, so a daylight-saving change inside the range shifts the local clock
    // reading of the cut-off but never its distance from now.
    return now.toUTC().addSecs(-seconds);
}
