#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class QJsonObject;

/// A system version such as "8.4.1", compared numerically.
struct SystemVersion
{
    int major = 0;
    int minor = 0;
    int patch = 0;

    static std::optional<SystemVersion> parse(std::string_view text);
    bool atLeast(int wantedMajor, int wantedMinor = 0) const
    {
        return major != wantedMajor ? major > wantedMajor : minor >= wantedMinor;
    }
    std::string text() const;
};

/// How the camera names its folders in each system generation.
enum class DcimStyle {
    SingleFolder800, // iOS 4: everything in 800AAAAA
    AppleNumbered, // iOS 5 to 14.5: 100APPLE, 101APPLE, one per block of 1000 numbers
    YearMonth, // iOS 14.6 and later: 202105__
};

/// Where bundles and data containers live.
enum class AppLayout {
    SharedFolder, // iOS 7 and earlier: /private/var/mobile/Applications/<UUID>/<Name>.app beside the data
    MobileContainers, // iOS 8: /private/var/mobile/Containers/{Bundle,Data}/Application/<UUID>
    Containers, // iOS 9 and later: bundles under /private/var/containers/Bundle/Application
};

/// The behaviour that follows from the system version the device pretends to run.
struct DeviceEra
{
    SystemVersion version;
    DcimStyle dcimStyle = DcimStyle::AppleNumbered;
    AppLayout appLayout = AppLayout::Containers;
    /// MediaLibrary.sqlitedb `PRAGMA user_version`.
    int musicUserVersion = 0;
    /// iOS 8.4 moved `date_created` out of item_extra into item.date_added.
    bool musicHasDateAdded = false;
    bool musicHasClassicalWork = false; // iOS 10
    bool musicHasDateDownloaded = false; // iOS 13
    bool musicHasFavorites = false; // iOS 16
    bool livePhotos = false; // iOS 9
    bool editSidecars = false; // .AAE, iOS 8
    bool screenshotsAsPng = true; // iOS 3+; PNG screenshots saved in the camera roll
    /// iOS 8.3 closed house_arrest to App Store apps.
    bool houseArrestRestricted = false;
    /// Archive, Restore, RemoveArchive, LookupArchives: gone from iOS 9.
    bool installerArchives = false;
    /// screenshotr device-link version offered.
    int screenshotrMajor = 300;
    /// Screenshots before iOS 9 came as uncompressed TIFF.
    bool screenshotsAsTiff = false;
    /// iOS 10.3 and later run APFS.
    bool apfs = true;

    static DeviceEra forVersion(const SystemVersion& version);
};

/// A closed range of byte counts.
struct ByteRange
{
    std::int64_t low = 0;
    std::int64_t high = 0;
};

/// What the generator puts on a device. Counts and sizes come from the profile's "content" object;
/// everything not given keeps the defaults below (the demo phone's).
struct ContentSettings
{
    std::uint64_t seed = 20140917;
    DeviceEra era = DeviceEra::forVersion({ 12, 4, 0 });
    /// Dates are spread backwards from here (seconds since 1970). The generation time unless the
    /// profile pins "referenceDate", which makes the whole device reproducible.
    std::int64_t referenceTime = 0;
    int yearsOfHistory = 5;

    int userApps = 40;
    int systemApps = 14;
    int fileSharingApps = 3;
    int developerApps = 2;
    /// User apps whose display name is left out, and those where it is empty.
    int appsWithoutDisplayName = 2;
    int appsWithEmptyDisplayName = 1;
    ByteRange appBundleBytes { 4'000'000, 260'000'000 };
    ByteRange appDocumentsBytes { 0, 40'000'000 };
    ByteRange appCachesBytes { 100'000, 400'000'000 };
    ByteRange appPreferencesBytes { 600, 48'000 };
    ByteRange appTmpBytes { 0, 6'000'000 };

    int photos = 260;
    int videos = 40;
    /// Share of camera-roll items whose birth time is a later "restore day" instead of capture time.
    double restoredShare = 0.1;
    ByteRange photoBytes { 1'500'000, 3'500'000 };
    ByteRange videoSeconds { 3, 180 };
    /// Pixel size of the generated photos; small keeps generation fast, the byte size is padded.
    int photoWidth = 320;
    int photoHeight = 240;

    int songs = 170;
    int podcasts = 30;
    double neverPlayedShare = 0.2;

    int stalledDownloads = 3;
    int crashReports = 3;

    /// Files are created sparse: their logical size is what the profile asks, their disk use tiny.
    bool sparseFiles = true;

    /// Reads a profile's "content" object over the defaults; unknown keys are an error so typos in
    /// profiles do not go unnoticed.
    static std::optional<ContentSettings> fromJson(
        const QJsonObject& content, const std::string& productVersion, std::string* error);
};
