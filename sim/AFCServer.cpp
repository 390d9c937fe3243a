#include "sim/AFCServer.h"

#include "base/Log.h"
#include "sim/ServiceCatalog.h"
#include "sim/SimDevice.h"
#include "sim/SimStream.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr char AFC_MAGIC[8] = { 'C', 'F', 'A', '6', 'L', 'P', 'A', 'A' };
constexpr std::uint64_t AFC_HEADER_SIZE = 40;
constexpr std::size_t MAX_OPEN_FILES = 256;
constexpr std::uint64_t MAX_READ = 16ULL * 1024 * 1024;
constexpr int MAX_LINK_HOPS = 32;

enum AfcOperation : std::uint64_t {
    OpStatus = 0x01,
    OpData = 0x02,
    OpReadDir = 0x03,
    OpTruncate = 0x07,
    OpRemovePath = 0x08,
    OpMakeDir = 0x09,
    OpGetFileInfo = 0x0A,
    OpGetDevInfo = 0x0B,
    OpFileOpen = 0x0D,
    OpFileOpenResult = 0x0E,
    OpFileRead = 0x0F,
    OpFileWrite = 0x10,
    OpFileSeek = 0x11,
    OpFileTell = 0x12,
    OpFileTellResult = 0x13,
    OpFileClose = 0x14,
    OpFileSetSize = 0x15,
    OpRenamePath = 0x18,
    OpFileLock = 0x1B,
    OpMakeLink = 0x1C,
    OpSetFileModTime = 0x1E,
    OpRemovePathAndContents = 0x22,
};

void appendLe64(std::string& out, std::uint64_t value)
{
    for (int shift = 0; shift < 64; shift += 8) {
        out.push_back(char((value >> shift) & 0xFF));
    }
}

std::uint64_t readLe64(const char* bytes)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | std::uint8_t(bytes[i]);
    }
    return value;
}

std::string joinComponents(const std::vector<std::string>& parts)
{
    std::string out;
    for (const std::string& part : parts) {
        out += "/" + part;
    }
    return out;
}

/// Splits a device path into clean components; ".." at the top stays at the top.
std::vector<std::string> splitPath(const std::string& path)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    return parts;
}

/// A path inside the service's area, checked component by component.
struct Resolved
{
    AfcStatus status { AfcStatus::Success };
    std::vector<std::string> parts; // below the area root
    fs::path host;
    std::string device; // full device path, for birth times
    bool exists { false };
    struct stat info
    {
    };
};

/// Every lock release in the daemon: a file closed (its locks go with it, also when a connection
/// ends) or unlocked. A blocking lock waits for this instead of blocking its thread in flock(), so
/// that its wait has a bound and also ends when its own connection does: each waiter has an
/// eventfd that every release signals, polled together with its connection.
struct LockReleases
{
    std::mutex mutex;
    std::map<int, const SimDevice*> waiters; // eventfd -> the device whose client waits

    static LockReleases& shared()
    {
        static LockReleases releases;
        return releases;
    }

    void announce()
    {
        std::lock_guard lock(mutex);
        for (const auto& [fd, device] : waiters) {
            (void)::eventfd_write(fd, 1);
        }
    }

    int waitingOn(const SimDevice& device)
    {
        std::lock_guard lock(mutex);
        return int(std::count_if(
            waiters.begin(), waiters.end(), [&](const auto& waiter) { return waiter.second == &device; }));
    }
};

/// One blocking lock request's registration with LockReleases, for as long as it waits.
class LockWaiter
{
public:
    explicit LockWaiter(const SimDevice& device)
        : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (m_fd >= 0) {
            std::lock_guard lock(LockReleases::shared().mutex);
            LockReleases::shared().waiters.emplace(m_fd, &device);
        }
    }
    ~LockWaiter()
    {
        if (m_fd >= 0) {
            {
                std::lock_guard lock(LockReleases::shared().mutex);
                LockReleases::shared().waiters.erase(m_fd);
            }
            ::close(m_fd);
        }
    }
    LockWaiter(const LockWaiter&) = delete;
    LockWaiter& operator=(const LockWaiter&) = delete;

    int fd() const { return m_fd; }
    void drain() const
    {
        eventfd_t ignored = 0;
        (void)::eventfd_read(m_fd, &ignored);
    }

private:
    int m_fd;
};

class AfcSession
{
public:
    AfcSession(SimDevice& device, SimStream& stream, const std::string& areaPath, std::string onlyTopFolder)
        : m_device(device)
        , m_stream(stream)
        , m_areaParts(splitPath(areaPath))
        , m_areaHost(device.hostPath(areaPath))
        , m_onlyTopFolder(std::move(onlyTopFolder))
    {
    }

    ~AfcSession()
    {
        for (const auto& [handle, file] : m_files) {
            ::close(file.fd);
        }
        if (!m_files.empty()) {
            LockReleases::shared().announce();
        }
        m_device.flush();
    }

