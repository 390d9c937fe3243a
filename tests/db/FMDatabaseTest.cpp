#include "db/FMDatabase.h"

#include "base/Log.h"
#include "db/FMResultSet.h"
#include "db/FMStatement.h"
#include "tests/db/DbTestSupport.h"
#include "tests/support/TestSupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

std::unique_ptr<FMDatabase> openDatabase(std::optional<std::string> path = std::nullopt)
{
    auto db = FMDatabase::databaseWithPath(std::move(path));
    EXPECT_TRUE(db->open());
    return db;
}

// The single value of a one-row, one-column query, as text ("<none>" when there is no row).
std::string scalar(FMDatabase& db, const std::string& query)
{
    auto rs = db.executeQuery(query);
    if (!rs || !rs->next()) {
        return "<none>";
    }
    return rs->stringForColumnIndex(0).value_or("<null>");
}

} // namespace

TEST(FMDatabasePaths, EachPathMeaningOpensTheRightDatabase)
{
    TemporaryDirectory dir;
    const std::string file = (dir.path() / "library.sqlite").string();

    {
        auto first = openDatabase(file);
        ASSERT_TRUE(first->executeUpdate("CREATE TABLE t (x)"));
        ASSERT_TRUE(first->executeUpdate("INSERT INTO t VALUES (?)", 7));
    }
    EXPECT_TRUE(std::filesystem::exists(file));
    auto reopened = openDatabase(file);
    EXPECT_EQ(scalar(*reopened, "SELECT x FROM t"), "7");
    EXPECT_EQ(reopened->description(), file);

    // In-memory and temporary databases are private to their handle.
    for (const std::optional<std::string>& path : { std::optional<std::string>(), std::optional<std::string>("") }) {
        SCOPED_TRACE(path ? "temporary" : "in memory");
        auto a = openDatabase(path);
        auto b = openDatabase(path);
        ASSERT_TRUE(a->executeUpdate("CREATE TABLE t (x)"));
        EXPECT_EQ(scalar(*a, "SELECT count(*) FROM t"), "0");
        EXPECT_FALSE(b->executeQuery("SELECT count(*) FROM t"));
        EXPECT_EQ(a->description(), path ? "<temporary>" : ":memory:");
    }
}

TEST(FMDatabaseOpen, OpenTwiceKeepsTheConnection)
{
    auto db = openDatabase();
    sqlite3* handle = db->sqliteHandle();
    ASSERT_TRUE(db->executeUpdate("CREATE TABLE t (x)"));
    EXPECT_TRUE(db->open());
    EXPECT_EQ(db->sqliteHandle(), handle);
    EXPECT_EQ(scalar(*db, "SELECT count(*) FROM t"), "0");
}

TEST(FMDatabaseOpen, UnopenablePathFailsWithItsCode)
{
    TemporaryDirectory dir;
    LogCapture log;
    auto db = FMDatabase::databaseWithPath((dir.path() / "missing" / "x.sqlite").string());
    EXPECT_FALSE(db->open());
    EXPECT_FALSE(db->isOpen());
    EXPECT_TRUE(log.contains("error opening!: 14")) << "SQLITE_CANTOPEN";
}

TEST(FMDatabaseOpen, ClosedHandleRefusesWorkAndClosesTwice)
{
    LogCapture log;
    auto db = FMDatabase::databaseWithPath(std::nullopt);
    EXPECT_FALSE(db->executeQuery("SELECT 1"));
    EXPECT_FALSE(db->executeUpdate("CREATE TABLE t (x)"));
    EXPECT_EQ(log.count("The FMDatabase :memory: is not open."), 2);

    ASSERT_TRUE(db->open());
    EXPECT_TRUE(db->close());
    EXPECT_TRUE(db->close());
    EXPECT_FALSE(db->isOpen());
    EXPECT_FALSE(db->executeQuery("SELECT 1"));
    EXPECT_EQ(log.count("The FMDatabase :memory: is not open."), 3);
    // Closed handles can be opened again.
    ASSERT_TRUE(db->open());
    EXPECT_EQ(scalar(*db, "SELECT 1"), "1");
}

