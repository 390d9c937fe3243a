#include "sim/content/ContentGenerator.h"

#include "base/PlistValue.h"
#include "sim/content/AppRecord.h"
#include "sim/content/ContentSettings.h"
#include "tests/support/TestSupport.h"

#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>

#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t REFERENCE = 1'717'243'200; // 2024-06-01 12:00 UTC
const std::string MEDIA = "private/var/mobile/Media";

ContentSettings smallSettings(const std::string& version, std::uint64_t seed = 7)
{
    std::string error;
    const auto settings = ContentSettings::fromJson(QJsonDocument::fromJson(R"({
        "userApps": 12, "systemApps": 5, "fileSharingApps": 2, "developerApps": 1,
        "photos": 40, "videos": 8, "songs": 24, "podcasts": 6, "stalledDownloads": 3,
        "referenceDate": "2024-06-01T12:00:00Z"
    })")
                                                        .object(),
        version, &error);
    EXPECT_TRUE(settings.has_value()) << error;
    ContentSettings result = settings.value_or(ContentSettings {});
    result.seed = seed;
    return result;
}

std::string readFile(const fs::path& path, std::size_t limit = 1 << 20)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes(limit, '\0');
    in.read(bytes.data(), std::streamsize(limit));
    bytes.resize(std::size_t(in.gcount()));
    return bytes;
}

std::uint64_t be(const std::string& bytes, std::size_t offset, int width)
{
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
        value = (value << 8) | std::uint8_t(bytes[offset + std::size_t(i)]);
    }
    return value;
}

/// An independent reader of moov/mvhd that seeks through the file instead of loading it, so that
/// large sparse videos are checked without reading their media data.
std::optional<double> durationFromFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    const auto fileSize = std::uint64_t(fs::file_size(path));
    std::uint64_t offset = 0;
    while (offset + 8 <= fileSize) {
        std::string header(16, '\0');
        in.seekg(std::streamoff(offset));
        in.read(header.data(), 16);
        std::uint64_t size = be(header, 0, 4);
        std::uint64_t headerSize = 8;
        if (size == 1) {
            size = be(header, 8, 8);
            headerSize = 16;
        }
        if (size < headerSize || offset + size > fileSize) {
            return std::nullopt;
        }
        if (header.substr(4, 4) == "moov") {
            std::string moov(std::size_t(size - headerSize), '\0');
            in.seekg(std::streamoff(offset + headerSize));
            in.read(moov.data(), std::streamsize(moov.size()));
            const std::size_t at = moov.find("mvhd");
            if (at == std::string::npos) {
                return std::nullopt;
            }
            const std::size_t p = at + 4;
            const int version = std::uint8_t(moov[p]);
            const auto timescale = be(moov, p + (version == 1 ? 20 : 12), 4);
            const auto duration = be(moov, p + (version == 1 ? 24 : 16), version == 1 ? 8 : 4);
            return timescale == 0 ? std::nullopt : std::optional<double>(double(duration) / double(timescale));
        }
        offset += size;
    }
    return std::nullopt;
}

struct Sqlite
{
    sqlite3* db = nullptr;
    explicit Sqlite(const fs::path& path) { sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr); }
    ~Sqlite() { sqlite3_close(db); }
    std::vector<std::vector<std::string>> query(const std::string& sql) const
    {
        std::vector<std::vector<std::string>> rows;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql;
            return rows;
        }
        while (sqlite3_step(statement) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const auto* text = sqlite3_column_text(statement, i);
                row.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
            }
            rows.push_back(row);
        }
        sqlite3_finalize(statement);
        return rows;
    }
    std::set<std::string> columns(const std::string& table) const
    {
        std::set<std::string> names;
        for (const auto& row : query("PRAGMA table_info(" + table + ")")) {
            names.insert(row[1]);
        }
        return names;
    }
};

} // namespace