    void run()
    {
        std::error_code ignored;
        fs::create_directories(m_areaHost, ignored);
        for (;;) {
            char header[AFC_HEADER_SIZE];
            if (!m_stream.readExact(header, sizeof header)) {
                return;
            }
            if (std::memcmp(header, AFC_MAGIC, sizeof AFC_MAGIC) != 0) {
                logLine(LOG_SIM, "AFC packet with a bad magic; closing");
                return;
            }
            const std::uint64_t entire = readLe64(header + 8);
            const std::uint64_t thisLength = readLe64(header + 16);
            m_packet = readLe64(header + 24);
            const std::uint64_t operation = readLe64(header + 32);
            if (entire < AFC_HEADER_SIZE || entire - AFC_HEADER_SIZE > AFC_MAX_PAYLOAD) {
                logLine(LOG_SIM, "AFC packet of %llu bytes refused; closing", static_cast<unsigned long long>(entire));
                return;
            }
            // Grow the buffer with the bytes that really arrive: a header that only claims a large
            // packet costs nothing.
            std::string payload;
            const std::uint64_t wanted = entire - AFC_HEADER_SIZE;
            while (payload.size() < wanted) {
                const std::size_t piece = std::size_t(std::min<std::uint64_t>(wanted - payload.size(), 1024 * 1024));
                const std::size_t start = payload.size();
                payload.resize(start + piece);
                if (!m_stream.readExact(payload.data() + start, piece)) {
                    return;
                }
            }
            bool sent = false;
            if (thisLength < AFC_HEADER_SIZE || thisLength > entire) {
                sent = sendStatus(AfcStatus::OpHeaderInvalid);
            } else {
                const auto faults = m_device.faults().snapshot();
                const auto injected = faults.afcStatus.find(operation);
                m_cutReply = faults.afcCutReply.count(operation) > 0;
                sent = injected != faults.afcStatus.end() ? sendStatus(AfcStatus(injected->second))
                                                          : dispatch(operation, payload);
            }
            if (!sent) {
                return;
            }
        }
    }

private:
    struct OpenFile
    {
        int fd;
        std::string device;
    };

    bool sendPacket(std::uint64_t operation, const std::string& payload, std::uint64_t thisLength)
    {
        std::string packet(AFC_MAGIC, sizeof AFC_MAGIC);
        appendLe64(packet, AFC_HEADER_SIZE + payload.size());
        appendLe64(packet, thisLength);
        appendLe64(packet, m_packet);
        appendLe64(packet, operation);
        packet += payload;
        if (m_cutReply) {
            // Done, but the answer breaks off: half a reply, then the connection closes.
            (void)m_stream.writeAll(packet.data(), packet.size() / 2);
            return false;
        }
        return m_stream.writeAll(packet.data(), packet.size());
    }

    bool sendValue(std::uint64_t operation, std::uint64_t value)
    {
        std::string payload;
        appendLe64(payload, value);
        return sendPacket(operation, payload, AFC_HEADER_SIZE + 8);
    }

    bool sendStatus(AfcStatus status) { return sendValue(OpStatus, std::uint64_t(status)); }

    bool sendData(const std::string& data) { return sendPacket(OpData, data, AFC_HEADER_SIZE); }

    static AfcStatus statusForErrno(int error)
    {
        switch (error) {
        case ENOENT:
        case ENOTDIR:
            return AfcStatus::ObjectNotFound;
        case EISDIR:
            return AfcStatus::ObjectIsDirectory;
        case EEXIST:
            return AfcStatus::ObjectExists;
        case ENOTEMPTY:
            return AfcStatus::UnknownError;
        case EACCES:
        case EPERM:
        case EXDEV:
            return AfcStatus::PermissionDenied;
        case ENOSPC:
            return AfcStatus::NoSpaceLeft;
        case EINVAL:
        case EBADF:
            return AfcStatus::InvalidArgument;
        case EWOULDBLOCK:
            return AfcStatus::WouldBlock;
        case EMFILE:
        case ENFILE:
            return AfcStatus::NoResources;
        default:
            return AfcStatus::IoError;
        }
    }

    fs::path hostFor(const std::vector<std::string>& parts) const
    {
        fs::path host = m_areaHost;
        for (const std::string& part : parts) {
            host /= part;
        }
        return host;
    }

    std::string deviceFor(const std::vector<std::string>& parts) const
    {
        std::vector<std::string> all = m_areaParts;
        all.insert(all.end(), parts.begin(), parts.end());
        return all.empty() ? std::string("/") : joinComponents(all);
    }

