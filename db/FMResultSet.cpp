#include "db/FMResultSet.h"

#include "base/Log.h"
#include "db/FMDatabase.h"
#include "db/FMStatement.h"

#include <utility>

#include <sqlite3.h>

namespace {

// SQLite's own case folding for identifiers is ASCII-only; doing the same keeps UTF-8 bytes intact
// whatever the locale.
std::string asciiLowercase(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = char(c - 'A' + 'a');
        }
    }
    return text;
}

} // namespace

FMResultSet::FMResultSet(FMDatabase* parentDB, std::shared_ptr<FMStatement> statement, std::string query)
    : m_parentDB(parentDB)
    , m_statement(std::move(statement))
    , m_query(std::move(query))
{
}

FMResultSet::~FMResultSet()
{
    close();
}

bool FMResultSet::next()
{
    m_onRow = false;
    if (!m_statement || !m_statement->statement()) {
        close();
        return false;
    }
    sqlite3_stmt* statement = m_statement->statement();
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
        m_onRow = true;
        return true;
    }
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        const std::string database = m_parentDB ? m_parentDB->description() : std::string();
        logLine(LOG_DB, "%s:%d Database busy (%s)", __func__, __LINE__, database.c_str());
        logLine(LOG_DB, "Database busy");
    } else if (rc == SQLITE_ERROR || rc == SQLITE_MISUSE) {
        logLine(LOG_DB, "Error calling sqlite3_step (%d: %s) rs", rc, sqlite3_errmsg(sqlite3_db_handle(statement)));
    } else if (rc != SQLITE_DONE) {
        logLine(
            LOG_DB, "Unknown error calling sqlite3_step (%d: %s) rs", rc, sqlite3_errmsg(sqlite3_db_handle(statement)));
    }
    close();
    return false;
}

void FMResultSet::close()
{
    m_onRow = false;
    if (m_statement) {
        m_statement->reset();
        // An uncached statement is finalized here, while its connection is certainly still open.
        m_statement.reset();
    }
    if (m_parentDB) {
        FMDatabase* parent = std::exchange(m_parentDB, nullptr);
        parent->resultSetDidClose(this);
    }
}

int FMResultSet::columnCount() const
{
    if (!m_statement || !m_statement->statement()) {
        return 0;
    }
    return sqlite3_column_count(m_statement->statement());
}

void FMResultSet::buildColumnNameToIndexMap()
{
    m_columnMapBuilt = true;
    const int count = columnCount();
    for (int i = 0; i < count; ++i) {
        const char* name = sqlite3_column_name(m_statement->statement(), i);
        if (name) {
            // Later columns overwrite earlier ones: after "SELECT *" over a join the last wins.
            m_columnNameToIndexMap[asciiLowercase(name)] = i;
        }
    }
}

int FMResultSet::columnIndexForName(const std::string& columnName)
{
    if (!m_statement || !m_statement->statement()) {
        return -1;
    }
    if (!m_columnMapBuilt) {
        buildColumnNameToIndexMap();
    }
    const auto found = m_columnNameToIndexMap.find(asciiLowercase(columnName));
    if (found == m_columnNameToIndexMap.end()) {
        logLine(LOG_DB, "Warning: I could not find the column named '%s'.", columnName.c_str());
        return -1;
    }
    return found->second;
}

std::optional<std::string> FMResultSet::columnNameForIndex(int columnIndex) const
{
    if (columnIndex < 0 || columnIndex >= columnCount()) {
        return std::nullopt;
    }
    const char* name = sqlite3_column_name(m_statement->statement(), columnIndex);
    if (!name) {
        return std::nullopt;
    }
    return std::string(name);
}

bool FMResultSet::isReadable(int columnIndex) const
{
    // SQLite leaves column reads off a row undefined, so they are refused here.
    return m_onRow && columnIndex >= 0 && columnIndex < columnCount();
}

std::optional<std::string> FMResultSet::stringForColumn(const std::string& columnName)
{
    return stringForColumnIndex(columnIndexForName(columnName));
}

std::optional<std::string> FMResultSet::stringForColumnIndex(int columnIndex) const
{
    if (!isReadable(columnIndex) || sqlite3_column_type(m_statement->statement(), columnIndex) == SQLITE_NULL) {
        return std::nullopt;
    }
    const auto* text = sqlite3_column_text(m_statement->statement(), columnIndex);
    if (!text) {
        return std::nullopt; // out of memory while converting
    }
    const int length = sqlite3_column_bytes(m_statement->statement(), columnIndex);
    return std::string(reinterpret_cast<const char*>(text), std::size_t(length));
}

std::int32_t FMResultSet::intForColumn(const std::string& columnName)
{
    return intForColumnIndex(columnIndexForName(columnName));
}

std::int32_t FMResultSet::intForColumnIndex(int columnIndex) const
{
    if (!isReadable(columnIndex)) {
        return 0;
    }
    return sqlite3_column_int(m_statement->statement(), columnIndex);
}

std::int64_t FMResultSet::longLongIntForColumn(const std::string& columnName)
{
    return longLongIntForColumnIndex(columnIndexForName(columnName));
}

std::int64_t FMResultSet::longLongIntForColumnIndex(int columnIndex) const
{
    if (!isReadable(columnIndex)) {
        return 0;
    }
    return sqlite3_column_int64(m_statement->statement(), columnIndex);
}

double FMResultSet::doubleForColumn(const std::string& columnName)
{
    return doubleForColumnIndex(columnIndexForName(columnName));
}

double FMResultSet::doubleForColumnIndex(int columnIndex) const
{
    if (!isReadable(columnIndex)) {
        return 0;
    }
    return sqlite3_column_double(m_statement->statement(), columnIndex);
}

std::optional<PlistData> FMResultSet::dataForColumn(const std::string& columnName)
{
    return dataForColumnIndex(columnIndexForName(columnName));
}

std::optional<PlistData> FMResultSet::dataForColumnIndex(int columnIndex) const
{
    if (!isReadable(columnIndex) || sqlite3_column_type(m_statement->statement(), columnIndex) == SQLITE_NULL) {
        return std::nullopt;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(m_statement->statement(), columnIndex));
    const int length = sqlite3_column_bytes(m_statement->statement(), columnIndex);
    if (!bytes || length <= 0) {
        return PlistData {}; // an empty blob is data, not NULL
    }
    return PlistData(bytes, bytes + length);
}

bool FMResultSet::columnIsNull(const std::string& columnName)
{
    return columnIndexIsNull(columnIndexForName(columnName));
}

bool FMResultSet::columnIndexIsNull(int columnIndex) const
{
    return !isReadable(columnIndex) || sqlite3_column_type(m_statement->statement(), columnIndex) == SQLITE_NULL;
}