TEST(ContentSettings, ReadsProfileObjectStrictly)
{
    std::string error;
    EXPECT_FALSE(ContentSettings::fromJson(QJsonDocument::fromJson(R"({"photoz": 3})").object(), "9.3", &error));
    EXPECT_NE(error.find("photoz"), std::string::npos);
    EXPECT_FALSE(ContentSettings::fromJson(QJsonDocument::fromJson(R"({"photos": -3})").object(), "9.3", &error));
    EXPECT_FALSE(
        ContentSettings::fromJson(QJsonDocument::fromJson(R"({"appCachesBytes": [5, 1]})").object(), "9.3", &error));
    EXPECT_FALSE(ContentSettings::fromJson(
        QJsonDocument::fromJson(R"({"userApps": 2, "fileSharingApps": 2, "developerApps": 1})").object(), "9.3",
        &error));
    EXPECT_FALSE(ContentSettings::fromJson(QJsonObject(), "nine", &error));

    const auto settings = ContentSettings::fromJson(
        QJsonDocument::fromJson(R"({"userApps": 500, "photos": 20000, "seed": 99})").object(), "17.5", &error);
    ASSERT_TRUE(settings) << error;
    EXPECT_EQ(settings->userApps, 500);
    EXPECT_EQ(settings->photos, 20000);
    EXPECT_EQ(settings->seed, 99u);
    EXPECT_EQ(settings->videos, ContentSettings {}.videos); // untouched defaults stay
}

TEST(ContentSettings, EraFollowsSystemVersion)
{
    struct Row
    {
        const char* version;
        DcimStyle dcim;
        int userVersion;
        bool restricted;
        bool archives;
        int screenshotr;
    };
    const Row rows[] = {
        { "4.3.5", DcimStyle::SingleFolder800, 1160000, false, true, 300 },
        { "8.2", DcimStyle::AppleNumbered, 1280150, false, true, 300 },
        { "8.3", DcimStyle::AppleNumbered, 1280150, true, true, 300 },
        { "8.4.1", DcimStyle::AppleNumbered, 1290000, true, true, 300 },
        { "9.3.5", DcimStyle::AppleNumbered, 1330010, true, false, 300 },
        { "13.0", DcimStyle::AppleNumbered, 1710000, true, false, 300 },
        { "14.5", DcimStyle::AppleNumbered, 1810000, true, false, 400 },
        { "14.6", DcimStyle::YearMonth, 1810000, true, false, 400 },
        { "17.5", DcimStyle::YearMonth, 2110000, true, false, 400 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.version);
        const DeviceEra era = DeviceEra::forVersion(*SystemVersion::parse(row.version));
        EXPECT_EQ(era.dcimStyle, row.dcim);
        EXPECT_EQ(era.musicUserVersion, row.userVersion);
        EXPECT_EQ(era.houseArrestRestricted, row.restricted);
        EXPECT_EQ(era.installerArchives, row.archives);
        EXPECT_EQ(era.screenshotrMajor, row.screenshotr);
    }
    EXPECT_FALSE(SystemVersion::parse("9."));
    EXPECT_FALSE(SystemVersion::parse("9.x"));
    EXPECT_FALSE(SystemVersion::parse(""));
}

TEST(ContentGenerator, SameSeedGivesSameDevice)
{
    TemporaryDirectory first;
    TemporaryDirectory second;
    TemporaryDirectory third;
    std::string error;
    const auto a = generateDeviceContent(smallSettings("9.3.5", 7), first.path(), &error);
    const auto b = generateDeviceContent(smallSettings("9.3.5", 7), second.path(), &error);
    const auto c = generateDeviceContent(smallSettings("9.3.5", 8), third.path(), &error);
    ASSERT_TRUE(a && b && c) << error;
    ASSERT_EQ(a->apps.size(), b->apps.size());
    for (std::size_t i = 0; i < a->apps.size(); ++i) {
        EXPECT_EQ(a->apps[i].bundlePath, b->apps[i].bundlePath);
        EXPECT_EQ(a->apps[i].containerPath, b->apps[i].containerPath);
    }
    ASSERT_EQ(a->cameraRoll.size(), b->cameraRoll.size());
    EXPECT_EQ(a->cameraRoll[3].mediaPath, b->cameraRoll[3].mediaPath);
    EXPECT_EQ(readFile(first.path() / MEDIA / a->cameraRoll[3].mediaPath.substr(1)),
        readFile(second.path() / MEDIA / b->cameraRoll[3].mediaPath.substr(1)));
    EXPECT_EQ(a->logicalBytes, b->logicalBytes);
    EXPECT_NE(a->apps.back().containerPath, c->apps.back().containerPath);
}

