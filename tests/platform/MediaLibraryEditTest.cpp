#include "platform/track_deleter/MediaLibraryEdit.h"

#include "db/FMDatabase.h"
#include "tests/platform/MediaLibrarySnapshot.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

// The shape of a phone's library, cut down to what removing a song touches.
constexpr const char* SCHEMA = R"(
PRAGMA journal_mode = WAL;
CREATE TABLE item (item_pid INTEGER PRIMARY KEY, item_artist_pid INTEGER, base_location_id INTEGER);
CREATE TABLE item_extra (item_pid INTEGER PRIMARY KEY, title TEXT, location TEXT, file_size INTEGER,
                         media_kind INTEGER);
CREATE TABLE item_stats (item_pid INTEGER PRIMARY KEY, date_played INTEGER);
CREATE TABLE item_artist (item_artist_pid INTEGER PRIMARY KEY, item_artist TEXT,
                          representative_item_pid INTEGER);
CREATE TABLE base_location (base_location_id INTEGER PRIMARY KEY, path TEXT);
CREATE TABLE container_items (container_pid INTEGER, item_pid INTEGER, position INTEGER);
INSERT INTO base_location VALUES (1, 'iTunes_Control/Music/F01'), (2, 'Podcasts'), (3, 'iTunes_Control/Music/..');
INSERT INTO item_artist VALUES (10, 'Mara Lune', 101), (11, 'Jonah Vale', 103);
INSERT INTO item VALUES (101, 10, 1), (102, 10, 1), (103, 11, 1), (104, 11, 2), (105, 11, 3), (106, 10, 0);
INSERT INTO item_extra VALUES (101, 'Paper Rain', 'AAAA.m4a', 4000, 1), (102, 'Paper Rain', 'BBBB.m4a', 5000, 1),
    (103, 'Neon Skies', 'CCCC.mp3', 6000, 1), (104, 'Episode 1', 'DDDD.mp3', 7000, 4),
    (105, 'Escape', 'EEEE.mp3', 100, 1), (106, 'Full Path', 'iTunes_Control/Music/F02/FFFF.m4a', 200, 1);
INSERT INTO item_stats VALUES (101, 5), (102, 0), (103, 9);
INSERT INTO container_items VALUES (1, 101, 0), (1, 103, 1), (2, 101, 0);
)";

class MediaLibraryEditTest : public testing::Test
{
protected:
    void SetUp() override
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, SCHEMA, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
        database = FMDatabase::databaseWithPath(path);
        ASSERT_TRUE(database->open());
    }

    TemporaryDirectory folder;
    std::string path = (folder.path() / "MediaLibrary.sqlitedb").string();
    std::unique_ptr<FMDatabase> database;
    std::string error;
};

} // namespace

TEST(MediaLibraryEditPaths, KeepsEveryFileInsideTheMusicFolder)
{
    struct Row
    {
        const char* base;
        const char* location;
        std::optional<std::string> expected;
    };
    const Row rows[] = {
        { "iTunes_Control/Music/F01", "AAAA.m4a", "/iTunes_Control/Music/F01/AAAA.m4a" },
        { "/iTunes_Control/Music/F01", "AAAA.m4a", "/iTunes_Control/Music/F01/AAAA.m4a" },
        { "", "iTunes_Control/Music/F02/B.mp3", "/iTunes_Control/Music/F02/B.mp3" },
        { "Ignored", "iTunes_Control/Music/F02/B.mp3", "/iTunes_Control/Music/F02/B.mp3" },
        { "Ünïcode/../iTunes_Control/Music", "x.m4a", std::nullopt },
        { "iTunes_Control/Music/F01", "..", std::nullopt },
        { "iTunes_Control/Music", "../iTunes/MediaLibrary.sqlitedb", std::nullopt },
        { "iTunes_Control/Music/F01", "", std::nullopt },
        { "iTunes_Control/Music//F01", "a.mp3", std::nullopt },
        { "Podcasts", "a.mp3", std::nullopt },
        { "", "iTunes_Control/Music", std::nullopt },
        { "iTunes_Control/MusicX", "a.mp3", std::nullopt },
        { "iTunes_Control/Music/F01", "./a.mp3", std::nullopt },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.base) + " + " + row.location);
        EXPECT_EQ(MediaLibraryEdit::mediaPathFor(row.base, row.location), row.expected);
    }
    // Paths read back from the phone's list of files still to delete: only normal ones in the folder.
    const std::pair<std::string, bool> pending[] = {
        { "/iTunes_Control/Music/F01/AAAA.m4a", true },
        { "/DCIM/100APPLE/IMG_0017.JPG", false },
        { "/DCIM/100APPLE/../100APPLE/IMG_0018.JPG", false },
        { "/Downloads/downloads.28.sqlitedb", false },
        { "iTunes_Control/Music/F01/AAAA.m4a", false },
        { "/iTunes_Control/Music/F01/../../iTunes/MediaLibrary.sqlitedb", false },
        { "/iTunes_Control/Music/F01//AAAA.m4a", false },
        { std::string("/iTunes_Control/Music/F01/A") + '\0' + "/../../../DCIM/IMG_0001.JPG", false },
    };
    for (const auto& [path, kept] : pending) {
        SCOPED_TRACE(path);
        EXPECT_EQ(MediaLibraryEdit::pendingMediaPath(path), kept ? std::optional(path) : std::nullopt);
    }
}

