#pragma once

#include "base/PlistValue.h"
#include "device/AFCFileReference.h"
#include "device/AMService.h"
#include "device/mobile_device.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class AMDevice;

/// Names of the copy progress notifications, posted on NotificationCenter::defaultCenter() with
/// the connection as sender by copyLocalFileToRemoteFile().
inline constexpr const char* AFC_FILE_COPY_BEGIN = "AFCFileCopyBegin";
inline constexpr const char* AFC_FILE_COPY_PROGRESS = "AFCFileCopyProgress";
inline constexpr const char* AFC_FILE_COPY_DONE = "AFCFileCopyDone";

/// Key of a scan result that could not read everything (value true): its "size" and "date" count
/// only what was read, so a caller must not present them as the whole.
inline constexpr const char* AFC_SCAN_INCOMPLETE = "incomplete";

/// An AFC connection to one of the device's file areas, over a started service connection: it
/// speaks AFC itself through an AFCWireClient on that connection.
///
/// Single operations (file and device information, listing, create, remove, rename, link, time
/// stamps, opening files) and the tree operations built on them (scan, recursive delete, fill,
/// copies both ways, property-list files). Every operation blocks until the device has answered
/// and answers a result; the reason of a failure is in lasterror(): "Connection is not open",
/// "Input path is nil" and the like, or "%s failed: Return code = 0x%04X" with the library call's
/// name and status ("AFCFileInfoOpen", "AFCRemovePath", ...: the names of the AFC calls, which log
/// readers and the command line know). Not thread-safe: one thread at a time, together with its open files.
class AFCDirectoryAccess : public AMService
{
public:
    /// Wraps a started service connection; call openAFCConnection() before anything else (the
    /// create() functions of the subclasses do both).
    explicit AFCDirectoryAccess(std::unique_ptr<AMServiceConnection> connection);
    ~AFCDirectoryAccess() override;

    /// Opens the AFC connection on the service socket; false with "AFCConnectionOpen failed: %d"
    /// logged when the socket is closed.
    [[nodiscard]] bool openAFCConnection();
    /// The same with each request bounded by `ioTimeoutSeconds` (0 waits as long as the device
    /// keeps the connection open); a request that runs out fails with AFCStatus::OpTimeout.
    [[nodiscard]] bool openAFCConnection(std::uint32_t ioTimeoutSeconds);

    /// True until close().
    bool isOpen() const { return m_afc != nullptr; }
    /// Closes the AFC connection if open (AFC has no farewell). Open files stop working.
    void close();

    // ---- Single operations --------------------------------------------------------------

    /// The device's file-system figures ("FSFreeBytes", "FSTotalBytes", ... as numbers).
    [[nodiscard]] std::optional<PlistDictionary> deviceInfo();
    /// Facts about `path`: "st_ifmt" (text), "st_size" (number), "st_mtime" and "st_birthtime"
    /// (dates, whole seconds), any other key the device sends, and "path" as asked.
    [[nodiscard]] std::optional<PlistDictionary> getFileInfo(const std::optional<std::string>& path);
    /// True when the device has information on `path`. A missing path answers false and keeps the
    /// last error as it was.
    [[nodiscard]] bool fileExistsAtPath(const std::optional<std::string>& path);
    /// Whether `path` exists, where the answer leads to an action: true or false when the device
    /// said so, nothing when it could not tell (the connection failed, or a refusal other than
    /// "not found"), with the reason in lasterror(). A lost connection never reads as "absent".
    [[nodiscard]] std::optional<bool> existsAtPath(const std::optional<std::string>& path);
    /// The names in a directory, in the device's order, without "." and "..".
    [[nodiscard]] std::optional<std::vector<std::string>> directoryContents(const std::optional<std::string>& path);
    /// Every path under `path`, sorted: directories with a trailing "/", files without, built by
    /// appending to `path` as given. A file path answers just itself.
    [[nodiscard]] std::optional<std::vector<std::string>> recursiveDirectoryContents(
        const std::optional<std::string>& path);
    [[nodiscard]] bool mkdir(const std::optional<std::string>& path);
    /// Removes a file or an empty directory.
    [[nodiscard]] bool unlink(const std::optional<std::string>& path);
    /// Removes `path` with everything under it in one request; refuses an empty path and the top
    /// of the file area. A refusal part way may leave some of the tree.
    [[nodiscard]] bool unlinkTree(const std::optional<std::string>& path);
    [[nodiscard]] bool rename(const std::optional<std::string>& oldPath, const std::optional<std::string>& newPath);
    /// Makes a hard link at `path` to `target`.
    [[nodiscard]] bool link(const std::optional<std::string>& path, const std::optional<std::string>& target);
    /// Makes a symbolic link at `path` holding `target`.
    [[nodiscard]] bool symlink(const std::optional<std::string>& path, const std::optional<std::string>& target);
    /// Makes a hard link at `link` to `target`; a missing path is refused with "Path is nil".
    [[nodiscard]] bool hardLinkRemoteFile(
        const std::optional<std::string>& target, const std::optional<std::string>& link);
    /// Sets the modification time of `path` (whole nanoseconds since 1970; earlier dates give 1970).
    /// A refusal leaves the device's own description as the last error.
    [[nodiscard]] bool setmodtime(const std::optional<std::string>& path, const std::optional<PlistDate>& date);

