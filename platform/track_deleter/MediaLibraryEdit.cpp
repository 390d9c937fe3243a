#include "platform/track_deleter/MediaLibraryEdit.h"

#include "db/FMDatabase.h"

#include <algorithm>
#include <map>

namespace MediaLibraryEdit {

namespace {

    std::string quoted(const std::string& identifier)
    {
        std::string result = "\"";
        for (const char c : identifier) {
            result += c;
            if (c == '"') {
                result += '"';
            }
        }
        return result + "\"";
    }

    std::string describeFailure(FMDatabase& database, const std::string& what)
    {
        const std::string message = database.lastErrorMessage();
        return message.empty() ? what : what + ": " + message;
    }

    /// Table name → column names, for the tables of the main schema.
    std::optional<std::map<std::string, std::vector<std::string>>> tableColumns(
        FMDatabase& database, std::string& error)
    {
        auto tables = database.executeQuery(
            std::string("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'"));
        if (!tables) {
            error = describeFailure(database, "Can't list the library's tables");
            return std::nullopt;
        }
        std::vector<std::string> names;
        while (tables->next()) {
            names.push_back(tables->stringForColumnIndex(0).value_or(""));
        }
        std::map<std::string, std::vector<std::string>> result;
        for (const auto& name : names) {
            auto columns = database.executeQuery("PRAGMA table_info(" + quoted(name) + ")");
            if (!columns) {
                error = describeFailure(database, "Can't read the columns of " + name);
                return std::nullopt;
            }
            auto& list = result[name];
            while (columns->next()) {
                list.push_back(columns->stringForColumn("name").value_or(""));
            }
        }
        return result;
    }

    bool has(const std::map<std::string, std::vector<std::string>>& tables,
        const std::string& table,
        const std::string& column)
    {
        const auto found = tables.find(table);
        return found != tables.end()
            && std::find(found->second.begin(), found->second.end(), column) != found->second.end();
    }

    struct LibraryRow
    {
        MediaLibraryRow row;
        std::string title;
        std::string artist;
    };

    /// Every row with a usable media path.
    std::optional<std::vector<LibraryRow>> readRows(FMDatabase& database, std::string& error)
    {
        const auto tables = tableColumns(database, error);
        if (!tables) {
            return std::nullopt;
        }
        if (!has(*tables, "item", "item_pid") || !has(*tables, "item_extra", "location")) {
            error = "The library has no song table";
            return std::nullopt;
        }
        const bool artists = has(*tables, "item_artist", "item_artist") && has(*tables, "item", "item_artist_pid");
        const bool baseFolders = has(*tables, "base_location", "path") && has(*tables, "item", "base_location_id");
        std::string query = "SELECT item.item_pid AS pid, item_extra.location AS location, item_extra.file_size AS "
                            "file_size, item_extra.title AS title";
        query += artists ? ", item_artist.item_artist AS artist" : ", '' AS artist";
        query += baseFolders ? ", base_location.path AS base" : ", '' AS base";
        query += " FROM item JOIN item_extra ON item.item_pid = item_extra.item_pid";
        if (artists) {
            query += " LEFT JOIN item_artist ON item.item_artist_pid = item_artist.item_artist_pid";
        }
        if (baseFolders) {
            query += " LEFT JOIN base_location ON item.base_location_id = base_location.base_location_id";
        }
        query += " WHERE item_extra.location != ''";
        auto rows = database.executeQuery(query);
        if (!rows) {
            error = describeFailure(database, "Can't read the library's songs");
            return std::nullopt;
        }
        std::vector<LibraryRow> result;
        while (rows->next()) {
            const auto path = mediaPathFor(
                rows->stringForColumn("base").value_or(""), rows->stringForColumn("location").value_or(""));
            if (!path) {
                continue;
            }
            LibraryRow entry;
            entry.row.pid = rows->longLongIntForColumn("pid");
            entry.row.mediaPath = *path;
            entry.row.fileSize = rows->longLongIntForColumn("file_size");
            entry.title = rows->stringForColumn("title").value_or("");
            entry.artist = rows->stringForColumn("artist").value_or("");
            result.push_back(std::move(entry));
        }
        return result;
    }

