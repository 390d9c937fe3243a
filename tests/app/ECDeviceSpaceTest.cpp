#include "app/ECDeviceSpace.h"

#include "app/ECStorageBreakdown.h"

#include <QLocale>

#include <array>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t GIB = std::int64_t(1) << 30;

TEST(ECDeviceSpace, CapacityAsSold)
{
    struct Row
    {
        std::int64_t total;
        std::int32_t size;
    };
    const Row rows[] = {
        { std::numeric_limits<std::int64_t>::min(), 16 },
        { -1, 16 },
        { 0, 16 },
        { 16 * GIB - 1, 16 },
        { 16 * GIB, 32 },
        { 32 * GIB - 1, 32 },
        { 32 * GIB, 64 },
        { 55'710'433'280, 64 }, // the demo phone's data volume
        { 64 * GIB, 128 },
        { 128 * GIB - 1, 128 },
        { 128 * GIB, 256 },
        { 256 * GIB - 1, 256 },
        { 256 * GIB, 256 },
        { 256 * GIB + GIB, 257 },
        { 256 * GIB + GIB - 1, 256 }, // whole GiB only, truncated
        { 1000 * GIB + GIB / 2, 1000 },
        // An absurd total must not overflow the conversion.
        { std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int32_t>::max() },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.total);
        EXPECT_EQ(ECDeviceSpace::convertTotalSpaceToDeviceSize(row.total), row.size);
    }
}

TEST(ECDeviceSpace, StatusTextRoundsTheFillLevel)
{
    struct Row
    {
        std::optional<std::int64_t> free;
        std::optional<std::int64_t> total;
        const char* text;
    };
    const Row rows[] = {
        { 16'710'433'280, 55'710'433'280, "Your device is 70% full!" },
        { 0, 1000, "Your device is 100% full!" },
        { 1000, 1000, "Your device is 0% full!" },
        { 505, 1000, "Your device is 50% full!" }, // 49.5 rounds to even through printf
        { 494, 1000, "Your device is 51% full!" },
        // Sizes over 4 GiB and over 2^24 keep their ratio in single precision.
        { 3 * GIB, 4 * GIB, "Your device is 25% full!" },
        { std::nullopt, 1000, "" },
        { 10, std::nullopt, "" },
        // Nonsense from a device gives no figure rather than a wrong one.
        { 10, 0, "" },
        { 10, -5, "" },
        { -1, 1000, "" },
        { 2000, 1000, "" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.text));
        EXPECT_EQ(
            ECDeviceSpace::statusText(ECDeviceSpace::fillPercentage(row.free, row.total)).toStdString(), row.text);
    }
}

TEST(ECDeviceSpace, PickerSpaceText)
{
    EXPECT_EQ(ECDeviceSpace::pickerSpaceText(16'710'433'280, 55'710'433'280).toStdString(), "64 GB - 70% full");
    EXPECT_EQ(ECDeviceSpace::pickerSpaceText(GIB, 16 * GIB).toStdString(), "32 GB - 94% full");
    EXPECT_EQ(ECDeviceSpace::pickerSpaceText(std::nullopt, 16 * GIB).toStdString(), "");
}

TEST(ECDeviceSpace, FillCaptionSaysWhatTheMediaAreaRead)
{
    const QLocale previous;
    QLocale::setDefault(QLocale::c());
    // 55.7 GB of user space on a phone sold as 64 GB: the caption reads the area's own bytes,
    // never the percentage times the capacity as sold.
    EXPECT_EQ(ECDeviceSpace::fillCaption(16'510'433'280, 55'710'433'280).toStdString(), "39.2 GB of 55.7 GB used");
    EXPECT_EQ(ECDeviceSpace::pickerSpaceText(16'510'433'280, 55'710'433'280).toStdString(), "64 GB - 70% full");
    EXPECT_EQ(ECDeviceSpace::fillCaption(0, 300 * GIB).toStdString(), "322.1 GB of 322.1 GB used");
    EXPECT_EQ(ECDeviceSpace::fillCaption(GIB, GIB).toStdString(), "0 bytes of 1.1 GB used");
    EXPECT_EQ(ECDeviceSpace::fillCaption(std::nullopt, 16 * GIB).toStdString(), "");
    EXPECT_EQ(ECDeviceSpace::fillCaption(20 * GIB, 16 * GIB).toStdString(), "");
    QLocale::setDefault(previous);
}

TEST(ECDeviceSpace, LeadingVersionNumber)
{
    struct Row
    {
        const char* text;
        float number;
    };
    const Row rows[] = {
        { "8.3", 8.3f },
        { "8.4.1", 8.4f },
        { "9.3.5", 9.3f },
        { "10", 10.0f },
        { " 12.1", 12.1f },
        { "", 0.0f },
        { "beta", 0.0f },
        { "8.", 8.0f },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(ECDeviceSpace::leadingVersionNumber(QString::fromLatin1(row.text)), row.number);
    }
    // 8.3 read in single precision still counts as 8.3 or later once widened.
    EXPECT_GE(double(ECDeviceSpace::leadingVersionNumber(QStringLiteral("8.3"))), 8.3);
    EXPECT_LT(double(ECDeviceSpace::leadingVersionNumber(QStringLiteral("8.2.9"))), 8.3);
}

TEST(ECStorageBreakdown, PartsAddUpWithoutGuessing)
{
    using B = ECStorageBreakdown;
    // What the phone's disk-usage values say: photos are the camera roll and synced photos.
    const ECCategoryUsage read = ECCategoryUsage::fromDiskUsage(
        { { "MobileApplicationUsage", PlistValue("300") }, { "CameraUsage", PlistValue(std::int64_t(150)) },
            { "PhotoUsage", PlistValue("50") }, { "NotesUsage", PlistValue("7") } });
    EXPECT_EQ(read, (ECCategoryUsage { 300, 200, std::nullopt }));
    EXPECT_EQ(ECCategoryUsage::fromDiskUsage({ { "CameraUsage", PlistValue("-5") } }), ECCategoryUsage {});
    struct Row
    {
        const char* name;
        ECCategoryUsage usage;
        std::array<std::int64_t, B::CATEGORY_COUNT> bytes; // apps, photos, music, other, free
    };
    const Row rows[] = {
        { "all reported", { 300, 200, 100 }, { 300, 200, 100, 100, 300 } },
        { "none reported", {}, { 0, 0, 0, 700, 300 } },
        { "music only", { std::nullopt, std::nullopt, 100 }, { 0, 0, 100, 600, 300 } },
        // Read a moment apart, the figures may exceed the used space: cut, in order.
        { "over-reported", { 500, 400, 100 }, { 500, 200, 0, 0, 300 } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<B> breakdown = B::make(300, 1000, row.usage);
        ASSERT_TRUE(breakdown);
        std::int64_t sum = 0;
        for (int category = 0; category < B::CATEGORY_COUNT; ++category) {
            EXPECT_EQ(breakdown->bytes(B::Category(category)), row.bytes[std::size_t(category)]) << category;
            sum += breakdown->bytes(B::Category(category));
        }
        EXPECT_EQ(sum, 1000);
        EXPECT_EQ(breakdown->reported(B::Apps), row.usage.appBytes.has_value());
        EXPECT_EQ(breakdown->reported(B::Music), row.usage.musicBytes.has_value());
    }
    EXPECT_FALSE(B::make(std::nullopt, 1000, {}));
    EXPECT_FALSE(B::make(1001, 1000, {}));
    EXPECT_FALSE(B::make(0, 0, {}));
}

} // namespace