    /// Resolves a client path. Symbolic links in the middle are always followed, the last one only
    /// when `followLast`; a link that leads outside the area gives PermissionDenied.
    Resolved resolve(const std::string& clientPath, bool followLast) const
    {
        Resolved result;
        std::vector<std::string> pending = splitPath(clientPath);
        std::reverse(pending.begin(), pending.end()); // a stack: back() is the next component
        int hops = 0;
        while (!pending.empty()) {
            std::string part = pending.back();
            pending.pop_back();
            if (part == "..") { // only from link targets
                if (result.parts.empty()) {
                    result.status = AfcStatus::PermissionDenied;
                    return result;
                }
                result.parts.pop_back();
                continue;
            }
            result.parts.push_back(part);
            struct stat info
            {
            };
            if (::lstat(hostFor(result.parts).c_str(), &info) != 0) {
                // Missing: the rest cannot hold links; keep the lexical remainder.
                while (!pending.empty()) {
                    if (pending.back() == "..") {
                        result.parts.pop_back();
                    } else {
                        result.parts.push_back(pending.back());
                    }
                    pending.pop_back();
                    if (result.parts.empty()) {
                        result.status = AfcStatus::PermissionDenied;
                        return result;
                    }
                }
                break;
            }
            if (!S_ISLNK(info.st_mode) || (pending.empty() && !followLast)) {
                continue;
            }
            if (++hops > MAX_LINK_HOPS) {
                result.status = AfcStatus::ObjectNotFound;
                return result;
            }
            char target[4096];
            const ssize_t length = ::readlink(hostFor(result.parts).c_str(), target, sizeof target - 1);
            if (length <= 0) {
                result.status = AfcStatus::ObjectNotFound;
                return result;
            }
            const std::string text(target, std::size_t(length));
            result.parts.pop_back();
            std::vector<std::string> replacement;
            if (text[0] == '/') {
                // An absolute target is a device path; /var is /private/var on the phone.
                std::vector<std::string> absolute = splitPath(text);
                if (!absolute.empty() && absolute[0] == "var") {
                    absolute.insert(absolute.begin(), "private");
                }
                if (absolute.size() < m_areaParts.size()
                    || !std::equal(m_areaParts.begin(), m_areaParts.end(), absolute.begin())) {
                    result.status = AfcStatus::PermissionDenied;
                    return result;
                }
                result.parts.clear();
                replacement.assign(absolute.begin() + std::ptrdiff_t(m_areaParts.size()), absolute.end());
            } else {
                std::size_t start = 0;
                while (start <= text.size()) {
                    std::size_t end = text.find('/', start);
                    if (end == std::string::npos) {
                        end = text.size();
                    }
                    const std::string piece = text.substr(start, end - start);
                    if (!piece.empty() && piece != ".") {
                        replacement.push_back(piece);
                    }
                    start = end + 1;
                }
            }
            for (auto it = replacement.rbegin(); it != replacement.rend(); ++it) {
                pending.push_back(*it);
            }
        }
        if (!m_onlyTopFolder.empty() && !result.parts.empty() && result.parts.front() != m_onlyTopFolder) {
            result.status = AfcStatus::PermissionDenied;
            return result;
        }
        result.host = hostFor(result.parts);
        result.device = deviceFor(result.parts);
        result.exists = ::lstat(result.host.c_str(), &result.info) == 0;
        return result;
    }

    bool parentIsDirectory(const Resolved& path) const
    {
        struct stat info
        {
        };
        return ::stat(path.host.parent_path().c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }

    // Payload readers: a short payload is an invalid argument, never a read past the end.
    static bool u64At(const std::string& payload, std::size_t offset, std::uint64_t& out)
    {
        if (payload.size() < offset + 8) {
            return false;
        }
        out = readLe64(payload.data() + offset);
        return true;
    }

    static std::string stringAt(const std::string& payload, std::size_t offset, std::size_t* next = nullptr)
    {
        if (offset >= payload.size()) {
            if (next) {
                *next = payload.size();
            }
            return {};
        }
        const std::size_t end = payload.find('\0', offset);
        const std::size_t stop = end == std::string::npos ? payload.size() : end;
        if (next) {
            *next = stop + 1;
        }
        return payload.substr(offset, stop - offset);
    }

    bool dispatch(std::uint64_t operation, const std::string& payload)
    {
        switch (operation) {
        case OpReadDir:
            return readDirectory(stringAt(payload, 0));
        case OpGetFileInfo:
            return fileInfo(stringAt(payload, 0));
        case OpGetDevInfo:
            return deviceInfo();
        case OpMakeDir:
            return makeDirectory(stringAt(payload, 0));
        case OpRemovePath:
            return removePath(stringAt(payload, 0), false);
        case OpRemovePathAndContents:
            return removePath(stringAt(payload, 0), true);
        case OpRenamePath: {
            std::size_t next = 0;
            const std::string from = stringAt(payload, 0, &next);
            return renamePath(from, stringAt(payload, next));
        }
        case OpTruncate: {
            std::uint64_t size = 0;
            if (!u64At(payload, 0, size)) {
                return sendStatus(AfcStatus::InvalidArgument);
            }
            return truncatePath(stringAt(payload, 8), size);
        }
        case OpFileOpen: {
            std::uint64_t mode = 0;
            if (!u64At(payload, 0, mode)) {
                return sendStatus(AfcStatus::InvalidArgument);
            }
            return openFile(stringAt(payload, 8), mode);
        }
        case OpSetFileModTime: {
            std::uint64_t time = 0;
            if (!u64At(payload, 0, time)) {
                return sendStatus(AfcStatus::InvalidArgument);
            }
            return setModificationTime(stringAt(payload, 8), time);
        }
        case OpMakeLink: {
            std::uint64_t type = 0;
            if (!u64At(payload, 0, type)) {
                return sendStatus(AfcStatus::InvalidArgument);
            }
            std::size_t next = 0;
            const std::string target = stringAt(payload, 8, &next);
            return makeLink(type, target, stringAt(payload, next));
        }
        case OpFileRead:
        case OpFileWrite:
        case OpFileSeek:
        case OpFileTell:
        case OpFileClose:
        case OpFileSetSize:
        case OpFileLock:
            return fileOperation(operation, payload);
        default:
            return sendStatus(AfcStatus::UnknownPacketType);
        }
    }

    bool readDirectory(const std::string& path)
    {
        const Resolved target = resolve(path, true);
        if (target.status != AfcStatus::Success) {
            return sendStatus(target.status);
        }
        struct stat info
        {
        };
        if (::stat(target.host.c_str(), &info) != 0) {
            return sendStatus(AfcStatus::ObjectNotFound);
        }
        if (!S_ISDIR(info.st_mode)) {
            return sendStatus(AfcStatus::ReadError);
        }
        DIR* directory = ::opendir(target.host.c_str());
        if (!directory) {
            return sendStatus(statusForErrno(errno));
        }
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(directory)) {
            const std::string name = entry->d_name;
            const bool hidden = !m_onlyTopFolder.empty() && target.parts.empty() && name != m_onlyTopFolder;
            if (name != "." && name != ".." && !hidden) {
                names.push_back(name);
            }
        }
        ::closedir(directory);
        std::sort(names.begin(), names.end());
        std::string data(".\0..\0", 5);
        for (const std::string& name : names) {
            data += name;
            data.push_back('\0');
        }
        return sendData(data);
    }

