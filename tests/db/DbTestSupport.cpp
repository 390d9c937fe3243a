#include "tests/db/DbTestSupport.h"

#include <sqlite3.h>

RawConnection::RawConnection(const std::string& path)
{
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        m_error = m_db ? sqlite3_errmsg(m_db) : "out of memory";
    }
}

RawConnection::~RawConnection()
{
    sqlite3_close(m_db);
}

bool RawConnection::exec(const std::string& sql)
{
    char* message = nullptr;
    const int rc = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message);
    m_error = message ? message : "";
    sqlite3_free(message);
    return rc == SQLITE_OK;
}
