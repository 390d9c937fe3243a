#include "base/PlistValue.h"
#include "sim/content/ContentGenerators.h"
#include "sim/content/ContentImages.h"
#include "sim/content/ContentSettings.h"
#include "sim/content/ContentWriter.h"
#include "sim/content/MediaFormats.h"
#include "sim/content/SeededRandom.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace ContentGenerators {

std::string mediaPath(std::string_view relative)
{
    return std::string(MEDIA_ROOT) + std::string(relative);
}

namespace {

    enum class ItemKind {
        Photo,
        Screenshot,
        Video,
        LivePhotoMovie,
    };

    struct PlannedItem
    {
        ItemKind kind = ItemKind::Photo;
        std::int64_t captureTime = 0;
        int number = 0; // IMG_nnnn
        int folderNumber = 100;
        bool restored = false;
        bool edited = false;
        bool mp4 = false;
    };

    std::string folderName(const ContentSettings& settings, const PlannedItem& item)
    {
        char text[48];
        switch (settings.era.dcimStyle) {
        case DcimStyle::SingleFolder800:
            return "800AAAAA";
        case DcimStyle::YearMonth: {
            const std::time_t t = std::time_t(item.captureTime);
            std::tm tm {};
            gmtime_r(&t, &tm);
            std::snprintf(text, sizeof text, "%04d%02d__", tm.tm_year + 1900, tm.tm_mon + 1);
            return text;
        }
        case DcimStyle::AppleNumbered:
            break;
        }
        std::snprintf(text, sizeof text, "%03dAPPLE", item.folderNumber);
        return text;
    }

    std::string fileName(int number, std::string_view extension)
    {
        char text[48];
        std::snprintf(text, sizeof text, "IMG_%04d.", number);
        return text + std::string(extension);
    }

    /// Time-zone offsets the owner travelled through; EXIF holds local time.
    constexpr int ZONE_OFFSETS[] = { 3600, 3600, 7200, 0, -18000, 32400 };

    const char* modelName(const ContentSettings& settings)
    {
        if (settings.era.version.atLeast(16)) {
            return "iPhone 14";
        }
        if (settings.era.version.atLeast(11)) {
            return "iPhone 8";
        }
        if (settings.era.version.atLeast(9)) {
            return "iPhone 6s";
        }
        if (settings.era.version.atLeast(8)) {
            return "iPhone 6 Plus";
        }
        return "iPhone 4S";
    }

} // namespace

