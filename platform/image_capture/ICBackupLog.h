#pragma once

#include <QDateTime>

#include <cstdint>
#include <mutex>
#include <string>

/// One line of the audit log: what happened to one file of the phone.
struct ICBackupLogEntry
{
    QDateTime time;
    std::string device; // the phone's name
    std::string devicePath; // where the file was on the phone
    std::string localPath; // where its copy is, or empty
    std::uint64_t size { 0 };
    std::string sha256; // of the verified copy, or empty
    std::string outcome; // "removed from the phone", "verified", or "error: ..."
};

/// The audit log of the backups made into one folder ("backup-log.csv"), the record that lets a
/// user check that nothing was lost: one CSV line per file, appended and flushed to the disk as
/// each file finishes, never rewritten. Text from the phone is quoted, and a cell that a
/// spreadsheet would run as a formula is made inert. Thread-safe.
class ICBackupLog
{
public:
    static constexpr const char* FILE_NAME = "backup-log.csv";
    static constexpr const char* HEADER = "time,device,device path,local path,size,sha256,outcome";

    /// The log in `folder` (which must exist and not be a symbolic link). Opens or creates the
    /// file, writing the header into a new one. Check isOpen().
    explicit ICBackupLog(const std::string& folder);
    ~ICBackupLog();
    ICBackupLog(const ICBackupLog&) = delete;
    ICBackupLog& operator=(const ICBackupLog&) = delete;

    bool isOpen() const { return m_file >= 0; }
    const std::string& path() const { return m_path; }
    const std::string& error() const { return m_error; }

    /// Appends one line and flushes it. False when it could not be written.
    bool append(const ICBackupLogEntry& entry);

    /// One CSV cell: quoted when it holds a comma, quote or line break; a leading "=", "+", "-"
    /// or "@" is preceded by "'" so spreadsheets show it as text.
    static std::string csvCell(const std::string& text);
    static std::string lineFor(const ICBackupLogEntry& entry);

private:
    bool writeAll(const std::string& text);

    std::mutex m_mutex;
    std::string m_path;
    int m_file { -1 };
    std::string m_error;
};
