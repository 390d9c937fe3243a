#pragma once

#include "base/PlistValue.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

class FMDatabase;
class FMStatement;

/// A cursor over the rows of one query, made by FMDatabase::executeQuery. The caller owns it.
/// It starts before the first row; `next()` moves to each row in turn. Once it is closed (at the
/// end, on an error, by `close()`, or because its database closed or was destroyed) it reads
/// nothing: `next()` gives false and every reader gives nothing or 0. Not thread-safe: use it on
/// the thread that uses its database.
class FMResultSet
{
public:
    /// Closes the cursor.
    ~FMResultSet();
    FMResultSet(const FMResultSet&) = delete;
    FMResultSet& operator=(const FMResultSet&) = delete;

    /// Advances to the next row. True when a row is there; false at the end or on an error (busy,
    /// locked or a step error, each logged), after which the cursor is closed.
    [[nodiscard]] bool next();
    /// Resets the statement and detaches the cursor from its database. Closing twice is harmless.
    void close();
    /// True until the cursor is closed.
    bool isOpen() const { return m_statement != nullptr; }

    /// Columns in the result; 0 once closed.
    int columnCount() const;
    /// The index of the column named `columnName` (any case; the last of duplicate names), or -1
    /// with the warning "Warning: I could not find the column named '...'." when the result lacks it.
    int columnIndexForName(const std::string& columnName);
    /// The name of the column at `columnIndex` as SQLite reports it, or nothing when out of range.
    std::optional<std::string> columnNameForIndex(int columnIndex) const;

    // Readers. Each reads the current row; off a row (before the first `next()`, after the end,
    // once closed), for SQL NULL, or for a column the result lacks, it gives nothing or 0.

    /// The text (UTF-8) of the column; numbers are given as their text.
    std::optional<std::string> stringForColumn(const std::string& columnName);
    std::optional<std::string> stringForColumnIndex(int columnIndex) const;
    /// The value as a 32-bit integer (SQLite's conversion: larger values keep their low 32 bits).
    std::int32_t intForColumn(const std::string& columnName);
    std::int32_t intForColumnIndex(int columnIndex) const;
    std::int64_t longLongIntForColumn(const std::string& columnName);
    std::int64_t longLongIntForColumnIndex(int columnIndex) const;
    double doubleForColumn(const std::string& columnName);
    double doubleForColumnIndex(int columnIndex) const;
    /// The bytes of the column; an empty blob gives empty data, SQL NULL gives nothing.
    std::optional<PlistData> dataForColumn(const std::string& columnName);
    std::optional<PlistData> dataForColumnIndex(int columnIndex) const;
    /// True for SQL NULL, and for anything that reads as nothing (missing column, off a row).
    bool columnIsNull(const std::string& columnName);
    bool columnIndexIsNull(int columnIndex) const;

    /// The query text this cursor runs.
    const std::string& query() const { return m_query; }
    /// The statement being read, or null once closed. Owned by the cursor and its database's cache.
    const FMStatement* statement() const { return m_statement.get(); }
    /// The database that made this cursor, or null once closed. Not owned.
    FMDatabase* parentDB() const { return m_parentDB; }

private:
    friend class FMDatabase;
    // Made by FMDatabase only, which marks `statement` in use and tracks the cursor.
    FMResultSet(FMDatabase* parentDB, std::shared_ptr<FMStatement> statement, std::string query);

    bool isReadable(int columnIndex) const;
    void buildColumnNameToIndexMap();

    FMDatabase* m_parentDB { nullptr };
    std::shared_ptr<FMStatement> m_statement;
    std::string m_query;
    std::map<std::string, int> m_columnNameToIndexMap;
    bool m_columnMapBuilt { false };
    bool m_onRow { false };
};
