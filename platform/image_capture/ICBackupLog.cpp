#include "platform/image_capture/ICBackupLog.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ICBackupLog::ICBackupLog(const std::string& folder)
    : m_path(folder + "/" + FILE_NAME)
{
    // Relative to the folder itself, opened without following a link: the log is written where
    // the copies go, or not at all.
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) {
        m_error = "Cannot open " + folder + ": " + std::strerror(errno);
        return;
    }
    m_file = ::openat(directory, FILE_NAME, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    const int openError = errno;
    ::close(directory);
    if (m_file < 0) {
        errno = openError;
        m_error = "Cannot open " + m_path + ": " + std::strerror(errno);
        return;
    }
    struct stat info
    {
    };
    if (::fstat(m_file, &info) == 0 && info.st_size == 0) {
        if (!writeAll(std::string(HEADER) + "\n")) {
            ::close(m_file);
            m_file = -1;
        }
        return;
    }
    // An older log goes on in the shape its header names.
    const std::string older = std::string(SEVEN_COLUMN_HEADER) + "\n";
    std::string first(older.size(), '\0');
    const ssize_t got = ::pread(m_file, first.data(), first.size(), 0);
    m_sevenColumns = got == ssize_t(first.size()) && first == older;
}

ICBackupLog::~ICBackupLog()
{
    if (m_file >= 0) {
        ::close(m_file);
    }
}

std::string ICBackupLog::csvCell(const std::string& text)
{
    std::string cell = text;
    if (!cell.empty() && (cell[0] == '=' || cell[0] == '+' || cell[0] == '-' || cell[0] == '@')) {
        cell.insert(cell.begin(), '\'');
    }
    if (cell.find_first_of(",\"\r\n") == std::string::npos) {
        return cell;
    }
    std::string quoted = "\"";
    for (const char c : cell) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string ICBackupLog::timeCell(const QDateTime& time)
{
    if (!time.isValid()) {
        return {};
    }
    if (time.timeSpec() == Qt::UTC) {
        return time.toString(Qt::ISODate).toStdString();
    }
    // Local times print without their offset; name it, so the cell is one moment.
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate).toStdString();
}

std::string ICBackupLog::lineFor(const ICBackupLogEntry& entry, bool sevenColumns)
{
    std::string line = entry.time.toUTC().toString(Qt::ISODate).toStdString();
    for (const std::string* cell : { &entry.device, &entry.devicePath, &entry.localPath }) {
        line += ',' + csvCell(*cell);
    }
    line += ',' + std::to_string(entry.size);
    line += ',' + csvCell(entry.sha256);
    line += ',' + csvCell(entry.outcome);
    if (!sevenColumns) {
        line += ',' + csvCell(timeCell(entry.captureTime));
        line += ',' + csvCell(entry.captureTime.isValid() ? entry.captureTimeSource : std::string());
    }
    line += '\n';
    return line;
}

bool ICBackupLog::append(const ICBackupLogEntry& entry)
{
    const std::string line = lineFor(entry, m_sevenColumns);
    std::lock_guard lock(m_mutex);
    if (m_file < 0) {
        return false;
    }
    return writeAll(line) && ::fdatasync(m_file) == 0;
}

bool ICBackupLog::writeAll(const std::string& text)
{
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t written = ::write(m_file, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            m_error = "Cannot write " + m_path + ": " + std::strerror(written < 0 ? errno : ENOSPC);
            return false;
        }
        rest.remove_prefix(std::size_t(written));
    }
    return true;
}
