#pragma once

#include "base/PlistValue.h"
#include "db/FMResultSet.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct sqlite3;
class FMStatement;

/// A handle on one SQLite database: opens it, prepares and runs queries with bound values, hands
/// out cursors over their rows, and closes. Failures are reported by false or null plus a log line
/// under "torvane.db"; nothing throws.
///
/// A handle and its cursors belong to one thread at a time; the handle takes no locks. Cursors
/// are owned by the caller; the handle only tracks the open ones, so that closing or destroying
/// the handle closes them (they then read nothing).
///
/// Values are bound as follows: Null binds SQL NULL; Data a blob of its bytes (empty data an
/// empty blob, not NULL); Date its seconds since 1970 as a double; Boolean 0 or 1; Integer a
/// 32-bit integer when it fits, else a 64-bit one; an unsigned Integer above INT64_MAX cannot be
/// stored exactly by SQLite and fails the query (logged) rather than being stored wrapped or
/// rounded; Real a double; String its UTF-8 text; Uid its number as an integer; Array and
/// Dictionary their XML property-list text.
class FMDatabase
{
public:
    /// A closed handle. An absent `path` means a private in-memory database, an empty one a
    /// private temporary database (deleted on close), any other text the file at that path.
    static std::unique_ptr<FMDatabase> databaseWithPath(std::optional<std::string> path);

    /// Closes the database (and so every cursor still open).
    ~FMDatabase();
    FMDatabase(const FMDatabase&) = delete;
    FMDatabase& operator=(const FMDatabase&) = delete;

    /// Opens the database for reading and writing, creating the file when missing. True on
    /// success or when already open; false (with "error opening!: <code>") on failure.
    [[nodiscard]] bool open();
    /// Closes every open cursor, finalizes cached and leaked statements and closes the
    /// connection. Always true; closing a closed handle does nothing.
    bool close();
    bool isOpen() const { return m_db != nullptr; }

    /// Runs a query with values for its `?` parameters, in order. Returns a cursor before the
    /// first row, owned by the caller, or null when the handle is not open or busy preparing,
    /// the query cannot be prepared, a value cannot be bound, or the number of values differs
    /// from the number of parameters (each logged).
    template <typename... Values>
    std::unique_ptr<FMResultSet> executeQuery(const std::string& query, const Values&... values)
    {
        return executeQueryWithArguments(query, PlistArray { PlistValue(values)... }, nullptr);
    }
    /// The same with the values in an array.
    [[nodiscard]] std::unique_ptr<FMResultSet> executeQuery(const std::string& query, const PlistArray& arguments);
    /// The same with named parameters: each key `k` binds the parameter ":k". A key the query
    /// lacks logs "Could not find index for k"; a parameter left without a value fails the query.
    [[nodiscard]] std::unique_ptr<FMResultSet> executeQuery(
        const std::string& query, const PlistDictionary& parameters);

    /// Runs a statement to its end (rows it produces are skipped), binding values as
    /// executeQuery does. True on success; false on the same failures as executeQuery and when
    /// a step fails (busy or an error, logged).
    template <typename... Values> [[nodiscard]] bool executeUpdate(const std::string& update, const Values&... values)
    {
        return executeUpdateWithArguments(update, PlistArray { PlistValue(values)... }, nullptr);
    }
    [[nodiscard]] bool executeUpdate(const std::string& update, const PlistArray& arguments);
    [[nodiscard]] bool executeUpdate(const std::string& update, const PlistDictionary& parameters);

    /// The path given at creation (absent for an in-memory database).
    const std::optional<std::string>& databasePath() const { return m_databasePath; }
    /// How log lines name this database: its path, ":memory:" or "<temporary>".
    std::string description() const;

