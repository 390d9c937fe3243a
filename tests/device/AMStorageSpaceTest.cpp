#include "device/AMStorageSpace.h"

#include <limits>

#include <gtest/gtest.h>

TEST(AMStorageSpace, ReadsByteCountsAsDevicesSendThem)
{
    struct Row
    {
        const char* what;
        PlistValue value;
        std::optional<std::int64_t> expected;
    };
    const Row rows[] = {
        { "text", PlistValue("55710433280"), 55'710'433'280 },
        { "number", PlistValue(std::int64_t { 63'978'983'424 }), 63'978'983'424 },
        { "zero", PlistValue("0"), 0 },
        { "spaces around", PlistValue(" \t4096 "), 4096 },
        { "largest", PlistValue("9223372036854775807"), std::numeric_limits<std::int64_t>::max() },
        { "beyond 64 bits", PlistValue("9223372036854775808"), std::nullopt },
        { "unsigned beyond 64 bits", PlistValue(std::uint64_t { 1 } << 63), std::nullopt },
        { "empty", PlistValue(""), std::nullopt },
        { "only spaces", PlistValue("   "), std::nullopt },
        { "negative text", PlistValue("-1"), std::nullopt },
        { "negative number", PlistValue(std::int64_t { -1 }), std::nullopt },
        { "plus sign", PlistValue("+12"), std::nullopt },
        { "trailing text", PlistValue("12abc"), std::nullopt },
        { "space inside", PlistValue("12 34"), std::nullopt },
        { "fraction", PlistValue("1.5"), std::nullopt },
        { "real", PlistValue(1.5), std::nullopt },
        { "boolean", PlistValue(true), std::nullopt },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(AMStorageSpace::byteCount(row.value), row.expected);
    }
}

TEST(AMStorageSpace, TakesEachFigureOnItsOwn)
{
    const AMStorageSpace both = AMStorageSpace::fromDeviceInfo(PlistDictionary {
        { "FSFreeBytes", PlistValue(std::int64_t { 1000 }) },
        { "FSTotalBytes", PlistValue(std::int64_t { 4000 }) },
        { "FSBlockSize", PlistValue(std::int64_t { 4096 }) },
    });
    EXPECT_EQ(both.freeBytes, 1000);
    EXPECT_EQ(both.totalBytes, 4000);

    // One figure missing or unreadable leaves the other.
    const AMStorageSpace onlyTotal = AMStorageSpace::fromDeviceInfo(PlistDictionary {
        { "FSFreeBytes", PlistValue("unknown") },
        { "FSTotalBytes", PlistValue("4000") },
    });
    EXPECT_EQ(onlyTotal.freeBytes, std::nullopt);
    EXPECT_EQ(onlyTotal.totalBytes, 4000);

    const AMStorageSpace none = AMStorageSpace::fromDeviceInfo(PlistDictionary {});
    EXPECT_EQ(none.freeBytes, std::nullopt);
    EXPECT_EQ(none.totalBytes, std::nullopt);
}