TEST(FMDatabaseQuery, PrepareErrorLogsCodeQueryAndPath)
{
    auto db = openDatabase();
    {
        LogCapture log;
        EXPECT_FALSE(db->executeQuery("SELECT * FROM missing"));
        EXPECT_EQ(log.lines(),
            (std::vector<std::string> {
                "DB Error: 1 \"no such table: missing\"", "DB Query: SELECT * FROM missing", "DB Path: :memory:" }));
        EXPECT_FALSE(db->isExecutingStatement());
    }
    {
        LogCapture log;
        db->setLogsErrors(false);
        EXPECT_FALSE(db->executeQuery("SELEC 1"));
        EXPECT_TRUE(log.lines().empty());
    }
    EXPECT_EQ(db->lastErrorCode(), SQLITE_ERROR);
    EXPECT_EQ(scalar(*db, "SELECT 2"), "2") << "a failed prepare leaves the handle usable";
}

TEST(FMDatabaseQuery, BindCountMustMatchTheParameters)
{
    auto db = openDatabase();
    struct Case
    {
        const char* query;
        PlistArray values;
    };
    const Case cases[] = {
        { "SELECT ?", {} },
        { "SELECT ?, ?", { 1 } },
        { "SELECT ?", { 1, 2 } },
        { "SELECT 1", { 1 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.query) + " with " + std::to_string(c.values.size()) + " values");
        LogCapture log;
        EXPECT_FALSE(db->executeQuery(c.query, c.values));
        EXPECT_TRUE(log.contains("Error: the bind count is not correct for the # of variables (executeQuery)"));
        EXPECT_FALSE(db->executeUpdate(c.query, c.values));
        EXPECT_TRUE(log.contains("Error: the bind count is not correct for the # of variables (executeUpdate)"));
        EXPECT_FALSE(db->isExecutingStatement());
    }
    EXPECT_EQ(db->openResultSetCount(), 0u);
    auto rs = db->executeQuery("SELECT ? + ?", 40, 2);
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->intForColumnIndex(0), 42);
}

TEST(FMDatabaseQuery, NamedParametersBindByKey)
{
    auto db = openDatabase();
    {
        auto rs
            = db->executeQuery("SELECT :b AS b, :a AS a, :a + 1 AS a1", PlistDictionary { { "a", 1 }, { "b", "two" } });
        ASSERT_TRUE(rs && rs->next());
        EXPECT_EQ(rs->intForColumn("a"), 1);
        EXPECT_EQ(rs->stringForColumn("b"), "two");
        EXPECT_EQ(rs->intForColumn("a1"), 2);
    }
    LogCapture log;
    EXPECT_FALSE(db->executeQuery("SELECT :a, :b", PlistDictionary { { "a", 1 }, { "c", 3 } }));
    EXPECT_EQ(log.lines(),
        (std::vector<std::string> { "Could not find index for c",
            "Error: the bind count is not correct for the # of variables (executeQuery)" }));
}

TEST(FMDatabaseQuery, MoreThanOneStatementIsRefused)
{
    auto db = openDatabase();
    ASSERT_TRUE(db->executeUpdate("CREATE TABLE t (x)"));
    LogCapture log;
    EXPECT_FALSE(db->executeUpdate("INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)"));
    EXPECT_TRUE(log.contains("Error: the query holds more than one statement: INSERT INTO t VALUES (1); INSERT INTO t "
                             "VALUES (2)"));
    EXPECT_EQ(scalar(*db, "SELECT count(*) FROM t"), "0") << "nothing of a refused text runs";
    // Trailing semicolons, blanks and comments are not statements.
    EXPECT_TRUE(db->executeUpdate("INSERT INTO t VALUES (3);; \n -- done\n"));
    EXPECT_EQ(scalar(*db, "SELECT count(*) FROM t;"), "1");
}

TEST(FMDatabaseQuery, TraceLogsEachQuery)
{
    auto db = openDatabase();
    db->setTraceExecution(true);
    LogCapture log;
    EXPECT_EQ(scalar(*db, "SELECT 1"), "1");
    EXPECT_TRUE(db->executeUpdate("CREATE TABLE t (x)"));
    EXPECT_EQ(log.lines(),
        (std::vector<std::string> { ":memory: executeQuery: SELECT 1", ":memory: executeUpdate: CREATE TABLE t (x)" }));
}