    /// Write the error lines of failed prepares and updates (on by default).
    bool logsErrors() const { return m_logsErrors; }
    void setLogsErrors(bool on) { m_logsErrors = on; }
    /// Log each query as it starts (off by default). Bound values are not logged: they may name
    /// the user's songs.
    bool traceExecution() const { return m_traceExecution; }
    void setTraceExecution(bool on) { m_traceExecution = on; }
    /// Keep prepared statements for reuse by later queries with the same text (off by default).
    /// Switching it off drops the cache.
    bool shouldCacheStatements() const { return m_shouldCacheStatements; }
    void setShouldCacheStatements(bool on);
    /// Finalizes every cached statement that no cursor is reading; the others are dropped from
    /// the cache and finalized when their cursor lets go.
    void clearCachedStatements();
    /// Cached statements for `query` (in use or not); for diagnostics and tests.
    std::size_t cachedStatementCount(const std::string& query) const;

    /// True while a query is being prepared and bound; a second query started meanwhile (from a
    /// busy observer, say) fails with "The FMDatabase ... is currently in use.".
    bool isExecutingStatement() const { return m_isExecutingStatement; }

    /// How long, in seconds, a busy database is retried before an operation fails with "busy"
    /// (2.0 by default). 0 or less turns retrying off. Takes effect at once when open.
    double maxBusyRetryTimeInterval() const { return m_maxBusyRetryTimeInterval; }
    void setMaxBusyRetryTimeInterval(double seconds);
    /// Seconds (on the busy clock) at which the current or last busy wait started.
    double startBusyRetryTime() const { return m_startBusyRetryTime; }

    /// The clock the busy wait is measured with, in seconds; a monotonic clock by default. Tests
    /// replace it to decide when the wait is over.
    void setBusyRetryClock(std::function<double()> clock);
    /// Called on the querying thread each time SQLite reports the database busy, with the number
    /// of earlier calls in this wait (0 first), before the handler decides.
    void setBusyRetryObserver(std::function<void(int callCount)> observer);

    /// Cursors made by this handle and not yet closed.
    std::size_t openResultSetCount() const { return m_openResultSets.size(); }

    /// SQLite's code and message for the last failed call on this connection; 0 and empty when
    /// closed.
    int lastErrorCode() const;
    std::string lastErrorMessage() const;

    /// The raw connection, or null when closed. Owned by this handle; for tests and tools that
    /// need an SQLite call the layer lacks.
    sqlite3* sqliteHandle() const { return m_db; }

private:
    friend class FMResultSet;
    explicit FMDatabase(std::optional<std::string> path);

    enum class Kind {
        Query,
        Update,
    };
    std::unique_ptr<FMResultSet> executeQueryWithArguments(
        const std::string& query, const PlistArray& arguments, const PlistDictionary* parameters);
    bool executeUpdateWithArguments(
        const std::string& update, const PlistArray& arguments, const PlistDictionary* parameters);
    std::shared_ptr<FMStatement> prepareAndBind(
        Kind kind, const std::string& query, const PlistArray& arguments, const PlistDictionary* parameters);
    std::shared_ptr<FMStatement> cachedStatementForQuery(const std::string& query);
    bool holdsFurtherStatement(const char* tail) const;
    void logDatabaseError(const std::string& query) const;
    void installBusyHandler();
    int busyHandler(int callCount);
    static int busyHandlerTrampoline(void* database, int callCount);
    void resultSetDidClose(FMResultSet* resultSet);

    sqlite3* m_db { nullptr };
    std::optional<std::string> m_databasePath;
    bool m_logsErrors { true };
    bool m_traceExecution { false };
    bool m_shouldCacheStatements { false };
    bool m_isExecutingStatement { false };
    double m_maxBusyRetryTimeInterval { 2.0 };
    double m_startBusyRetryTime { 0 };
    std::map<std::string, std::vector<std::shared_ptr<FMStatement>>> m_cachedStatements;
    std::set<FMResultSet*> m_openResultSets;
    std::function<double()> m_busyRetryClock;
    std::function<void(int)> m_busyRetryObserver;
};
