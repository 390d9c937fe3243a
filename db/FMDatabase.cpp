#include "db/FMDatabase.h"

#include "base/Log.h"
#include "db/FMStatement.h"

#include <chrono>
#include <cstdint>
#include <limits>
#include <random>
#include <string_view>
#include <utility>

#include <sqlite3.h>

namespace {

double monotonicSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// 50 plus a uniform draw below 50, so that competing writers do not retry in lockstep.
int randomBusySleepMilliseconds()
{
    thread_local std::minstd_rand generator { std::random_device {}() };
    return 50 + int(std::uniform_int_distribution<int>(0, 49)(generator));
}

// Clears the in-use flag on every way out of preparing and binding.
class ExecutingStatementGuard
{
public:
    explicit ExecutingStatementGuard(bool& flag)
        : m_flag(flag)
    {
        m_flag = true;
    }
    ~ExecutingStatementGuard() { m_flag = false; }
    ExecutingStatementGuard(const ExecutingStatementGuard&) = delete;
    ExecutingStatementGuard& operator=(const ExecutingStatementGuard&) = delete;

private:
    bool& m_flag;
};

const char* operationName(bool isQuery)
{
    return isQuery ? "executeQuery" : "executeUpdate";
}

// Binds one value at `index`. Returns SQLite's code; values SQLite cannot hold exactly are refused
// with SQLITE_RANGE and `refusal` says why.
int bindObject(const PlistValue& value, int index, sqlite3_stmt* statement, std::string& refusal)
{
    switch (value.type()) {
    case PlistValue::Type::Null:
        return sqlite3_bind_null(statement, index);
    case PlistValue::Type::Data: {
        const PlistData& data = *value.asData();
        if (data.empty()) {
            // A null pointer would bind SQL NULL; empty data must stay an empty blob.
            return sqlite3_bind_zeroblob(statement, index, 0);
        }
        return sqlite3_bind_blob64(statement, index, data.data(), data.size(), SQLITE_TRANSIENT);
    }
    case PlistValue::Type::Date:
        return sqlite3_bind_double(statement, index, value.toDate()->secondsSince1970());
    case PlistValue::Type::Boolean:
        return sqlite3_bind_int(statement, index, *value.toBool() ? 1 : 0);
    case PlistValue::Type::Integer: {
        const std::optional<std::int64_t> signedValue = value.toInt64();
        if (!signedValue) {
            // SQLite integers are signed 64-bit: storing this wrapped or rounded would corrupt it.
            refusal = stringWithFormat("Error: %llu does not fit in an SQLite integer",
                static_cast<unsigned long long>(value.toUInt64().value_or(0)));
            return SQLITE_RANGE;
        }
        if (*signedValue >= std::numeric_limits<std::int32_t>::min()
            && *signedValue <= std::numeric_limits<std::int32_t>::max()) {
            return sqlite3_bind_int(statement, index, int(*signedValue));
        }
        return sqlite3_bind_int64(statement, index, *signedValue);
    }
    case PlistValue::Type::Real:
        return sqlite3_bind_double(statement, index, *value.toDouble());
    case PlistValue::Type::String: {
        const std::string& text = *value.asString();
        return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    case PlistValue::Type::Uid: {
        const std::uint64_t uid = value.toUid()->value;
        if (uid > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
            refusal = stringWithFormat(
                "Error: %llu does not fit in an SQLite integer", static_cast<unsigned long long>(uid));
            return SQLITE_RANGE;
        }
        return sqlite3_bind_int64(statement, index, std::int64_t(uid));
    }
    case PlistValue::Type::Array:
    case PlistValue::Type::Dictionary: {
        const std::optional<std::string> xml = PlistCodec::toXml(value);
        if (!xml) {
            refusal = "Error: a collection without a property-list form cannot be bound";
            return SQLITE_RANGE;
        }
        return sqlite3_bind_text64(statement, index, xml->data(), xml->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    }
    return SQLITE_MISUSE;
}

} // namespace

std::unique_ptr<FMDatabase> FMDatabase::databaseWithPath(std::optional<std::string> path)
{
    return std::unique_ptr<FMDatabase>(new FMDatabase(std::move(path)));
}

FMDatabase::FMDatabase(std::optional<std::string> path)
    : m_databasePath(std::move(path))
    , m_busyRetryClock(monotonicSeconds)
{
}

FMDatabase::~FMDatabase()
{
    close();
}

std::string FMDatabase::description() const
{
    if (!m_databasePath) {
        return ":memory:";
    }
    if (m_databasePath->empty()) {
        return "<temporary>";
    }
    return *m_databasePath;
}

bool FMDatabase::open()
{
    if (m_db) {
        return true;
    }
    // SQLite's own meanings: ":memory:" is private and in memory, "" private and temporary on disk.
    const std::string path = m_databasePath.value_or(":memory:");
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        logLine(LOG_DB, "error opening!: %d", rc);
        sqlite3_close(db); // SQLite hands out a handle even on failure
        return false;
    }
    m_db = db;
    if (m_maxBusyRetryTimeInterval > 0) {
        installBusyHandler();
    }
    return true;
}

bool FMDatabase::close()
{
    if (!m_db) {
        return true;
    }
    for (auto& [query, statements] : m_cachedStatements) {
        for (auto& statement : statements) {
            statement->close();
        }
    }
    m_cachedStatements.clear();

    const std::set<FMResultSet*> resultSets = std::exchange(m_openResultSets, {});
    for (FMResultSet* resultSet : resultSets) {
        resultSet->close();
    }

    bool finalizedLeakedStatements = false;
    int rc = SQLITE_OK;
    while (true) {
        rc = sqlite3_close(m_db);
        if ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && !finalizedLeakedStatements) {
            finalizedLeakedStatements = true;
            while (sqlite3_stmt* leaked = sqlite3_next_stmt(m_db, nullptr)) {
                logLine(LOG_DB, "Closing leaked statement");
                sqlite3_finalize(leaked);
            }
            continue;
        }
        break;
    }
    if (rc != SQLITE_OK) {
        logLine(LOG_DB, "error closing!: %d", rc);
        // Something else (a backup, say) still holds the connection: let SQLite free it once that
        // finishes instead of leaking it.
        sqlite3_close_v2(m_db);
    }
    m_db = nullptr;
    return true;
}

void FMDatabase::installBusyHandler()
{
    sqlite3_busy_handler(m_db, &FMDatabase::busyHandlerTrampoline, this);
}

void FMDatabase::setMaxBusyRetryTimeInterval(double seconds)
{
    m_maxBusyRetryTimeInterval = seconds;
    if (!m_db) {
        return;
    }
    if (seconds > 0) {
        installBusyHandler();
    } else {
        sqlite3_busy_handler(m_db, nullptr, nullptr);
    }
}

void FMDatabase::setBusyRetryClock(std::function<double()> clock)
{
    m_busyRetryClock = clock ? std::move(clock) : std::function<double()>(monotonicSeconds);
}

void FMDatabase::setBusyRetryObserver(std::function<void(int callCount)> observer)
{
    m_busyRetryObserver = std::move(observer);
}

int FMDatabase::busyHandlerTrampoline(void* database, int callCount)
{
    return static_cast<FMDatabase*>(database)->busyHandler(callCount);
}

int FMDatabase::busyHandler(int callCount)
{
    if (m_busyRetryObserver) {
        m_busyRetryObserver(callCount);
    }
    if (callCount == 0) {
        m_startBusyRetryTime = m_busyRetryClock();
        return 1;
    }
    const double elapsed = m_busyRetryClock() - m_startBusyRetryTime;
    if (elapsed < m_maxBusyRetryTimeInterval) {
        const int requested = randomBusySleepMilliseconds();
        const int actual = sqlite3_sleep(requested);
        if (actual != requested) {
            logLine(LOG_DB,
                "WARNING: Requested sleep of %i milliseconds, but SQLite returned %i. Maybe SQLite wasn't built with "
                "HAVE_USLEEP=1?",
                requested, actual);
        }
        return 1;
    }
    return 0;
}

void FMDatabase::setShouldCacheStatements(bool on)
{
    m_shouldCacheStatements = on;
    if (!on) {
        clearCachedStatements();
    }
}

void FMDatabase::clearCachedStatements()
{
    for (auto& [query, statements] : m_cachedStatements) {
        for (auto& statement : statements) {
            if (!statement->inUse()) {
                statement->close();
            }
        }
    }
    m_cachedStatements.clear();
}

std::size_t FMDatabase::cachedStatementCount(const std::string& query) const
{
    const auto found = m_cachedStatements.find(query);
    return found == m_cachedStatements.end() ? 0 : found->second.size();
}

std::shared_ptr<FMStatement> FMDatabase::cachedStatementForQuery(const std::string& query)
{
    const auto found = m_cachedStatements.find(query);
    if (found == m_cachedStatements.end()) {
        return nullptr;
    }
    for (const auto& statement : found->second) {
        if (!statement->inUse() && statement->statement()) {
            return statement;
        }
    }
    return nullptr;
}

int FMDatabase::lastErrorCode() const
{
    return m_db ? sqlite3_errcode(m_db) : 0;
}

std::string FMDatabase::lastErrorMessage() const
{
    return m_db ? std::string(sqlite3_errmsg(m_db)) : std::string();
}

void FMDatabase::logDatabaseError(const std::string& query) const
{
    if (!m_logsErrors) {
        return;
    }
    logLine(LOG_DB, "DB Error: %d \"%s\"", sqlite3_errcode(m_db), sqlite3_errmsg(m_db));
    logLine(LOG_DB, "DB Query: %s", query.c_str());
    logLine(LOG_DB, "DB Path: %s", description().c_str());
}

std::shared_ptr<FMStatement> FMDatabase::prepareAndBind(
    Kind kind, const std::string& query, const PlistArray& arguments, const PlistDictionary* parameters)
{
    const bool isQuery = kind == Kind::Query;
    if (!m_db) {
        logLine(LOG_DB, "The FMDatabase %s is not open.", description().c_str());
        return nullptr;
    }
    if (m_isExecutingStatement) {
        logLine(LOG_DB, "The FMDatabase %s is currently in use.", description().c_str());
        return nullptr;
    }
    ExecutingStatementGuard executing(m_isExecutingStatement);

    if (m_traceExecution) {
        logLine(LOG_DB, "%s %s: %s", description().c_str(), operationName(isQuery), query.c_str());
    }

    std::shared_ptr<FMStatement> statement;
    bool fromCache = false;
    if (m_shouldCacheStatements) {
        statement = cachedStatementForQuery(query);
        if (statement) {
            statement->reset();
            fromCache = true;
        }
    }
    if (!statement) {
        sqlite3_stmt* prepared = nullptr;
        const char* tail = nullptr;
        // The length includes the terminating zero, which spares SQLite a copy.
        const int rc = sqlite3_prepare_v2(m_db, query.c_str(), int(query.size() + 1), &prepared, &tail);
        if (rc != SQLITE_OK || !prepared) {
            if (rc != SQLITE_OK) {
                logDatabaseError(query);
            } else {
                // Only whitespace or comments: SQLite prepares nothing, and there is nothing to run.
                logLine(LOG_DB, "Error: the query holds no statement: %s", query.c_str());
            }
            sqlite3_finalize(prepared);
            return nullptr;
        }
        statement = std::make_shared<FMStatement>(prepared, query);
        if (tail && holdsFurtherStatement(tail)) {
            // SQLite would silently run only the first statement of the text.
            logLine(LOG_DB, "Error: the query holds more than one statement: %s", query.c_str());
            return nullptr;
        }
    }

    sqlite3_stmt* raw = statement->statement();
    const int parameterCount = sqlite3_bind_parameter_count(raw);
    int boundCount = 0;
    bool bindFailed = false;
    const auto bindAt = [&](const PlistValue& value, int index) {
        std::string refusal;
        const int rc = bindObject(value, index, raw, refusal);
        if (rc != SQLITE_OK) {
            if (refusal.empty()) {
                logLine(LOG_DB, "Error: could not bind parameter %d (%d: %s)", index, rc, sqlite3_errmsg(m_db));
            } else {
                logLine(LOG_DB, "%s", refusal.c_str());
            }
            bindFailed = true;
        }
    };
    if (parameters) {
        for (const auto& [key, value] : *parameters) {
            const std::string name = ":" + key;
            const int index = sqlite3_bind_parameter_index(raw, name.c_str());
            if (index > 0) {
                bindAt(value, index);
                ++boundCount;
            } else {
                logLine(LOG_DB, "Could not find index for %s", key.c_str());
            }
            if (bindFailed) {
                break;
            }
        }
    } else if (int(arguments.size()) == parameterCount) {
        // More values than parameters is as much a caller's mistake as fewer: both are refused.
        for (const PlistValue& value : arguments) {
            bindAt(value, boundCount + 1);
            ++boundCount;
            if (bindFailed) {
                break;
            }
        }
    } else {
        boundCount = int(arguments.size());
    }

    if (!bindFailed && boundCount != parameterCount) {
        logLine(LOG_DB, "Error: the bind count is not correct for the # of variables (%s)", operationName(isQuery));
        bindFailed = true;
    }
    if (bindFailed) {
        if (fromCache) {
            statement->reset(); // stays cached, free for the next caller
        } else {
            statement->close();
        }
        return nullptr;
    }

    if (m_shouldCacheStatements && !fromCache) {
        m_cachedStatements[query].push_back(statement);
    }
    return statement;
}

bool FMDatabase::holdsFurtherStatement(const char* tail) const
{
    const std::string_view rest(tail);
    if (rest.find_first_not_of(" \t\r\n;") == std::string_view::npos) {
        return false;
    }
    // Prepare is the authority on what is a statement: comments alone prepare to nothing.
    sqlite3_stmt* further = nullptr;
    const int rc = sqlite3_prepare_v2(m_db, tail, -1, &further, nullptr);
    sqlite3_finalize(further);
    return rc != SQLITE_OK || further != nullptr;
}

std::unique_ptr<FMResultSet> FMDatabase::executeQuery(const std::string& query, const PlistArray& arguments)
{
    return executeQueryWithArguments(query, arguments, nullptr);
}

std::unique_ptr<FMResultSet> FMDatabase::executeQuery(const std::string& query, const PlistDictionary& parameters)
{
    return executeQueryWithArguments(query, {}, &parameters);
}

bool FMDatabase::executeUpdate(const std::string& update, const PlistArray& arguments)
{
    return executeUpdateWithArguments(update, arguments, nullptr);
}

bool FMDatabase::executeUpdate(const std::string& update, const PlistDictionary& parameters)
{
    return executeUpdateWithArguments(update, {}, &parameters);
}

std::unique_ptr<FMResultSet> FMDatabase::executeQueryWithArguments(
    const std::string& query, const PlistArray& arguments, const PlistDictionary* parameters)
{
    std::shared_ptr<FMStatement> statement = prepareAndBind(Kind::Query, query, arguments, parameters);
    if (!statement) {
        return nullptr;
    }
    statement->setInUse(true);
    statement->setUseCount(statement->useCount() + 1);
    std::unique_ptr<FMResultSet> resultSet(new FMResultSet(this, std::move(statement), query));
    m_openResultSets.insert(resultSet.get());
    return resultSet;
}

bool FMDatabase::executeUpdateWithArguments(
    const std::string& update, const PlistArray& arguments, const PlistDictionary* parameters)
{
    std::shared_ptr<FMStatement> statement = prepareAndBind(Kind::Update, update, arguments, parameters);
    if (!statement) {
        return false;
    }
    // In use while stepping, so that a query started meanwhile never takes it from the cache.
    statement->setInUse(true);
    statement->setUseCount(statement->useCount() + 1);
    int rc = SQLITE_ROW;
    while (rc == SQLITE_ROW) {
        rc = sqlite3_step(statement->statement());
    }
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        logLine(LOG_DB, "%s:%d Database busy (%s)", "executeUpdate", __LINE__, description().c_str());
        logLine(LOG_DB, "Database busy");
    } else if (rc != SQLITE_DONE) {
        logDatabaseError(update);
    }
    statement->reset();
    if (!m_shouldCacheStatements) {
        statement->close();
    }
    return rc == SQLITE_DONE;
}

void FMDatabase::resultSetDidClose(FMResultSet* resultSet)
{
    m_openResultSets.erase(resultSet);
}
