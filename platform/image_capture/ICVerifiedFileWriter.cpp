#include "platform/image_capture/ICVerifiedFileWriter.h"

#include "platform/image_capture/ICFileNames.h"

#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string errorText(int error)
{
    return std::strerror(error);
}

/// renameat2(RENAME_NOREPLACE), falling back to link + unlink where the file system lacks it.
/// Both refuse an existing target with EEXIST.
int renameWithoutReplacing(int directory, const std::string& from, const std::string& to)
{
    if (::renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return errno;
    }
    if (::linkat(directory, from.c_str(), directory, to.c_str(), 0) != 0) {
        return errno;
    }
    ::unlinkat(directory, from.c_str(), 0);
    return 0;
}

std::mutex& hookMutex()
{
    static std::mutex mutex;
    return mutex;
}

ICVerifiedFileWriter::RereadHook& rereadHook()
{
    static ICVerifiedFileWriter::RereadHook hook;
    return hook;
}

} // namespace

void ICVerifiedFileWriter::setBeforeRereadHook(RereadHook hook)
{
    std::lock_guard lock(hookMutex());
    rereadHook() = std::move(hook);
}

void ICVerifiedFileWriter::removeAbandonedFiles(const std::string& folder)
{
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) {
        return;
    }
    const int listing = ::dup(directory);
    DIR* entries = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!entries) {
        if (listing >= 0) {
            ::close(listing);
        }
        ::close(directory);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(entries)) {
        const std::string name = entry->d_name;
        if (name.starts_with(TEMPORARY_PREFIX)) {
            names.push_back(name);
        }
    }
    ::closedir(entries);
    for (const std::string& name : names) {
        // A live writer holds its file's lock while it writes; a killed one let go of it.
        const int file = ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (file < 0) {
            continue;
        }
        struct stat info
        {
        };
        if (::fstat(file, &info) == 0 && S_ISREG(info.st_mode) && ::flock(file, LOCK_EX | LOCK_NB) == 0) {
            ::unlinkat(directory, name.c_str(), 0);
        }
        ::close(file);
    }
    ::close(directory);
}

ICVerifiedFileWriter::~ICVerifiedFileWriter()
{
    abandon();
}

bool ICVerifiedFileWriter::failWith(const std::string& what, int error)
{
    m_error = what + ": " + errorText(error);
    return false;
}

bool ICVerifiedFileWriter::begin(const std::string& folder)
{
    abandon();
    m_folder = folder;
    m_written = 0;
    m_modificationTime.reset();
    m_hash.reset();
    m_error.clear();
    // A backup folder replaced by a symbolic link would send the copies somewhere else.
    m_directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_directory < 0) {
        return failWith("Cannot open the backup folder " + folder, errno);
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "%016llx",
            static_cast<unsigned long long>(QRandomGenerator::global()->generate64()));
        const std::string name = std::string(TEMPORARY_PREFIX) + suffix;
        // Read access too: readWritten() maps what was written.
        m_file = ::openat(m_directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (m_file >= 0) {
            m_temporaryName = name;
            // Tells removeAbandonedFiles() that someone is still working on this file.
            (void)::flock(m_file, LOCK_EX | LOCK_NB);
            return true;
        }
        if (errno != EEXIST) {
            return failWith("Cannot create a file in " + folder, errno);
        }
    }
    m_error = "Cannot find a free temporary name in " + folder;
    return false;
}

bool ICVerifiedFileWriter::append(std::string_view bytes)
{
    if (m_file < 0) {
        m_error = "No file is being written";
        return false;
    }
    m_hash.addData(bytes);
    while (!bytes.empty()) {
        const ssize_t written = ::write(m_file, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failWith("Cannot write " + m_folder + "/" + m_temporaryName, errno);
        }
        if (written == 0) {
            return failWith("Cannot write " + m_folder + "/" + m_temporaryName, ENOSPC);
        }
        bytes.remove_prefix(std::size_t(written));
        m_written += std::uint64_t(written);
    }
    return true;
}

std::optional<std::pair<std::string, std::uint64_t>> ICVerifiedFileWriter::hashFile(
    int directory, const std::string& name, bool dropCache)
{
    const int file = ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0) {
        return std::nullopt;
    }
    struct stat info
    {
    };
    if (::fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(file);
        return std::nullopt;
    }
    if (dropCache) {
        (void)::posix_fadvise(file, 0, 0, POSIX_FADV_DONTNEED);
    }
    ICSha256 hash;
    std::uint64_t size = 0;
    std::string buffer(1 << 20, '\0');
    for (;;) {
        const ssize_t got = ::read(file, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ::close(file);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        hash.addData(std::string_view(buffer.data(), std::size_t(got)));
        size += std::uint64_t(got);
    }
    ::close(file);
    return std::make_pair(hash.hexResult(), size);
}