TEST(ContentGenerator, AppsHaveBundlesContainersAndRecords)
{
    TemporaryDirectory root;
    std::string error;
    const ContentSettings settings = smallSettings("9.3.5");
    const auto summary = generateDeviceContent(settings, root.path(), &error);
    ASSERT_TRUE(summary) << error;

    AppRegistry registry(root.path() / installedAppsDevicePath().substr(1));
    ASSERT_TRUE(registry.load(&error)) << error;
    const auto apps = registry.apps();
    ASSERT_EQ(apps.size(), 17u);
    int user = 0;
    int fileSharing = 0;
    int developer = 0;
    int noName = 0;
    int emptyName = 0;
    std::set<std::string> identifiers;
    for (const AppRecord& app : apps) {
        SCOPED_TRACE(app.bundleIdentifier);
        EXPECT_TRUE(identifiers.insert(app.bundleIdentifier).second);
        const fs::path bundle = root.path() / app.bundlePath.substr(1);
        EXPECT_TRUE(fs::exists(bundle / "Info.plist"));
        if (app.applicationType != "User") {
            continue;
        }
        ++user;
        fileSharing += app.fileSharingEnabled;
        developer += app.developerSigned;
        noName += !app.displayName.has_value();
        emptyName += app.displayName && app.displayName->empty();
        EXPECT_TRUE(app.bundlePath.starts_with("/private/var/containers/Bundle/Application/"));
        EXPECT_TRUE(app.containerPath.starts_with("/private/var/mobile/Containers/Data/Application/"));
        const fs::path container = root.path() / app.containerPath.substr(1);
        for (const char* folder : { "Documents", "Library/Caches", "Library/Preferences", "tmp" }) {
            EXPECT_TRUE(fs::is_directory(container / folder)) << folder;
        }
        const fs::path preferences = container / "Library/Preferences" / (app.bundleIdentifier + ".plist");
        ASSERT_TRUE(fs::exists(preferences));
        EXPECT_TRUE(PlistCodec::fromAny(readFile(preferences)).has_value());
        const auto metadata
            = PlistCodec::fromAny(readFile(container / ".com.apple.mobile_container_manager.metadata.plist"));
        ASSERT_TRUE(metadata);
        EXPECT_EQ(metadata->stringForKey("MCMMetadataIdentifier"), app.bundleIdentifier);
        // The executable is the largest file of the bundle and carries a Mach-O header.
        EXPECT_EQ(readFile(bundle / app.executable, 4), "\xCF\xFA\xED\xFE");
        // Modification dates lie in the past, within the profile's history.
        const auto mtime = fs::last_write_time(preferences).time_since_epoch();
        (void)mtime;
        struct stat info
        {
        };
        ASSERT_EQ(::stat(preferences.c_str(), &info), 0);
        EXPECT_LE(info.st_mtime, REFERENCE);
        EXPECT_GE(info.st_mtime, REFERENCE - 6 * 366 * 86400);
    }
    EXPECT_EQ(user, 12);
    EXPECT_EQ(fileSharing, 2);
    EXPECT_EQ(developer, 1);
    EXPECT_EQ(noName, 2);
    EXPECT_EQ(emptyName, 1);

    // The registry survives a round trip and a removal.
    ASSERT_TRUE(registry.remove(apps.back().bundleIdentifier));
    AppRegistry reloaded(root.path() / installedAppsDevicePath().substr(1));
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.apps().size(), apps.size() - 1);
    EXPECT_FALSE(reloaded.find(apps.back().bundleIdentifier));
    EXPECT_EQ(reloaded.apps().front().displayName, apps.front().displayName);
}