    std::int64_t birthTime(const Resolved& target) const
    {
        if (const auto recorded = m_device.birthTimes().find(target.device)) {
            return *recorded;
        }
        struct statx extended
        {
        };
        if (::statx(AT_FDCWD, target.host.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &extended) == 0
            && (extended.stx_mask & STATX_BTIME)) {
            return std::int64_t(extended.stx_btime.tv_sec) * 1000000000 + extended.stx_btime.tv_nsec;
        }
        return std::int64_t(target.info.st_mtim.tv_sec) * 1000000000 + target.info.st_mtim.tv_nsec;
    }

    bool fileInfo(const std::string& path)
    {
        const Resolved target = resolve(path, false);
        if (target.status != AfcStatus::Success) {
            return sendStatus(target.status);
        }
        if (!target.exists) {
            return sendStatus(AfcStatus::ObjectNotFound);
        }
        const struct stat& info = target.info;
        std::uint64_t size = std::uint64_t(info.st_size);
        const char* kind = "S_IFREG";
        std::string linkTarget;
        if (S_ISDIR(info.st_mode)) {
            kind = "S_IFDIR";
            // HFS+ reports 34 bytes per entry, "." and ".." included.
            std::uint64_t entries = 2;
            std::error_code error;
            for (fs::directory_iterator it(target.host, error), end; !error && it != end; it.increment(error)) {
                ++entries;
            }
            size = entries * 34;
        } else if (S_ISLNK(info.st_mode)) {
            kind = "S_IFLNK";
            char buffer[4096];
            const ssize_t length = ::readlink(target.host.c_str(), buffer, sizeof buffer);
            if (length > 0) {
                linkTarget.assign(buffer, std::size_t(length));
            }
        } else if (S_ISCHR(info.st_mode)) {
            kind = "S_IFCHR";
        } else if (S_ISBLK(info.st_mode)) {
            kind = "S_IFBLK";
        } else if (S_ISFIFO(info.st_mode)) {
            kind = "S_IFIFO";
        } else if (S_ISSOCK(info.st_mode)) {
            kind = "S_IFSOCK";
        }
        const std::int64_t modified = std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        std::string data;
        const auto add = [&data](const std::string& key, const std::string& value) {
            data += key;
            data.push_back('\0');
            data += value;
            data.push_back('\0');
        };
        add("st_size", std::to_string(size));
        add("st_blocks", std::to_string(m_device.storage().allocationFor(info) / 512));
        add("st_nlink", std::to_string(info.st_nlink));
        add("st_ifmt", kind);
        add("st_mtime", std::to_string(modified));
        add("st_birthtime", std::to_string(birthTime(target)));
        if (S_ISLNK(info.st_mode)) {
            add("LinkTarget", linkTarget);
        }
        return sendData(data);
    }

    bool deviceInfo()
    {
        SimStorage& storage = m_device.storage();
        std::string data;
        const auto add = [&data](const std::string& key, const std::string& value) {
            data += key;
            data.push_back('\0');
            data += value;
            data.push_back('\0');
        };
        add("Model", m_device.profile().productType);
        add("FSTotalBytes", std::to_string(storage.totalBytes()));
        add("FSFreeBytes", std::to_string(storage.freeBytes()));
        add("FSBlockSize", std::to_string(storage.blockSize()));
        return sendData(data);
    }

    bool makeDirectory(const std::string& path)
    {
        std::lock_guard lock(m_device.storage().mutationMutex());
        const Resolved target = resolve(path, true);
        if (target.status != AfcStatus::Success) {
            return sendStatus(target.status);
        }
        // Like mkdir -p: every missing parent is made; an existing directory is fine.
        fs::path host = m_areaHost;
        for (const std::string& part : target.parts) {
            host /= part;
            struct stat info
            {
            };
            if (::lstat(host.c_str(), &info) == 0) {
                if (!S_ISDIR(info.st_mode)) {
                    return sendStatus(AfcStatus::ObjectExists);
                }
                continue;
            }
            if (::mkdir(host.c_str(), 0755) != 0 && errno != EEXIST) {
                return sendStatus(statusForErrno(errno));
            }
        }
        return sendStatus(AfcStatus::Success);
    }

