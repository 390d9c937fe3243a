#include "device/AFCTreeOperations.h"

#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "device/AFCValues.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// A host file descriptor closed on every way out.
class LocalFile
{
public:
    explicit LocalFile(int fd)
        : m_fd(fd)
    {
    }
    ~LocalFile()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    int fd() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    /// Closes now; false when the close reported an error (data may not have reached the disk).
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int m_fd;
};

/// Reads up to `size` bytes, retrying interruptions; -1 on error.
ssize_t readSome(int fd, char* buffer, std::size_t size)
{
    for (;;) {
        const ssize_t count = ::read(fd, buffer, size);
        if (count >= 0 || errno != EINTR) {
            return count;
        }
    }
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t count = ::write(fd, data, size);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += count;
        size -= static_cast<std::size_t>(count);
    }
    return true;
}

bool localPathExists(const std::string& path)
{
    struct stat info;
    // lstat: a dangling link still occupies the name, and writing through it would land elsewhere.
    return ::lstat(path.c_str(), &info) == 0;
}

bool isDirectoryInfo(const std::optional<PlistDictionary>& info)
{
    if (!info) {
        return false;
    }
    const auto kind = info->find("st_ifmt");
    return kind != info->end() && kind->second.isString() && *kind->second.asString() == "S_IFDIR";
}

/// The scan result of one non-directory entry: its size (0 when unknown) and its date when known.
PlistDictionary entryScan(const std::optional<PlistDictionary>& info)
{
    PlistDictionary scan;
    std::int64_t size = 0;
    if (info) {
        if (const auto found = info->find("st_size"); found != info->end()) {
            size = found->second.toInt64().value_or(0);
        }
        if (const auto found = info->find("st_mtime"); found != info->end() && found->second.isDate()) {
            scan["date"] = found->second;
        }
    }
    scan["size"] = PlistValue(size);
    return scan;
}

} // namespace

AFCTreeOperations::AFCTreeOperations(AFCDirectoryAccess& connection)
    : m_afc(connection)
{
}

bool AFCTreeOperations::fail(std::string text)
{
    return m_afc.fail(std::move(text));
}

