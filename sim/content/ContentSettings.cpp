#include "sim/content/ContentSettings.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <charconv>
#include <ctime>
#include <functional>
#include <map>

std::optional<SystemVersion> SystemVersion::parse(std::string_view text)
{
    SystemVersion version;
    int* parts[] = { &version.major, &version.minor, &version.patch };
    std::size_t index = 0;
    const char* cursor = text.data();
    const char* end = text.data() + text.size();
    while (cursor < end && index < 3) {
        auto [next, ec] = std::from_chars(cursor, end, *parts[index]);
        if (ec != std::errc() || *parts[index] < 0) {
            return std::nullopt;
        }
        ++index;
        cursor = next;
        if (cursor < end) {
            if (*cursor != '.') {
                return std::nullopt;
            }
            ++cursor;
            if (cursor == end) {
                return std::nullopt;
            }
        }
    }
    if (index == 0 || cursor != end) {
        return std::nullopt;
    }
    return version;
}

std::string SystemVersion::text() const
{
    std::string result = std::to_string(major) + "." + std::to_string(minor);
    if (patch != 0) {
        result += "." + std::to_string(patch);
    }
    return result;
}

DeviceEra DeviceEra::forVersion(const SystemVersion& version)
{
    DeviceEra era;
    era.version = version;
    if (!version.atLeast(5)) {
        era.dcimStyle = DcimStyle::SingleFolder800;
    } else if (version.atLeast(14, 6)) {
        era.dcimStyle = DcimStyle::YearMonth;
    } else {
        era.dcimStyle = DcimStyle::AppleNumbered;
    }
    if (!version.atLeast(8)) {
        era.appLayout = AppLayout::SharedFolder;
    } else if (!version.atLeast(9)) {
        era.appLayout = AppLayout::MobileContainers;
    } else {
        era.appLayout = AppLayout::Containers;
    }

    // The schema number follows the build train: iOS N is train N + 4.
    const int train = version.major + 4;
    if (!version.atLeast(8)) {
        era.musicUserVersion = 1160000;
    } else if (!version.atLeast(8, 4)) {
        era.musicUserVersion = 1280150;
    } else if (!version.atLeast(9)) {
        era.musicUserVersion = 1290000;
    } else if (!version.atLeast(10)) {
        era.musicUserVersion = version.atLeast(9, 2) ? 1330010 : 1310000;
    } else {
        // The first two digits are the train: 1410180 is iOS 10, 1710000 iOS 13.0.
        era.musicUserVersion = train * 100000 + 10000 + (version.major == 10 ? 180 : 0);
    }
    era.musicHasDateAdded = version.atLeast(8, 4);
    era.musicHasClassicalWork = version.atLeast(10);
    era.musicHasDateDownloaded = version.atLeast(13);
    era.musicHasFavorites = version.atLeast(16);

    era.livePhotos = version.atLeast(9);
    era.editSidecars = version.atLeast(8);
    era.screenshotsAsPng = version.atLeast(3);
    era.houseArrestRestricted = version.atLeast(8, 3);
    era.installerArchives = !version.atLeast(9);
    era.screenshotrMajor = version.atLeast(14) ? 400 : 300;
    era.screenshotsAsTiff = !version.atLeast(9);
    era.apfs = version.atLeast(10, 3);
    return era;
}

namespace {

bool readInt(const QJsonValue& value, int& target)
{
    if (!value.isDouble() || value.toDouble() < 0 || value.toDouble() > 10'000'000) {
        return false;
    }
    target = value.toInt();
    return double(target) == value.toDouble();
}

bool readShare(const QJsonValue& value, double& target)
{
    if (!value.isDouble() || value.toDouble() < 0 || value.toDouble() > 1) {
        return false;
    }
    target = value.toDouble();
    return true;
}

bool readRange(const QJsonValue& value, ByteRange& target)
{
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.size() != 2 || !array[0].isDouble() || !array[1].isDouble()) {
        return false;
    }
    const double low = array[0].toDouble();
    const double high = array[1].toDouble();
    if (low < 0 || high < low || high > 1e15) {
        return false;
    }
    target = { std::int64_t(low), std::int64_t(high) };
    return true;
}

} // namespace