TEST(ContentGenerator, AppLayoutFollowsEra)
{
    struct Row
    {
        const char* version;
        const char* bundlePrefix;
        bool sharedFolder;
    };
    const Row rows[] = {
        { "7.1.2", "/private/var/mobile/Applications/", true },
        { "8.2", "/private/var/mobile/Containers/Bundle/Application/", false },
        { "17.5", "/private/var/containers/Bundle/Application/", false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.version);
        TemporaryDirectory root;
        std::string error;
        ContentSettings settings = smallSettings(row.version);
        settings.photos = settings.videos = settings.songs = settings.podcasts = 0;
        const auto summary = generateDeviceContent(settings, root.path(), &error);
        ASSERT_TRUE(summary) << error;
        const AppRecord& app = summary->apps.back();
        EXPECT_TRUE(app.bundlePath.starts_with(row.bundlePrefix)) << app.bundlePath;
        if (row.sharedFolder) {
            EXPECT_EQ(app.bundlePath.substr(0, app.containerPath.size()), app.containerPath);
        } else {
            EXPECT_FALSE(app.bundlePath.starts_with(app.containerPath));
        }
    }
}

TEST(ContentGenerator, CameraRollDecodesAndKeepsCaptureTimes)
{
    TemporaryDirectory root;
    std::string error;
    const ContentSettings settings = smallSettings("9.3.5");
    const auto summary = generateDeviceContent(settings, root.path(), &error);
    ASSERT_TRUE(summary) << error;
    ASSERT_EQ(summary->cameraRoll.size(), std::size_t(settings.photos + settings.videos));

    std::map<std::string, std::int64_t> births;
    for (const ContentBirthTime& birth : summary->birthTimes) {
        births[birth.devicePath] = birth.seconds;
    }
    int photos = 0;
    int videos = 0;
    std::int64_t oldest = REFERENCE;
    for (const auto& item : summary->cameraRoll) {
        SCOPED_TRACE(item.mediaPath);
        const fs::path file = root.path() / MEDIA / item.mediaPath.substr(1);
        ASSERT_TRUE(fs::exists(file));
        EXPECT_EQ(std::int64_t(fs::file_size(file)), item.size);
        EXPECT_TRUE(item.mediaPath.starts_with("/DCIM/1")) << "NNNAPPLE folders";
        EXPECT_NE(item.mediaPath.find("APPLE/IMG_"), std::string::npos);
        struct stat info
        {
        };
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mtime, item.birthTime);
        EXPECT_EQ(births.at("/" + MEDIA + item.mediaPath), item.birthTime);
        EXPECT_LE(item.captureTime, REFERENCE);
        oldest = std::min(oldest, item.captureTime);
        if (item.mediaPath.ends_with(".JPG") || item.mediaPath.ends_with(".PNG")) {
            ++photos;
            QImage image;
            const std::string bytes = readFile(file, std::size_t(item.size));
            ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), int(bytes.size())));
            EXPECT_GT(image.width(), 0);
            if (item.mediaPath.ends_with(".JPG")) {
                EXPECT_NE(bytes.find("Exif"), std::string::npos);
            }
        } else {
            ++videos;
            const auto seconds = durationFromFile(file);
            ASSERT_TRUE(seconds.has_value());
            EXPECT_NEAR(*seconds, item.durationSeconds, 0.01);
            EXPECT_GE(*seconds, 1.0);
        }
    }
    EXPECT_EQ(photos, settings.photos);
    EXPECT_EQ(videos, settings.videos);
    EXPECT_LT(oldest, REFERENCE - 365 * 86400) << "spread over years";

    const auto counters = PlistCodec::fromAny(readFile(root.path() / MEDIA / "PhotoData/MISC/DCIM_APPLE.plist"));
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->find("DCIMLastDirectoryNumber")->toInt64(), 100);
}