    /// Opens a file; null on failure (a missing path gives "Input path is nil" before any device
    /// call). Writing creates a missing file and empties an existing one. The caller owns the
    /// file, which must not outlive this connection's use (it fails once the connection closed).
    [[nodiscard]] std::unique_ptr<AFCFileReference> openForRead(const std::optional<std::string>& path);
    [[nodiscard]] std::unique_ptr<AFCFileReference> openForWrite(const std::optional<std::string>& path);
    [[nodiscard]] std::unique_ptr<AFCFileReference> openForReadWrite(const std::optional<std::string>& path);

    // ---- Tree operations ------------------------------------------------------------------

    /// Bytes copied per request by the copies.
    static constexpr std::uint32_t COPY_CHUNK_SIZE = 10240;
    /// Bytes read per request by readPlistAtPath().
    static constexpr std::uint32_t PLIST_CHUNK_SIZE = 20000;

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
    /// True for the statuses of a lost or stalled connection (ConnectionError and up, OpTimeout):
    /// every later request on the connection fails the same way.
    static bool isConnectionFailure(MDStatus status);

    /// Reads a property-list file (XML or binary); nothing on failure ("Error: %s" logged).
    [[nodiscard]] std::optional<PlistValue> readPlistAtPath(const std::string& path);
    /// Writes `value` as an XML property list; false on failure ("Error: %s" logged).
    [[nodiscard]] bool writePlist(const PlistValue& value, const std::string& path);

    /// The status of the last failure on this connection: the library's, or 0 for a failure of
    /// our own ("Won't overwrite existing file") and before any.
    MDStatus lastStatus() const { return m_lastStatus; }
    /// The host-side detail of the last failed AFC request on this connection (for example
    /// "Reply was truncated, expected 10 more bytes"), when there is one.
    [[nodiscard]] std::optional<std::string> connectionErrorDetail();

private:
    /// Stores `text` as the last error with no library status behind it; answers false.
    bool fail(std::string text);
    /// Adopts a file's failure (its text and status) as this connection's.
    bool failFromFile(const AFCFileReference& file, const char* fallback);
    /// False (with the reason) when `bytes` would not fit in the device's free space.
    bool checkFreeSpaceFor(std::uint64_t bytes);
    bool checkConnection();
    bool linkPath(AFCLinkType type, const std::optional<std::string>& path, const std::optional<std::string>& target);
    bool checkStatus(MDStatus status, const char* callName);
    /// The names in `path`'s listing without "." and "..", or the status of the refusal.
    MDStatus readDirectory(const std::string& path, std::vector<std::string>& names);
    std::unique_ptr<AFCFileReference> openFile(const std::optional<std::string>& path, AFCFileMode mode);
    bool copyLocalTree(const std::string& localPath,
        const std::string& remoteDirectory,
        bool overwrite,
        std::vector<std::pair<std::uint64_t, std::uint64_t>>& openDirectories);

    // Shared only so that files opened on it hold a weak reference: they stop before touching a
    // closed connection. Null until openAFCConnection() and after close().
    std::shared_ptr<AFCWireClient> m_afc;
    MDStatus m_lastStatus { AFCStatus::Success };
    std::vector<std::string> m_skippedLocalPaths;
};

/// The device's media area ("com.apple.afc").
class AFCMediaDirectory final : public AFCDirectoryAccess
{
public:
    /// Starts the service on `device` (connected and in a session) and opens AFC on it; null on
    /// failure (logged).
    static std::unique_ptr<AFCMediaDirectory> create(AMDevice& device);

    using AFCDirectoryAccess::AFCDirectoryAccess;
};

/// The whole file system from its root ("com.apple.afc2"; jailbroken devices only).
class AFCRootDirectory final : public AFCDirectoryAccess
{
public:
    static std::unique_ptr<AFCRootDirectory> create(AMDevice& device);

    using AFCDirectoryAccess::AFCDirectoryAccess;
};

/// The crash-report area ("com.apple.crashreportcopymobile").
class AFCCrashLogDirectory final : public AFCDirectoryAccess
{
public:
    static std::unique_ptr<AFCCrashLogDirectory> create(AMDevice& device);

    using AFCDirectoryAccess::AFCDirectoryAccess;
};

/// The container of one installed app, "/" being its top ("com.apple.mobile.house_arrest").
class AFCApplicationDirectory final : public AFCDirectoryAccess
{
public:
    /// Starts house_arrest, asks it to vend the container of `bundleIdentifier` and opens AFC on
    /// the same socket. Null on failure, with "House Arrest failed, %s" (the device's error) or
    /// the reason of a missing reply logged.
    static std::unique_ptr<AFCApplicationDirectory> create(AMDevice& device, const std::string& bundleIdentifier);

    using AFCDirectoryAccess::AFCDirectoryAccess;
};
