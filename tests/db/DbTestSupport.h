#pragma once

#include <string>

struct sqlite3;

/// A plain SQLite connection beside the one under test: a second writer, or a reader that checks
/// what the layer wrote without going through it.
class RawConnection
{
public:
    explicit RawConnection(const std::string& path);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    /// Runs `sql`; false (with the message in `error()`) on failure.
    bool exec(const std::string& sql);
    const std::string& error() const { return m_error; }
    sqlite3* handle() const { return m_db; }

private:
    sqlite3* m_db { nullptr };
    std::string m_error;
};
