#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

class FMDatabase;

/// The folder of the media area that holds the song files; nothing outside it is ever deleted.
inline constexpr const char* MEDIA_LIBRARY_MUSIC_FOLDER = "/iTunes_Control/Music/";

/// One song or podcast to remove, as the music tool listed it. The persistent id identifies the
/// row; title, artist and size are only used for items listed without one.
struct MediaLibraryTrack
{
    std::optional<std::int64_t> pid;
    std::string title;
    std::string artist;
    std::optional<std::int64_t> size;
};

/// A row of the library that stands for a track, and the media file it points to.
struct MediaLibraryRow
{
    std::int64_t pid { 0 };
    /// Media-area path under MEDIA_LIBRARY_MUSIC_FOLDER.
    std::string mediaPath;
    std::int64_t fileSize { 0 };
};

/// Work on a local copy of the device's media-library database: folding the write-ahead log into
/// the file, checking it, finding the rows of tracks and removing them. Every function answers
/// false or nothing on failure with the reason in `error`; none of them touches the device.
namespace MediaLibraryEdit {

/// Folds the write-ahead log beside `path` into the file and empties the log, so the file alone
/// holds the whole library. The database stays in WAL mode, as the phone keeps it.
bool checkpoint(const std::string& path, std::string& error);

/// True when SQLite's integrity check answers "ok".
bool integrityCheck(FMDatabase& database, std::string& error);

/// The media-area path a row's location stands for: "/" + base folder + "/" + location, or the
/// location alone when it already holds folders. Nothing when the result would leave
/// MEDIA_LIBRARY_MUSIC_FOLDER or has empty, "." or ".." parts: a location read from the device
/// is never trusted to name a file to delete.
std::optional<std::string> mediaPathFor(const std::string& baseFolder, const std::string& location);

/// A path read back from the list of files still to delete, when it is one mediaPathFor() could
/// have made: absolute, normal (no empty, "." or ".." parts) and under MEDIA_LIBRARY_MUSIC_FOLDER.
/// Nothing for anything else, which must never be deleted.
std::optional<std::string> pendingMediaPath(const std::string& path);

/// The rows for `tracks`: by persistent id, or by title, artist and size for a track without
/// one (each row used at most once). Rows without a usable media path are left out. Nothing when
/// the library cannot be read.
std::optional<std::vector<MediaLibraryRow>> findRows(
    FMDatabase& database, const std::vector<MediaLibraryTrack>& tracks, std::string& error);

/// Every media path the library's rows point to.
std::optional<std::set<std::string>> referencedMediaPaths(FMDatabase& database, std::string& error);

/// Removes the rows of `pids` from every table with an "item_pid" column, and sets columns that
/// name an item as their representative ("..._item_pid") to 0 where they named one of them, all
/// in one transaction. False, with nothing changed, when any statement fails.
bool deleteRows(FMDatabase& database, const std::vector<std::int64_t>& pids, std::string& error);

} // namespace MediaLibraryEdit