    void forgetRemovedFile(const struct stat& info, const std::string& devicePath)
    {
        SimStorage& storage = m_device.storage();
        if (S_ISREG(info.st_mode) && info.st_nlink <= 1) {
            storage.recordChange(storage.allocationFor(info), 0);
            storage.forgetFile(info.st_ino);
        }
        m_device.birthTimes().removeTree(devicePath);
    }

    bool removePath(const std::string& path, bool recursive)
    {
        SimStorage& storage = m_device.storage();
        std::lock_guard lock(storage.mutationMutex());
        const Resolved target = resolve(path, false);
        if (target.status != AfcStatus::Success) {
            return sendStatus(target.status);
        }
        if (target.parts.empty()) {
            return sendStatus(AfcStatus::PermissionDenied); // the area's root stays
        }
        if (!target.exists) {
            return sendStatus(AfcStatus::ObjectNotFound);
        }
        if (!S_ISDIR(target.info.st_mode)) {
            if (::unlink(target.host.c_str()) != 0) {
                return sendStatus(statusForErrno(errno));
            }
            forgetRemovedFile(target.info, target.device);
            return sendStatus(AfcStatus::Success);
        }
        if (!recursive) {
            if (::rmdir(target.host.c_str()) != 0) {
                // A non-empty directory answers UNKNOWN_ERROR on real devices.
                return sendStatus(
                    errno == ENOTEMPTY || errno == EEXIST ? AfcStatus::UnknownError : statusForErrno(errno));
            }
            m_device.birthTimes().removeTree(target.device);
            return sendStatus(AfcStatus::Success);
        }
        // Walk the tree ourselves so every file's allocation is given back exactly.
        std::vector<fs::path> directories;
        std::error_code error;
        for (fs::recursive_directory_iterator it(target.host, fs::directory_options::none, error), end;
             !error && it != end; it.increment(error)) {
            struct stat info
            {
            };
            if (::lstat(it->path().c_str(), &info) != 0) {
                continue;
            }
            if (S_ISDIR(info.st_mode)) {
                directories.push_back(it->path());
            } else if (::unlink(it->path().c_str()) == 0 && S_ISREG(info.st_mode) && info.st_nlink <= 1) {
                storage.recordChange(storage.allocationFor(info), 0);
                storage.forgetFile(info.st_ino);
            }
        }
        std::sort(directories.rbegin(), directories.rend());
        for (const fs::path& directory : directories) {
            ::rmdir(directory.c_str());
        }
        m_device.birthTimes().removeTree(target.device);
        if (::rmdir(target.host.c_str()) != 0) {
            return sendStatus(statusForErrno(errno));
        }
        return sendStatus(AfcStatus::Success);
    }

    bool renamePath(const std::string& fromPath, const std::string& toPath)
    {
        SimStorage& storage = m_device.storage();
        std::lock_guard lock(storage.mutationMutex());
        const Resolved from = resolve(fromPath, false);
        const Resolved to = resolve(toPath, false);
        if (from.status != AfcStatus::Success || to.status != AfcStatus::Success) {
            return sendStatus(from.status != AfcStatus::Success ? from.status : to.status);
        }
        if (!from.exists) {
            return sendStatus(AfcStatus::ObjectNotFound);
        }
        if (from.parts.empty() || to.parts.empty()) {
            return sendStatus(AfcStatus::PermissionDenied);
        }
        if (from.host == to.host) {
            return sendStatus(AfcStatus::Success);
        }
        if (!parentIsDirectory(to)) {
            return sendStatus(AfcStatus::ObjectNotFound);
        }
        const struct stat replaced = to.info;
        if (::rename(from.host.c_str(), to.host.c_str()) != 0) {
            const int error = errno;
            return sendStatus(error == ENOTEMPTY || error == EEXIST ? AfcStatus::UnknownError : statusForErrno(error));
        }
        if (to.exists && !S_ISDIR(replaced.st_mode)) {
            forgetRemovedFile(replaced, to.device);
        } else {
            m_device.birthTimes().removeTree(to.device);
        }
        m_device.birthTimes().renameTree(from.device, to.device);
        return sendStatus(AfcStatus::Success);
    }

    /// Set-size, shared by TRUNCATE and FILE_SET_SIZE. Call with the mutation lock held.
    AfcStatus setSize(int fd, std::uint64_t newSize)
    {
        SimStorage& storage = m_device.storage();
        struct stat before
        {
        };
        if (::fstat(fd, &before) != 0) {
            return statusForErrno(errno);
        }
        if (S_ISDIR(before.st_mode)) {
            return AfcStatus::ObjectIsDirectory;
        }
        if (newSize > storage.totalBytes() || newSize > std::uint64_t(INT64_MAX)) {
            return AfcStatus::NoSpaceLeft;
        }
        const auto oldSize = std::uint64_t(before.st_size);
        const std::uint64_t free = storage.freeBytes();
        if (newSize > oldSize) {
            if (storage.isApfs()) {
                // APFS leaves a hole, but will not promise far more than it has.
                if (newSize - oldSize > free) {
                    return AfcStatus::NoSpaceLeft;
                }
            } else if (storage.roundUp(newSize) - storage.roundUp(oldSize) > free) {
                return AfcStatus::NoSpaceLeft; // HFS+ allocates every block now
            }
        }
        const std::uint64_t allocatedBefore = storage.allocationFor(before);
        if (::ftruncate(fd, off_t(newSize)) != 0) {
            return statusForErrno(errno);
        }
        if (newSize > oldSize && storage.isApfs()) {
            storage.markSparse(before.st_ino);
        }
        struct stat after
        {
        };
        if (::fstat(fd, &after) == 0) {
            storage.recordChange(allocatedBefore, storage.allocationFor(after));
        }
        return AfcStatus::Success;
    }