TEST(FMDatabaseBinding, EveryValueKindRoundTrips)
{
    auto db = openDatabase();
    // No declared type: SQLite keeps each value as bound, so the test sees the binding itself.
    ASSERT_TRUE(db->executeUpdate("CREATE TABLE v (id INTEGER PRIMARY KEY, value)"));

    struct Case
    {
        const char* name;
        PlistValue value;
        const char* storedType;
        std::string expectedText; // as SQLite renders the stored value
    };
    const std::string nonAscii = "Ünïcödé 日本語 🎵";
    const std::string withNul("a\0b", 3);
    const Case cases[] = {
        { "null", PlistValue(), "null", "<null>" },
        { "empty data", PlistValue(PlistData {}), "blob", "" },
        { "data with zero bytes", PlistValue(PlistData { 0x00, 0xff, 0x00 }), "blob", std::string("\0\xff\0", 3) },
        { "zero", PlistValue(0), "integer", "0" },
        { "int32 max", PlistValue(std::numeric_limits<std::int32_t>::max()), "integer", "2147483647" },
        { "int32 min", PlistValue(std::numeric_limits<std::int32_t>::min()), "integer", "-2147483648" },
        { "above int32", PlistValue(std::int64_t(1) << 32), "integer", "4294967296" },
        { "int64 max", PlistValue(std::numeric_limits<std::int64_t>::max()), "integer", "9223372036854775807" },
        { "int64 min", PlistValue(std::numeric_limits<std::int64_t>::min()), "integer", "-9223372036854775808" },
        { "unsigned within int64", PlistValue(std::uint64_t(1) << 62), "integer", "4611686018427387904" },
        { "real", PlistValue(0.1), "real", "0.1" },
        { "huge real", PlistValue(-1e300), "real", "-1.0e+300" },
        { "true", PlistValue(true), "integer", "1" },
        { "false", PlistValue(false), "integer", "0" },
        { "date", PlistValue(PlistDate::fromSecondsSince1970(1700000000.25)), "real", "1700000000.25" },
        { "empty text", PlistValue(""), "text", "" },
        { "non-ASCII text", PlistValue(nonAscii), "text", nonAscii },
        { "text with NUL", PlistValue(withNul), "text", withNul },
        { "uid", PlistValue(PlistUid { 12 }), "integer", "12" },
    };
    int id = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++id;
        ASSERT_TRUE(db->executeUpdate("INSERT INTO v (id, value) VALUES (?, ?)", id, c.value));
        auto rs = db->executeQuery("SELECT value, typeof(value) AS type, length(CAST(value AS BLOB)) AS length "
                                   "FROM v WHERE id = ?",
            id);
        ASSERT_TRUE(rs && rs->next());
        EXPECT_EQ(rs->stringForColumn("type"), c.storedType);
        EXPECT_EQ(rs->stringForColumn("value").value_or("<null>"), c.expectedText);
        EXPECT_EQ(rs->columnIsNull("value"), c.value.isNull());
        switch (c.value.type()) {
        case PlistValue::Type::Data:
            // Empty data is an empty blob, never NULL.
            ASSERT_TRUE(rs->dataForColumn("value").has_value());
            EXPECT_EQ(*rs->dataForColumn("value"), *c.value.asData());
            break;
        case PlistValue::Type::Integer:
            EXPECT_EQ(rs->longLongIntForColumn("value"), *c.value.toInt64());
            break;
        case PlistValue::Type::Real:
        case PlistValue::Type::Date:
            EXPECT_EQ(rs->doubleForColumn("value"),
                c.value.isDate() ? c.value.toDate()->secondsSince1970() : *c.value.toDouble());
            break;
        case PlistValue::Type::String:
            EXPECT_EQ(rs->longLongIntForColumn("length"), std::int64_t(c.value.asString()->size()));
            break;
        case PlistValue::Type::Null:
            EXPECT_FALSE(rs->dataForColumn("value"));
            EXPECT_EQ(rs->intForColumn("value"), 0);
            break;
        default:
            break;
        }
        EXPECT_FALSE(rs->next());
    }
}

