#include "sim/content/ContentWriter.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    {
    }
    ~FileDescriptor()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

bool writeAll(int fd, std::string_view bytes, std::int64_t offset)
{
    while (!bytes.empty()) {
        const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(std::size_t(written));
        offset += written;
    }
    return true;
}

} // namespace

ContentWriter::ContentWriter(std::filesystem::path deviceRoot, bool sparse)
    : m_root(std::move(deviceRoot))
    , m_sparse(sparse)
{
}

std::filesystem::path ContentWriter::hostPath(std::string_view devicePath) const
{
    while (!devicePath.empty() && devicePath.front() == '/') {
        devicePath.remove_prefix(1);
    }
    return m_root / std::filesystem::path(devicePath);
}

bool ContentWriter::fail(const std::string& text)
{
    m_error = text;
    return false;
}

bool ContentWriter::makeDirectory(std::string_view devicePath)
{
    std::error_code ec;
    std::filesystem::create_directories(hostPath(devicePath), ec);
    if (ec) {
        return fail("cannot create " + std::string(devicePath) + ": " + ec.message());
    }
    return true;
}

bool ContentWriter::writeFile(std::string_view devicePath, std::string_view bytes)
{
    return writeSized(devicePath, bytes, std::int64_t(bytes.size()));
}

bool ContentWriter::writeSized(
    std::string_view devicePath, std::string_view head, std::int64_t logicalSize, std::string_view tail)
{
    const std::filesystem::path path = hostPath(devicePath);
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) {
        return fail("cannot create folder for " + std::string(devicePath) + ": " + ec.message());
    }
    logicalSize = std::max<std::int64_t>(logicalSize, std::int64_t(head.size() + tail.size()));
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        return fail("cannot create " + std::string(devicePath) + ": " + std::strerror(errno));
    }
    bool ok = writeAll(fd.get(), head, 0);
    if (ok && !m_sparse) {
        static const std::string zeros(1 << 20, '\0');
        std::int64_t offset = std::int64_t(head.size());
        const std::int64_t end = logicalSize - std::int64_t(tail.size());
        while (ok && offset < end) {
            const auto chunk = std::min<std::int64_t>(end - offset, std::int64_t(zeros.size()));
            ok = writeAll(fd.get(), std::string_view(zeros.data(), std::size_t(chunk)), offset);
            offset += chunk;
        }
    }
    if (ok) {
        ok = writeAll(fd.get(), tail, logicalSize - std::int64_t(tail.size()));
    }
    if (ok) {
        ok = ::ftruncate(fd.get(), logicalSize) == 0;
    }
    if (!ok || !fd.close()) {
        return fail("cannot write " + std::string(devicePath) + ": " + std::strerror(errno));
    }
    m_bytesWritten += logicalSize;
    return true;
}

bool ContentWriter::setTimes(std::string_view devicePath, std::int64_t modified, std::int64_t birth)
{
    const std::filesystem::path path = hostPath(devicePath);
    struct timespec times[2];
    times[0].tv_sec = modified;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        return fail("cannot set times of " + std::string(devicePath) + ": " + std::strerror(errno));
    }
    std::string normalized(devicePath);
    if (normalized.empty() || normalized.front() != '/') {
        normalized.insert(normalized.begin(), '/');
    }
    m_birthTimes.push_back({ std::move(normalized), birth });
    return true;
}