    bool truncatePath(const std::string& path, std::uint64_t size)
    {
        std::lock_guard lock(m_device.storage().mutationMutex());
        const Resolved target = resolve(path, true);
        if (target.status != AfcStatus::Success) {
            return sendStatus(target.status);
        }
        if (!target.exists) {
            return sendStatus(AfcStatus::ObjectNotFound);
        }
        if (S_ISDIR(target.info.st_mode)) {
            return sendStatus(AfcStatus::ObjectIsDirectory);
        }
        if (!S_ISREG(target.info.st_mode)) {
            return sendStatus(AfcStatus::PermissionDenied); // never block on a FIFO under the lock
        }
        const int fd = ::open(target.host.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            return sendStatus(statusForErrno(errno));
        }
        const AfcStatus status = setSize(fd, size);
        ::close(fd);
        return sendStatus(status);
    }

    bool openFile(const std::string& path, std::uint64_t mode)
    {
        static const std::map<std::uint64_t, int> FLAGS {
            { 1, O_RDONLY },
            { 2, O_RDWR | O_CREAT },
            { 3, O_WRONLY | O_CREAT | O_TRUNC },
            { 4, O_RDWR | O_CREAT | O_TRUNC },
            { 5, O_WRONLY | O_APPEND | O_CREAT },
            { 6, O_RDWR | O_APPEND | O_CREAT },
        };
        const auto flags = FLAGS.find(mode);
        if (flags == FLAGS.end()) {
            return sendStatus(AfcStatus::InvalidArgument);
        }
        if (m_files.size() >= MAX_OPEN_FILES) {
            return sendStatus(AfcStatus::NoResources);
        }
        SimStorage& storage = m_device.storage();
        std::lock_guard lock(storage.mutationMutex());
        const Resolved target = resolve(path, true);
        if (target.status != AfcStatus::Success) {
            return sendStatus(target.status);
        }
        if (target.parts.empty() || (target.exists && S_ISDIR(target.info.st_mode))) {
            // Observed: a read-only open of a folder gives UNKNOWN_ERROR, a writing one IS_DIR.
            return sendStatus(mode == 1 ? AfcStatus::UnknownError : AfcStatus::ObjectIsDirectory);
        }
        if (!target.exists && (mode == 1 || !parentIsDirectory(target))) {
            return sendStatus(AfcStatus::ObjectNotFound);
        }
        if (target.exists && !S_ISREG(target.info.st_mode)) {
            // A FIFO, socket or device node: a phone refuses them, and opening a FIFO would wait
            // for a writer while holding the storage lock, stopping every other request.
            return sendStatus(AfcStatus::PermissionDenied);
        }
        const std::uint64_t allocatedBefore = target.exists ? storage.allocationFor(target.info) : 0;
        // O_NONBLOCK as well: one created between the check and the open must not block either.
        const int fd = ::open(target.host.c_str(), flags->second | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd < 0) {
            return sendStatus(errno == ELOOP ? AfcStatus::ObjectNotFound : statusForErrno(errno));
        }
        (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        struct stat after
        {
        };
        if (::fstat(fd, &after) == 0 && S_ISREG(after.st_mode)) {
            if (target.exists && (flags->second & O_TRUNC)) {
                storage.recordChange(allocatedBefore, storage.allocationFor(after));
            }
        } else {
            ::close(fd);
            return sendStatus(AfcStatus::PermissionDenied); // devices, sockets and the like
        }
        const std::uint64_t handle = m_nextHandle++;
        m_files[handle] = OpenFile { fd, target.device };
        return sendValue(OpFileOpenResult, handle);
    }

    bool fileOperation(std::uint64_t operation, const std::string& payload)
    {
        std::uint64_t handle = 0;
        if (!u64At(payload, 0, handle)) {
            return sendStatus(AfcStatus::InvalidArgument);
        }
        const auto file = m_files.find(handle);
        if (file == m_files.end()) {
            return sendStatus(AfcStatus::InvalidArgument);
        }
        const int fd = file->second.fd;
        std::uint64_t first = 0;
        std::uint64_t second = 0;
        switch (operation) {
        case OpFileClose:
            ::close(fd);
            m_files.erase(file);
            LockReleases::shared().announce();
            return sendStatus(AfcStatus::Success);
        case OpFileTell: {
            const off_t position = ::lseek(fd, 0, SEEK_CUR);
            if (position < 0) {
                return sendStatus(statusForErrno(errno));
            }
            return sendValue(OpFileTellResult, std::uint64_t(position));
        }
        case OpFileSeek: {
            if (!u64At(payload, 8, first) || !u64At(payload, 16, second) || first > 2) {
                return sendStatus(AfcStatus::InvalidArgument);
            }
            const int whence = first == 0 ? SEEK_SET : (first == 1 ? SEEK_CUR : SEEK_END);
            if (::lseek(fd, off_t(std::int64_t(second)), whence) < 0) {
                return sendStatus(statusForErrno(errno));
            }
            return sendStatus(AfcStatus::Success);
        }
        case OpFileRead: {
            if (!u64At(payload, 8, first)) {
                return sendStatus(AfcStatus::InvalidArgument);
            }
            // A huge request gets what fits a bounded buffer, like a short read.
            std::string data(std::size_t(std::min(first, MAX_READ)), '\0');
            std::size_t done = 0;
            while (done < data.size()) {
                const ssize_t got = ::read(fd, data.data() + done, data.size() - done);
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got < 0) {
                    return sendStatus(statusForErrno(errno));
                }
                if (got == 0) {
                    break;
                }
                done += std::size_t(got);
            }
            data.resize(done);
            return sendData(data);
        }
        case OpFileWrite:
            return writeFile(fd, payload.substr(8));
        case OpFileSetSize: {
            if (!u64At(payload, 8, first)) {
                return sendStatus(AfcStatus::InvalidArgument);
            }
            std::lock_guard lock(m_device.storage().mutationMutex());
            return sendStatus(setSize(fd, first));
        }
        case OpFileLock: {
            if (!u64At(payload, 8, first)) {
                return sendStatus(AfcStatus::InvalidArgument);
            }
            // The wire values are flock's own (LOCK_SH 1, LOCK_EX 2, LOCK_NB 4, LOCK_UN 8). With
            // LOCK_NB a held lock answers "would block"; without, the request waits until the
            // holder lets go (closes, unlocks or disconnects), at most the lock wait.
            const std::uint64_t kind = first & ~std::uint64_t(LOCK_NB);
            if (kind != LOCK_SH && kind != LOCK_EX && kind != LOCK_UN) {
                return sendStatus(AfcStatus::InvalidArgument);
            }
            if (kind == LOCK_UN || (first & LOCK_NB) != 0) {
                if (::flock(fd, int(kind) | LOCK_NB) != 0) {
                    return sendStatus(statusForErrno(errno));
                }
                if (kind == LOCK_UN) {
                    LockReleases::shared().announce();
                }
                return sendStatus(AfcStatus::Success);
            }
            const std::optional<AfcStatus> status = waitForLock(fd, int(kind));
            return status && sendStatus(*status);
        }
        default:
            return sendStatus(AfcStatus::UnknownPacketType);
        }
    }

