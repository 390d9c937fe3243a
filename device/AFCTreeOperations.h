#pragma once

#include "base/PlistValue.h"
#include "device/AFCDirectoryAccess.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// Names of the copy progress notifications, posted on NotificationCenter::defaultCenter() with
/// the connection (the AFCDirectoryAccess) as sender by AFCTreeOperations::copyLocalFileToRemoteFile().
inline constexpr const char* AFC_FILE_COPY_BEGIN = "AFCFileCopyBegin";
inline constexpr const char* AFC_FILE_COPY_PROGRESS = "AFCFileCopyProgress";
inline constexpr const char* AFC_FILE_COPY_DONE = "AFCFileCopyDone";

/// Key of a scan result that could not read everything (value true): its "size" and "date" count
/// only what was read, so a caller must not present them as the whole.
inline constexpr const char* AFC_SCAN_INCOMPLETE = "incomplete";

/// The work on whole files and trees over one AFC connection: scan, recursive delete, copies both
/// ways, property-list files and files made at a size. Each is a series of the connection's single
/// operations, and reports as they do: false or nothing, with the reason in the connection's
/// lasterror() and lastStatus(). Holds the connection by reference (it must outlive this) and
/// keeps no state of its own beyond skippedLocalPaths(); one thread at a time, with the connection.
class AFCTreeOperations
{
public:
    explicit AFCTreeOperations(AFCDirectoryAccess& connection);

    /// Bytes copied per request by the copies.
    static constexpr std::uint32_t COPY_CHUNK_SIZE = 10240;
    /// Bytes read per request by readPlistAtPath().
    static constexpr std::uint32_t PLIST_CHUNK_SIZE = 20000;

    /// Every path under `path`, sorted: directories with a trailing "/", files without, built by
    /// appending to `path` as given. A file path answers just itself.
    [[nodiscard]] std::optional<std::vector<std::string>> recursiveDirectoryContents(
        const std::optional<std::string>& path);
    /// A new scan result: a's "size" plus (or minus, with `subtractSizes`) b's, and the later
    /// of their "date"s (absent dates count as 1970; equal dates give b's). Always both keys.
    static PlistDictionary addScan(const PlistDictionary& a, const PlistDictionary& b, bool subtractSizes);
    /// {"size", "date"} of a file, or of every non-directory entry of a tree (latest date); the
    /// empty dictionary for an empty directory. One file-information request per entry and one
    /// listing per directory. An entry or directory that cannot be read (other than one removed
    /// meanwhile) marks the result AFC_SCAN_INCOMPLETE, with the first reason in lasterror(); a
    /// lost connection ends the walk there.
    [[nodiscard]] PlistDictionary scanPath(const std::string& path);
    /// True when `scan` could not read everything (scanPath(), or a sum of scans with addScan()).
    static bool isIncompleteScan(const PlistDictionary& scan);
    /// Deletes the contents of a directory tree depth first, then `path` itself when
    /// `deleteRoot`; deleteTreeAtPath() without its answer.
    void recursiveDeletePath(const std::string& path, bool deleteRoot);
    /// Deletes the contents of a directory tree depth first, then `path` itself when
    /// `deleteRoot` (a file is removed only then). Goes on past a refusal and answers false at
    /// the end with the first reason in lasterror(); a lost connection ends the walk at once.
    /// Refuses an empty path, and the top of the file area ("/", "/DCIM/..") unless only its
    /// contents are asked for (`deleteRoot` false).
    [[nodiscard]] bool deleteTreeAtPath(const std::string& path, bool deleteRoot);
    /// Writes `data` to a new device file in one request; refuses an existing path ("Won't
    /// overwrite existing file") and empty data ("Can't open input file").
    [[nodiscard]] bool copyData(std::string_view data, const std::string& path);
    /// Creates a new file of `size` bytes without writing them.
    [[nodiscard]] bool createFakeFileAtPath(const std::string& path, std::uint64_t size);
    /// Writes `data` to `path` again and again until a write fails (the device is full); true
    /// once the file could be opened.
    [[nodiscard]] bool fillDriveWithData(std::string_view data, const std::string& path);
    /// Copies a local regular file to the device, COPY_CHUNK_SIZE bytes per request, posting
    /// AFC_FILE_COPY_BEGIN, AFC_FILE_COPY_PROGRESS (before each chunk and once at the end) and
    /// AFC_FILE_COPY_DONE with {"Source", "Target", "Size", "Done"}. Refuses a file larger than
    /// the device's free space before writing anything. The bytes go to a hidden partial file
    /// beside the target (partialPathFor()), renamed onto the target only when complete; on any
    /// failure the partial file is removed (when the connection still allows it), so the target
    /// is never left half written. False when anything failed.
    [[nodiscard]] bool copyLocalFileToRemoteFile(
        const std::string& localPath, const std::string& remotePath, bool overwrite);
    /// Copies a local file, link or directory tree into `remoteDirectory`, under its own name.
    /// Entries that are neither (FIFOs, sockets, device nodes) are skipped, logged and listed in
    /// skippedLocalPaths(): reading one could block for ever.
    [[nodiscard]] bool copyLocalFileToRemoteDir(
        const std::string& localPath, const std::string& remoteDirectory, bool overwrite);
    /// Copies a device file to a new local file. Refuses an existing local path; a failed read
    /// removes the partial local file and answers false.
    [[nodiscard]] bool copyRemoteFile(const std::string& remotePath, const std::string& localPath);
    /// The local entries the last copyLocalFileToRemoteDir() skipped.
    const std::vector<std::string>& skippedLocalPaths() const { return m_skippedLocalPaths; }
    /// The hidden name beside `remotePath` that an upload writes before renaming it into place.
    static std::string partialPathFor(const std::string& remotePath);

    /// Reads a property-list file (XML or binary); nothing on failure ("Error: %s" logged).
    [[nodiscard]] std::optional<PlistValue> readPlistAtPath(const std::string& path);
    /// Writes `value` as an XML property list; false on failure ("Error: %s" logged).
    [[nodiscard]] bool writePlist(const PlistValue& value, const std::string& path);

    AFCDirectoryAccess& connection() { return m_afc; }

private:
    bool fail(std::string text);
    /// True when the connection is up and nothing is at `path`; false with the reason otherwise.
    bool checkNewPath(const std::string& path);
    /// False (with the reason) when `bytes` would not fit in the device's free space.
    bool checkFreeSpaceFor(std::uint64_t bytes);
    bool copyLocalTree(const std::string& localPath,
        const std::string& remoteDirectory,
        bool overwrite,
        std::vector<std::pair<std::uint64_t, std::uint64_t>>& openDirectories);

    AFCDirectoryAccess& m_afc;
    std::vector<std::string> m_skippedLocalPaths;
};