std::optional<ContentSettings> ContentSettings::fromJson(
    const QJsonObject& content, const std::string& productVersion, std::string* error)
{
    auto fail = [error](const std::string& text) -> std::optional<ContentSettings> {
        if (error) {
            *error = text;
        }
        return std::nullopt;
    };

    ContentSettings settings;
    const auto version = SystemVersion::parse(productVersion);
    if (!version) {
        return fail("bad ProductVersion \"" + productVersion + "\"");
    }
    settings.era = DeviceEra::forVersion(*version);
    settings.referenceTime = std::time(nullptr);

    using Reader = std::function<bool(const QJsonValue&)>;
    const std::map<QString, Reader> readers {
        { QStringLiteral("seed"),
            [&](const QJsonValue& v) {
                if (!v.isDouble() || v.toDouble() < 0) {
                    return false;
                }
                settings.seed = std::uint64_t(v.toDouble());
                return true;
            } },
        { QStringLiteral("referenceDate"),
            [&](const QJsonValue& v) {
                const QDateTime date = QDateTime::fromString(v.toString(), Qt::ISODate);
                if (!date.isValid()) {
                    return false;
                }
                settings.referenceTime = date.toSecsSinceEpoch();
                return true;
            } },
        { QStringLiteral("yearsOfHistory"),
            [&](const QJsonValue& v) { return readInt(v, settings.yearsOfHistory) && settings.yearsOfHistory >= 1; } },
        { QStringLiteral("userApps"), [&](const QJsonValue& v) { return readInt(v, settings.userApps); } },
        { QStringLiteral("systemApps"), [&](const QJsonValue& v) { return readInt(v, settings.systemApps); } },
        { QStringLiteral("fileSharingApps"),
            [&](const QJsonValue& v) { return readInt(v, settings.fileSharingApps); } },
        { QStringLiteral("developerApps"), [&](const QJsonValue& v) { return readInt(v, settings.developerApps); } },
        { QStringLiteral("appsWithoutDisplayName"),
            [&](const QJsonValue& v) { return readInt(v, settings.appsWithoutDisplayName); } },
        { QStringLiteral("appsWithEmptyDisplayName"),
            [&](const QJsonValue& v) { return readInt(v, settings.appsWithEmptyDisplayName); } },
        { QStringLiteral("appBundleBytes"),
            [&](const QJsonValue& v) { return readRange(v, settings.appBundleBytes); } },
        { QStringLiteral("appDocumentsBytes"),
            [&](const QJsonValue& v) { return readRange(v, settings.appDocumentsBytes); } },
        { QStringLiteral("appCachesBytes"),
            [&](const QJsonValue& v) { return readRange(v, settings.appCachesBytes); } },
        { QStringLiteral("appPreferencesBytes"),
            [&](const QJsonValue& v) { return readRange(v, settings.appPreferencesBytes); } },
        { QStringLiteral("appTmpBytes"), [&](const QJsonValue& v) { return readRange(v, settings.appTmpBytes); } },
        { QStringLiteral("photos"), [&](const QJsonValue& v) { return readInt(v, settings.photos); } },
        { QStringLiteral("videos"), [&](const QJsonValue& v) { return readInt(v, settings.videos); } },
        { QStringLiteral("restoredShare"), [&](const QJsonValue& v) { return readShare(v, settings.restoredShare); } },
        { QStringLiteral("photoBytes"), [&](const QJsonValue& v) { return readRange(v, settings.photoBytes); } },
        { QStringLiteral("videoSeconds"),
            [&](const QJsonValue& v) {
                return readRange(v, settings.videoSeconds) && settings.videoSeconds.low >= 1
                    && settings.videoSeconds.high <= 86400;
            } },
        { QStringLiteral("photoWidth"),
            [&](const QJsonValue& v) {
                return readInt(v, settings.photoWidth) && settings.photoWidth >= 16 && settings.photoWidth <= 4096;
            } },
        { QStringLiteral("photoHeight"),
            [&](const QJsonValue& v) {
                return readInt(v, settings.photoHeight) && settings.photoHeight >= 16 && settings.photoHeight <= 4096;
            } },
        { QStringLiteral("songs"), [&](const QJsonValue& v) { return readInt(v, settings.songs); } },
        { QStringLiteral("podcasts"), [&](const QJsonValue& v) { return readInt(v, settings.podcasts); } },
        { QStringLiteral("neverPlayedShare"),
            [&](const QJsonValue& v) { return readShare(v, settings.neverPlayedShare); } },
        { QStringLiteral("stalledDownloads"),
            [&](const QJsonValue& v) { return readInt(v, settings.stalledDownloads); } },
        { QStringLiteral("crashReports"), [&](const QJsonValue& v) { return readInt(v, settings.crashReports); } },
        { QStringLiteral("sparseFiles"),
            [&](const QJsonValue& v) {
                settings.sparseFiles = v.toBool();
                return v.isBool();
            } },
    };

    for (auto it = content.begin(); it != content.end(); ++it) {
        const auto reader = readers.find(it.key());
        if (reader == readers.end()) {
            return fail("unknown content key \"" + it.key().toStdString() + "\"");
        }
        if (!reader->second(it.value())) {
            return fail("bad value for content key \"" + it.key().toStdString() + "\"");
        }
    }
    if (settings.fileSharingApps + settings.developerApps > settings.userApps) {
        return fail("more file-sharing and developer apps than user apps");
    }
    return settings;
}
