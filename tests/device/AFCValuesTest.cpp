#include "device/AFCValues.h"

#include <gtest/gtest.h>

TEST(AFCValues, ConvertsPairValuesToNumbersOnlyWhenAllDigits)
{
    struct Row
    {
        const char* text;
        PlistValue expected;
    };
    const Row rows[] = {
        { "64", PlistValue(std::int64_t { 64 }) },
        { "", PlistValue(std::int64_t { 0 }) },
        { "0007", PlistValue(std::int64_t { 7 }) },
        { "1494244521000000000", PlistValue(std::int64_t { 1494244521000000000 }) },
        { "9223372036854775807", PlistValue(std::int64_t { 9223372036854775807 }) },
        // Too many digits for 64 bits: kept as the device sent it rather than wrapped.
        { "9223372036854775808", PlistValue("9223372036854775808") },
        { "-1", PlistValue("-1") },
        { "1.5", PlistValue("1.5") },
        { "S_IFDIR", PlistValue("S_IFDIR") },
        { "12a", PlistValue("12a") },
        { " 12", PlistValue(" 12") },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(afcPairValue(row.text), row.expected);
    }
}

TEST(AFCValues, TruncatesNanosecondsToWholeSeconds)
{
    struct Row
    {
        std::int64_t nanoseconds;
        std::int64_t seconds;
    };
    const Row rows[] = {
        { 0, 0 }, { 1'494'244'521'000'000'000, 1'494'244'521 },
        { 1'494'244'521'999'999'999, 1'494'244'521 }, // one short of the next second
        { 999'999'999, 0 }, { -1'500'000'000, -1 }, // toward zero, not down
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.nanoseconds);
        EXPECT_EQ(afcDateFromNanoseconds(row.nanoseconds), PlistDate { row.seconds * 1'000'000 });
    }
}

TEST(AFCValues, JoinsPathsWithOneSlash)
{
    struct Row
    {
        const char* directory;
        const char* name;
        const char* expected;
    };
    const Row rows[] = {
        { "/", "DCIM", "/DCIM" },
        { "/DCIM", "100APPLE", "/DCIM/100APPLE" },
        { "/DCIM/", "100APPLE", "/DCIM/100APPLE" },
        { "/DCIM//", "x", "/DCIM/x" },
        { "", "x", "x" },
        { "d", ".hidden", "d/.hidden" },
        { "/a", "/b", "/a/b" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.directory) + " + " + row.name);
        EXPECT_EQ(afcJoinPath(row.directory, row.name), row.expected);
    }
}

TEST(AFCValues, FindsTheLastPathComponent)
{
    EXPECT_EQ(afcLastPathComponent("/a/b"), "b");
    EXPECT_EQ(afcLastPathComponent("/a/b/"), "b");
    EXPECT_EQ(afcLastPathComponent("b"), "b");
    EXPECT_EQ(afcLastPathComponent("/"), "/");
    EXPECT_EQ(afcLastPathComponent("/x"), "x");
}
