#include "base/Log.h"
#include "platform/event_store.h"
#include "tests/support/TestSupport.h"

#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

// A second connection on the store's file, as another process would have.
class OtherProcess
{
public:
    explicit OtherProcess(const std::string& path) { sqlite3_open(path.c_str(), &m_db); }
    ~OtherProcess() { sqlite3_close(m_db); }
    OtherProcess(const OtherProcess&) = delete;
    OtherProcess& operator=(const OtherProcess&) = delete;

    bool exec(const char* sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
    int count(const char* sql)
    {
        sqlite3_stmt* statement = nullptr;
        int result = -1;
        if (sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW) {
            result = sqlite3_column_int(statement, 0);
        }
        sqlite3_finalize(statement);
        return result;
    }

private:
    sqlite3* m_db { nullptr };
};

class EventStoreTest : public testing::Test
{
protected:
    std::string storePath() const { return (m_dir.path() / "data" / "events.sqlite").string(); }

    TemporaryDirectory m_dir;
};

} // namespace

TEST_F(EventStoreTest, RecordsCarryTheValuesThenEventAndUser)
{
    EventStore store(storePath());
    EXPECT_EQ(store.anonymousUserId(), std::nullopt) << "no user before the first event";

    store.logEvent("testEvent", {});
    store.logEvent("Custom", { { "event", "mine" }, { "User", "someone" }, { "count", 3 }, { "gone", PlistValue() } });
    store.logUsedModule("UninstallApps", 5'000'000'000LL);
    store.trackClearedSpace("Music", -12);
    store.trackCancelledModule("NoModuleName");

    const std::vector<EventStore::StoredEvent> events = store.storedEvents();
    const std::optional<std::string> user = store.anonymousUserId();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->size(), 36u) << "a UUID";
    ASSERT_EQ(events.size(), 5u);

    struct Expected
    {
        const char* eventClass;
        const char* name;
        PlistDictionary fields;
    };
    const Expected expected[] = {
        { "KVEvent", "testEvent", { { "event", "testEvent" }, { "User", *user } } },
        { "KVEvent", "Custom", { { "event", "Custom" }, { "User", *user }, { "count", 3 } } },
        { "KVEvent", "UsedModule",
            { { "event", "UsedModule" }, { "User", *user }, { "module", "UninstallApps" },
                { "space", 5'000'000'000LL } } },
        { "AnalyticsEvent", "ClearedSpace",
            { { "event", "ClearedSpace" }, { "User", *user }, { "ModuleName", "Music" }, { "AmountCleared", -12 } } },
        { "AnalyticsEvent", "CancelledModule",
            { { "event", "CancelledModule" }, { "User", *user }, { "ModuleName", "NoModuleName" } } },
    };
    for (std::size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(events[i].eventClass, expected[i].eventClass);
        EXPECT_EQ(events[i].name, expected[i].name);
        EXPECT_EQ(events[i].user, *user);
        EXPECT_EQ(PlistValue(events[i].fields), PlistValue(expected[i].fields));
        EXPECT_GT(events[i].date.secondsSince1970(), 1.6e9);
        if (i > 0) {
            EXPECT_GT(events[i].id, events[i - 1].id);
        }
    }
}

TEST_F(EventStoreTest, UserIdSurvivesReopening)
{
    std::optional<std::string> first;
    {
        EventStore store(storePath());
        store.logEvent("testEvent", {});
        first = store.anonymousUserId();
    } // the destructor writes what was queued
    ASSERT_TRUE(first);
    EventStore again(storePath());
    again.logEvent("testEvent", {});
    const auto events = again.storedEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(again.anonymousUserId(), first);
    EXPECT_EQ(events[1].user, *first);
}

TEST_F(EventStoreTest, RecordingDoesNotWaitForALockedDatabase)
{
    EventStore store(storePath());
    store.logEvent("testEvent", {});
    store.waitUntilIdle();

    OtherProcess other(storePath());
    ASSERT_TRUE(other.exec("BEGIN EXCLUSIVE"));
    store.logUsedModule("Photos", 1);
    // The call has returned while the write cannot have happened: the lock is still held here.
    EXPECT_EQ(other.count("SELECT count(*) FROM event"), 1);
    ASSERT_TRUE(other.exec("ROLLBACK"));

    store.waitUntilIdle();
    const auto events = store.storedEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].name, "UsedModule");
}

TEST_F(EventStoreTest, UnusableDatabaseCostsOnlyTheEvents)
{
    struct Case
    {
        const char* name;
        std::function<std::string(const std::filesystem::path&)> makePath;
    };
    const Case cases[] = {
        { "folder in the way",
            [](const std::filesystem::path& dir) {
                std::filesystem::create_directories(dir / "taken");
                return (dir / "taken").string();
            } },
        { "parent is a file",
            [](const std::filesystem::path& dir) {
                std::ofstream(dir / "plain") << "x";
                return (dir / "plain" / "events.sqlite").string();
            } },
        { "not a database",
            [](const std::filesystem::path& dir) {
                std::ofstream(dir / "garbage.sqlite") << std::string(4096, 'G');
                return (dir / "garbage.sqlite").string();
            } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.makePath(m_dir.path());
        LogCapture log;
        EventStore store(path);
        store.logEvent("testEvent", {});
        store.logUsedModule("Music", 10);
        store.waitUntilIdle();
        EXPECT_TRUE(store.storedEvents().empty());
        EXPECT_EQ(store.anonymousUserId(), std::nullopt);
        EXPECT_EQ(log.count("Usage events are not kept: cannot use the database " + path), 1) << "said once";
    }
}

TEST_F(EventStoreTest, ValuesWithoutAStoredFormDropOnlyThatEvent)
{
    EventStore store(storePath());
    LogCapture log;
    store.logEvent("Broken", { { "list", PlistArray { 1, PlistValue() } } });
    store.logEvent("testEvent", {});
    const auto events = store.storedEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "testEvent");
    EXPECT_TRUE(log.contains("Usage event Broken dropped: its values cannot be stored"));
}

TEST_F(EventStoreTest, KeepsOrderPerThreadAndTrimsTheOldest)
{
    constexpr int THREADS = 3;
    constexpr int PER_THREAD = 20;
    EventStore store(storePath(), 40);
    std::vector<std::thread> threads;
    threads.reserve(THREADS);
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&store, t] {
            for (int i = 0; i < PER_THREAD; ++i) {
                store.logEvent("Step", { { "thread", t }, { "i", i } });
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto events = store.storedEvents();
    ASSERT_EQ(events.size(), 40u) << "the oldest 20 of 60 were trimmed";
    std::vector<std::int64_t> last(THREADS, -1);
    for (const auto& event : events) {
        const auto thread = event.fields.at("thread").toInt64().value_or(-1);
        const auto i = event.fields.at("i").toInt64().value_or(-1);
        ASSERT_GE(thread, 0);
        EXPECT_GT(i, last[std::size_t(thread)]) << "events of one thread stay in order";
        last[std::size_t(thread)] = i;
    }
    EXPECT_EQ(events.back().id - events.front().id, 39) << "the newest 40 are kept";
    for (int t = 0; t < THREADS; ++t) {
        if (last[std::size_t(t)] >= 0) {
            EXPECT_EQ(last[std::size_t(t)], PER_THREAD - 1) << "trimming takes the oldest, never a newer one";
        }
    }
}

TEST_F(EventStoreTest, SharedStoreUsesTheEnvironmentPath)
{
    // The shared store lives for the process, so this is the only test that touches it.
    const std::string path = (m_dir.path() / "shared.sqlite").string();
    setenv("TORVANE_EVENT_STORE", path.c_str(), 1);
    EXPECT_EQ(EventStore::defaultPath(), path);
    EventStore& shared = EventStore::sharedStore();
    EXPECT_EQ(&shared, &EventStore::sharedStore());
    EXPECT_EQ(shared.path(), path);
    shared.logEvent("testEvent", {});
    shared.waitUntilIdle();
    OtherProcess other(path);
    EXPECT_EQ(other.count("SELECT count(*) FROM event WHERE name = 'testEvent'"), 1);
    unsetenv("TORVANE_EVENT_STORE");
}

TEST_F(EventStoreTest, DefaultPathIsTorvanesOwnDataFolder)
{
    unsetenv("TORVANE_EVENT_STORE");
    setenv("XDG_DATA_HOME", m_dir.path().c_str(), 1);
    // No QCoreApplication here, so no application name: the store must still get a folder of its
    // own rather than the shared data folder itself.
    EXPECT_EQ(EventStore::defaultPath(), (m_dir.path() / "Torvane" / "events.sqlite").string());
    unsetenv("XDG_DATA_HOME");
}
