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

/// An AFC connection to one of the device's file areas, over a started service connection: it
/// speaks AFC itself through an AFCWireClient on that connection.
///
/// Single operations, one request each or nearly (file and device information, listing, create,
/// remove, rename, link, time stamps, opening files); the work on whole trees and files built on
/// them is AFCTreeOperations'. Every operation blocks until the device has answered
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

    /// True for the statuses of a lost or stalled connection (ConnectionError and up, OpTimeout):
    /// every later request on the connection fails the same way.
    static bool isConnectionFailure(MDStatus status);

    /// The status of the last failure on this connection: the library's, or 0 for a failure of
    /// our own ("Won't overwrite existing file") and before any.
    MDStatus lastStatus() const { return m_lastStatus; }
    /// The host-side detail of the last failed AFC request on this connection (for example
    /// "Reply was truncated, expected 10 more bytes"), when there is one.
    [[nodiscard]] std::optional<std::string> connectionErrorDetail();

private:
    // Tree operations report their failures as this connection's, where callers look for them.
    friend class AFCTreeOperations;

    /// Stores `text` as the last error with no library status behind it; answers false.
    bool fail(std::string text);
    /// Adopts a file's failure (its text and status) as this connection's.
    bool failFromFile(const AFCFileReference& file, const char* fallback);
    bool checkConnection();
    bool linkPath(AFCLinkType type, const std::optional<std::string>& path, const std::optional<std::string>& target);
    bool checkStatus(MDStatus status, const char* callName);
    /// The names in `path`'s listing without "." and "..", or the status of the refusal.
    MDStatus readDirectory(const std::string& path, std::vector<std::string>& names);
    std::unique_ptr<AFCFileReference> openFile(const std::optional<std::string>& path, AFCFileMode mode);

    // Shared only so that files opened on it hold a weak reference: they stop before touching a
    // closed connection. Null until openAFCConnection() and after close().
    std::shared_ptr<AFCWireClient> m_afc;
    MDStatus m_lastStatus { AFCStatus::Success };
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