TEST(ContentGenerator, DcimFoldersFollowEra)
{
    struct Row
    {
        const char* version;
        const char* pattern; // '#' digit, other characters literal
    };
    const Row rows[] = { { "4.3", "/DCIM/800AAAAA/IMG_####." }, { "8.2", "/DCIM/1##APPLE/IMG_####." },
        { "17.5", "/DCIM/20####__/IMG_####." } };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.version);
        TemporaryDirectory root;
        std::string error;
        ContentSettings settings = smallSettings(row.version);
        settings.userApps = settings.systemApps = settings.fileSharingApps = settings.developerApps = 0;
        settings.songs = settings.podcasts = 0;
        const auto summary = generateDeviceContent(settings, root.path(), &error);
        ASSERT_TRUE(summary) << error;
        for (const auto& item : summary->cameraRoll) {
            const std::string pattern = row.pattern;
            ASSERT_GT(item.mediaPath.size(), pattern.size());
            for (std::size_t i = 0; i < pattern.size(); ++i) {
                if (pattern[i] == '#') {
                    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(item.mediaPath[i]))) << item.mediaPath;
                } else {
                    EXPECT_EQ(pattern[i], item.mediaPath[i]) << item.mediaPath;
                }
            }
        }
    }
}

TEST(ContentGenerator, MediaLibraryMatchesEraSchemaAndFiles)
{
    struct Row
    {
        const char* version;
        int userVersion;
        bool dateCreatedInExtra;
        bool dateDownloaded;
        bool favorites;
    };
    const Row rows[] = {
        { "8.2", 1280150, true, false, false },
        { "9.3.5", 1330010, false, false, false },
        { "17.5", 2110000, false, true, true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.version);
        TemporaryDirectory root;
        std::string error;
        ContentSettings settings = smallSettings(row.version);
        settings.photos = settings.videos = 0;
        const auto summary = generateDeviceContent(settings, root.path(), &error);
        ASSERT_TRUE(summary) << error;
        const fs::path library = root.path() / MEDIA / "iTunes_Control/iTunes";
        ASSERT_TRUE(fs::exists(library / "MediaLibrary.sqlitedb-wal"));
        EXPECT_GT(fs::file_size(library / "MediaLibrary.sqlitedb-wal"), 0u);

        // Read a copy, as a host tool would, so the check does not change the device.
        TemporaryDirectory copy;
        for (const char* suffix : { "", "-wal" }) {
            fs::copy_file(library / (std::string("MediaLibrary.sqlitedb") + suffix),
                copy.path() / (std::string("MediaLibrary.sqlitedb") + suffix));
        }
        Sqlite db(copy.path() / "MediaLibrary.sqlitedb");
        ASSERT_NE(db.db, nullptr);
        EXPECT_EQ(db.query("PRAGMA user_version")[0][0], std::to_string(row.userVersion));
        EXPECT_EQ(db.columns("item_extra").count("date_created") == 1, row.dateCreatedInExtra);
        EXPECT_EQ(db.columns("item").count("date_added") == 1, !row.dateCreatedInExtra);
        EXPECT_EQ(db.columns("item").count("date_downloaded") == 1, row.dateDownloaded);
        EXPECT_EQ(db.columns("item_stats").count("favorite_state") == 1, row.favorites);

        const auto rows2 = db.query(
            "SELECT i.item_pid, e.title, '/' || b.path || '/' || e.location, e.file_size, e.media_kind, "
            "s.date_played, s.play_count_user, e.date_modified FROM item i JOIN item_extra e USING (item_pid) "
            "JOIN item_stats s USING (item_pid) JOIN base_location b USING (base_location_id)");
        ASSERT_EQ(rows2.size(), summary->tracks.size());
        std::map<std::string, const ContentGenerators::MusicTrack*> byPid;
        for (const auto& track : summary->tracks) {
            byPid[std::to_string(track.pid)] = &track;
        }
        int podcasts = 0;
        int neverPlayed = 0;
        int neverModified = 0;
        for (const auto& r : rows2) {
            const auto* track = byPid.at(r[0]);
            EXPECT_EQ(r[1], track->title);
            EXPECT_EQ(r[2], track->mediaPath);
            const fs::path file = root.path() / MEDIA / r[2].substr(1);
            ASSERT_TRUE(fs::exists(file)) << r[2];
            EXPECT_EQ(std::to_string(fs::file_size(file)), r[3]);
            EXPECT_TRUE(r[2].substr(0, 22) == "/iTunes_Control/Music/");
            podcasts += r[4] == "4";
            // Dates count from 2001; the latest plays are only in the -wal and must be seen.
            EXPECT_EQ(r[5], std::to_string(track->datePlayed == 0 ? 0 : track->datePlayed - 978307200));
            EXPECT_EQ(r[6], std::to_string(track->playCount));
            neverPlayed += r[5] == "0";
            neverModified += r[7] == "0";
        }
        EXPECT_EQ(podcasts, settings.podcasts);
        // Playlists name only tracks that exist.
        EXPECT_GT(std::stoll(db.query("SELECT count(*) FROM container_items")[0][0]), 0);
        EXPECT_EQ(
            db.query("SELECT count(*) FROM container_items WHERE item_pid NOT IN (SELECT item_pid FROM item)")[0][0],
            "0");
        EXPECT_GT(neverPlayed, 0);
        EXPECT_GT(neverModified, 0);
        const std::string added
            = row.dateCreatedInExtra ? "SELECT min(date_created) FROM item_extra" : "SELECT min(date_added) FROM item";
        EXPECT_LT(std::stoll(db.query(added)[0][0]), REFERENCE - 978307200 - 365 * 86400);
    }
}