TEST(FMDatabaseBinding, ValuesSqliteCannotHoldAreRefused)
{
    auto db = openDatabase();
    ASSERT_TRUE(db->executeUpdate("CREATE TABLE v (value)"));
    LogCapture log;
    EXPECT_FALSE(db->executeUpdate("INSERT INTO v VALUES (?)", std::numeric_limits<std::uint64_t>::max()));
    EXPECT_TRUE(log.contains("Error: 18446744073709551615 does not fit in an SQLite integer"));
    EXPECT_FALSE(db->executeQuery("SELECT ?", PlistUid { std::uint64_t(1) << 63 }));
    EXPECT_EQ(scalar(*db, "SELECT count(*) FROM v"), "0");
    EXPECT_FALSE(db->isExecutingStatement());
}

TEST(FMDatabaseBinding, CollectionsBindAsPropertyListText)
{
    auto db = openDatabase();
    auto rs = db->executeQuery("SELECT ?", PlistValue(PlistArray { 1, "two" }));
    ASSERT_TRUE(rs && rs->next());
    const auto text = rs->stringForColumnIndex(0).value_or("");
    EXPECT_EQ(PlistCodec::fromXml(text), PlistValue(PlistArray { 1, "two" }));
}

TEST(FMResultSet, ColumnsAreFoundByNameInAnyCase)
{
    auto db = openDatabase();
    ASSERT_TRUE(db->executeUpdate("CREATE TABLE songs (title TEXT, Plays INTEGER)"));
    ASSERT_TRUE(db->executeUpdate("INSERT INTO songs VALUES ('Blue', 3)"));
    auto rs = db->executeQuery("SELECT * FROM songs");
    ASSERT_TRUE(rs && rs->next());
    for (const char* name : { "title", "TITLE", "Title" }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(rs->stringForColumn(name), "Blue");
    }
    EXPECT_EQ(rs->intForColumn("plays"), 3);
    EXPECT_EQ(rs->columnNameForIndex(1), "Plays");

    LogCapture log;
    EXPECT_EQ(rs->intForColumn("Artist"), 0);
    EXPECT_EQ(rs->stringForColumn("artist"), std::nullopt);
    EXPECT_EQ(rs->columnIndexForName("ARTIST"), -1);
    EXPECT_EQ(log.lines(),
        (std::vector<std::string> { "Warning: I could not find the column named 'Artist'.",
            "Warning: I could not find the column named 'artist'.",
            "Warning: I could not find the column named 'ARTIST'." }));
}

TEST(FMResultSet, DuplicateColumnNamesFromAJoinResolveToTheLast)
{
    auto db = openDatabase();
    ASSERT_TRUE(db->executeUpdate("CREATE TABLE album (id INTEGER, name TEXT)"));
    ASSERT_TRUE(db->executeUpdate("CREATE TABLE track (album_id INTEGER, id INTEGER, NAME TEXT)"));
    ASSERT_TRUE(db->executeUpdate("INSERT INTO album VALUES (1, 'Album')"));
    ASSERT_TRUE(db->executeUpdate("INSERT INTO track VALUES (1, 10, 'Track')"));
    auto rs = db->executeQuery("SELECT * FROM album JOIN track ON track.album_id = album.id");
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->columnCount(), 5);
    EXPECT_EQ(rs->stringForColumn("name"), "Track");
    EXPECT_EQ(rs->intForColumn("id"), 10);
    EXPECT_EQ(rs->stringForColumnIndex(1), "Album");
}

TEST(FMResultSet, ReadsNothingOffARow)
{
    auto db = openDatabase();
    auto rs = db->executeQuery("SELECT 5 AS n");
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->intForColumn("n"), 0) << "before the first row";
    EXPECT_TRUE(rs->columnIsNull("n"));
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->intForColumn("n"), 5);
    EXPECT_EQ(rs->intForColumnIndex(1), 0);
    EXPECT_EQ(rs->stringForColumnIndex(-1), std::nullopt);
    EXPECT_FALSE(rs->next());
    EXPECT_FALSE(rs->isOpen()) << "the end closes the cursor";
    EXPECT_EQ(rs->intForColumn("n"), 0);
    EXPECT_EQ(rs->stringForColumn("n"), std::nullopt);
    EXPECT_FALSE(rs->next());
    EXPECT_EQ(db->openResultSetCount(), 0u);
}

