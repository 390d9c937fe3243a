#include "platform/image_capture/ICCaptureTime.h"

#include "tests/support/MediaSamples.h"

#include <QTimeZone>

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace {

using MediaSamples::heic;
using MediaSamples::jpeg;
using MediaSamples::movie;
using MediaSamples::tiff;

std::uint64_t movieSeconds(const QDateTime& utc)
{
    return std::uint64_t(utc.toSecsSinceEpoch() + MediaSamples::MOVIE_EPOCH_OFFSET);
}

} // namespace

TEST(ICCaptureTimeTest, ReadsWhenEachKindOfFileWasTaken)
{
    const QDateTime local(QDate(2015, 3, 7), QTime(14, 22, 5));
    const QDateTime utcMovie(QDate(2016, 6, 9), QTime(8, 30, 0), Qt::UTC);
    const QDateTime withOffset(QDate(2015, 3, 7), QTime(14, 22, 5), QTimeZone(2 * 3600));
    const std::string date = "2015:03:07 14:22:05";
    const std::string exif = tiff(false, date);
    const std::string truncatedJpeg = [&] {
        // The EXIF block says it is whole, but the bytes end before the date's text.
        std::string file = jpeg(exif);
        return file.substr(0, file.find(date) + 4);
    }();

    struct Case
    {
        const char* name;
        std::string bytes;
        std::optional<QDateTime> expected;
    };
    const Case cases[] = {
        { "JPEG with EXIF, big-endian", jpeg(exif), local },
        { "JPEG with EXIF, little-endian, with its offset", jpeg(tiff(true, date, "+02:00")), withOffset },
        { "JPEG without EXIF", jpeg(std::nullopt), std::nullopt },
        { "JPEG with a truncated EXIF block", truncatedJpeg, std::nullopt },
        { "JPEG whose date is blank", jpeg(tiff(false, "    :  :     :  :  ")), std::nullopt },
        { "JPEG whose date is not a date", jpeg(tiff(false, "2015:02:30 10:00:00")), std::nullopt },
        { "HEIC, iloc version 0", heic(exif, 0), local },
        { "HEIC, iloc version 1", heic(tiff(true, date), 1), local },
        { "movie with a version 0 header", movie(0, movieSeconds(utcMovie)), utcMovie },
        { "movie with a version 1 header", movie(1, movieSeconds(utcMovie)), utcMovie },
        { "movie whose header has no date", movie(0, 0), std::nullopt },
        { "movie cut before its header", movie(0, movieSeconds(utcMovie)).substr(0, 600), std::nullopt },
        { "text file", std::string("just some words, not a picture"), std::nullopt },
        { "nothing", std::string(), std::nullopt },
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const std::optional<QDateTime> read = ICCaptureTime::captureTime(test.bytes);
        ASSERT_EQ(read.has_value(), test.expected.has_value());
        if (read) {
            EXPECT_EQ(read->toUTC(), test.expected->toUTC());
            EXPECT_EQ(read->timeSpec(), test.expected->timeSpec());
            const bool movieCase = std::string_view(test.name).starts_with("movie");
            EXPECT_EQ(ICCaptureTime::read(test.bytes)->origin,
                movieCase ? ICCaptureTime::Origin::MovieHeader : ICCaptureTime::Origin::Exif);
        }
        // Every shorter start of the file is read without harm, and never gives another time.
        for (std::size_t length = 0; length < test.bytes.size(); ++length) {
            const auto partial = ICCaptureTime::captureTime(std::string_view(test.bytes).substr(0, length));
            if (partial) {
                ASSERT_TRUE(read) << "after " << length << " bytes";
                ASSERT_EQ(partial->toUTC(), read->toUTC()) << "after " << length << " bytes";
            }
        }
    }
}

TEST(ICCaptureTimeTest, RefusesDirectoriesThatPointOutsideTheBlock)
{
    std::string block = tiff(false, "2015:03:07 14:22:05");
    const auto withByte = [&](std::size_t at, char value) {
        std::string damaged = block;
        damaged[at] = value;
        return damaged;
    };
    EXPECT_TRUE(ICCaptureTime::captureTimeFromTiff(block));
    // The EXIF directory pointer, the entry count and the date's offset, each far out of range.
    EXPECT_FALSE(ICCaptureTime::captureTimeFromTiff(withByte(18, char(0x7F))));
    EXPECT_FALSE(ICCaptureTime::captureTimeFromTiff(withByte(26, char(0xFF))));
    EXPECT_FALSE(ICCaptureTime::captureTimeFromTiff(withByte(36, char(0xFF))));
}