    /// Takes flock `kind` on `fd`, waiting for releases elsewhere in the daemon for at most the
    /// lock wait; "Timeout" when it ran out, nothing when the connection ended meanwhile (the
    /// client gave up, or the phone was detached), which ends the session at once.
    std::optional<AfcStatus> waitForLock(int fd, int kind)
    {
        const int waitMs = m_device.faults().snapshot().afcLockWaitMs.value_or(AFC_LOCK_WAIT_MS);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        // Registered before the first try: a release after a refused try is never missed.
        const LockWaiter waiter(m_device);
        if (waiter.fd() < 0) {
            return AfcStatus::NoResources;
        }
        for (;;) {
            if (::flock(fd, kind | LOCK_NB) == 0) {
                return AfcStatus::Success;
            }
            if (errno != EWOULDBLOCK) {
                return statusForErrno(errno);
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return AfcStatus::OpTimeout;
            }
            // Only the end of the connection is watched on it: a request sent meanwhile waits.
            pollfd fds[2] = { { waiter.fd(), POLLIN, 0 }, { m_stream.fd(), POLLRDHUP, 0 } };
            if (::poll(fds, 2, int(std::min<std::int64_t>(left.count(), INT_MAX))) < 0 && errno != EINTR) {
                return statusForErrno(errno);
            }
            if (fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) {
                logLine(LOG_SIM, "A waiting AFC lock ended with its connection");
                return std::nullopt;
            }
            if (fds[0].revents & POLLIN) {
                waiter.drain();
            }
        }
    }

    static bool isAllZero(const std::string& bytes)
    {
        // Compared with itself shifted by one byte: equal only when every byte equals the first.
        return !bytes.empty() && bytes.front() == '\0'
            && std::memcmp(bytes.data(), bytes.data() + 1, bytes.size() - 1) == 0;
    }