TEST(FMResultSet, StepErrorsAreLoggedAndCloseTheCursor)
{
    auto db = openDatabase();
    ASSERT_TRUE(db->executeUpdate("CREATE TABLE t (id INTEGER PRIMARY KEY)"));
    ASSERT_TRUE(db->executeUpdate("INSERT INTO t VALUES (1)"));
    {
        LogCapture log;
        auto rs = db->executeQuery("SELECT abs(?)", std::numeric_limits<std::int64_t>::min());
        ASSERT_TRUE(rs);
        EXPECT_FALSE(rs->next());
        EXPECT_FALSE(rs->isOpen());
        EXPECT_EQ(log.lines(), std::vector<std::string> { "Error calling sqlite3_step (1: integer overflow) rs" });
    }
    {
        LogCapture log;
        auto rs = db->executeQuery("INSERT INTO t VALUES (1) RETURNING id");
        ASSERT_TRUE(rs);
        EXPECT_FALSE(rs->next());
        EXPECT_EQ(log.lines(),
            std::vector<std::string> { "Unknown error calling sqlite3_step (19: UNIQUE constraint failed: t.id) rs" });
    }
    {
        LogCapture log;
        EXPECT_FALSE(db->executeUpdate("INSERT INTO t VALUES (?)", 1));
        EXPECT_TRUE(log.contains("DB Error: 19 \"UNIQUE constraint failed: t.id\""));
    }
    EXPECT_EQ(db->openResultSetCount(), 0u);
}

TEST(FMResultSet, CursorOutlivingItsDatabaseReadsNothing)
{
    auto db = openDatabase();
    ASSERT_TRUE(db->executeUpdate("CREATE TABLE t (x)"));
    ASSERT_TRUE(db->executeUpdate("INSERT INTO t VALUES (1), (2), (3)"));
    db->setShouldCacheStatements(true);

    auto cached = db->executeQuery("SELECT x FROM t");
    db->setShouldCacheStatements(false);
    auto uncached = db->executeQuery("SELECT x FROM t ORDER BY x DESC");
    ASSERT_TRUE(cached && uncached);
    ASSERT_TRUE(cached->next());
    ASSERT_TRUE(uncached->next());
    EXPECT_EQ(db->openResultSetCount(), 2u);

    EXPECT_TRUE(db->close());
    EXPECT_EQ(db->openResultSetCount(), 0u);
    for (FMResultSet* rs : { cached.get(), uncached.get() }) {
        EXPECT_FALSE(rs->isOpen());
        EXPECT_EQ(rs->parentDB(), nullptr);
        EXPECT_EQ(rs->intForColumn("x"), 0);
        EXPECT_FALSE(rs->next());
    }

    // Destroying the handle while a cursor is open: the cursor must not touch the freed handle.
    ASSERT_TRUE(db->open());
    auto orphan = db->executeQuery("SELECT 1");
    ASSERT_TRUE(orphan);
    db.reset();
    EXPECT_FALSE(orphan->next());
    orphan->close();
    orphan->close();
}

TEST(FMDatabaseClose, LeakedStatementsAreFinalized)
{
    TemporaryDirectory dir;
    auto db = openDatabase((dir.path() / "leak.sqlite").string());
    sqlite3_stmt* leaked = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db->sqliteHandle(), "SELECT 1", -1, &leaked, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(leaked), SQLITE_ROW);
    LogCapture log;
    EXPECT_TRUE(db->close());
    EXPECT_FALSE(db->isOpen());
    EXPECT_EQ(log.lines(), std::vector<std::string> { "Closing leaked statement" });
}