    std::optional<std::string> singleText(FMDatabase& database, const std::string& query)
    {
        auto rows = database.executeQuery(query);
        if (!rows || !rows->next()) {
            return std::nullopt;
        }
        return rows->stringForColumnIndex(0);
    }

} // namespace

bool checkpoint(const std::string& path, std::string& error)
{
    const auto database = FMDatabase::databaseWithPath(path);
    if (!database->open()) {
        error = "Can't open the copy of the library";
        return false;
    }
    auto result = database->executeQuery(std::string("PRAGMA wal_checkpoint(TRUNCATE)"));
    // The first column is 1 when the checkpoint could not finish.
    if (!result || !result->next() || result->intForColumnIndex(0) != 0) {
        error = describeFailure(*database, "Can't fold the write-ahead log into the library");
        return false;
    }
    result.reset();
    database->close();
    return true;
}

bool integrityCheck(FMDatabase& database, std::string& error)
{
    const auto answer = singleText(database, "PRAGMA integrity_check");
    if (answer != "ok") {
        error = "The library failed its integrity check: " + answer.value_or(database.lastErrorMessage());
        return false;
    }
    return true;
}

std::optional<std::string> mediaPathFor(const std::string& baseFolder, const std::string& location)
{
    // A NUL would end the path early on the wire, after the checks below.
    if (location.empty() || location.find('\0') != std::string::npos || baseFolder.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    const std::string joined
        = location.find('/') == std::string::npos && !baseFolder.empty() ? baseFolder + "/" + location : location;
    std::vector<std::string> parts;
    std::size_t start = 0;
    // A leading slash is allowed; any other empty part is not.
    if (!joined.empty() && joined.front() == '/') {
        start = 1;
    }
    while (start <= joined.size()) {
        const std::size_t end = std::min(joined.find('/', start), joined.size());
        const std::string part = joined.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return std::nullopt;
        }
        parts.push_back(part);
        start = end + 1;
    }
    std::string path;
    for (const auto& part : parts) {
        path += "/" + part;
    }
    const std::string folder = MEDIA_LIBRARY_MUSIC_FOLDER;
    if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) {
        return std::nullopt;
    }
    return path;
}

std::optional<std::string> pendingMediaPath(const std::string& path)
{
    // Only a path exactly as mediaPathFor() writes one: absolute, already normal, in the folder.
    const auto normal = mediaPathFor("", path);
    if (!normal || *normal != path) {
        return std::nullopt;
    }
    return normal;
}

std::optional<std::vector<MediaLibraryRow>> findRows(
    FMDatabase& database, const std::vector<MediaLibraryTrack>& tracks, std::string& error)
{
    const auto rows = readRows(database, error);
    if (!rows) {
        return std::nullopt;
    }
    std::map<std::int64_t, std::size_t> byPid;
    for (std::size_t i = 0; i < rows->size(); ++i) {
        byPid.emplace((*rows)[i].row.pid, i);
    }
    std::vector<bool> used(rows->size(), false);
    std::vector<MediaLibraryRow> found;
    for (const auto& track : tracks) {
        std::optional<std::size_t> match;
        if (track.pid) {
            if (const auto it = byPid.find(*track.pid); it != byPid.end()) {
                match = it->second;
            }
        } else {
            for (std::size_t i = 0; i < rows->size() && !match; ++i) {
                const auto& candidate = (*rows)[i];
                if (!used[i] && candidate.title == track.title && candidate.artist == track.artist
                    && (!track.size || *track.size == candidate.row.fileSize)) {
                    match = i;
                }
            }
        }
        if (match && !used[*match]) {
            used[*match] = true;
            found.push_back((*rows)[*match].row);
        }
    }
    return found;
}

std::optional<std::set<std::string>> referencedMediaPaths(FMDatabase& database, std::string& error)
{
    const auto rows = readRows(database, error);
    if (!rows) {
        return std::nullopt;
    }
    std::set<std::string> paths;
    for (const auto& entry : *rows) {
        paths.insert(entry.row.mediaPath);
    }
    return paths;
}

bool deleteRows(FMDatabase& database, const std::vector<std::int64_t>& pids, std::string& error)
{
    const auto tables = tableColumns(database, error);
    if (!tables) {
        return false;
    }
    if (!database.executeUpdate(std::string("BEGIN IMMEDIATE"))) {
        error = describeFailure(database, "Can't start changing the library");
        return false;
    }
    const auto fail = [&](const std::string& what) {
        error = describeFailure(database, what);
        (void)database.executeUpdate(std::string("ROLLBACK")); // the failure above is what counts
        return false;
    };
    if (!database.executeUpdate(std::string("CREATE TEMP TABLE torvane_removed (pid INTEGER PRIMARY KEY)"))) {
        return fail("Can't note the songs to remove");
    }
    for (const std::int64_t pid : pids) {
        if (!database.executeUpdate(
                std::string("INSERT OR IGNORE INTO temp.torvane_removed VALUES (?)"), static_cast<long long>(pid))) {
            return fail("Can't note the songs to remove");
        }
    }
    const std::string removed = " IN (SELECT pid FROM temp.torvane_removed)";
    for (const auto& [table, columns] : *tables) {
        for (const auto& column : columns) {
            if (column == "item_pid") {
                if (!database.executeUpdate("DELETE FROM " + quoted(table) + " WHERE item_pid" + removed)) {
                    return fail("Can't remove the songs from " + table);
                }
            } else if (column.size() > 9 && column.ends_with("_item_pid")) {
                if (!database.executeUpdate("UPDATE " + quoted(table) + " SET " + quoted(column) + " = 0 WHERE "
                        + quoted(column) + removed)) {
                    return fail("Can't update " + table);
                }
            }
        }
    }
    if (!database.executeUpdate(std::string("DROP TABLE temp.torvane_removed"))) {
        return fail("Can't finish changing the library");
    }
    if (!database.executeUpdate(std::string("COMMIT"))) {
        return fail("Can't save the changed library");
    }
    return true;
}

} // namespace MediaLibraryEdit
