#include "sim/content/ContentGenerators.h"
#include "sim/content/ContentSettings.h"
#include "sim/content/ContentWriter.h"
#include "sim/content/MediaFormats.h"
#include "sim/content/SeededRandom.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>

#include <sqlite3.h>

namespace ContentGenerators {

namespace {

    constexpr const char* TITLE_WORDS_A[] = { "Summer", "Midnight", "Golden", "Electric", "Paper", "Silver", "Broken",
        "Endless", "Neon", "Quiet", "Wild", "Velvet", "Northern", "Crystal", "Lonely", "Burning" };
    constexpr const char* TITLE_WORDS_B[] = { "Highway", "Heart", "Rain", "Lights", "Dreams", "River", "Echoes",
        "Skies", "Letters", "Garden", "Waves", "Parade", "Machine", "Season", "Harbor", "Fire" };
    constexpr const char* ARTISTS[]
        = { "The Paper Kites Club", "Mara Lune", "Static Orchard", "Jonah Vale", "Blue Lantern", "Eliza Crane",
              "North of Tokyo", "The Lowlands", "Kite Theory", "Ruby Marsh", "Copper Sun", "Hollow Pines" };
    constexpr const char* SHOWS[] = { "The Daily Byte", "History Uncovered", "Science Hour", "Cooking Simply",
        "Startup Stories", "True Crime Weekly" };
    constexpr const char* GENRES[] = { "Pop", "Rock", "Alternative", "Electronic", "Singer/Songwriter", "Jazz" };

    struct Database
    {
        sqlite3* handle = nullptr;
        ~Database()
        {
            if (handle) {
                sqlite3_close_v2(handle);
            }
        }
    };

    bool exec(sqlite3* db, const std::string& sql, std::string& error)
    {
        char* message = nullptr;
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            error = std::string(message ? message : "sqlite error") + " in: " + sql.substr(0, 120);
            sqlite3_free(message);
            return false;
        }
        return true;
    }