TEST(FMDatabaseCache, ReusesStatementsButNeverOneInUse)
{
    auto db = openDatabase();
    db->setShouldCacheStatements(true);
    const std::string query = "SELECT ? AS n";

    const FMStatement* first = nullptr;
    {
        auto rs = db->executeQuery(query, 1);
        ASSERT_TRUE(rs);
        first = rs->statement();
        EXPECT_TRUE(first->inUse());
        ASSERT_TRUE(rs->next());
        EXPECT_EQ(rs->intForColumn("n"), 1);

        // While that cursor reads, the same text gets a statement of its own.
        auto concurrent = db->executeQuery(query, 2);
        ASSERT_TRUE(concurrent && concurrent->next());
        EXPECT_NE(concurrent->statement(), first);
        EXPECT_EQ(concurrent->intForColumn("n"), 2);
        EXPECT_EQ(rs->intForColumn("n"), 1) << "the first cursor's row is untouched";
        EXPECT_EQ(db->cachedStatementCount(query), 2u);
    }
    EXPECT_FALSE(first->inUse());

    auto again = db->executeQuery(query, 3);
    ASSERT_TRUE(again);
    const FMStatement* reused = again->statement();
    EXPECT_TRUE(reused->inUse());
    EXPECT_EQ(reused->useCount(), 2) << "one of the two cached statements is reused";
    ASSERT_TRUE(again->next());
    EXPECT_EQ(again->intForColumn("n"), 3);
    EXPECT_EQ(db->cachedStatementCount(query), 2u);

    // A failed bind leaves a cached statement reusable.
    again->close();
    EXPECT_FALSE(db->executeQuery(query));
    auto afterFailure = db->executeQuery(query, 4);
    ASSERT_TRUE(afterFailure && afterFailure->next());
    EXPECT_EQ(afterFailure->intForColumn("n"), 4);
    afterFailure->close();

    // Updates share the cache.
    ASSERT_TRUE(db->executeUpdate("CREATE TABLE t (x)"));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(db->executeUpdate("INSERT INTO t VALUES (?)", i));
    }
    EXPECT_EQ(db->cachedStatementCount("INSERT INTO t VALUES (?)"), 1u);
    EXPECT_EQ(scalar(*db, "SELECT sum(x) FROM t"), "3");

    db->setShouldCacheStatements(false);
    EXPECT_EQ(db->cachedStatementCount(query), 0u);
    EXPECT_EQ(scalar(*db, "SELECT 9"), "9");
    EXPECT_EQ(db->cachedStatementCount("SELECT 9"), 0u);
}

TEST(FMDatabaseFiles, ReadsADatabaseWrittenByTheSqliteTool)
{
    TemporaryDirectory dir;
    const std::string path = (dir.path() / "media.sqlite").string();
    const std::string script = (dir.path() / "make.sql").string();
    {
        FILE* sql = std::fopen(script.c_str(), "w");
        ASSERT_TRUE(sql);
        std::fputs("CREATE TABLE item (pid INTEGER PRIMARY KEY, title TEXT, play_count INTEGER, last_played REAL,"
                   " artwork BLOB);\n"
                   "INSERT INTO item VALUES (-5764607523034234880, 'Für Elise – 日本', 12, 1.5e9, X'00FF10');\n"
                   "INSERT INTO item VALUES (2, NULL, NULL, NULL, NULL);\n",
            sql);
        std::fclose(sql);
    }
    const std::string command = "sqlite3 '" + path + "' < '" + script + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << "the sqlite3 tool is installed by scripts/setup";

    auto db = openDatabase(path);
    auto rs = db->executeQuery("SELECT * FROM item ORDER BY pid");
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->longLongIntForColumn("PID"), -5764607523034234880LL);
    EXPECT_EQ(rs->stringForColumn("title"), "Für Elise – 日本");
    EXPECT_EQ(rs->intForColumn("play_count"), 12);
    EXPECT_EQ(rs->doubleForColumn("last_played"), 1.5e9);
    EXPECT_EQ(rs->dataForColumn("artwork"), (PlistData { 0x00, 0xff, 0x10 }));
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->intForColumn("pid"), 2);
    EXPECT_EQ(rs->stringForColumn("title"), std::nullopt);
    EXPECT_EQ(rs->intForColumn("play_count"), 0);
    EXPECT_TRUE(rs->columnIsNull("artwork"));
    EXPECT_FALSE(rs->next());
}
