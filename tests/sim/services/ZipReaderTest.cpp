#include "sim/services/ZipReader.h"

#include "sim/services/FileRelayArchive.h"
#include "tests/sim/services/ZipWriterForTests.h"

#include <QByteArray>

#include <gtest/gtest.h>

TEST(ZipReader, InflatesWhatZlibDeflates)
{
    std::string text;
    for (int i = 0; i < 5000; ++i) {
        text += "line " + std::to_string(i * 7919 % 1000) + " of the package\n";
    }
    text += std::string(70'000, '\0'); // long runs: overlapping copies
    for (int level : { 0, 1, 9 }) {
        SCOPED_TRACE(level);
        const std::string raw = rawDeflate(text, level);
        const auto inflated = ZipReader::inflate(raw, text.size());
        ASSERT_TRUE(inflated);
        EXPECT_EQ(*inflated, text);
        // Output beyond the limit is refused, not produced.
        EXPECT_FALSE(ZipReader::inflate(raw, text.size() - 1));
    }
    EXPECT_FALSE(ZipReader::inflate("", 10));
    EXPECT_FALSE(ZipReader::inflate(std::string("\x07\xFF\xFF\xFF", 4), 1000)); // reserved block type
}

TEST(ZipReader, ReadsEntriesAndRefusesDamage)
{
    const std::string info = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>";
    const std::string binary(40'000, 'b');
    const std::string zip = zipArchive({ { "Payload/", "", false }, { "Payload/A.app/Info.plist", info, true },
        { "Payload/A.app/A", binary, false } });
    ZipReader reader(zip);
    ASSERT_TRUE(reader.open()) << reader.error();
    ASSERT_EQ(reader.entries().size(), 3u);
    EXPECT_TRUE(reader.entries()[0].isDirectory());
    EXPECT_EQ(reader.read(reader.entries()[1], 1 << 20), info);
    EXPECT_EQ(reader.read(reader.entries()[2], 1 << 20), binary);
    EXPECT_FALSE(reader.read(reader.entries()[2], 1000)) << "larger than allowed";

    std::string corrupted = zip;
    corrupted[corrupted.find("bbbb")] = 'c'; // CRC no longer matches
    ZipReader damaged(corrupted);
    ASSERT_TRUE(damaged.open());
    EXPECT_FALSE(damaged.read(damaged.entries()[2], 1 << 20));

    for (std::size_t cut : { std::size_t(0), std::size_t(10), zip.size() - 5 }) {
        SCOPED_TRACE(cut);
        ZipReader truncated(std::string_view(zip).substr(0, cut));
        EXPECT_FALSE(truncated.open());
    }
}