    std::string schema(const DeviceEra& era)
    {
        const char* I = " INTEGER NOT NULL DEFAULT 0";
        std::string item = "CREATE TABLE item (item_pid INTEGER PRIMARY KEY";
        for (const char* column : { "media_type", "title_order", "title_order_section", "item_artist_pid",
                 "item_artist_order", "item_artist_order_section", "series_name_order", "series_name_order_section",
                 "album_pid", "album_order", "album_order_section", "album_artist_pid", "album_artist_order",
                 "album_artist_order_section", "composer_pid", "composer_order", "composer_order_section", "genre_id",
                 "genre_order", "genre_order_section" }) {
            item += std::string(", ") + column + I;
        }
        item += ", disc_number INTEGER DEFAULT 0, track_number INTEGER DEFAULT 0, episode_sort_id INTEGER DEFAULT 0";
        for (const char* column :
            { "base_location_id", "remote_location_id", "exclude_from_shuffle", "keep_local", "keep_local_status" }) {
            item += std::string(", ") + column + I;
        }
        if (era.musicHasDateAdded) {
            item += std::string(", in_my_library") + I + ", is_compilation" + I + ", date_added" + I;
        }
        if (era.version.atLeast(9, 2)) {
            item += std::string(", show_composer") + I;
        }
        if (era.musicHasDateDownloaded) {
            item += std::string(", date_downloaded") + I + ", download_source_container_pid" + I;
        }
        item += ");\n";

        std::string extra = "CREATE TABLE item_extra (item_pid INTEGER PRIMARY KEY, title TEXT NOT NULL DEFAULT '', "
                            "sort_title TEXT, disc_count INTEGER DEFAULT 0, track_count INTEGER DEFAULT 0, "
                            "total_time_ms REAL NOT NULL DEFAULT 0, year INTEGER DEFAULT 0, "
                            "location TEXT NOT NULL DEFAULT '', file_size INTEGER NOT NULL DEFAULT 0, integrity BLOB";
        if (!era.musicHasDateAdded) {
            extra += std::string(", is_compilation") + I;
        }
        extra += std::string(", is_audible_audio_book") + I;
        if (!era.musicHasDateAdded) {
            extra += std::string(", date_created") + I;
        }
        extra += std::string(", date_modified") + I + ", media_kind" + I + ", content_rating" + I
            + ", content_rating_level" + I + ", is_user_disabled" + I + ", bpm INTEGER DEFAULT 0, genius_id" + I
            + ", comment TEXT, grouping TEXT, description TEXT, description_long TEXT, collection_description TEXT, "
              "copyright TEXT, pending_genius_checksum"
            + I + ", category_id INTEGER DEFAULT 0, location_kind_id" + I
            + ", version TEXT NOT NULL DEFAULT '', display_version TEXT NOT NULL DEFAULT ''";
        if (era.musicHasClassicalWork) {
            extra += ", classical_work TEXT NOT NULL DEFAULT '', classical_movement TEXT NOT NULL DEFAULT '', "
                     "classical_movement_count INTEGER NOT NULL DEFAULT 0, classical_movement_number INTEGER NOT NULL "
                     "DEFAULT 0";
        }
        if (era.musicHasFavorites) {
            extra += std::string(", is_preorder") + I;
        }
        extra += ");\n";

        std::string stats = "CREATE TABLE item_stats (item_pid INTEGER PRIMARY KEY";
        for (const char* column : { "user_rating", "needs_restore" }) {
            stats += std::string(", ") + column + I;
        }
        stats += ", download_identifier TEXT";
        for (const char* column :
            { "play_count_user", "play_count_recent", "has_been_played", "date_played", "date_skipped", "date_accessed",
                "is_alarm", "skip_count_user", "skip_count_recent", "remember_bookmark" }) {
            stats += std::string(", ") + column + I;
        }
        stats += ", bookmark_time_ms REAL NOT NULL DEFAULT 0.0";
        for (const char* column : { "hidden", "chosen_by_auto_fill", "liked_state" }) {
            stats += std::string(", ") + column + I;
        }
        if (era.musicUserVersion >= 1290000) {
            stats += std::string(", liked_state_changed") + I;
        }
        if (era.musicHasClassicalWork) {
            stats += std::string(", user_rating_is_derived") + I;
        }
        if (era.musicHasFavorites) {
            stats += std::string(", liked_state_changed_date") + I + ", favorite_state" + I + ", date_favorited" + I;
        }
        stats += ");\n";

        std::string artist
            = "CREATE TABLE item_artist (item_artist_pid INTEGER PRIMARY KEY, item_artist TEXT NOT NULL "
              "DEFAULT '', sort_item_artist TEXT, series_name TEXT NOT NULL DEFAULT '', sort_series_name "
              "TEXT, grouping_key BLOB, cloud_status"
            + std::string(I) + ", store_id" + I
            + ", artist_artwork_token TEXT NOT NULL DEFAULT '', representative_item_pid" + I
            + ", representative_item_artwork_token TEXT NOT NULL DEFAULT '', keep_local" + I + ", keep_local_status"
            + I;
        if (era.musicUserVersion >= 1280170) {
            artist += ", app_data BLOB";
        }
        artist += ");\n";

        return item + extra + stats + artist
            + "CREATE TABLE base_location (base_location_id INTEGER PRIMARY KEY, path TEXT NOT NULL);\n"
              "CREATE TABLE album (album_pid INTEGER PRIMARY KEY, album TEXT NOT NULL DEFAULT '', sort_album TEXT, "
              "album_artist_pid INTEGER NOT NULL DEFAULT 0, representative_item_pid INTEGER NOT NULL DEFAULT 0, "
              "grouping_key BLOB, cloud_status INTEGER NOT NULL DEFAULT 0, user_rating INTEGER NOT NULL DEFAULT 0, "
              "keep_local INTEGER NOT NULL DEFAULT 0, keep_local_status INTEGER NOT NULL DEFAULT 0);\n"
              "CREATE TABLE album_artist (album_artist_pid INTEGER PRIMARY KEY, album_artist TEXT NOT NULL DEFAULT '', "
              "sort_album_artist TEXT, grouping_key BLOB, keep_local INTEGER NOT NULL DEFAULT 0);\n"
              "CREATE TABLE composer (composer_pid INTEGER PRIMARY KEY, composer TEXT NOT NULL DEFAULT '', "
              "sort_composer TEXT, grouping_key BLOB);\n"
              "CREATE TABLE genre (genre_id INTEGER PRIMARY KEY, genre TEXT NOT NULL DEFAULT '', grouping_key BLOB);\n"
              "CREATE TABLE container (container_pid INTEGER PRIMARY KEY, distinguished_kind INTEGER NOT NULL DEFAULT "
              "0, "
              "date_created INTEGER NOT NULL DEFAULT 0, date_modified INTEGER NOT NULL DEFAULT 0, date_played INTEGER "
              "NOT NULL DEFAULT 0, name TEXT NOT NULL DEFAULT '', sort_name TEXT, is_hidden INTEGER NOT NULL DEFAULT "
              "0);\n"
              "CREATE TABLE container_items (container_pid INTEGER NOT NULL DEFAULT 0, item_pid INTEGER NOT NULL "
              "DEFAULT "
              "0, position INTEGER NOT NULL DEFAULT 0, uuid TEXT NOT NULL DEFAULT '');\n"
              "CREATE TABLE item_store (item_pid INTEGER PRIMARY KEY, store_item_id INTEGER NOT NULL DEFAULT 0, "
              "purchase_history_id INTEGER NOT NULL DEFAULT 0, is_protected INTEGER NOT NULL DEFAULT 0, "
              "date_purchased INTEGER NOT NULL DEFAULT 0, feed_url TEXT, external_guid TEXT);\n"
              "CREATE TABLE item_playback (item_pid INTEGER PRIMARY KEY, audio_format INTEGER NOT NULL DEFAULT 0, "
              "duration INTEGER NOT NULL DEFAULT 0, bit_rate INTEGER NOT NULL DEFAULT 0, sample_rate REAL NOT NULL "
              "DEFAULT 0);\n"
              "CREATE TABLE item_video (item_pid INTEGER PRIMARY KEY, video_quality INTEGER NOT NULL DEFAULT 0, "
              "season_number INTEGER NOT NULL DEFAULT 0);\n"
              "CREATE TABLE item_search (item_pid INTEGER PRIMARY KEY, search_title INTEGER NOT NULL DEFAULT 0, "
              "search_album INTEGER NOT NULL DEFAULT 0, search_artist INTEGER NOT NULL DEFAULT 0);\n"
              "CREATE TABLE sort_map (name TEXT NOT NULL UNIQUE, name_order INTEGER UNIQUE, name_section INTEGER NOT "
              "NULL, sort_key BLOB NOT NULL);\n"
              "CREATE TABLE artwork (artwork_token TEXT NOT NULL DEFAULT '' PRIMARY KEY, artwork_source_type INTEGER "
              "NOT NULL DEFAULT 0, relative_path TEXT NOT NULL DEFAULT '');\n"
              "CREATE TABLE artwork_token (artwork_token TEXT NOT NULL DEFAULT '', entity_pid INTEGER NOT NULL DEFAULT "
              "0, entity_type INTEGER NOT NULL DEFAULT 0, artwork_type INTEGER NOT NULL DEFAULT 0);\n"
              "CREATE TABLE _MLDatabaseProperties (key TEXT PRIMARY KEY, value TEXT);\n"
              "CREATE INDEX item_artist_index ON item (item_artist_pid);\n"
              "CREATE INDEX item_album_index ON item (album_pid);\n";
    }

