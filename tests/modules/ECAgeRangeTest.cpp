#include "modules/ECAgeRange.h"

#include "modules/ECClock.h"
#include "modules/ECDateFormatter.h"

#include <QTimeZone>

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

namespace {

TEST(AgeRange, NineRangesOldestFirstInExactSeconds)
{
    struct Row
    {
        const char* label;
        std::int64_t seconds;
    };
    const Row expected[] = {
        { "2 Years", 63'072'000 },
        { "1 Year", 31'536'000 },
        { "6 Months", 15'724'800 },
        { "3 Months", 7'862'400 },
        { "1 Month", 2'592'000 },
        { "2 Weeks", 1'209'600 },
        { "1 Week", 604'800 },
        { "3 Days", 259'200 },
        { "1 Day", 86'400 },
    };
    ASSERT_EQ(ECAgeRange::all().size(), std::size(expected));
    for (int index = 0; index < ECAgeRange::COUNT; ++index) {
        SCOPED_TRACE(index);
        EXPECT_STREQ(ECAgeRange::atIndex(index).label, expected[index].label);
        EXPECT_EQ(ECAgeRange::atIndex(index).seconds(), expected[index].seconds);
        EXPECT_EQ(ECAgeRange::labels().at(index), QString::fromLatin1(expected[index].label));
    }
    // Out-of-range indexes stay at the ends rather than reading past the table.
    EXPECT_STREQ(ECAgeRange::atIndex(-1).label, "2 Years");
    EXPECT_STREQ(ECAgeRange::atIndex(9).label, "1 Day");
}

TEST(AgeRange, CutOffIsNowMinusTheRangeInAbsoluteSeconds)
{
    const QDateTime noonOn15th(QDate(2026, 3, 15), QTime(12, 0), Qt::UTC);
    EXPECT_EQ(ECAgeRange::cutOffDate(noonOn15th, ECAgeRange::atIndex(6).seconds()),
        QDateTime(QDate(2026, 3, 8), QTime(12, 0), Qt::UTC));

    // Across a daylight-saving change the local clock reading moves, the distance does not: a
    // week before 30 March 12:00 in Berlin is 23 March 11:00 local time.
    const QTimeZone berlin("Europe/Berlin");
    ASSERT_TRUE(berlin.isValid());
    const QDateTime afterSwitch(QDate(2026, 3, 30), QTime(12, 0), berlin);
    const QDateTime cutOff = ECAgeRange::cutOffDate(afterSwitch, ECAgeRange::atIndex(6).seconds());
    EXPECT_EQ(cutOff.secsTo(afterSwitch), 604'800);
    EXPECT_EQ(cutOff.toTimeZone(berlin).time(), QTime(11, 0));
}

TEST(AgeRange, CutOffKeepsMillisecondsSoBoundaryDatesCompareExactly)
{
    const QDateTime now(QDate(2026, 6, 1), QTime(9, 30, 15, 250), Qt::UTC);
    const QDateTime cutOff = ECAgeRange::cutOffDate(now, 86'400);
    const QDateTime atBoundary(QDate(2026, 5, 31), QTime(9, 30, 15, 250), Qt::UTC);
    EXPECT_EQ(cutOff, atBoundary);
    // "used at or before the cut-off" keeps the item; "strictly before" drops it.
    EXPECT_TRUE(atBoundary <= cutOff);
    EXPECT_FALSE(atBoundary < cutOff);
    EXPECT_FALSE(atBoundary.addMSecs(1) <= cutOff);
    EXPECT_TRUE(atBoundary.addMSecs(-1) < cutOff);
}

class DateFormatter : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(DateFormatter, NeverForAbsentOrNotAfter1970)
{
    const ECDateFormatter formatter;
    const QDateTime epoch = QDateTime::fromSecsSinceEpoch(0, Qt::UTC);
    EXPECT_EQ(formatter.stringForObjectValue(QVariant()), QStringLiteral("Never"));
    EXPECT_EQ(formatter.stringForObjectValue(epoch), QStringLiteral("Never"));
    EXPECT_EQ(formatter.stringForObjectValue(epoch.addSecs(-3600)), QStringLiteral("Never"));
    EXPECT_EQ(formatter.stringForObjectValue(QDateTime()), QStringLiteral("Never"));
    const QString oneSecondLater = formatter.stringForObjectValue(epoch.addSecs(1));
    EXPECT_NE(oneSecondLater, QStringLiteral("Never"));
    EXPECT_FALSE(oneSecondLater.isEmpty());
}

TEST_F(DateFormatter, RelativeForTheLastWeekAbsoluteOtherwise)
{
    const ECFixedClock clock(QDateTime(QDate(2026, 12, 6), QTime(8, 0), Qt::UTC));
    ECDateFormatter formatter(ECDateFormatter::Style::Relative, &clock);
    formatter.setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
    struct Row
    {
        QDateTime date;
        QString expected;
    };
    const Row rows[] = {
        { QDateTime(QDate(2026, 12, 6), QTime(0, 0, 1), Qt::UTC), QStringLiteral("Today") },
        { QDateTime(QDate(2026, 12, 5), QTime(23, 59), Qt::UTC), QStringLiteral("Yesterday") },
        { QDateTime(QDate(2026, 12, 3), QTime(12, 0), Qt::UTC), QStringLiteral("3 days ago") },
        { QDateTime(QDate(2026, 11, 30), QTime(12, 0), Qt::UTC), QStringLiteral("6 days ago") },
        { QDateTime(QDate(2026, 11, 29), QTime(12, 0), Qt::UTC),
            QLocale(QLocale::English, QLocale::UnitedStates).toString(QDate(2026, 11, 29), QLocale::ShortFormat) },
        // A date in the future is written as a date, not as "-2 days ago".
        { QDateTime(QDate(2026, 12, 8), QTime(12, 0), Qt::UTC),
            QLocale(QLocale::English, QLocale::UnitedStates).toString(QDate(2026, 12, 8), QLocale::ShortFormat) },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected.toStdString());
        EXPECT_EQ(formatter.stringForObjectValue(row.date), row.expected);
    }
}

}