std::optional<std::vector<std::string>> AFCTreeOperations::recursiveDirectoryContents(
    const std::optional<std::string>& path)
{
    if (!path) {
        m_afc.fail("Input path is nil");
        return std::nullopt;
    }
    if (!m_afc.checkConnection()) {
        return std::nullopt;
    }
    std::vector<std::string> found;
    // Depth first with an explicit list rather than recursion, so a deep tree cannot exhaust
    // the stack; the result is sorted at the end, so the visiting order does not show.
    std::vector<std::string> pending { *path };
    while (!pending.empty()) {
        const std::string current = std::move(pending.back());
        pending.pop_back();
        std::vector<std::string> names;
        const MDStatus status = m_afc.readDirectory(current, names);
        if (status == AFCStatus::ReadError) {
            found.push_back(current); // not a directory
            continue;
        }
        if (!m_afc.checkStatus(status, "AFCDirectoryOpen")) {
            return std::nullopt;
        }
        found.push_back(current + "/");
        for (auto name = names.rbegin(); name != names.rend(); ++name) {
            pending.push_back(current + "/" + *name);
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

PlistDictionary AFCTreeOperations::addScan(const PlistDictionary& a, const PlistDictionary& b, bool subtractSizes)
{
    auto sizeOf = [](const PlistDictionary& scan) -> std::optional<std::int64_t> {
        const auto found = scan.find("size");
        if (found == scan.end()) {
            return std::nullopt;
        }
        return found->second.toInt64().value_or(0);
    };
    auto dateOf = [](const PlistDictionary& scan) {
        const auto found = scan.find("date");
        if (found == scan.end()) {
            return afcEpoch();
        }
        return found->second.toDate().value_or(afcEpoch());
    };

    std::int64_t size = sizeOf(a).value_or(0);
    if (const std::optional<std::int64_t> other = sizeOf(b)) {
        size = subtractSizes ? size - *other : size + *other;
    }
    const PlistDate dateA = dateOf(a);
    const PlistDate dateB = dateOf(b);
    const PlistDate later = dateA.microsecondsSince1970 > dateB.microsecondsSince1970 ? dateA : dateB;
    PlistDictionary sum { { "size", PlistValue(size) }, { "date", PlistValue(later) } };
    if (isIncompleteScan(a) || isIncompleteScan(b)) {
        sum[AFC_SCAN_INCOMPLETE] = PlistValue(true); // a part that was not read leaves the sum short too
    }
    return sum;
}

bool AFCTreeOperations::isIncompleteScan(const PlistDictionary& scan)
{
    const auto found = scan.find(AFC_SCAN_INCOMPLETE);
    return found != scan.end() && found->second.isBoolean() && found->second.toBool().value_or(false);
}

namespace {

/// The first failure of a walk that goes on past failures, restored as the last error at the end.
struct FirstFailure
{
    std::optional<std::string> text;
    MDStatus status { AFCStatus::Success };

    void note(const std::optional<std::string>& lastError, MDStatus lastStatus)
    {
        if (!text) {
            text = lastError.value_or("Unknown failure");
            status = lastStatus;
        }
    }
};

} // namespace

PlistDictionary AFCTreeOperations::scanPath(const std::string& path)
{
    FirstFailure failure;
    bool stop = false;
    // An entry that vanished since its directory was listed is simply not there; anything else
    // that cannot be read leaves the result short, and the result must say so.
    auto unreadable = [&] {
        if (m_afc.m_lastStatus == AFCStatus::ObjectNotFound && m_afc.lasterror()) {
            return false;
        }
        failure.note(m_afc.lasterror(), m_afc.m_lastStatus);
        stop = stop || AFCDirectoryAccess::isConnectionFailure(m_afc.m_lastStatus) || !m_afc.isOpen();
        return true;
    };
    auto finish = [&](PlistDictionary result) {
        if (failure.text) {
            result[AFC_SCAN_INCOMPLETE] = PlistValue(true);
            m_afc.setLastError(*failure.text);
            m_afc.m_lastStatus = failure.status;
        }
        return result;
    };

    const std::optional<PlistDictionary> info = m_afc.getFileInfo(path);
    if (!info) {
        failure.note(m_afc.lasterror(), m_afc.m_lastStatus); // the path itself: missing is not "empty"
        return finish(addScan({}, entryScan(info), false));
    }
    if (!isDirectoryInfo(info)) {
        return finish(addScan({}, entryScan(info), false));
    }
    // Depth first in listing order, as a recursive walk would go, but with an explicit stack so a
    // deep tree cannot exhaust ours. Every entry costs one file-information request and every
    // directory one listing.
    struct Frame
    {
        std::string directory;
        std::vector<std::string> names;
        std::size_t next = 0;
    };
    std::vector<Frame> stack;
    PlistDictionary total;
    std::optional<std::vector<std::string>> top = m_afc.directoryContents(path);
    if (!top) {
        failure.note(m_afc.lasterror(), m_afc.m_lastStatus);
        return finish(total);
    }
    stack.push_back({ path, std::move(*top) });
    while (!stack.empty() && !stop) {
        Frame& frame = stack.back();
        if (frame.next >= frame.names.size()) {
            stack.pop_back();
            continue;
        }
        const std::string child = afcJoinPath(frame.directory, frame.names[frame.next++]);
        const std::optional<PlistDictionary> childInfo = m_afc.getFileInfo(child);
        if (!childInfo) {
            (void)unreadable();
            continue;
        }
        if (isDirectoryInfo(childInfo)) {
            // A subdirectory adds nothing of its own, but its presence makes the result non-empty
            // (an empty subdirectory scans as {} and adding it gives size 0 and 1970).
            total = addScan(total, {}, false);
            std::optional<std::vector<std::string>> names = m_afc.directoryContents(child);
            if (!names) {
                (void)unreadable();
                continue;
            }
            stack.push_back({ child, std::move(*names) }); // `frame` may dangle from here on
        } else {
            total = addScan(total, entryScan(childInfo), false);
        }
    }
    return finish(total);
}

void AFCTreeOperations::recursiveDeletePath(const std::string& path, bool deleteRoot)
{
    (void)deleteTreeAtPath(path, deleteRoot); // the reason stays as the last error
}

bool AFCTreeOperations::deleteTreeAtPath(const std::string& path, bool deleteRoot)
{
    if (!m_afc.checkConnection()) {
        return false;
    }
    const std::optional<std::string> normal = afcNormalizePath(path);
    if (!normal) {
        return fail("Input path is empty");
    }
    if (*normal == "/" && deleteRoot) {
        // Emptying everything and then failing on the top itself is never what was meant.
        return fail("Won't remove the top of the file area");
    }
    // Contents first, depth first, in listing order. A refusal is noted and the walk goes on (the
    // rest can still go); a lost connection ends it, since every later request fails the same way.
    // An explicit stack keeps deep trees off the call stack.
    struct Entry
    {
        std::string path;
        bool remove = true;
        bool expanded = false;
    };
    FirstFailure failure;
    auto noteFailure = [&] {
        failure.note(m_afc.lasterror(), m_afc.m_lastStatus);
        return AFCDirectoryAccess::isConnectionFailure(m_afc.m_lastStatus) || !m_afc.isOpen();
    };
    std::vector<Entry> stack { { path, deleteRoot, false } };
    bool top = true;
    while (!stack.empty()) {
        Entry entry = std::move(stack.back());
        stack.pop_back();
        const bool isTop = std::exchange(top, false);
        if (!entry.expanded) {
            const std::optional<PlistDictionary> info = m_afc.getFileInfo(entry.path);
            if (!info) {
                if (m_afc.m_lastStatus == AFCStatus::ObjectNotFound && !isTop) {
                    continue; // removed meanwhile
                }
                if (noteFailure()) {
                    break;
                }
                continue;
            }
            if (isDirectoryInfo(info)) {
                const std::optional<std::vector<std::string>> names = m_afc.directoryContents(entry.path);
                if (!names) {
                    // Its contents cannot be seen, so neither they nor it can go.
                    if (noteFailure()) {
                        break;
                    }
                    continue;
                }
                stack.push_back({ entry.path, entry.remove, true });
                for (auto name = names->rbegin(); name != names->rend(); ++name) {
                    stack.push_back({ afcJoinPath(entry.path, *name), true, false });
                }
                continue;
            }
        }
        if (entry.remove && !m_afc.unlink(entry.path) && noteFailure()) {
            break;
        }
    }
    if (failure.text) {
        fail(*failure.text);
        m_afc.m_lastStatus = failure.status;
        return false;
    }
    m_afc.clearLastError();
    return true;
}

bool AFCTreeOperations::checkNewPath(const std::string& path)
{
    if (!m_afc.checkConnection()) {
        return false;
    }
    const std::optional<bool> exists = m_afc.existsAtPath(path);
    if (!exists) {
        return false;
    }
    if (*exists) {
        return fail("Won't overwrite existing file");
    }
    return true;
}

bool AFCTreeOperations::copyData(std::string_view data, const std::string& path)
{
    if (!checkNewPath(path)) {
        return false;
    }
    if (data.empty()) {
        return fail("Can't open input file");
    }
    std::unique_ptr<AFCFileReference> file = m_afc.openForWrite(path);
    if (!file) {
        return false;
    }
    if (!file->writeNSData(data)) {
        return m_afc.failFromFile(*file, "Can't write output file");
    }
    return true;
}

bool AFCTreeOperations::createFakeFileAtPath(const std::string& path, std::uint64_t size)
{
    if (!checkNewPath(path)) {
        return false;
    }
    std::unique_ptr<AFCFileReference> file = m_afc.openForWrite(path);
    if (!file) {
        return false;
    }
    if (!file->setFileSize(size)) {
        m_afc.failFromFile(*file, "Can't set the file size");
        const std::optional<std::string> reason = m_afc.lasterror();
        const MDStatus status = m_afc.m_lastStatus;
        (void)file->closeFile();
        (void)m_afc.unlink(path); // the empty file we made is not what was asked for
        m_afc.setLastError(reason.value_or(""));
        m_afc.m_lastStatus = status;
        return false;
    }
    (void)file->closeFile(); // the result is that of setting the size
    return true;
}

bool AFCTreeOperations::fillDriveWithData(std::string_view data, const std::string& path)
{
    if (!m_afc.checkConnection()) {
        return false;
    }
    std::unique_ptr<AFCFileReference> file = m_afc.openForWrite(path);
    if (!file) {
        return false;
    }
    // Only a failed write ends the loop: that is how a full device shows itself.
    while (!data.empty()) {
        if (!file->writeNSData(data)) {
            logLine(LOG_DEVICE, "Failed to write data, bailing out");
            break;
        }
        logLine(LOG_DEVICE, "Wrote data");
    }
    (void)file->closeFile(); // filling succeeded once the file was open
    return true;
}

std::string AFCTreeOperations::partialPathFor(const std::string& remotePath)
{
    const std::string name = afcLastPathComponent(remotePath);
    std::string directory = remotePath.substr(0, remotePath.size() - std::min(remotePath.size(), name.size()));
    while (directory.size() > 1 && directory.ends_with('/')) {
        directory.pop_back();
    }
    return afcJoinPath(directory.empty() ? "/" : directory, "." + name + ".torvane-partial");
}

bool AFCTreeOperations::checkFreeSpaceFor(std::uint64_t bytes)
{
    const std::optional<PlistDictionary> info = m_afc.deviceInfo();
    if (!info) {
        // A connection that cannot answer this cannot take the file either; a device that merely
        // does not report its figures gets the chance to.
        return !AFCDirectoryAccess::isConnectionFailure(m_afc.m_lastStatus) && m_afc.isOpen();
    }
    const auto found = info->find("FSFreeBytes");
    if (found == info->end() || !found->second.toInt64()) {
        return true;
    }
    const std::int64_t free = *found->second.toInt64();
    if (free >= 0 && bytes > static_cast<std::uint64_t>(free)) {
        fail(stringWithFormat("Not enough free space on the device: %llu bytes needed, %lld free",
            static_cast<unsigned long long>(bytes), static_cast<long long>(free)));
        m_afc.m_lastStatus = AFCStatus::NoSpaceLeft;
        return false;
    }
    return true;
}

bool AFCTreeOperations::copyLocalFileToRemoteFile(
    const std::string& localPath, const std::string& remotePath, bool overwrite)
{
    if (overwrite ? !m_afc.checkConnection() : !checkNewPath(remotePath)) {
        return false;
    }
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer for ever.
    LocalFile local(::open(localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!local.isOpen()) {
        return fail(std::string("Can't open input file: ") + std::strerror(errno));
    }
    struct stat localInfo;
    if (::fstat(local.fd(), &localInfo) != 0 || !S_ISREG(localInfo.st_mode)) {
        return fail("Can't open input file: not a regular file");
    }
    if (!checkFreeSpaceFor(static_cast<std::uint64_t>(localInfo.st_size))) {
        return false;
    }
    PlistDictionary info {
        { "Source", PlistValue(localPath) },
        { "Target", PlistValue(remotePath) },
        { "Size", PlistValue(static_cast<std::int64_t>(localInfo.st_size)) },
    };
    NotificationCenter& center = NotificationCenter::defaultCenter();
    center.postNotification(AFC_FILE_COPY_BEGIN, &m_afc, info);

    // Written beside the target and renamed into place when complete: an interrupted upload never
    // leaves a truncated file under the name the user asked for.
    const std::string partial = partialPathFor(remotePath);
    std::unique_ptr<AFCFileReference> file = m_afc.openForWrite(partial);
    if (!file) {
        return false;
    }
    // "Done" is 64-bit: a 32-bit count would turn negative past 2 GiB.
    std::int64_t done = 0;
    char buffer[COPY_CHUNK_SIZE];
    bool failed = false;
    for (;;) {
        info["Done"] = PlistValue(done);
        center.postNotification(AFC_FILE_COPY_PROGRESS, &m_afc, info);
        const ssize_t count = readSome(local.fd(), buffer, sizeof buffer);
        if (count < 0) {
            fail(std::string("Can't read input file: ") + std::strerror(errno));
            failed = true;
            break;
        }
        if (count == 0) {
            break;
        }
        if (!file->writeN(static_cast<std::uint32_t>(count), buffer)) {
            m_afc.failFromFile(*file, "Can't write output file");
            failed = true;
            break;
        }
        done += count;
    }
    if (!file->closeFile() && !failed) {
        m_afc.failFromFile(*file, "Can't write output file");
        failed = true;
    }
    center.postNotification(AFC_FILE_COPY_DONE, &m_afc, info);
    if (!failed && !m_afc.rename(partial, remotePath)) {
        failed = true;
    }
    if (failed) {
        const std::optional<std::string> reason = m_afc.lasterror();
        const MDStatus status = m_afc.m_lastStatus;
        if (!AFCDirectoryAccess::isConnectionFailure(status) && m_afc.isOpen()) {
            (void)m_afc.unlink(partial); // nothing half written stays behind
        }
        m_afc.setLastError(reason.value_or("Can't write output file"));
        m_afc.m_lastStatus = status;
        return false;
    }
    return true;
}

bool AFCTreeOperations::copyLocalFileToRemoteDir(
    const std::string& localPath, const std::string& remoteDirectory, bool overwrite)
{
    m_skippedLocalPaths.clear();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> openDirectories;
    return copyLocalTree(localPath, remoteDirectory, overwrite, openDirectories);
}

bool AFCTreeOperations::copyLocalTree(const std::string& localPath,
    const std::string& remoteDirectory,
    bool overwrite,
    std::vector<std::pair<std::uint64_t, std::uint64_t>>& openDirectories)
{
    struct stat followed;
    if (::stat(localPath.c_str(), &followed) != 0) {
        return false; // missing, or a dangling link: no, with no message
    }
    const std::string target = afcJoinPath(remoteDirectory, afcLastPathComponent(localPath));

    if (S_ISDIR(followed.st_mode)) {
        // Links to directories are followed; one that leads back into a directory being copied
        // would copy forever, so it is refused.
        const std::pair<std::uint64_t, std::uint64_t> identity { followed.st_dev, followed.st_ino };
        if (std::find(openDirectories.begin(), openDirectories.end(), identity) != openDirectories.end()) {
            return fail("Directory loop at " + localPath);
        }
        if (!m_afc.mkdir(target)) {
            return false;
        }
        DIR* directory = ::opendir(localPath.c_str());
        if (!directory) {
            return fail("Can't open input file");
        }
        std::vector<std::string> entries;
        while (const dirent* entry = ::readdir(directory)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                entries.push_back(name);
            }
        }
        ::closedir(directory);

        openDirectories.push_back(identity);
        bool copied = true;
        for (const std::string& name : entries) {
            const std::string entryPath = afcJoinPath(localPath, name);
            struct stat entryInfo;
            if (::stat(entryPath.c_str(), &entryInfo) == 0 && !S_ISDIR(entryInfo.st_mode)
                && !S_ISREG(entryInfo.st_mode)) {
                // A FIFO, socket or device node has no contents to copy, and reading one could
                // wait for ever.
                logLine(LOG_DEVICE, "Skipped %s: not a regular file", entryPath.c_str());
                m_skippedLocalPaths.push_back(entryPath);
                continue;
            }
            if (!copyLocalTree(entryPath, target, overwrite, openDirectories)) {
                logLine(LOG_DEVICE, "failed on %s/%s: %s", localPath.c_str(), name.c_str(),
                    m_afc.lasterror().value_or("").c_str());
                copied = false;
                break;
            }
        }
        openDirectories.pop_back();
        return copied;
    }

    struct stat own;
    if (::lstat(localPath.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) {
        std::string text(static_cast<std::size_t>(own.st_size > 0 ? own.st_size : 4096) + 1, '\0');
        const ssize_t length = ::readlink(localPath.c_str(), text.data(), text.size());
        if (length < 0) {
            return fail("Can't open input file");
        }
        text.resize(static_cast<std::size_t>(length));
        return m_afc.symlink(target, text);
    }
    return copyLocalFileToRemoteFile(localPath, target, overwrite);
}

bool AFCTreeOperations::copyRemoteFile(const std::string& remotePath, const std::string& localPath)
{
    if (!m_afc.checkConnection()) {
        return false;
    }
    if (localPathExists(localPath)) {
        return fail("Won't overwrite existing file");
    }
    std::unique_ptr<AFCFileReference> file = m_afc.openForRead(remotePath);
    if (!file) {
        return false;
    }
    // O_EXCL | O_NOFOLLOW: never write through a name that appeared meanwhile or a link.
    LocalFile local(::open(localPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!local.isOpen()) {
        fail(std::string("Can't open output file: ") + std::strerror(errno));
        (void)file->closeFile();
        return false;
    }
    char buffer[COPY_CHUNK_SIZE];
    std::optional<std::string> failure;
    MDStatus failureStatus = AFCStatus::Success;
    for (;;) {
        const std::uint32_t count = file->readN(sizeof buffer, buffer);
        if (count == 0) {
            // The end of the file, or a failed read: only a failure sets the file's last error.
            if (file->lasterror()) {
                failure = file->lasterror();
                failureStatus = file->lastStatus();
            }
            break;
        }
        if (!writeAll(local.fd(), buffer, count)) {
            failure = "Can't write output file";
            break;
        }
    }
    if (!local.close() && !failure) {
        failure = "Can't write output file";
    }
    if (failure) {
        // A partial copy must not pass for the file: remove what we created.
        ::unlink(localPath.c_str());
        (void)file->closeFile();
        fail(*failure);
        m_afc.m_lastStatus = failureStatus;
        return false;
    }
    m_afc.clearLastError();
    (void)file->closeFile(); // everything was read; a failed close loses nothing
    return true;
}

std::optional<PlistValue> AFCTreeOperations::readPlistAtPath(const std::string& path)
{
    std::unique_ptr<AFCFileReference> file = m_afc.openForRead(path);
    if (!file) {
        logLine(LOG_DEVICE, "Error: %s", m_afc.lasterror().value_or("").c_str());
        return std::nullopt;
    }
    std::string document;
    char buffer[PLIST_CHUNK_SIZE];
    for (;;) {
        const std::uint32_t count = file->readN(sizeof buffer, buffer);
        if (count == 0) {
            break;
        }
        document.append(buffer, count);
        if (document.size() > PlistCodec::MAX_DOCUMENT_SIZE) {
            logLine(LOG_DEVICE, "Error: %s", "Property list is too large");
            return std::nullopt;
        }
    }
    if (file->lasterror()) {
        logLine(LOG_DEVICE, "Error: %s", file->lasterror()->c_str());
        return std::nullopt;
    }
    std::string parseError;
    std::optional<PlistValue> value = PlistCodec::fromAny(document, &parseError);
    if (!value) {
        logLine(LOG_DEVICE, "Error: %s", parseError.c_str());
        return std::nullopt;
    }
    return value;
}

bool AFCTreeOperations::writePlist(const PlistValue& value, const std::string& path)
{
    // Serialise before opening: opening for writing empties the file, and a value that cannot
    // be written must not cost the file that is there.
    const std::optional<std::string> document = PlistCodec::toXml(value);
    if (!document) {
        logLine(LOG_DEVICE, "Error: %s", "Can't convert value to XML");
        return false;
    }
    std::unique_ptr<AFCFileReference> file = m_afc.openForWrite(path);
    if (!file) {
        logLine(LOG_DEVICE, "Error: %s", m_afc.lasterror().value_or("").c_str());
        return false;
    }
    if (!file->writeNSData(*document)) {
        return m_afc.failFromFile(*file, "Can't write output file");
    }
    return true;
}