bool generateCameraRoll(const ContentSettings& settings, ContentWriter& writer, std::vector<CameraRollItem>& items)
{
    SeededRandom random = SeededRandom(settings.seed).fork("camera-roll");
    const std::int64_t now = settings.referenceTime;
    const std::int64_t history = std::int64_t(settings.yearsOfHistory) * 365 * 86400;
    const std::int64_t restoreDay = now - random.between(30, 200) * 86400;

    // Plan the items: times first, so numbers rise with the capture time as on a camera.
    std::vector<PlannedItem> plan;
    const int totalPhotos = settings.photos;
    int videosLeft = settings.videos;
    for (int i = 0; i < totalPhotos; ++i) {
        PlannedItem item;
        item.kind = settings.era.screenshotsAsPng && random.chance(0.06) ? ItemKind::Screenshot : ItemKind::Photo;
        // Denser in recent years, like a real roll.
        const double u = random.unit();
        item.captureTime = now - std::int64_t(double(history) * u * u) - random.between(60, 86400);
        item.edited = settings.era.editSidecars && item.kind == ItemKind::Photo && random.chance(0.04);
        plan.push_back(item);
    }
    for (; videosLeft > 0; --videosLeft) {
        PlannedItem item;
        item.kind = ItemKind::Video;
        const double u = random.unit();
        item.captureTime = now - std::int64_t(double(history) * u * u) - random.between(60, 86400);
        item.mp4 = random.chance(0.1);
        plan.push_back(item);
    }
    std::sort(plan.begin(), plan.end(),
        [](const PlannedItem& a, const PlannedItem& b) { return a.captureTime < b.captureTime; });

    // Numbers: gaps where items were deleted, a folder per block of 1000, wrap after 9999.
    int number = int(random.between(1, 40));
    int wraps = 0;
    std::vector<PlannedItem> numbered;
    for (PlannedItem& item : plan) {
        number += random.chance(0.25) ? int(random.between(2, 12)) : 1;
        if (number > 9999) {
            number -= 9999;
            ++wraps;
        }
        item.number = number;
        item.folderNumber = std::min(999, 100 + wraps * 10 + (number - 1) / 1000);
        item.restored = random.chance(settings.restoredShare);
        numbered.push_back(item);
        // Live Photos: the movie shares the still's base name; it takes a video's place.
        if (settings.era.livePhotos && item.kind == ItemKind::Photo && random.chance(0.12)) {
            PlannedItem movie = item;
            movie.kind = ItemKind::LivePhotoMovie;
            movie.edited = false;
            numbered.push_back(movie);
        }
    }
    // Live companions count towards the videos: drop as many plain videos as were added.
    int livePhotos = int(std::count_if(
        numbered.begin(), numbered.end(), [](const PlannedItem& p) { return p.kind == ItemKind::LivePhotoMovie; }));
    for (auto it = numbered.end(); it != numbered.begin() && livePhotos > 0;) {
        --it;
        if (it->kind == ItemKind::Video) {
            it = numbered.erase(it);
            --livePhotos;
        }
    }
    for (auto it = numbered.end(); it != numbered.begin() && livePhotos > 0;) {
        --it;
        if (it->kind == ItemKind::LivePhotoMovie) {
            it = numbered.erase(it);
            --livePhotos;
        }
    }

    // Encoded images are reused: a pool of distinct scenes, each file made unique by its Exif.
    const int poolSize = std::clamp(totalPhotos / 8, 1, 32);
    std::vector<std::string> photoPool;
    for (int i = 0; i < poolSize && totalPhotos > 0; ++i) {
        photoPool.push_back(
            ContentImages::photoJpeg(settings.seed * 31 + std::uint64_t(i), settings.photoWidth, settings.photoHeight));
    }
    std::vector<std::string> screenshotPool;
    for (int i = 0; i < 4 && totalPhotos > 0; ++i) {
        screenshotPool.push_back(ContentImages::screenshotPng(
            settings.seed * 17 + std::uint64_t(i), settings.photoHeight / 2, settings.photoHeight));
    }

    if (!writer.makeDirectory(mediaPath("/DCIM"))) {
        return false;
    }
    int lastFolder = 100;
    int lastNumber = 0;
    for (const PlannedItem& item : numbered) {
        const int zone = ZONE_OFFSETS[std::size_t(item.number) % std::size(ZONE_OFFSETS)];
        const std::string folderPath = "/DCIM/" + folderName(settings, item);
        CameraRollItem result;
        result.captureTime = item.captureTime;
        result.birthTime = item.restored ? restoreDay : item.captureTime;
        lastFolder = std::max(lastFolder, item.folderNumber);
        lastNumber = item.number;

        switch (item.kind) {
        case ItemKind::Photo: {
            result.mediaPath = folderPath + "/" + fileName(item.number, "JPG");
            const std::string& base = photoPool[std::size_t(item.number) % photoPool.size()];
            const std::string jpeg
                = MediaFormats::jpegWithExif(base, MediaFormats::exifDate(item.captureTime, zone), modelName(settings));
            result.size = std::max<std::int64_t>(
                std::int64_t(jpeg.size()), random.between(settings.photoBytes.low, settings.photoBytes.high));
            // Bytes after the end-of-image marker are ignored by decoders: the pad makes camera sizes.
            if (!writer.writeSized(mediaPath(result.mediaPath), jpeg, result.size)) {
                return false;
            }
            if (item.edited) {
                PlistDictionary adjustments;
                adjustments["adjustmentFormatIdentifier"] = "com.apple.photo";
                adjustments["adjustmentFormatVersion"] = "1.4";
                adjustments["adjustmentBaseVersion"] = 0;
                adjustments["adjustmentData"] = PlistData(600, std::uint8_t(item.number));
                const std::string aae = mediaPath(folderPath + "/" + fileName(item.number, "AAE"));
                if (!writer.writeFile(aae, PlistCodec::toXml(adjustments).value_or(""))
                    || !writer.setTimes(aae, item.captureTime + 3600, result.birthTime + 3600)) {
                    return false;
                }
            }
            break;
        }
        case ItemKind::Screenshot: {
            result.mediaPath = folderPath + "/" + fileName(item.number, "PNG");
            const std::string& png = screenshotPool[std::size_t(item.number) % screenshotPool.size()];
            result.size = std::int64_t(png.size()) + random.between(200'000, 900'000);
            // A PNG's data after IEND is ignored; the pad is a hole.
            if (!writer.writeSized(mediaPath(result.mediaPath), png, result.size)) {
                return false;
            }
            break;
        }
        case ItemKind::Video:
        case ItemKind::LivePhotoMovie: {
            const bool live = item.kind == ItemKind::LivePhotoMovie;
            const std::string extension = item.mp4 ? "MP4" : "MOV";
            result.mediaPath = folderPath + "/" + fileName(item.number, extension);
            MediaFormats::MovieLayout movie;
            movie.majorBrand = item.mp4 ? "mp42" : "qt  ";
            movie.headerVersion = item.mp4 ? 1 : 0;
            movie.timescale = 600;
            const std::int64_t seconds10 = live
                ? random.between(25, 32)
                : random.between(settings.videoSeconds.low * 10, settings.videoSeconds.high * 10);
            movie.duration = std::uint64_t(seconds10 * 60); // tenths of a second at 600 units per second
            movie.creationTime = item.captureTime;
            const std::string isoDate = MediaFormats::isoDateWithOffset(item.captureTime, zone);
            movie.creationDateText = isoDate;
            const std::int64_t bytesPerSecond = settings.era.version.atLeast(11) ? 1'100'000 : 2'100'000;
            movie.mediaBytes = seconds10 * bytesPerSecond / 10;
            const MediaFormats::MovieBytes bytes = MediaFormats::movie(movie);
            result.size = bytes.totalSize;
            result.durationSeconds = double(seconds10) / 10.0;
            if (!writer.writeSized(mediaPath(result.mediaPath), bytes.head, bytes.totalSize, bytes.tail)) {
                return false;
            }
            break;
        }
        }
        if (!writer.setTimes(mediaPath(result.mediaPath), result.birthTime, result.birthTime)) {
            return false;
        }
        items.push_back(std::move(result));
    }

    // The camera's counters, never rewound by deletions.
    PlistDictionary counters;
    counters["DCIMLastDirectoryNumber"] = lastFolder;
    counters["DCIMLastFileNumber"] = lastNumber;
    if (!writer.writeFile(mediaPath("/PhotoData/MISC/DCIM_APPLE.plist"), PlistCodec::toXml(counters).value_or(""))) {
        return false;
    }
    return true;
}

} // namespace ContentGenerators