    class Statement
    {
    public:
        Statement(sqlite3* db, const std::string& sql)
        {
            sqlite3_prepare_v2(db, sql.c_str(), -1, &m_statement, nullptr);
        }
        ~Statement() { sqlite3_finalize(m_statement); }
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;
        bool valid() const { return m_statement != nullptr; }
        void bind(int index, std::int64_t value) { sqlite3_bind_int64(m_statement, index, value); }
        void bind(int index, double value) { sqlite3_bind_double(m_statement, index, value); }
        void bind(int index, const std::string& value)
        {
            sqlite3_bind_text(m_statement, index, value.c_str(), int(value.size()), SQLITE_TRANSIENT);
        }
        bool run()
        {
            const int rc = sqlite3_step(m_statement);
            sqlite3_reset(m_statement);
            sqlite3_clear_bindings(m_statement);
            return rc == SQLITE_DONE;
        }

    private:
        sqlite3_stmt* m_statement = nullptr;
    };

    struct TrackPlan
    {
        MusicTrack track;
        int folder = 0;
        std::string fileName;
        std::int64_t artistPid = 0;
        std::int64_t albumPid = 0;
        int genre = 0;
        int year = 0;
        int trackNumber = 0;
        bool lastPlayedOnlyInJournal = false;
    };

} // namespace

