#include "sim/content/MediaFormats.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

std::string wholeMovie(const MediaFormats::MovieBytes& bytes)
{
    std::string file = bytes.head;
    file.resize(std::size_t(bytes.totalSize) - bytes.tail.size(), '\0');
    return file + bytes.tail;
}

std::uint32_t be32(const std::string& bytes, std::size_t offset)
{
    return (std::uint32_t(std::uint8_t(bytes[offset])) << 24) | (std::uint32_t(std::uint8_t(bytes[offset + 1])) << 16)
        | (std::uint32_t(std::uint8_t(bytes[offset + 2])) << 8) | std::uint8_t(bytes[offset + 3]);
}

} // namespace

TEST(MediaFormats, MovieHeaderCarriesDurationInBothVersions)
{
    struct Row
    {
        int version;
        std::uint32_t timescale;
        std::uint64_t duration;
        const char* brand;
        double seconds;
    };
    const Row rows[] = {
        { 0, 600, 600 * 12 + 300, "qt  ", 12.5 },
        { 1, 600, 600ULL * 3600 * 30, "mp42", 3600.0 * 30 },
        { 0, 44100, 44100 * 200, "M4A ", 200.0 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.brand);
        MediaFormats::MovieLayout movie;
        movie.majorBrand = row.brand;
        movie.headerVersion = row.version;
        movie.timescale = row.timescale;
        movie.duration = row.duration;
        movie.creationTime = 1'500'000'000;
        movie.mediaBytes = 1000;
        movie.creationDateText = "2017-07-14T04:40:00+0200";
        const auto bytes = MediaFormats::movie(movie);
        const std::string file = wholeMovie(bytes);
        ASSERT_EQ(std::int64_t(file.size()), bytes.totalSize);
        const auto seconds = MediaFormats::movieDurationSeconds(file);
        ASSERT_TRUE(seconds.has_value());
        EXPECT_DOUBLE_EQ(*seconds, row.seconds);

        // The movie header box sits where the QuickTime layout puts it, with its fixed size.
        const std::size_t mvhd = file.find("mvhd");
        ASSERT_NE(mvhd, std::string::npos);
        EXPECT_EQ(be32(file, mvhd - 4), row.version == 1 ? 120u : 108u);
        const std::uint32_t creation = row.version == 1 ? be32(file, mvhd + 4 + 4 + 4) : be32(file, mvhd + 4 + 4);
        EXPECT_EQ(std::int64_t(creation), 1'500'000'000 + MediaFormats::QUICKTIME_EPOCH_OFFSET);
        // mdat covers exactly the media bytes.
        const std::size_t mdat = file.find("mdat");
        EXPECT_EQ(be32(file, mdat - 4), 8u + 1000u);
    }
}

TEST(MediaFormats, HugeMediaUsesLargeBoxSize)
{
    MediaFormats::MovieLayout movie;
    movie.mediaBytes = 5'000'000'000LL;
    movie.duration = 600;
    const auto bytes = MediaFormats::movie(movie);
    const std::size_t mdat = bytes.head.find("mdat");
    ASSERT_NE(mdat, std::string::npos);
    EXPECT_EQ(be32(bytes.head, mdat - 4), 1u); // 64-bit size follows
    EXPECT_EQ(bytes.totalSize, std::int64_t(bytes.head.size()) + movie.mediaBytes + std::int64_t(bytes.tail.size()));
}

TEST(MediaFormats, DurationReaderRefusesDamagedFiles)
{
    MediaFormats::MovieLayout movie;
    movie.duration = 6000;
    movie.mediaBytes = 16;
    const std::string file = wholeMovie(MediaFormats::movie(movie));
    const std::size_t moov = file.find("moov");
    ASSERT_NE(moov, std::string::npos);

    std::string truncated = file.substr(0, file.size() - 50);
    EXPECT_FALSE(MediaFormats::movieDurationSeconds(truncated).has_value());
    std::string unknown = file;
    const std::size_t mvhd = unknown.find("mvhd");
    std::memset(unknown.data() + mvhd + 4 + 16, 0xFF, 4); // duration = all ones: unknown
    EXPECT_FALSE(MediaFormats::movieDurationSeconds(unknown).has_value());
    std::string zeroScale = file;
    std::memset(zeroScale.data() + mvhd + 4 + 12, 0, 4);
    EXPECT_FALSE(MediaFormats::movieDurationSeconds(zeroScale).has_value());
    EXPECT_FALSE(MediaFormats::movieDurationSeconds("").has_value());
    EXPECT_FALSE(MediaFormats::movieDurationSeconds(std::string("\0\0\0\x02moov", 8)).has_value());
}

TEST(MediaFormats, ExifDateGoesAfterJfifHeader)
{
    std::string jpeg = "\xFF\xD8\xFF\xE0";
    jpeg += std::string("\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 16);
    jpeg += "\xFF\xD9";
    const std::string result = MediaFormats::jpegWithExif(jpeg, "2016:05:01 10:11:12", "iPhone 6s");
    ASSERT_GT(result.size(), jpeg.size());
    EXPECT_EQ(result.substr(0, 20), jpeg.substr(0, 20));
    EXPECT_EQ(result.substr(20, 2), "\xFF\xE1");
    EXPECT_NE(result.find("2016:05:01 10:11:12"), std::string::npos);
    EXPECT_NE(result.find("iPhone 6s"), std::string::npos);
    EXPECT_EQ(result.substr(result.size() - 2), "\xFF\xD9");
    // Not a JPEG: unchanged.
    EXPECT_EQ(MediaFormats::jpegWithExif("GIF89a", "2016:05:01 10:11:12", "x"), "GIF89a");
}

TEST(MediaFormats, DatesInLocalTimeWithOffset)
{
    // 2016-05-01 08:11:12 UTC.
    EXPECT_EQ(MediaFormats::exifDate(1462090272, 7200), "2016:05:01 10:11:12");
    EXPECT_EQ(MediaFormats::isoDateWithOffset(1462090272, 7200), "2016-05-01T10:11:12+0200");
    EXPECT_EQ(MediaFormats::isoDateWithOffset(1462090272, -18000), "2016-05-01T03:11:12-0500");
}

TEST(MediaFormats, TiffHeaderIsBigEndianRgb)
{
    const std::string pixels(4 * 2 * 3, '\x7F');
    const std::string tiff = MediaFormats::tiffRgb(4, 2, pixels);
    EXPECT_EQ(tiff.substr(0, 4), std::string("MM\0*", 4));
    EXPECT_EQ(tiff.substr(tiff.size() - pixels.size()), pixels);
}
