#include "db/FMStatement.h"

#include <utility>

#include <sqlite3.h>

FMStatement::FMStatement(sqlite3_stmt* statement, std::string query)
    : m_statement(statement)
    , m_query(std::move(query))
{
}

FMStatement::~FMStatement()
{
    close();
}

void FMStatement::reset()
{
    if (m_statement) {
        sqlite3_reset(m_statement);
        // A reused statement must not carry the previous caller's values.
        sqlite3_clear_bindings(m_statement);
    }
    m_inUse = false;
}

void FMStatement::close()
{
    if (m_statement) {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
    }
    m_inUse = false;
}
