#pragma once

#include "platform/track_deleter/MediaLibraryEdit.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class AMDevice;
class AFCDirectoryAccess;
class AMServiceConnection;

/// Removes songs and podcasts from a device's media library over AFC, standing in for the desktop
/// music application that manages a phone elsewhere.
///
/// One run, on the device object it is handed (the module's own, whose lock the caller holds):
/// take the phone's lock on our lock file beside the
/// library (a second run is refused and changes nothing); copy the library database and its
/// write-ahead log into a private folder, keeping an untouched, checked backup of both in the
/// application's data folder;
/// fold the log into the copy and remove the tracks' rows there in one transaction; upload the
/// result under a temporary name and, only once it is complete, rename it over the library; then
/// delete the tracks' media files. The phone's library is at every moment either the original or
/// the new one: see deleteTracks().
///
/// Media files still to delete are noted on the device first, so a run cut short after the
/// library changed (the phone unplugged) is finished by the next run.
///
/// deleteTracks() blocks; call it on a work queue, holding the device lock. abort() may be called
/// from any thread.
class TrackDeleter
{
public:
    /// Result numbers of deleteTracks() below 1.
    enum Result : int {
        NothingDeleted = 0,
        NoDevice = -1,
        TracksNotFound = -3,
        Cancelled = -4,
        /// The deletion failed; lastError() says why and whether the library was left unchanged.
        Failed = -5,
    };

    /// Points in a run, for progress and for tests that cut a run short at an exact place.
    enum class Step {
        FoundDevice,
        CopiedLibrary,
        EditedLibrary,
        UploadingLibrary,
        UploadedLibrary,
        ReplacingLibrary,
        /// The original with its log folded in is in place and the log is gone (only when the
        /// library had a log).
        FoldedLog,
        ReplacedLibrary,
        DeletingFiles,
        Finished,
    };

    TrackDeleter();
    ~TrackDeleter();
    TrackDeleter(const TrackDeleter&) = delete;
    TrackDeleter& operator=(const TrackDeleter&) = delete;

    /// Removes `tracks` from `device`. Answers how many were removed (1 or more, tracks a
    /// cut-short earlier run removed included), or a Result: NoDevice when there is no device or
    /// it has gone, TracksNotFound when the library or none of the tracks is there, Cancelled when
    /// abort() came before anything changed on the device, Failed otherwise.
    int deleteTracks(const std::vector<MediaLibraryTrack>& tracks, const std::shared_ptr<AMDevice>& device);
    /// Stops a run at its next step, and a wait for another run's lock at once. Once the library
    /// has been replaced, the run still deletes the files its removed rows pointed to. Any thread.
    void abort();
    bool aborted() const { return m_aborted; }

    /// Why the last run failed (Failed), in words for the user.
    const QString& lastError() const { return m_lastError; }
    /// The folder holding the last run's backup of the library; empty when the run changed nothing
    /// on the device (its backup is not kept then).
    const QString& backupFolder() const { return m_backupFolder; }
    /// Media files the last run removed, and those it could not.
    std::int64_t removedFileBytes() const { return m_removedFileBytes; }
    const std::vector<std::string>& filesLeft() const { return m_filesLeft; }

    /// Where backups go: one folder per device below it, one per run below that. The default is
    /// defaultBackupRoot().
    void setBackupRoot(const QString& folder) { m_backupRoot = folder; }
    const QString& backupRoot() const { return m_backupRoot; }
    /// "<data folder>/Torvane/Music Library Backups", e.g. ~/.local/share/Torvane/Music Library Backups.
    static QString defaultBackupRoot();
    /// How long a run waits for another run's lock before it says the library is busy (the phone
    /// may end the wait sooner). LOCK_WAIT unless set.
    void setLockWait(std::chrono::milliseconds bound) { m_lockWaitBound = bound; }
    /// Called on the deleting thread as a run passes each step.
    void setStepObserver(std::function<void(Step)> observer) { m_stepObserver = std::move(observer); }

    /// Device paths of the library and of the files a run keeps beside it.
    static constexpr const char* LIBRARY_FOLDER = "/iTunes_Control/iTunes/";
    static constexpr const char* LIBRARY_NAME = "MediaLibrary.sqlitedb";
    /// The uploads' names: the library's name, one of these and a mark of the run.
    static constexpr const char* UPLOAD_SUFFIX = ".torvane-new-";
    static constexpr const char* ORIGINAL_SUFFIX = ".torvane-original-";
    static constexpr const char* PENDING_NAME = "Torvane-PendingRemovals.plist";
    /// How long a run waits, by default, for another one's lock on the library before it gives
    /// up; the phone holds the request until the lock is free, so nothing looks again and again.
    static constexpr std::chrono::seconds LOCK_WAIT { 3 };
    /// The file whose exclusive lock on the phone a run holds from start to end, so that one run
    /// at a time, from any process or computer, changes the library.
    static constexpr const char* LOCK_NAME = "Torvane-Library.lock";
    /// A backup being made is in a hidden folder of this prefix beside the finished ones, and
    /// gets its dated name only once checked; a run removes those an interrupted one left.
    static constexpr const char* PARTIAL_BACKUP_PREFIX = ".torvane-partial-";
    /// The text of lastError() when another run holds the lock (the start of it).
    static constexpr const char* BUSY_TEXT = "Another Torvane run is changing the music library on this device.";

private:
    int runOn(AMDevice& device, const std::vector<MediaLibraryTrack>& tracks);
    void pass(Step step);

    QString m_backupRoot;
    std::function<void(Step)> m_stepObserver;

    std::atomic<bool> m_aborted { false };
    std::chrono::milliseconds m_lockWaitBound { LOCK_WAIT };
    /// The connection of a wait for the phone's lock under way, which abort() closes.
    std::mutex m_lockWaitMutex;
    AMServiceConnection* m_lockWait { nullptr };

    QString m_lastError;
    QString m_backupFolder;
    /// The hidden folder of a backup not yet checked; removed when the run ends.
    QString m_stagingFolder;
    bool m_deviceChanged { false };
    std::int64_t m_removedFileBytes { 0 };
    std::vector<std::string> m_filesLeft;
};