std::optional<ICPlacedFile> ICVerifiedFileWriter::finish(const std::string& name, std::uint64_t expectedSize)
{
    if (m_file < 0) {
        m_error = "No file is being written";
        return std::nullopt;
    }
    if (name != ICFileNames::sanitizedFileName(name)) {
        m_error = "Refusing an unsafe file name";
        abandon();
        return std::nullopt;
    }
    const std::string received = m_hash.hexResult();
    if (m_written != expectedSize) {
        m_error = "Received " + std::to_string(m_written) + " bytes of " + std::to_string(expectedSize);
        abandon();
        return std::nullopt;
    }
    if (m_modificationTime) {
        const std::int64_t msecs = *m_modificationTime;
        const timespec times[2] = { { 0, UTIME_OMIT },
            { time_t(msecs / 1000 - (msecs % 1000 < 0 ? 1 : 0)), long((msecs % 1000 + 1000) % 1000) * 1'000'000 } };
        // A date the file system cannot hold (FAT before 1980, say) is not a reason to distrust
        // the copy: it keeps the time of writing.
        (void)::futimens(m_file, times);
    }
    if (::fsync(m_file) != 0) {
        failWith("Cannot flush the copy to the disk", errno);
        abandon();
        return std::nullopt;
    }
    const int closing = ::close(m_file);
    m_file = -1;
    if (closing != 0) {
        failWith("Cannot close the copy", errno);
        abandon();
        return std::nullopt;
    }
    RereadHook hook;
    {
        std::lock_guard lock(hookMutex());
        hook = rereadHook();
    }
    if (hook) {
        hook(m_folder + "/" + m_temporaryName);
    }
    const auto reread = hashFile(m_directory, m_temporaryName, true);
    if (!reread) {
        m_error = "Cannot read the copy back from the disk";
        abandon();
        return std::nullopt;
    }
    if (reread->second != expectedSize || reread->first != received) {
        m_error = "The copy on the disk differs from what the phone sent";
        abandon();
        return std::nullopt;
    }
    ICPlacedFile placed;
    placed.sha256 = received;
    placed.size = expectedSize;
    if (!placeUnderFreeName(name, placed)) {
        abandon();
        return std::nullopt;
    }
    if (::fsync(m_directory) != 0) {
        // The file is complete under its name; only its durability across a power cut is in
        // doubt, and that must not count as a safe backup.
        failWith("Cannot flush the backup folder", errno);
        return std::nullopt;
    }
    ::close(m_directory);
    m_directory = -1;
    return placed;
}

bool ICVerifiedFileWriter::placeUnderFreeName(const std::string& name, ICPlacedFile& placed)
{
    for (int number = 0; number < MAX_NUMBERED_NAMES; ++number) {
        const std::string candidate = ICFileNames::numberedFileName(name, number);
        const int error = renameWithoutReplacing(m_directory, m_temporaryName, candidate);
        if (error == 0) {
            m_temporaryName.clear();
            placed.path = m_folder + "/" + candidate;
            return true;
        }
        if (error != EEXIST) {
            return failWith("Cannot name the copy " + candidate, error);
        }
        // Taken. The same bytes under that name are an earlier, interrupted backup of this file.
        const auto existing = hashFile(m_directory, candidate, false);
        if (existing && existing->second == placed.size && existing->first == placed.sha256) {
            ::unlinkat(m_directory, m_temporaryName.c_str(), 0);
            m_temporaryName.clear();
            placed.path = m_folder + "/" + candidate;
            placed.alreadyPresent = true;
            return true;
        }
    }
    m_error = "No free name for " + name;
    return false;
}

bool ICVerifiedFileWriter::readWritten(const std::function<void(std::string_view bytes)>& use) const
{
    if (m_file < 0) {
        return false;
    }
    if (m_written == 0) {
        use(std::string_view());
        return true;
    }
    void* mapped = ::mmap(nullptr, std::size_t(m_written), PROT_READ, MAP_SHARED, m_file, 0);
    if (mapped == MAP_FAILED) {
        return false;
    }
    use(std::string_view(static_cast<const char*>(mapped), std::size_t(m_written)));
    ::munmap(mapped, std::size_t(m_written));
    return true;
}

void ICVerifiedFileWriter::abandon()
{
    if (m_file >= 0) {
        ::close(m_file);
        m_file = -1;
    }
    if (m_directory >= 0) {
        if (!m_temporaryName.empty()) {
            ::unlinkat(m_directory, m_temporaryName.c_str(), 0);
            m_temporaryName.clear();
        }
        ::close(m_directory);
        m_directory = -1;
    }
}