TEST_F(MediaLibraryEditTest, FindsRowsByIdOrByTitleArtistAndSize)
{
    const std::vector<MediaLibraryTrack> tracks = {
        { 103, "", "", std::nullopt },
        { std::nullopt, "Paper Rain", "Mara Lune", 5000 },
        { std::nullopt, "Paper Rain", "Mara Lune", std::nullopt }, // the other of the two
        { std::nullopt, "Paper Rain", "Mara Lune", std::nullopt }, // none left
        { 104, "", "", std::nullopt }, // a podcast outside the music folder: never touched
        { 105, "", "", std::nullopt }, // a location that climbs out
        { 999, "", "", std::nullopt },
        { 106, "", "", std::nullopt },
    };
    const auto rows = MediaLibraryEdit::findRows(*database, tracks, error);
    ASSERT_TRUE(rows) << error;
    std::vector<std::pair<std::int64_t, std::string>> found;
    for (const auto& row : *rows) {
        found.emplace_back(row.pid, row.mediaPath);
    }
    const std::vector<std::pair<std::int64_t, std::string>> expected = {
        { 103, "/iTunes_Control/Music/F01/CCCC.mp3" },
        { 102, "/iTunes_Control/Music/F01/BBBB.m4a" },
        { 101, "/iTunes_Control/Music/F01/AAAA.m4a" },
        { 106, "/iTunes_Control/Music/F02/FFFF.m4a" },
    };
    EXPECT_EQ(found, expected);
}

TEST_F(MediaLibraryEditTest, RemovesEveryRowOfTheItemsAndNothingElse)
{
    const auto before = MediaLibrarySnapshot::read(path);
    ASSERT_TRUE(MediaLibraryEdit::deleteRows(*database, { 101, 103 }, error)) << error;
    ASSERT_TRUE(MediaLibraryEdit::integrityCheck(*database, error)) << error;
    database->close();
    ASSERT_TRUE(MediaLibraryEdit::checkpoint(path, error)) << error;
    EXPECT_FALSE(std::filesystem::exists(path + "-wal") && std::filesystem::file_size(path + "-wal") > 0);

    const auto after = MediaLibrarySnapshot::read(path);
    auto expected = before.without({ 101, 103 });
    // The artists stay; what named a removed item as their representative names none.
    expected.rows["item_artist"] = { "10|Mara Lune|0|", "11|Jonah Vale|0|" };
    EXPECT_EQ(after.rows, expected.rows);
    EXPECT_EQ(after.integrity, "ok");
}

TEST_F(MediaLibraryEditTest, LeavesTheLibraryAsItWasWhenAStatementFails)
{
    // Phones guard their tables with triggers that call functions only the phone has.
    sqlite3* db = database->sqliteHandle();
    ASSERT_EQ(
        sqlite3_exec(db, "CREATE TRIGGER phone_only AFTER DELETE ON item_stats BEGIN SELECT phone_function(); END;",
            nullptr, nullptr, nullptr),
        SQLITE_OK);
    const auto before = MediaLibrarySnapshot::read(path);
    EXPECT_FALSE(MediaLibraryEdit::deleteRows(*database, { 101 }, error));
    EXPECT_NE(error.find("phone_function"), std::string::npos) << error;
    database->close();
    EXPECT_EQ(MediaLibrarySnapshot::read(path).rows, before.rows);
}
