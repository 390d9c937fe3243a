#include "platform/track_deleter/TrackDeleter.h"

#include "base/Log.h"
#include "base/PlistValue.h"
#include "db/FMDatabase.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCTreeOperations.h"
#include "device/AMDevice.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <chrono>
#include <map>
#include <set>

namespace {

QString text(const std::string& value)
{
    return QString::fromStdString(value);
}

std::string local(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

/// A name safe as one folder name: no separators or control characters, never "." or "..".
QString folderNameFor(const QString& name)
{
    QString result;
    for (const QChar c : name) {
        result += (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            ? QLatin1Char('_')
            : c;
    }
    result = result.trimmed();
    if (result.isEmpty() || result == QLatin1String(".") || result == QLatin1String("..")) {
        result = QStringLiteral("Device");
    }
    return result.left(80);
}

/// Makes `path` and its missing parents, each new one readable by the user alone.
bool makePrivatePath(const QString& path)
{
    if (!QDir().mkpath(path)) {
        return false;
    }
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void makeFilePrivate(const QString& path)
{
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

std::optional<std::int64_t> remoteSize(AFCDirectoryAccess& media, const std::string& path)
{
    const auto info = media.getFileInfo(path);
    if (!info) {
        return std::nullopt;
    }
    const auto size = info->find("st_size");
    return size == info->end() ? std::nullopt : size->second.toInt64();
}

/// Uploads `localPath` to `remotePath` and checks the device holds all of it.
bool upload(AFCDirectoryAccess& media, const QString& localPath, const std::string& remotePath, std::string& error)
{
    if (!AFCTreeOperations(media).copyLocalFileToRemoteFile(local(localPath), remotePath, true)) {
        error = media.lasterror().value_or("the copy failed");
        return false;
    }
    const auto size = remoteSize(media, remotePath);
    if (!size || *size != QFileInfo(localPath).size()) {
        error = "the copy on the device is incomplete";
        return false;
    }
    return true;
}

/// Removes a device file; a file that is not there counts as removed.
bool removeIfPresent(AFCDirectoryAccess& media, const std::string& path)
{
    if (media.unlink(path)) {
        return true;
    }
    return media.lastStatus() == AFCStatus::ObjectNotFound;
}

/// A mark that tells this run's temporary names from those of any other.
std::string runMark()
{
    return stringWithFormat("%016llx", static_cast<unsigned long long>(QRandomGenerator::global()->generate64()));
}

/// Removes what interrupted runs left beside the library: uploads under our names (any run's, and
/// the fixed names of earlier versions) and their hidden partial files. Only called while holding
/// the lock, so no other run is using them.
void removeLeftoverUploads(AFCDirectoryAccess& media, const std::string& folder)
{
    const auto names = media.directoryContents(folder);
    if (!names) {
        return;
    }
    const std::string library = TrackDeleter::LIBRARY_NAME;
    for (const std::string& name : *names) {
        std::string_view rest(name);
        if (rest.starts_with('.')) {
            rest.remove_prefix(1);
        }
        if (name.find('/') != std::string::npos || !rest.starts_with(library)) {
            continue;
        }
        rest.remove_prefix(library.size());
        if (rest.starts_with(".torvane-new") || rest.starts_with(".torvane-original")) {
            logLine(LOG_PLATFORM, "Removing %s, left by an interrupted run", name.c_str());
            (void)removeIfPresent(media, folder + name);
        }
    }
}

/// Removes the unfinished backups interrupted runs left in `folder` (hidden, never dated).
void removePartialBackups(const QString& folder)
{
    const QStringList leftovers = QDir(folder).entryList(
        { QLatin1String(TrackDeleter::PARTIAL_BACKUP_PREFIX) + QLatin1Char('*') }, QDir::Dirs | QDir::Hidden);
    for (const QString& name : leftovers) {
        QDir(folder + QLatin1Char('/') + name).removeRecursively();
    }
}

struct PendingRemoval
{
    std::int64_t pid { 0 };
    std::string path;
};

/// `text` with control characters and bytes outside ASCII as \xNN, for a log line.
std::string printable(const std::string& text)
{
    std::string result;
    for (const char c : text.substr(0, 300)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '\\') {
            result += stringWithFormat("\\x%02X", byte);
        } else {
            result += c;
        }
    }
    return result;
}

struct PendingList
{
    std::vector<PendingRemoval> entries;
    /// Entries that were not files of the music folder, or not entries at all; never acted on.
    int ignored { 0 };
};

/// The files an earlier run noted for deletion. The list lives on the phone, where anything may
/// have changed it, so only paths a row of the library could have named are taken; the rest is
/// logged and dropped.
PendingList readPending(AFCDirectoryAccess& media, const std::string& path)
{
    PendingList result;
    if (!media.fileExistsAtPath(path)) {
        return result;
    }
    const auto document = AFCTreeOperations(media).readPlistAtPath(path);
    const PlistArray* entries = document ? document->asArray() : nullptr;
    if (!entries) {
        logLine(LOG_PLATFORM, "Ignoring %s: it is not a list", path.c_str());
        result.ignored = 1;
        return result;
    }
    for (const PlistValue& entry : *entries) {
        const PlistValue* pid = entry.find("pid");
        const PlistValue* file = entry.find("path");
        if (!pid || !pid->toInt64() || !file || !file->asString()) {
            logLine(LOG_PLATFORM, "Ignoring an entry of %s without a song id and path", path.c_str());
            ++result.ignored;
            continue;
        }
        const auto confined = MediaLibraryEdit::pendingMediaPath(*file->asString());
        if (!confined) {
            logLine(LOG_PLATFORM, "Ignoring a file to delete outside %s: %s", MEDIA_LIBRARY_MUSIC_FOLDER,
                printable(*file->asString()).c_str());
            ++result.ignored;
            continue;
        }
        result.entries.push_back({ *pid->toInt64(), *confined });
    }
    return result;
}

bool writePending(AFCDirectoryAccess& media, const std::string& path, const std::vector<PendingRemoval>& entries)
{
    if (entries.empty()) {
        return removeIfPresent(media, path);
    }
    PlistArray array;
    for (const auto& entry : entries) {
        array.emplace_back(PlistDictionary {
            { "pid", PlistValue(static_cast<long long>(entry.pid)) }, { "path", PlistValue(entry.path) } });
    }
    return AFCTreeOperations(media).writePlist(PlistValue(std::move(array)), path);
}

} // namespace

TrackDeleter::TrackDeleter()
    : m_backupRoot(defaultBackupRoot())
{
}

TrackDeleter::~TrackDeleter() = default;

QString TrackDeleter::defaultBackupRoot()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Torvane/Music Library Backups");
}

void TrackDeleter::abort()
{
    m_aborted = true;
    // A wait for the phone's lock is a reply that has not come: closing its connection ends it
    // now (the lock, not yet held, goes with the connection, and nothing has changed).
    std::lock_guard lock(m_lockWaitMutex);
    if (m_lockWait) {
        m_lockWait->close();
    }
}

void TrackDeleter::pass(Step step)
{
    if (m_stepObserver) {
        m_stepObserver(step);
    }
}

int TrackDeleter::deleteTracks(const std::vector<MediaLibraryTrack>& tracks, const std::shared_ptr<AMDevice>& device)
{
    m_lastError.clear();
    m_backupFolder.clear();
    m_removedFileBytes = 0;
    m_filesLeft.clear();
    if (tracks.empty()) {
        return NothingDeleted;
    }
    if (m_aborted) {
        return Cancelled;
    }
    // A device that detached has forgotten its reference: there is nothing to talk to.
    if (!device || !device->device()) {
        return NoDevice;
    }
    pass(Step::FoundDevice);
    m_deviceChanged = false;
    m_stagingFolder.clear();
    const int removed = runOn(*device, tracks);
    if (!m_stagingFolder.isEmpty()) {
        // A backup that was never checked must not look like one.
        QDir(m_stagingFolder).removeRecursively();
        QDir().rmdir(QFileInfo(m_stagingFolder).path()); // the device's folder, when it is empty
        m_stagingFolder.clear();
    }
    if (!m_deviceChanged && !m_backupFolder.isEmpty()) {
        // Nothing on the phone changed: a backup of this run would only pile up.
        QDir(m_backupFolder).removeRecursively();
        QDir().rmdir(QFileInfo(m_backupFolder).path()); // the device's folder, when it is empty
        m_backupFolder.clear();
    }
    return removed;
}

int TrackDeleter::runOn(AMDevice& device, const std::vector<MediaLibraryTrack>& tracks)
{
    const std::string folder = LIBRARY_FOLDER;
    const std::string library = folder + LIBRARY_NAME;
    const std::string wal = library + "-wal";
    const std::string shm = library + "-shm";
    const std::string mark = runMark();
    const std::string uploadPath = library + UPLOAD_SUFFIX + mark;
    const std::string originalPath = library + ORIGINAL_SUFFIX + mark;
    const std::string pendingPath = folder + PENDING_NAME;

    const auto fail = [this](const QString& message, const std::string& detail) {
        m_lastError = detail.empty() ? message : message + QStringLiteral(" (") + text(detail) + QStringLiteral(")");
        logLine(LOG_PLATFORM, "Track deletion failed: %s", m_lastError.toUtf8().constData());
        return int(Failed);
    };
    const QString unchanged = QStringLiteral(" Nothing was removed; the library on the device is unchanged.");

    const std::unique_ptr<AFCMediaDirectory> media = device.newAFCMediaDirectory();
    if (!media) {
        return fail(QStringLiteral("Torvane could not open the media folder of the device.") + unchanged,
            device.lasterror().value_or(""));
    }
    if (m_aborted) {
        return Cancelled;
    }
    if (!media->fileExistsAtPath(library)) {
        logLine(LOG_PLATFORM, "No music library found!");
        return TracksNotFound;
    }

    // One writer per phone, from whatever process or computer: the phone's own lock on a file of
    // ours, held by this connection until the run ends (or the connection drops).
    const std::unique_ptr<AFCFileReference> editLock = media->openForWrite(folder + LOCK_NAME);
    if (!editLock) {
        return fail(QStringLiteral("Torvane could not open its lock file on the device.") + unchanged,
            media->lasterror().value_or(""));
    }
    // A run that has just ended elsewhere may not have let go yet: a short, bounded wait on the
    // phone, which abort() cuts short. A time-out leaves the connection out of step, so nothing
    // more is sent on it.
    {
        std::lock_guard lock(m_lockWaitMutex);
        if (m_aborted) {
            return Cancelled;
        }
        m_lockWait = &media->inputStreamFromSocket();
    }
    const bool locked = editLock->lockExclusiveWaiting(m_lockWaitBound);
    {
        std::lock_guard lock(m_lockWaitMutex);
        m_lockWait = nullptr;
    }
    if (m_aborted) {
        logLine(LOG_PLATFORM, "Track deletion stopped %s the library's lock", locked ? "after taking" : "waiting for");
        return Cancelled;
    }
    if (!locked) {
        if (editLock->lastStatus() == AFCStatus::OpTimeout || editLock->lastStatus() == AFCStatus::OpWouldBlock) {
            m_lastError = QLatin1String(BUSY_TEXT)
                + QStringLiteral(" Nothing was changed; delete the songs again once it has finished.");
            logLine(LOG_PLATFORM, "Track deletion refused: another run holds the library's lock");
            return Failed;
        }
        return fail(QStringLiteral("Torvane could not lock the music library on the device.") + unchanged,
            editLock->lasterror().value_or(""));
    }
    removeLeftoverUploads(*media, folder);

    // An untouched copy of the library as it is on the device, kept for good. It is made in a
    // hidden folder and given its dated name only once complete and checked.
    const QString deviceFolder = folderNameFor(
        text(device.deviceName().value_or("Device")) + QStringLiteral(" ") + text(device.udid().value_or("")).left(12));
    const QString deviceBackups = m_backupRoot + QLatin1Char('/') + deviceFolder;
    const QString staging
        = deviceBackups + QLatin1Char('/') + QLatin1String(PARTIAL_BACKUP_PREFIX) + QString::fromStdString(mark);
    if (!makePrivatePath(m_backupRoot) || !makePrivatePath(deviceBackups)) {
        return fail(QStringLiteral("Torvane could not make a folder for the backup of the music library.") + unchanged,
            local(deviceBackups));
    }
    removePartialBackups(deviceBackups);
    m_stagingFolder = staging;
    if (!makePrivatePath(staging)) {
        return fail(QStringLiteral("Torvane could not make a folder for the backup of the music library.") + unchanged,
            local(staging));
    }
    const bool hasLog = media->fileExistsAtPath(wal);
    const QString backupLibrary = staging + QLatin1Char('/') + QLatin1String(LIBRARY_NAME);
    const QString backupLog = backupLibrary + QStringLiteral("-wal");
    const auto librarySize = remoteSize(*media, library);
    const auto walSize = hasLog ? remoteSize(*media, wal) : std::optional<std::int64_t>(0);
    if (!librarySize || !walSize || !AFCTreeOperations(*media).copyRemoteFile(library, local(backupLibrary))
        || (hasLog && !AFCTreeOperations(*media).copyRemoteFile(wal, local(backupLog)))) {
        return fail(QStringLiteral("Torvane could not copy the music library from the device.") + unchanged,
            media->lasterror().value_or(""));
    }
    if (QFileInfo(backupLibrary).size() != *librarySize || (hasLog && QFileInfo(backupLog).size() != *walSize)) {
        return fail(QStringLiteral("Torvane could not copy the music library from the device.") + unchanged,
            "the copy is incomplete");
    }
    makeFilePrivate(backupLibrary);
    if (hasLog) {
        makeFilePrivate(backupLog);
    }

    // Working copies in a private temporary folder: the original with its log folded in, and
    // the new library made from it.
    QTemporaryDir work;
    if (!work.isValid()) {
        return fail(QStringLiteral("Torvane could not make a temporary folder.") + unchanged, {});
    }
    const QString original = work.filePath(QStringLiteral("original/") + QLatin1String(LIBRARY_NAME));
    const QString edited = work.filePath(QStringLiteral("new/") + QLatin1String(LIBRARY_NAME));
    std::string error;
    if (!QDir().mkpath(work.filePath(QStringLiteral("original")))
        || !QDir().mkpath(work.filePath(QStringLiteral("new"))) || !QFile::copy(backupLibrary, original)
        || (hasLog && !QFile::copy(backupLog, original + QStringLiteral("-wal")))
        || !MediaLibraryEdit::checkpoint(local(original), error) || !QFile::copy(original, edited)) {
        return fail(QStringLiteral("Torvane could not read the copy of the music library.") + unchanged, error);
    }
    pass(Step::CopiedLibrary);
    if (m_aborted) {
        return Cancelled;
    }

    std::vector<MediaLibraryRow> rows;
    std::set<std::int64_t> finishedEarlier;
    std::vector<PendingRemoval> pending;
    {
        const auto database = FMDatabase::databaseWithPath(local(original));
        if (!database->open() || !MediaLibraryEdit::integrityCheck(*database, error)) {
            return fail(
                QStringLiteral("The music library on the device is damaged; Torvane leaves it alone.") + unchanged,
                error);
        }
        // The copy is whole and sound (the check ran on a copy of it): now it is a backup.
        const QString backupBase = deviceBackups + QLatin1Char('/')
            + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH.mm.ss"));
        QString backup = backupBase;
        for (int n = 2; QFileInfo::exists(backup); ++n) {
            backup = backupBase + QStringLiteral(" #") + QString::number(n);
        }
        if (!QDir().rename(staging, backup)) {
            return fail(
                QStringLiteral("Torvane could not keep the backup of the music library.") + unchanged, local(backup));
        }
        m_stagingFolder.clear();
        m_backupFolder = backup;
        const auto referenced = MediaLibraryEdit::referencedMediaPaths(*database, error);
        auto found = MediaLibraryEdit::findRows(*database, tracks, error);
        if (!referenced || !found) {
            return fail(QStringLiteral("Torvane could not read the music library.") + unchanged, error);
        }
        rows = std::move(*found);
        // Files an earlier run left behind once its library was in place: delete those no row
        // points to any more. Those still referenced belong to a run that never replaced the
        // library, and stay.
        const PendingList noted = readPending(*media, pendingPath);
        for (const auto& entry : noted.entries) {
            if (referenced->count(entry.path)) {
                continue;
            }
            if (removeIfPresent(*media, entry.path)) {
                finishedEarlier.insert(entry.pid);
            } else {
                pending.push_back(entry);
            }
        }
        m_deviceChanged = m_deviceChanged || !finishedEarlier.empty();
        if ((!finishedEarlier.empty() || noted.ignored > 0) && !writePending(*media, pendingPath, pending)) {
            logLine(LOG_PLATFORM, "Could not update %s", pendingPath.c_str());
        }
    }
    int finishedCount = 0;
    for (const auto& track : tracks) {
        finishedCount += track.pid && finishedEarlier.count(*track.pid) ? 1 : 0;
    }
    if (rows.empty()) {
        return finishedCount > 0 ? finishedCount : int(TracksNotFound);
    }

    std::vector<std::int64_t> pids;
    pids.reserve(rows.size());
    for (const auto& row : rows) {
        pids.push_back(row.pid);
    }
    {
        const auto database = FMDatabase::databaseWithPath(local(edited));
        if (!database->open() || !MediaLibraryEdit::deleteRows(*database, pids, error)
            || !MediaLibraryEdit::integrityCheck(*database, error)) {
            return fail(
                QStringLiteral("Torvane could not remove the songs from the music library.") + unchanged, error);
        }
    }
    if (!MediaLibraryEdit::checkpoint(local(edited), error)) {
        return fail(QStringLiteral("Torvane could not remove the songs from the music library.") + unchanged, error);
    }
    pass(Step::EditedLibrary);
    if (m_aborted) {
        return Cancelled;
    }

    // Both uploads under temporary names; the library itself is not touched yet.
    const auto removeUploads = [&] {
        (void)removeIfPresent(*media, uploadPath); // best effort: a leftover is removed by the next run
        (void)removeIfPresent(*media, originalPath);
    };
    const auto logSize = hasLog ? remoteSize(*media, wal) : std::optional<std::int64_t>();
    const bool foldLog = logSize.value_or(0) > 0;
    pass(Step::UploadingLibrary);
    if ((foldLog && !upload(*media, original, originalPath, error)) || !upload(*media, edited, uploadPath, error)) {
        removeUploads();
        return fail(
            QStringLiteral("Torvane could not copy the changed music library to the device.") + unchanged, error);
    }
    pass(Step::UploadedLibrary);
    if (m_aborted) {
        removeUploads();
        return Cancelled;
    }
    // From here on the phone may change; the backup stays whatever happens.
    m_deviceChanged = true;
    std::vector<PendingRemoval> noted = pending;
    for (const auto& row : rows) {
        noted.push_back({ row.pid, row.mediaPath });
    }
    if (!writePending(*media, pendingPath, noted)) {
        removeUploads();
        return fail(QStringLiteral("Torvane could not write to the music folder of the device.") + unchanged,
            media->lasterror().value_or(""));
    }

    // Replacing. A stale write-ahead log must never meet the new library: the phone would replay
    // the old pages over it. So when there is a log, the original with the log folded in goes in
    // first (the same library, the log's pages already in it), then the log goes, then the new
    // library; each state between the steps is the original library or the new one.
    pass(Step::ReplacingLibrary);
    const auto failReplacing = [&](const QString& message) {
        const std::string detail = media->lasterror().value_or("");
        if (!media->fileExistsAtPath(library)) {
            // Should a rename have lost the library, the original goes back from the backup.
            std::string restoreError;
            const bool restored
                = upload(*media, original, originalPath, restoreError) && media->rename(originalPath, library);
            logLine(LOG_PLATFORM, "Restoring the music library from the backup %s", restored ? "succeeded" : "failed");
        }
        removeUploads();
        (void)writePending(*media, pendingPath, pending);
        return fail(message + unchanged, detail);
    };
    if (foldLog) {
        if (!media->rename(originalPath, library)) {
            return failReplacing(QStringLiteral("Torvane could not replace the music library on the device."));
        }
        if (!removeIfPresent(*media, wal)) {
            return failReplacing(QStringLiteral("Torvane could not replace the music library on the device."));
        }
        pass(Step::FoldedLog);
    }
    (void)removeIfPresent(*media, shm); // the phone rebuilds a missing index; a stale one is reset too
    if (!media->rename(uploadPath, library)) {
        return failReplacing(QStringLiteral("Torvane could not replace the music library on the device."));
    }
    if (!foldLog && hasLog && !removeIfPresent(*media, wal)) {
        // An empty log holds no pages; leaving it is harmless.
        logLine(LOG_PLATFORM, "Could not remove the empty write-ahead log");
    }
    pass(Step::ReplacedLibrary);

    // The rows are gone; their files follow, abort or not.
    pass(Step::DeletingFiles);
    std::vector<PendingRemoval> left = pending;
    for (const auto& row : rows) {
        if (removeIfPresent(*media, row.mediaPath)) {
            m_removedFileBytes += row.fileSize;
        } else {
            m_filesLeft.push_back(row.mediaPath);
            left.push_back({ row.pid, row.mediaPath });
        }
    }
    if (!writePending(*media, pendingPath, left)) {
        logLine(LOG_PLATFORM, "Could not update %s", pendingPath.c_str());
    }
    pass(Step::Finished);
    const int removed = int(rows.size()) + finishedCount;
    if (!m_filesLeft.empty()) {
        m_lastError = QStringLiteral("%1 songs were removed from the library on the device, but %2 of their files "
                                     "could not be deleted. Connect the device and delete the songs again to finish.")
                          .arg(removed)
                          .arg(m_filesLeft.size());
        logLine(LOG_PLATFORM, "Track deletion left %zu files", m_filesLeft.size());
        return Failed;
    }
    return removed;
}
