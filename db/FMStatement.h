#pragma once

#include <string>

struct sqlite3_stmt;

/// One prepared SQLite statement, shared by the database's statement cache and the cursor that
/// reads it. Finalized when closed or destroyed. Belongs to the thread of its database.
class FMStatement
{
public:
    /// Takes ownership of `statement` (may be null).
    FMStatement(sqlite3_stmt* statement, std::string query);
    /// Finalizes the statement if it is still prepared.
    ~FMStatement();
    FMStatement(const FMStatement&) = delete;
    FMStatement& operator=(const FMStatement&) = delete;

    /// Resets the SQLite statement (and its bindings) and clears `inUse`. Harmless when closed.
    void reset();
    /// Finalizes the statement, forgets it and clears `inUse`. Closing twice is harmless.
    void close();

    /// The prepared statement, or null once closed. Owned by this object.
    sqlite3_stmt* statement() const { return m_statement; }
    const std::string& query() const { return m_query; }
    /// How many cursors were made from this statement.
    long useCount() const { return m_useCount; }
    void setUseCount(long count) { m_useCount = count; }
    /// True while a cursor is reading this statement; a cached statement in use is never handed out.
    bool inUse() const { return m_inUse; }
    void setInUse(bool inUse) { m_inUse = inUse; }

private:
    sqlite3_stmt* m_statement { nullptr };
    std::string m_query;
    long m_useCount { 0 };
    bool m_inUse { false };
};