TEST(ContentGenerator, StalledDownloadsHaveBothArtworkShapesAndNone)
{
    TemporaryDirectory root;
    std::string error;
    ContentSettings settings = smallSettings("9.3.5");
    settings.photos = settings.videos = settings.songs = settings.podcasts = 0;
    const auto summary = generateDeviceContent(settings, root.path(), &error);
    ASSERT_TRUE(summary) << error;
    EXPECT_EQ(summary->stalledDownloads, 3);
    int dictionaries = 0;
    int arrays = 0;
    int none = 0;
    for (const auto& entry : fs::directory_iterator(root.path() / MEDIA / "Downloads")) {
        if (!entry.is_directory()) {
            continue;
        }
        const auto plist = PlistCodec::fromAny(readFile(entry.path() / "iTunesMetadata.plist"));
        ASSERT_TRUE(plist);
        ASSERT_NE(plist->find("metadata"), nullptr);
        EXPECT_FALSE(plist->find("metadata")->stringForKey("itemName").empty());
        const PlistValue* artwork = plist->find("artwork-urls");
        if (!artwork) {
            ++none;
        } else if (artwork->isDictionary()) {
            ++dictionaries;
            EXPECT_FALSE(artwork->find("default")->stringForKey("url").empty());
        } else {
            ++arrays;
            EXPECT_FALSE(artwork->asArray()->front().stringForKey("url").empty());
        }
        // Partial data beside the metadata.
        int files = 0;
        for (const auto& file : fs::directory_iterator(entry.path())) {
            files += file.path().filename() != "iTunesMetadata.plist" && file.file_size() > 0;
        }
        EXPECT_EQ(files, 1);
    }
    EXPECT_EQ(dictionaries, 1);
    EXPECT_EQ(arrays, 1);
    EXPECT_EQ(none, 1);
}