    bool writeFile(int fd, const std::string& bytes)
    {
        SimStorage& storage = m_device.storage();
        std::lock_guard lock(storage.mutationMutex());
        struct stat before
        {
        };
        if (::fstat(fd, &before) != 0) {
            return sendStatus(statusForErrno(errno));
        }
        const int flags = ::fcntl(fd, F_GETFL);
        if ((flags & O_ACCMODE) == O_RDONLY) {
            return sendStatus(AfcStatus::InvalidArgument);
        }
        const auto size = std::uint64_t(before.st_size);
        const std::uint64_t position
            = (flags & O_APPEND) ? size : std::uint64_t(std::max<off_t>(0, ::lseek(fd, 0, SEEK_CUR)));
        const std::uint64_t end = position + bytes.size();
        const std::uint64_t allocatedBefore = storage.allocationFor(before);
        // What the write may newly allocate: the growth of the file for a dense file, at most
        // the written blocks plus one for a sparse one.
        const std::uint64_t charged = allocatedBefore == storage.roundUp(size)
            ? storage.roundUp(std::max(end, size)) - storage.roundUp(size)
            : storage.roundUp(bytes.size()) + storage.blockSize();
        if (charged > 0 && !storage.canAllocate(charged)) {
            return sendStatus(AfcStatus::NoSpaceLeft);
        }
        std::size_t done = 0;
        if (isAllZero(bytes) && !storage.isSparse(before.st_ino)) {
            // Kept as a hole on the host, so filling a phone with zeros does not fill this disk;
            // the model still charges the file's whole size, and reading gives the same zeros.
            if ((end <= size || ::ftruncate(fd, off_t(end)) == 0) && ::lseek(fd, off_t(end), SEEK_SET) >= 0) {
                done = bytes.size();
            }
        }
        while (done < bytes.size()) {
            const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                break;
            }
            done += std::size_t(wrote);
        }
        struct stat after
        {
        };
        if (::fstat(fd, &after) == 0) {
            storage.recordChange(allocatedBefore, storage.allocationFor(after));
        }
        if (done < bytes.size()) {
            return sendStatus(errno == ENOSPC ? AfcStatus::NoSpaceLeft : AfcStatus::WriteError);
        }
        return sendStatus(AfcStatus::Success);
    }

    bool setModificationTime(const std::string& path, std::uint64_t nanoseconds)
    {
        std::lock_guard lock(m_device.storage().mutationMutex());
        const Resolved target = resolve(path, false);
        if (target.status != AfcStatus::Success) {
            return sendStatus(target.status);
        }
        if (!target.exists) {
            return sendStatus(AfcStatus::ObjectNotFound);
        }
        const struct timespec times[2] = {
            { 0, UTIME_OMIT },
            { time_t(nanoseconds / 1000000000), long(nanoseconds % 1000000000) },
        };
        if (::utimensat(AT_FDCWD, target.host.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
            return sendStatus(statusForErrno(errno));
        }
        return sendStatus(AfcStatus::Success);
    }

    bool makeLink(std::uint64_t type, const std::string& target, const std::string& linkPath)
    {
        if ((type != 1 && type != 2) || target.empty() || target.size() >= 1024) {
            return sendStatus(AfcStatus::InvalidArgument);
        }
        std::lock_guard lock(m_device.storage().mutationMutex());
        const Resolved link = resolve(linkPath, false);
        if (link.status != AfcStatus::Success) {
            return sendStatus(link.status);
        }
        if (link.parts.empty() || link.exists) {
            return sendStatus(AfcStatus::ObjectExists);
        }
        if (!parentIsDirectory(link)) {
            return sendStatus(AfcStatus::ObjectNotFound);
        }
        if (type == 2) {
            // The text is stored as given; following it later is checked against the area.
            if (::symlink(target.c_str(), link.host.c_str()) != 0) {
                return sendStatus(statusForErrno(errno));
            }
            return sendStatus(AfcStatus::Success);
        }
        const Resolved source = resolve(target, false);
        if (source.status != AfcStatus::Success) {
            return sendStatus(source.status);
        }
        if (!source.exists) {
            return sendStatus(AfcStatus::ObjectNotFound);
        }
        if (S_ISDIR(source.info.st_mode)) {
            return sendStatus(AfcStatus::PermissionDenied);
        }
        if (::link(source.host.c_str(), link.host.c_str()) != 0) {
            return sendStatus(statusForErrno(errno));
        }
        return sendStatus(AfcStatus::Success);
    }

    SimDevice& m_device;
    SimStream& m_stream;
    std::vector<std::string> m_areaParts;
    fs::path m_areaHost;
    std::string m_onlyTopFolder;
    std::uint64_t m_packet { 0 };
    std::map<std::uint64_t, OpenFile> m_files;
    bool m_cutReply { false };
    std::uint64_t m_nextHandle { 1 };
};

} // namespace

int afcLockWaiters(const SimDevice& device)
{
    return LockReleases::shared().waitingOn(device);
}

void serveAfc(SimDevice& device, SimStream& stream, const std::string& areaPath, const std::string& onlyTopFolder)
{
    AfcSession(device, stream, areaPath, onlyTopFolder).run();
}

void runAfcService(SimServiceContext& context)
{
    std::string area = SimDevice::MEDIA_PATH;
    if (context.serviceName == "com.apple.afc2") {
        area = "/";
    } else if (context.serviceName == "com.apple.crashreportcopymobile") {
        area = SimDevice::CRASH_REPORTER_PATH;
    }
    serveAfc(context.device, context.stream, area);
}

void runCrashReportMover(SimServiceContext& context)
{
    // Nothing is pending on a simulated phone, so the move is done at once.
    static const char PING[] = { 'p', 'i', 'n', 'g', '\0' };
    context.stream.writeAll(PING, sizeof PING);
}
