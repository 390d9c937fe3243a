#include "base/PlistValue.h"

#include "tests/base/PlistPrinting.h"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

TEST(PlistValue, TypedReadsRefuseOtherTypes)
{
    const PlistValue text("abc");
    EXPECT_FALSE(text.toBool());
    EXPECT_FALSE(text.toInt64());
    EXPECT_FALSE(text.toDouble());
    EXPECT_EQ(text.asData(), nullptr);
    EXPECT_EQ(text.asArray(), nullptr);
    EXPECT_EQ(text.find("key"), nullptr);
    EXPECT_EQ(text.stringForKey("key"), "");
    EXPECT_EQ(*text.asString(), "abc");
    EXPECT_TRUE(PlistValue(static_cast<const char*>(nullptr)).isNull());
}

TEST(PlistValue, IntegerConversionsAtTheEdges)
{
    constexpr auto INT64_MIN_VALUE = std::numeric_limits<std::int64_t>::min();
    constexpr auto UINT64_MAX_VALUE = std::numeric_limits<std::uint64_t>::max();

    const PlistValue negative(-1);
    EXPECT_EQ(negative.toInt64(), -1);
    EXPECT_FALSE(negative.toUInt64());
    EXPECT_FALSE(negative.isUnsignedInteger());

    const PlistValue huge(static_cast<unsigned long long>(UINT64_MAX_VALUE));
    EXPECT_TRUE(huge.isUnsignedInteger());
    EXPECT_EQ(huge.toUInt64(), UINT64_MAX_VALUE);
    EXPECT_FALSE(huge.toInt64());
    EXPECT_DOUBLE_EQ(*huge.toDouble(), 18446744073709551615.0);

    const PlistValue smallest(static_cast<long long>(INT64_MIN_VALUE));
    EXPECT_EQ(smallest.toInt64(), INT64_MIN_VALUE);
    EXPECT_FALSE(smallest.toUInt64());

    // Same number, different storage: equal. Same bits, different numbers: not equal.
    EXPECT_EQ(PlistValue(5), PlistValue(5u));
    EXPECT_NE(PlistValue(-1), huge);

    EXPECT_EQ(PlistValue(2.9).toInt64(), 2);
    EXPECT_EQ(PlistValue(-2.9).toInt64(), -2);
    EXPECT_FALSE(PlistValue(-2.0).toUInt64());
    EXPECT_FALSE(PlistValue(1e300).toInt64());
    EXPECT_FALSE(PlistValue(std::numeric_limits<double>::quiet_NaN()).toInt64());
}

TEST(PlistValue, CopiesAreDeepAndMovesLeaveNull)
{
    PlistValue original(PlistDictionary { { "list", PlistArray { 1, "two" } } });
    PlistValue copy = original;
    copy.asDictionary()->at("list").asArray()->push_back(3.0);
    EXPECT_EQ(original.find("list")->asArray()->size(), 2u);
    EXPECT_EQ(copy.find("list")->asArray()->size(), 3u);
    EXPECT_NE(original, copy);

    PlistValue moved = std::move(copy);
    EXPECT_TRUE(copy.isNull()); // NOLINT(bugprone-use-after-move): the moved-from state is defined
    EXPECT_EQ(moved.find("list")->asArray()->size(), 3u);

    // Assigning a value from inside itself must not read freed memory.
    PlistValue nested(PlistArray { PlistArray { "inner" } });
    nested = (*nested.asArray())[0];
    ASSERT_TRUE(nested.isArray());
    EXPECT_EQ(*(*nested.asArray())[0].asString(), "inner");
    PlistValue nestedMove(PlistArray { PlistArray { "inner" } });
    nestedMove = std::move((*nestedMove.asArray())[0]);
    EXPECT_EQ(*(*nestedMove.asArray())[0].asString(), "inner");
}

TEST(PlistValue, EqualityComparesTypeAndContent)
{
    EXPECT_EQ(PlistValue(), PlistValue());
    EXPECT_NE(PlistValue(1), PlistValue(1.0));
    EXPECT_NE(PlistValue(true), PlistValue(1));
    EXPECT_NE(PlistValue(""), PlistValue(PlistData {}));
    EXPECT_EQ(PlistValue(PlistDate { 5 }), PlistValue(PlistDate { 5 }));
    EXPECT_NE(PlistValue(PlistDate { 5 }), PlistValue(PlistDate { 6 }));
    EXPECT_NE(PlistValue(PlistUid { 1 }), PlistValue(1));
    EXPECT_NE(PlistValue(PlistArray {}), PlistValue(PlistDictionary {}));
}

TEST(PlistDate, FromSecondsRoundsToMicroseconds)
{
    EXPECT_EQ(PlistDate::fromSecondsSince1970(1.0000004).microsecondsSince1970, 1000000);
    EXPECT_EQ(PlistDate::fromSecondsSince1970(-0.5).microsecondsSince1970, -500000);
    EXPECT_EQ(PlistDate::fromSecondsSince1970(1e300).microsecondsSince1970, std::numeric_limits<std::int64_t>::max());
}
