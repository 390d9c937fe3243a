#include "modules/ECModuleRules.h"

#include <QLocale>

#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

class ModuleRules : public testing::Test
{
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
};

TEST_F(ModuleRules, StatusPrefersDeletingThenAnyQueuedOperation)
{
    struct Row
    {
        bool deleting;
        std::size_t work;
        std::size_t size;
        ECModuleStatus expected;
    };
    const Row rows[] = {
        { false, 0, 0, ECModuleStatus::Idle },
        { false, 1, 0, ECModuleStatus::Scanning },
        { false, 0, 1, ECModuleStatus::Scanning },
        { false, 3, 7, ECModuleStatus::Scanning },
        { true, 0, 0, ECModuleStatus::Deleting },
        { true, 2, 5, ECModuleStatus::Deleting },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.deleting << " " << row.work << " " << row.size);
        EXPECT_EQ(moduleStatusFor(row.deleting, row.work, row.size), row.expected);
    }
}

TEST_F(ModuleRules, ByteCountsUseDecimalUnits)
{
    EXPECT_EQ(formattedByteCount(12'300'000), QStringLiteral("12.3 MB"));
    EXPECT_EQ(formattedByteCount(999), QStringLiteral("999 bytes"));
    EXPECT_EQ(formattedByteCount(1'000), QStringLiteral("1.0 kB"));
    // Above 4 GiB: no 32-bit truncation anywhere on the way.
    EXPECT_EQ(formattedByteCount(5'000'000'000), QStringLiteral("5.0 GB"));
}

TEST_F(ModuleRules, CountTextIsEmptyForNoneElseBlankAndNumber)
{
    EXPECT_EQ(countText(0), QString());
    EXPECT_EQ(countText(1), QStringLiteral(" 1"));
    EXPECT_EQ(countText(3), QStringLiteral(" 3"));
    EXPECT_EQ(countText(12345), QStringLiteral(" 12345"));
    // Counts name what they count, singular or plural.
    for (const auto& [count, words] : std::vector<std::pair<std::int64_t, QString>> {
             { 0, QStringLiteral("0 Songs") }, { 1, QStringLiteral("1 Song") }, { 2, QStringLiteral("2 Songs") } }) {
        EXPECT_EQ(countedNoun(count, QStringLiteral("Song"), QStringLiteral("Songs")), words);
    }
}

TEST_F(ModuleRules, ProgressDisplayFollowsStatus)
{
    struct Row
    {
        ECModuleStatus status;
        std::int64_t bytes;
        std::int64_t count;
        ECProgressDisplay expected;
    };
    const QString title = QStringLiteral("Clear 3 selected");
    const Row rows[] = {
        { ECModuleStatus::Idle, 0, 0,
            { QStringLiteral("0 bytes selected"), false, false, false, false, title, QStringLiteral("Done") } },
        { ECModuleStatus::Idle, 12'300'000, 3,
            { QStringLiteral("12.3 MB selected"), false, false, false, true, title, QStringLiteral("Done") } },
        // Scanning wins over the selection in the label, but a chosen item enables the button.
        { ECModuleStatus::Scanning, 12'300'000, 0,
            { QStringLiteral("Scanning files..."), true, true, true, false, title, QStringLiteral("Done") } },
        { ECModuleStatus::Scanning, 12'300'000, 1,
            { QStringLiteral("Scanning files..."), true, true, true, true, title, QStringLiteral("Done") } },
        { ECModuleStatus::Deleting, 12'300'000, 3,
            { QStringLiteral("Clearing files..."), true, false, true, false, title, QStringLiteral("Cancel") } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected.label.toStdString());
        const ECProgressDisplay display = progressDisplayFor(row.status, row.bytes, row.count, title);
        EXPECT_EQ(display.label, row.expected.label);
        EXPECT_EQ(display.barVisible, row.expected.barVisible);
        EXPECT_EQ(display.barIndeterminate, row.expected.barIndeterminate);
        EXPECT_EQ(display.barAnimating, row.expected.barAnimating);
        EXPECT_EQ(display.deleteEnabled, row.expected.deleteEnabled);
        EXPECT_EQ(display.deleteTitle, row.expected.deleteTitle);
        EXPECT_EQ(display.cancelTitle, row.expected.cancelTitle);
    }
}

TEST_F(ModuleRules, ClearedSpaceReport)
{
    struct Row
    {
        const char* what;
        std::int64_t estimate;
        std::optional<std::int64_t> before;
        std::optional<std::int64_t> after;
        std::optional<std::int64_t> expected;
    };
    constexpr std::int64_t GB = 1'000'000'000;
    const Row rows[] = {
        { "estimate wins over the measured gain", 2'000'000, GB, GB + 5'000'000, 2'000'000 },
        { "estimate wins when nothing was measured", 2'000'000, GB, GB, 2'000'000 },
        { "estimate wins without a device", 2'000'000, std::nullopt, std::nullopt, 2'000'000 },
        { "no estimate reports the measured gain", 0, GB, GB + 5'000'000, 5'000'000 },
        { "no estimate and nothing freed reports nothing", 0, GB, GB, std::nullopt },
        { "less free space than before reports nothing", 0, GB, GB - 1, std::nullopt },
        { "gain above 4 GiB", 0, GB, 7 * GB, 6 * GB },
        // A failed first reading must not turn the whole free space into a gain.
        { "no reading before", 0, std::nullopt, 5 * GB, std::nullopt },
        { "no reading after (device gone)", 0, GB, std::nullopt, std::nullopt },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(clearedSpaceToReport(row.estimate, row.before, row.after), row.expected);
    }
}

}