bool generateMusic(const ContentSettings& settings, ContentWriter& writer, std::vector<MusicTrack>& tracks)
{
    SeededRandom random = SeededRandom(settings.seed).fork("music");
    const std::int64_t now = settings.referenceTime;
    const std::int64_t history = std::int64_t(settings.yearsOfHistory) * 365 * 86400;
    const DeviceEra& era = settings.era;

    const std::string libraryFolder = mediaPath("/iTunes_Control/iTunes");
    if (!writer.makeDirectory(libraryFolder) || !writer.makeDirectory(libraryFolder + "/Artwork/Originals")
        || !writer.makeDirectory(mediaPath("/iTunes_Control/Music"))) {
        return false;
    }

    // Plan every track and its file.
    std::vector<TrackPlan> plans;
    std::set<std::string> usedNames;
    const int total = settings.songs + settings.podcasts;
    for (int i = 0; i < total; ++i) {
        TrackPlan plan;
        MusicTrack& t = plan.track;
        t.podcast = i >= settings.songs;
        t.pid = std::int64_t(random.next());
        if (t.podcast) {
            const int show = int(random.between(0, std::size(SHOWS) - 1));
            t.artist = SHOWS[show];
            t.title = "Episode " + std::to_string(random.between(1, 420));
            plan.artistPid = 5000 + show;
            plan.albumPid = 6000 + show;
            t.durationMs = random.between(15, 95) * 60'000 + random.between(0, 59'999);
        } else {
            const int artist = int(random.between(0, std::size(ARTISTS) - 1));
            t.artist = ARTISTS[artist];
            t.title = std::string(random.pick(TITLE_WORDS_A)) + " " + random.pick(TITLE_WORDS_B);
            plan.artistPid = 1000 + artist;
            plan.albumPid = 2000 + artist * 4 + random.between(0, 3);
            t.durationMs = random.between(150, 330) * 1000 + random.between(0, 999);
        }
        plan.genre = int(random.between(0, std::size(GENRES) - 1));
        plan.year = int(2024 - random.between(0, 30));
        plan.trackNumber = int(random.between(1, 14));
        plan.folder = int(random.between(0, 49));
        const bool mp3 = t.podcast || random.chance(0.3);
        do {
            plan.fileName = random.letters(4) + (mp3 ? ".mp3" : ".m4a");
        } while (!usedNames.insert(std::to_string(plan.folder) + plan.fileName).second);
        char folder[16];
        std::snprintf(folder, sizeof folder, "F%02d", plan.folder);
        t.mediaPath = std::string("/iTunes_Control/Music/") + folder + "/" + plan.fileName;

        // Dates: added within the history, modified for some, played for most.
        const double u = random.unit();
        t.dateAdded = now - std::int64_t(double(history) * u) - random.between(3600, 86400);
        t.dateModified = random.chance(0.25) ? 0 : random.between(t.dateAdded, now - 3600);
        if (!random.chance(settings.neverPlayedShare)) {
            const double recent = random.unit();
            t.datePlayed
                = now - std::int64_t(double(now - t.dateAdded) * recent * recent) + random.between(0, 600) - 3000;
            t.datePlayed = std::max(t.datePlayed, t.dateAdded + 60);
            t.playCount = int(random.between(1, 120));
        }
        plans.push_back(std::move(plan));
    }

    // Write the track files.
    for (TrackPlan& plan : plans) {
        MusicTrack& t = plan.track;
        const double seconds = double(t.durationMs) / 1000.0;
        const bool mp3 = plan.fileName.ends_with(".mp3");
        const std::int64_t bitRate = t.podcast ? (random.chance(0.5) ? 64'000 : 128'000) : (mp3 ? 192'000 : 256'000);
        const std::int64_t audioBytes = std::int64_t(seconds * double(bitRate) / 8.0);
        const std::string path = mediaPath(t.mediaPath);
        if (mp3) {
            const std::string head = MediaFormats::mp3Head(t.title, t.artist, t.podcast ? t.artist : "Album");
            t.fileSize = std::int64_t(head.size()) + audioBytes;
            if (!writer.writeSized(path, head, t.fileSize)) {
                return false;
            }
        } else {
            MediaFormats::MovieLayout layout;
            layout.majorBrand = "M4A ";
            layout.audioOnly = true;
            layout.timescale = 44100;
            layout.duration = std::uint64_t(seconds * 44100.0);
            layout.creationTime = t.dateAdded;
            layout.mediaBytes = audioBytes;
            const auto movie = MediaFormats::movie(layout);
            t.fileSize = movie.totalSize;
            if (!writer.writeSized(path, movie.head, movie.totalSize, movie.tail)) {
                return false;
            }
        }
        const std::int64_t fileTime = t.dateModified != 0 ? t.dateModified : t.dateAdded;
        if (!writer.setTimes(path, fileTime, t.dateAdded)) {
            return false;
        }
    }

    // The most recent plays are still only in the journal, as on a device that played them lately.
    std::vector<std::size_t> byPlayed;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        if (plans[i].track.datePlayed != 0) {
            byPlayed.push_back(i);
        }
    }
    std::sort(byPlayed.begin(), byPlayed.end(),
        [&](std::size_t a, std::size_t b) { return plans[a].track.datePlayed > plans[b].track.datePlayed; });
    for (std::size_t k = 0; k < byPlayed.size() && k < 5; ++k) {
        plans[byPlayed[k]].lastPlayedOnlyInJournal = true;
    }

    // The database.
    const std::filesystem::path dbPath = writer.hostPath(libraryFolder + "/MediaLibrary.sqlitedb");
    std::error_code ec;
    for (const char* suffix : { "", "-wal", "-shm" }) {
        std::filesystem::remove(dbPath.string() + suffix, ec);
    }
    Database db;
    std::string error;
    if (sqlite3_open(dbPath.c_str(), &db.handle) != SQLITE_OK) {
        return false;
    }
    if (!exec(db.handle, "PRAGMA journal_mode=WAL; PRAGMA user_version=" + std::to_string(era.musicUserVersion) + ";",
            error)
        || !exec(db.handle, "BEGIN;" + schema(era), error)) {
        return false;
    }
    {
        Statement location(db.handle, "INSERT INTO base_location VALUES (?, ?)");
        const std::pair<int, const char*> fixed[]
            = { { 100, "LoFiCloudAssets" }, { 200, "CloudAssets" }, { 300, "Purchases" }, { 400, "Podcasts" } };
        for (const auto& [id, path] : fixed) {
            location.bind(1, std::int64_t(id));
            location.bind(2, std::string(path));
            location.run();
        }
        for (int n = 0; n < 50; ++n) {
            char path[32];
            std::snprintf(path, sizeof path, "iTunes_Control/Music/F%02d", n);
            location.bind(1, std::int64_t(3840) + n);
            location.bind(2, std::string(path));
            if (!location.run()) {
                return false;
            }
        }
    }

    std::string itemSql = "INSERT INTO item (item_pid, media_type, item_artist_pid, album_pid, album_artist_pid, "
                          "genre_id, track_number, base_location_id";
    std::string itemValues = "?1, ?2, ?3, ?4, ?3, ?5, ?6, ?7";
    if (era.musicHasDateAdded) {
        itemSql += ", in_my_library, date_added";
        itemValues += ", 1, ?8";
    }
    if (era.musicHasDateDownloaded) {
        itemSql += ", date_downloaded";
        itemValues += ", ?8";
    }
    Statement item(db.handle, itemSql + ") VALUES (" + itemValues + ")");

    std::string extraSql = "INSERT INTO item_extra (item_pid, title, sort_title, total_time_ms, year, location, "
                           "file_size, date_modified, media_kind, genius_id";
    std::string extraValues = "?1, ?2, ?2, ?3, ?4, ?5, ?6, ?7, ?8, 0";
    if (!era.musicHasDateAdded) {
        extraSql += ", date_created";
        extraValues += ", ?9";
    }
    Statement extra(db.handle, extraSql + ") VALUES (" + extraValues + ")");
    Statement stats(db.handle,
        "INSERT INTO item_stats (item_pid, play_count_user, play_count_recent, has_been_played, date_played, "
        "date_accessed) VALUES (?1, ?2, ?3, ?4, ?5, ?5)");
    Statement store(db.handle, "INSERT INTO item_store (item_pid, store_item_id, feed_url) VALUES (?1, ?2, ?3)");
    Statement playback(db.handle,
        "INSERT INTO item_playback (item_pid, audio_format, duration, bit_rate, sample_rate) VALUES (?1, ?2, ?3, ?4, "
        "44100)");
    if (!item.valid() || !extra.valid() || !stats.valid() || !store.valid() || !playback.valid()) {
        return false;
    }

    for (const TrackPlan& plan : plans) {
        const MusicTrack& t = plan.track;
        item.bind(1, t.pid);
        item.bind(2, std::int64_t(t.podcast ? 4 : 8));
        item.bind(3, plan.artistPid);
        item.bind(4, plan.albumPid);
        item.bind(5, std::int64_t(plan.genre) + 1);
        item.bind(6, std::int64_t(plan.trackNumber));
        item.bind(7, std::int64_t(3840) + plan.folder);
        if (era.musicHasDateAdded || era.musicHasDateDownloaded) {
            item.bind(8, toCocoaTime(t.dateAdded));
        }
        extra.bind(1, t.pid);
        extra.bind(2, t.title);
        extra.bind(3, double(t.durationMs));
        extra.bind(4, std::int64_t(plan.year));
        extra.bind(5, plan.fileName);
        extra.bind(6, t.fileSize);
        extra.bind(7, toCocoaTime(t.dateModified));
        extra.bind(8, std::int64_t(t.podcast ? 4 : 1));
        if (!era.musicHasDateAdded) {
            extra.bind(9, toCocoaTime(t.dateAdded));
        }
        // Rows whose last play is still in the journal start from the play before it.
        const bool deferred = plan.lastPlayedOnlyInJournal;
        const std::int64_t played = deferred ? std::max(t.dateAdded + 30, t.datePlayed - 86400 * 3) : t.datePlayed;
        const int count = deferred ? t.playCount - 1 : t.playCount;
        stats.bind(1, t.pid);
        stats.bind(2, std::int64_t(count));
        stats.bind(3, std::int64_t(std::min(count, 10)));
        stats.bind(4, std::int64_t(count > 0 ? 1 : 0));
        stats.bind(5, count > 0 ? toCocoaTime(played) : 0);
        store.bind(1, t.pid);
        store.bind(2, std::int64_t(random.between(100'000'000, 1'500'000'000)));
        store.bind(
            3, t.podcast ? "https://feeds.example.net/" + std::to_string(plan.artistPid) + ".xml" : std::string());
        playback.bind(1, t.pid);
        playback.bind(2, std::int64_t(plan.fileName.ends_with(".mp3") ? 301 : 502));
        playback.bind(3, t.durationMs);
        playback.bind(4, std::int64_t(t.podcast ? 128 : 256));
        if (!item.run() || !extra.run() || !stats.run() || !store.run() || !playback.run()) {
            error = sqlite3_errmsg(db.handle);
            return false;
        }
    }

    // Artists, albums, genres.
    std::string names;
    for (std::size_t i = 0; i < std::size(ARTISTS); ++i) {
        names += "INSERT INTO item_artist (item_artist_pid, item_artist, sort_item_artist) VALUES ("
            + std::to_string(1000 + i) + ", '" + ARTISTS[i] + "', '" + ARTISTS[i] + "');\n";
        names += "INSERT INTO album_artist (album_artist_pid, album_artist) VALUES (" + std::to_string(1000 + i) + ", '"
            + ARTISTS[i] + "');\n";
        for (int a = 0; a < 4; ++a) {
            names += "INSERT INTO album (album_pid, album, album_artist_pid) VALUES ("
                + std::to_string(2000 + i * 4 + a) + ", '"
                + TITLE_WORDS_A[(i + std::size_t(a)) % std::size(TITLE_WORDS_A)] + " Sessions', "
                + std::to_string(1000 + i) + ");\n";
        }
    }
    for (std::size_t i = 0; i < std::size(SHOWS); ++i) {
        names += "INSERT INTO item_artist (item_artist_pid, item_artist, series_name, sort_series_name) VALUES ("
            + std::to_string(5000 + i) + ", '" + SHOWS[i] + "', '" + SHOWS[i] + "', '" + SHOWS[i] + "');\n";
        names
            += "INSERT INTO album (album_pid, album) VALUES (" + std::to_string(6000 + i) + ", '" + SHOWS[i] + "');\n";
    }
    for (std::size_t i = 0; i < std::size(GENRES); ++i) {
        names += "INSERT INTO genre (genre_id, genre) VALUES (" + std::to_string(i + 1) + ", '" + GENRES[i] + "');\n";
    }
    names += "INSERT INTO container (container_pid, distinguished_kind, date_created, name) VALUES (1, 0, "
        + std::to_string(toCocoaTime(now - history)) + ", 'Library');\n";
    // Playlists hold some of the tracks, as on a phone whose owner made a few: removing a track
    // must take it out of them too.
    const char* const playlists[] = { "Favourites", "Road Trip", "Morning Run" };
    for (std::size_t p = 0; p < std::size(playlists); ++p) {
        const std::int64_t container = std::int64_t(p) + 2;
        names += "INSERT INTO container (container_pid, distinguished_kind, date_created, date_modified, name, "
                 "sort_name) VALUES ("
            + std::to_string(container) + ", 0, " + std::to_string(toCocoaTime(now - history / 2)) + ", "
            + std::to_string(toCocoaTime(now - 86400 * 30)) + ", '" + playlists[p] + "', '" + playlists[p] + "');\n";
        int position = 0;
        for (std::size_t i = p; i < plans.size(); i += 3 + p * 2) {
            names += "INSERT INTO container_items (container_pid, item_pid, position, uuid) VALUES ("
                + std::to_string(container) + ", " + std::to_string(plans[i].track.pid) + ", "
                + std::to_string(position++) + ", '" + std::to_string(container) + "-" + std::to_string(i) + "');\n";
        }
    }
    names += "INSERT INTO _MLDatabaseProperties VALUES ('OrderingLanguage', 'en'), ('MLSyncClientSyncAnchor', '"
        + std::to_string(random.between(1000, 90000)) + "');\n";
    if (!exec(db.handle, names, error) || !exec(db.handle, "COMMIT;", error)
        || !exec(db.handle, "PRAGMA wal_checkpoint(TRUNCATE);", error)) {
        return false;
    }

    // Later writes stay in the -wal: no checkpoint when this connection closes.
    int unused = 0;
    sqlite3_db_config(db.handle, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &unused);
    if (!exec(db.handle, "PRAGMA wal_autocheckpoint=0; BEGIN;", error)) {
        return false;
    }
    {
        Statement update(db.handle,
            "UPDATE item_stats SET play_count_user = ?2, play_count_recent = min(?2, 10), has_been_played = 1, "
            "date_played = ?3, date_accessed = ?3 WHERE item_pid = ?1");
        for (const TrackPlan& plan : plans) {
            if (!plan.lastPlayedOnlyInJournal) {
                continue;
            }
            update.bind(1, plan.track.pid);
            update.bind(2, std::int64_t(plan.track.playCount));
            update.bind(3, toCocoaTime(plan.track.datePlayed));
            if (!update.run()) {
                return false;
            }
        }
    }
    if (!exec(db.handle, "COMMIT;", error)) {
        return false;
    }
    sqlite3_close_v2(db.handle);
    db.handle = nullptr;

    for (const char* suffix : { "", "-wal", "-shm" }) {
        const std::string file = libraryFolder + "/MediaLibrary.sqlitedb" + suffix;
        if (std::filesystem::exists(writer.hostPath(file)) && !writer.setTimes(file, now - 600, now - history)) {
            return false;
        }
    }
    for (TrackPlan& plan : plans) {
        tracks.push_back(std::move(plan.track));
    }
    return true;
}

} // namespace ContentGenerators
