#include "base/PlistValue.h"
#include "sim/content/ContentGenerators.h"
#include "sim/content/ContentSettings.h"
#include "sim/content/ContentWriter.h"
#include "sim/content/SeededRandom.h"

#include <sqlite3.h>

namespace ContentGenerators {

namespace {

    struct DownloadKind
    {
        const char* kind;
        const char* name;
        const char* artist;
        const char* extension;
        std::int64_t low;
        std::int64_t high;
    };

    constexpr DownloadKind KINDS[] = {
        { "software", "Castle Siege HD", "Arcadia Games", "ipa", 80'000'000, 900'000'000 },
        { "podcast-episode", "Science Hour: Deep Oceans", "Science Hour", "mp3", 20'000'000, 90'000'000 },
        { "song", "Golden Harbor", "Mara Lune", "m4a", 6'000'000, 12'000'000 },
        { "feature-movie", "The Long Road", "Northlight Pictures", "m4v", 900'000'000, 2'500'000'000 },
        { "ebook", "A History of Maps", "Eliza Crane", "epub", 2'000'000, 30'000'000 },
    };

    /// The three artwork shapes seen in queued downloads: a dictionary with "default", an array of
    /// boxes, and none at all.
    PlistValue artwork(int shape, const std::string& base)
    {
        if (shape == 0) {
            return PlistDictionary {
                { "default", PlistValue(PlistDictionary { { "url", PlistValue(base + "/600x600bb.jpg") } }) },
                { "image-type", PlistValue("download-queue-item") },
            };
        }
        PlistArray boxes;
        for (int size : { 512, 100, 60 }) {
            boxes.push_back(PlistDictionary {
                { "url", PlistValue(base + "/" + std::to_string(size) + "x" + std::to_string(size) + "bb.png") },
                { "box-width", PlistValue(size) },
                { "box-height", PlistValue(size) },
                { "image-type", PlistValue("software-icon") },
            });
        }
        return boxes;
    }

} // namespace

bool generateStalledDownloads(const ContentSettings& settings, ContentWriter& writer, int& created)
{
    SeededRandom random = SeededRandom(settings.seed).fork("downloads");
    const std::int64_t now = settings.referenceTime;
    const std::string root = mediaPath("/Downloads");
    if (!writer.makeDirectory(root)) {
        return false;
    }

    const std::filesystem::path dbPath = writer.hostPath(root + "/downloads.28.sqlitedb");
    std::error_code ec;
    std::filesystem::remove(dbPath, ec);
    sqlite3* db = nullptr;
    if (sqlite3_open(dbPath.c_str(), &db) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return false;
    }
    std::string sql = "PRAGMA journal_mode=WAL; PRAGMA user_version=28; BEGIN;"
                      "CREATE TABLE asset (pid INTEGER PRIMARY KEY, download_id INTEGER, asset_order INTEGER, "
                      "asset_type TEXT, bytes_total INTEGER, url TEXT, local_path TEXT, destination_url TEXT, "
                      "path_extension TEXT, is_downloaded INTEGER, is_drm_free INTEGER, is_zip_streamable INTEGER, "
                      "store_download_key TEXT, hash_type INTEGER, uncompressed_size INTEGER);"
                      "CREATE TABLE download (pid INTEGER PRIMARY KEY, download_id INTEGER, kind TEXT, title TEXT, "
                      "store_item_id INTEGER, download_state INTEGER);";

    for (int i = 0; i < settings.stalledDownloads; ++i) {
        const DownloadKind& kind = KINDS[std::size_t(i) % std::size(KINDS)];
        // Download identifiers are random 64-bit values, sometimes negative.
        const std::int64_t downloadId = std::int64_t(random.next() >> (i % 2 == 0 ? 1 : 0));
        const std::string folder = root + "/" + std::to_string(downloadId);
        const std::int64_t itemId = random.between(280'000'000, 1'700'000'000);
        const std::int64_t total = random.between(kind.low, kind.high);
        const std::int64_t partial = total * random.between(5, 85) / 100;
        const std::int64_t started = now - random.between(2, 400) * 86400;

        PlistDictionary metadata;
        metadata["itemName"] = kind.name;
        metadata["itemId"] = itemId;
        metadata["artistName"] = kind.artist;
        metadata["kind"] = kind.kind;
        metadata["genre"] = "Entertainment";
        metadata["releaseDate"] = PlistDate::fromSecondsSince1970(double(started - 400 * 86400));
        if (std::string_view(kind.kind) == "software") {
            metadata["softwareVersionBundleId"] = "com.arcadia.castlesiegehd";
        } else {
            metadata["duration"] = std::int64_t(random.between(180, 7200) * 1000);
        }
        PlistDictionary plist;
        plist["metadata"] = metadata;
        plist["URL"] = "https://store.example.net/item/" + std::to_string(itemId);
        plist["songId"] = itemId;
        plist["purchaseDate"] = PlistDate::fromSecondsSince1970(double(started));
        plist["is-purchased-redownload"] = random.chance(0.5);
        // Shapes in turn: dictionary, array, none.
        const int shape = i % 3;
        if (shape != 2) {
            plist["artwork-urls"] = artwork(shape, "https://art.example.net/" + std::to_string(itemId));
        }
        const auto xml = PlistCodec::toXml(plist);
        const std::string asset = folder + "/" + random.letters(8) + "." + kind.extension;
        if (!xml || !writer.writeFile(folder + "/iTunesMetadata.plist", *xml)
            || !writer.writeSized(asset, std::string_view("PK\x03\x04", 4), partial)
            || !writer.setTimes(asset, started + random.between(60, 7200), started)
            || !writer.setTimes(folder + "/iTunesMetadata.plist", started, started)) {
            sqlite3_close_v2(db);
            return false;
        }
        sql += "INSERT INTO download VALUES (" + std::to_string(i + 1) + ", " + std::to_string(downloadId) + ", '"
            + kind.kind + "', '" + kind.name + "', " + std::to_string(itemId) + ", 2);";
        sql += "INSERT INTO asset VALUES (" + std::to_string(i + 1) + ", " + std::to_string(downloadId)
            + ", 0, 'media', " + std::to_string(total) + ", 'https://cdn.example.net/" + std::to_string(itemId)
            + "', '/var/mobile/Media" + asset.substr(MEDIA_ROOT.size()) + "', NULL, '" + kind.extension
            + "', 0, 0, 0, NULL, 0, " + std::to_string(total) + ");";
        ++created;
    }
    sql += "COMMIT;";
    char* message = nullptr;
    const bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK;
    sqlite3_free(message);
    sqlite3_close_v2(db);
    return ok;
}

bool generateMediaFolders(const ContentSettings& settings, ContentWriter& writer)
{
    std::vector<const char*> folders = { "/DCIM", "/PhotoData/MISC", "/PhotoData/Thumbnails", "/Photos",
        "/iTunes_Control/iTunes", "/iTunes_Control/Music", "/iTunes_Control/Ringtones", "/Downloads", "/Books",
        "/Purchases", "/Recordings", "/AirFair", "/Radio", "/Safari" };
    if (settings.era.version.atLeast(10)) {
        folders.push_back("/MediaAnalysis");
        folders.push_back("/CloudAssets");
        folders.push_back("/LoFiCloudAssets");
    }
    if (!settings.era.version.atLeast(9)) {
        folders.push_back("/PhotoStreamsData");
    }
    for (const char* folder : folders) {
        if (!writer.makeDirectory(mediaPath(folder))) {
            return false;
        }
    }
    return writer.writeFile(mediaPath("/com.apple.itunes.lock_sync"), "");
}

} // namespace ContentGenerators
