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
    /// When the photo or video was taken (the copy's modification time), invalid when not known
    /// (no verified copy yet); `captureTimeSource` says where it came from: "EXIF",
    /// "movie header" or "phone file date".
    QDateTime captureTime;
    std::string captureTimeSource;
};

/// The audit log of the backups made into one folder ("backup-log.csv"), the record that lets a
/// user check that nothing was lost: one CSV line per file, appended and flushed to the disk as
/// each file finishes, never rewritten. Text from the phone is quoted, and a cell that a
/// spreadsheet would run as a formula is made inert. Thread-safe.
///
/// Columns are only ever added at the end, so a reader that takes cells by position keeps
/// working. A log begun before the capture-time columns existed keeps the seven columns its
/// header names: its lines are written without the new cells rather than under a header that
/// does not name them.
class ICBackupLog
{
public:
    static constexpr const char* FILE_NAME = "backup-log.csv";
    static constexpr const char* HEADER
        = "time,device,device path,local path,size,sha256,outcome,capture time,capture time source";
    /// The header of logs written before the capture-time columns.
    static constexpr const char* SEVEN_COLUMN_HEADER = "time,device,device path,local path,size,sha256,outcome";

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
    /// The line for `entry`; `sevenColumns` leaves out the capture-time cells.
    static std::string lineFor(const ICBackupLogEntry& entry, bool sevenColumns = false);
    /// A capture time as its cell shows it: ISO 8601 with the offset it was read with, "Z" for
    /// UTC; a time of the computer's zone with that zone's offset at that moment.
    static std::string timeCell(const QDateTime& time);
    /// True when the log continues one that has only the seven original columns.
    bool sevenColumns() const { return m_sevenColumns; }

private:
    bool writeAll(const std::string& text);

    std::mutex m_mutex;
    std::string m_path;
    int m_file { -1 };
    bool m_sevenColumns { false };
    std::string m_error;
};
