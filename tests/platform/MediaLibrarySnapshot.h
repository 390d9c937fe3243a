#pragma once

#include "tests/support/TestSupport.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sqlite3.h>

/// What a media-library database holds, read straight with SQLite: every row of every table as
/// text, the rows of tables with an "item_pid" column keyed by it. Reads a copy of the file and
/// its log, so looking never changes the library looked at.
struct MediaLibrarySnapshot
{
    std::string integrity;
    /// table → rows as text (sorted).
    std::map<std::string, std::multiset<std::string>> rows;
    /// table → item_pid → rows as text, for tables with that column.
    std::map<std::string, std::multimap<std::int64_t, std::string>> itemRows;

    static MediaLibrarySnapshot read(const std::filesystem::path& library)
    {
        namespace fs = std::filesystem;
        MediaLibrarySnapshot snapshot;
        TemporaryDirectory copy;
        const fs::path target = copy.path() / library.filename();
        fs::copy_file(library, target);
        if (fs::exists(library.string() + "-wal")) {
            fs::copy_file(library.string() + "-wal", target.string() + "-wal");
        }
        sqlite3* db = nullptr;
        if (sqlite3_open(target.c_str(), &db) != SQLITE_OK) {
            sqlite3_close(db);
            snapshot.integrity = "does not open";
            return snapshot;
        }
        snapshot.integrity = query(db, "PRAGMA integrity_check").value_or(std::vector<std::string> { "" }).at(0);
        const auto tables
            = query(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'");
        for (const auto& table : tables.value_or(std::vector<std::string>())) {
            sqlite3_stmt* statement = nullptr;
            sqlite3_prepare_v2(db, ("SELECT * FROM \"" + table + "\"").c_str(), -1, &statement, nullptr);
            int pidColumn = -1;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                if (std::string(sqlite3_column_name(statement, i)) == "item_pid") {
                    pidColumn = i;
                }
            }
            auto& tableRows = snapshot.rows[table];
            while (sqlite3_step(statement) == SQLITE_ROW) {
                std::string line;
                for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                    const auto* value = sqlite3_column_text(statement, i);
                    line += (value ? reinterpret_cast<const char*>(value) : "NULL") + std::string("|");
                }
                tableRows.insert(line);
                if (pidColumn >= 0) {
                    snapshot.itemRows[table].emplace(sqlite3_column_int64(statement, pidColumn), line);
                }
            }
            sqlite3_finalize(statement);
        }
        sqlite3_close(db);
        return snapshot;
    }

    /// The same library with the rows of `pids` taken out of every table that has "item_pid".
    MediaLibrarySnapshot without(const std::set<std::int64_t>& pids) const
    {
        MediaLibrarySnapshot result = *this;
        for (auto& [table, byPid] : result.itemRows) {
            for (const std::int64_t pid : pids) {
                const auto [first, last] = byPid.equal_range(pid);
                for (auto it = first; it != last; ++it) {
                    result.rows[table].erase(result.rows[table].find(it->second));
                }
                byPid.erase(pid);
            }
        }
        return result;
    }

    bool operator==(const MediaLibrarySnapshot& other) const { return rows == other.rows; }

    static std::optional<std::vector<std::string>> query(sqlite3* db, const std::string& sql)
    {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            return std::nullopt;
        }
        std::vector<std::string> values;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* value = sqlite3_column_text(statement, 0);
            values.emplace_back(value ? reinterpret_cast<const char*>(value) : "");
        }
        sqlite3_finalize(statement);
        return values;
    }
};
