#pragma once

#include "device/AMStorageSpace.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class AFCDirectoryAccess;
class AFCFileReference;
class AMDevice;

/// What a fill run needs of a phone's media area. Paths are relative to its root ("Torvane/x").
/// Every call blocks until the phone answered; one thread at a time.
class ECFillStore
{
public:
    virtual ~ECFillStore() = default;

    /// "FSFreeBytes" read afresh; nothing when it cannot be read (the phone went away).
    virtual std::optional<std::uint64_t> freeBytes() = 0;
    /// "FSTotalBytes"; nothing when it cannot be read.
    virtual std::optional<std::uint64_t> totalBytes() = 0;
    /// Creates a folder; false when it exists already or the phone refuses.
    virtual bool makeFolder(const std::string& path) = 0;
    /// The names in a folder; nothing when it cannot be listed.
    virtual std::optional<std::vector<std::string>> folderContents(const std::string& path) = 0;
    /// A new file of `size` bytes made by setting its size, without sending its content. False when
    /// the path exists already or the phone refuses. A store may keep a file whose size the phone
    /// refused, empty, and give it the size of the next call instead of making the file at that
    /// call's path (the path then stays unused); a file left empty that way is cleared with the
    /// fillers.
    virtual bool createFakeFile(const std::string& path, std::uint64_t size) = 0;
    /// Removes everything in the folder `path` at once; the folder stays. False when the phone
    /// refused (some may be gone: the caller lists again and removes file by file, which tells what
    /// is left); nothing when this store cannot do it, and nothing was touched.
    virtual std::optional<bool> emptyFolder(const std::string& path)
    {
        (void)path;
        return std::nullopt;
    }
    /// A new file of `size` bytes written for real, a chunk at a time. `chunkWritten` receives the
    /// bytes written so far after each chunk and answers whether to go on. Answers the bytes
    /// written, which is `size` only when the whole file was written; a path that exists already
    /// gets nothing written.
    virtual std::uint64_t writeFile(
        const std::string& path, std::uint64_t size, const std::function<bool(std::uint64_t written)>& chunkWritten)
        = 0;
    /// Removes one file; true on success.
    virtual bool removeFile(const std::string& path) = 0;
    /// The size of one file; nothing when it cannot be read.
    virtual std::optional<std::uint64_t> fileSize(const std::string& path) = 0;
};

/// A fill store over an AFC connection to the media area.
///
/// A filler costs three requests (open, set size, close): whether its path exists is answered from
/// the folder's listing, taken once and kept up to date with what this store makes and removes, so
/// no file-information request is spent per filler. Only fill runs write into their folder; a file
/// another program put there after the listing would be replaced by the new filler. A file whose
/// size the phone refused (it is full) stays open and empty, and the next creation sets its size
/// instead of opening another: one request per refusal. Any request but a reading of the space
/// closes it first.
class ECAFCFillStore final : public ECFillStore
{
public:
    /// Bytes sent per write request by writeFile().
    static constexpr std::uint64_t WRITE_CHUNK_SIZE = 4 * 1024 * 1024;

    explicit ECAFCFillStore(std::unique_ptr<AFCDirectoryAccess> connection);
    ~ECAFCFillStore() override;

    /// Opens the media area of `device`. The caller holds the device's lock while the connection
    /// is made (the phone's lockdown exchange must not overlap another thread's) and may let it go
    /// afterwards: the AFC connection is this store's own. Null when the media area cannot be opened.
    static std::unique_ptr<ECAFCFillStore> open(AMDevice& device);

    std::optional<std::uint64_t> freeBytes() override;
    std::optional<std::uint64_t> totalBytes() override;
    bool makeFolder(const std::string& path) override;
    std::optional<std::vector<std::string>> folderContents(const std::string& path) override;
    bool createFakeFile(const std::string& path, std::uint64_t size) override;
    std::optional<bool> emptyFolder(const std::string& path) override;
    std::uint64_t writeFile(const std::string& path,
        std::uint64_t size,
        const std::function<bool(std::uint64_t written)>& chunkWritten) override;
    bool removeFile(const std::string& path) override;
    std::optional<std::uint64_t> fileSize(const std::string& path) override;

    AFCDirectoryAccess& connection() { return *m_connection; }

private:
    AMStorageSpace storageSpace();
    /// Whether `path` exists, from its folder's names (listed on first need); nothing when the
    /// phone cannot tell.
    std::optional<bool> exists(const std::string& path);
    /// The names known in `path`'s folder, or null while they are unknown.
    std::set<std::string>* knownNames(const std::string& path);
    void closeRefusedFile();

    std::unique_ptr<AFCDirectoryAccess> m_connection;
    std::map<std::string, std::set<std::string>> m_folderNames; // folder → names in it
    std::unique_ptr<AFCFileReference> m_refusedFile; // empty, its size refused; see createFakeFile()
    std::optional<std::int64_t> m_totalBytes; // from the last reading
};
