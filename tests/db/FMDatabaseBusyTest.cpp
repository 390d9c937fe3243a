#include "base/Log.h"
#include "db/FMDatabase.h"
#include "db/FMResultSet.h"
#include "tests/db/DbTestSupport.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A file database with one row, a handle on it that has already read its schema, and a second
// connection that can take the write lock.
class BusyDatabase : public testing::Test
{
protected:
    void SetUp() override
    {
        m_path = (m_dir.path() / "busy.sqlite").string();
        m_db = FMDatabase::databaseWithPath(m_path);
        ASSERT_TRUE(m_db->open());
        ASSERT_TRUE(m_db->executeUpdate("CREATE TABLE t (x)"));
        ASSERT_TRUE(m_db->executeUpdate("INSERT INTO t VALUES (42)"));
        m_db->setBusyRetryObserver([this](int callCount) {
            std::lock_guard lock(m_mutex);
            m_calls.push_back(callCount);
        });
        m_writer = std::make_unique<RawConnection>(m_path);
    }

    // An exclusive lock keeps every other connection from reading, let alone writing.
    void lockDatabase() { ASSERT_TRUE(m_writer->exec("BEGIN EXCLUSIVE")) << m_writer->error(); }

    std::vector<int> calls()
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

    bool loggedBusy(const LogCapture& log) const
    {
        bool located = false;
        const std::string suffix = " Database busy (" + m_path + ")";
        for (const std::string& line : log.lines()) {
            located = located
                || (line.size() > suffix.size()
                    && line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0);
        }
        return located && log.contains("Database busy");
    }

    TemporaryDirectory m_dir;
    std::string m_path;
    std::unique_ptr<FMDatabase> m_db;
    std::unique_ptr<RawConnection> m_writer;
    std::mutex m_mutex;
    std::vector<int> m_calls;
};

} // namespace

TEST_F(BusyDatabase, QueryFailsWithBusyOnceTheRetryLimitPasses)
{
    m_db->setMaxBusyRetryTimeInterval(0.3);
    lockDatabase();
    LogCapture log;
    auto rs = m_db->executeQuery("SELECT x FROM t");
    ASSERT_TRUE(rs);
    EXPECT_FALSE(rs->next());
    EXPECT_FALSE(rs->isOpen());
    EXPECT_TRUE(loggedBusy(log));
    const std::vector<int> seen = calls();
    ASSERT_GE(seen.size(), 3u) << "the first call, at least one sleep, and the call that gave up";
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i], int(i));
    }
    EXPECT_FALSE(m_db->executeUpdate("INSERT INTO t VALUES (1)"));
    EXPECT_EQ(m_db->openResultSetCount(), 0u);
}

TEST_F(BusyDatabase, RetriesUntilTheClockPassesTheLimit)
{
    // A clock that moves 0.1 s per reading makes the number of retries exact: the start is read
    // on call 0, and calls 1-3 (0.1, 0.2, 0.3 s) are below the limit; call 4 (0.4 s) gives up.
    double now = 100.0;
    m_db->setBusyRetryClock([&now] {
        const double reading = now;
        now += 0.1;
        return reading;
    });
    m_db->setMaxBusyRetryTimeInterval(0.35);
    lockDatabase();
    LogCapture log;
    auto rs = m_db->executeQuery("SELECT x FROM t");
    ASSERT_TRUE(rs);
    EXPECT_FALSE(rs->next());
    EXPECT_EQ(calls(), (std::vector<int> { 0, 1, 2, 3, 4 }));
    EXPECT_DOUBLE_EQ(m_db->startBusyRetryTime(), 100.0);
    EXPECT_TRUE(loggedBusy(log));
}

TEST_F(BusyDatabase, QuerySucceedsWhenTheLockIsReleasedInTime)
{
    lockDatabase();
    std::atomic<bool> retried { false };
    m_db->setBusyRetryObserver([&retried](int callCount) {
        if (callCount >= 1) {
            retried = true;
        }
    });
    std::thread releaser([this, &retried] {
        if (waitUntil([&retried] { return retried.load(); })) {
            EXPECT_TRUE(m_writer->exec("ROLLBACK")) << m_writer->error();
        }
    });
    LogCapture log;
    auto rs = m_db->executeQuery("SELECT x FROM t");
    ASSERT_TRUE(rs);
    const bool gotRow = rs->next();
    releaser.join();
    ASSERT_TRUE(gotRow) << "the lock went away within the default 2 s limit";
    EXPECT_EQ(rs->intForColumn("x"), 42);
    EXPECT_TRUE(retried.load());
    EXPECT_FALSE(log.contains("Database busy"));
}

TEST_F(BusyDatabase, ZeroLimitTurnsRetryingOff)
{
    m_db->setMaxBusyRetryTimeInterval(0);
    lockDatabase();
    LogCapture log;
    auto rs = m_db->executeQuery("SELECT x FROM t");
    ASSERT_TRUE(rs);
    EXPECT_FALSE(rs->next());
    EXPECT_TRUE(calls().empty()) << "no busy handler is installed";
    EXPECT_TRUE(loggedBusy(log));

    // Switched back on while open, the handler is installed again.
    m_db->setMaxBusyRetryTimeInterval(0.05);
    auto again = m_db->executeQuery("SELECT x FROM t");
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->next());
    EXPECT_FALSE(calls().empty());
}

TEST_F(BusyDatabase, SecondQueryWhilePreparingIsRefused)
{
    // A fresh handle must read the schema while preparing, so the busy handler runs inside the
    // prepare: a query started from there finds the handle in use.
    auto fresh = FMDatabase::databaseWithPath(m_path);
    ASSERT_TRUE(fresh->open());
    lockDatabase();
    FMDatabase* handle = fresh.get();
    bool nestedRefused = false;
    bool wasExecuting = false;
    fresh->setBusyRetryObserver([&](int callCount) {
        if (callCount == 1) {
            wasExecuting = handle->isExecutingStatement();
            nestedRefused = handle->executeQuery("SELECT 1") == nullptr;
            EXPECT_TRUE(m_writer->exec("ROLLBACK")) << m_writer->error();
        }
    });
    LogCapture log;
    auto rs = fresh->executeQuery("SELECT x FROM t");
    EXPECT_TRUE(wasExecuting);
    EXPECT_TRUE(nestedRefused);
    EXPECT_TRUE(log.contains("The FMDatabase " + m_path + " is currently in use."));
    ASSERT_TRUE(rs) << "the outer query goes on once the lock is released";
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->intForColumn("x"), 42);
    EXPECT_FALSE(fresh->isExecutingStatement());
}
