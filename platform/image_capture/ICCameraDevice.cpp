#include "platform/image_capture/ICCameraDevice.h"

#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AMDevice.h"
#include "platform/image_capture/ICBackupLog.h"
#include "platform/image_capture/ICCaptureTime.h"
#include "platform/image_capture/ICFileNames.h"
#include "platform/image_capture/ICMovieHeader.h"
#include "platform/image_capture/ICVerifiedFileWriter.h"

#include <QTimeZone>

#include <algorithm>
#include <chrono>
#include <set>

namespace {

constexpr const char* DCIM = "/DCIM";
constexpr std::size_t MAX_IDLE_CONNECTIONS = ICCameraDevice::MAX_CONCURRENT_DOWNLOADS;
/// The smallest read for the movie header walk: one read covers the first few top-level boxes.
constexpr std::uint32_t HEADER_READ_BYTES = 4096;
/// How long a run waits for another one's lock on the camera roll before it gives up; the phone
/// holds the request until the lock is free, so nothing here looks again and again.
constexpr std::chrono::seconds LOCK_WAIT { 3 };

void runOnMain(std::function<void()> function)
{
    RunLoop* loop = RunLoop::main();
    if (!loop) {
        function();
        return;
    }
    loop->post(std::move(function));
}

/// A name the phone listed that can stand for one entry of one folder.
bool isPlainEntryName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos
        && name.find('\0') == std::string::npos;
}

std::string reasonOf(const AMErrorState& state, const char* fallback)
{
    return state.lasterror().value_or(fallback);
}

/// The phone's own date for a file: its birth time, else its modification time.
QDateTime phoneFileDate(const PlistDictionary& info)
{
    for (const char* key : { "st_birthtime", "st_mtime" }) {
        const auto date = info.find(key);
        if (date != info.end() && date->second.toDate()) {
            return QDateTime::fromMSecsSinceEpoch(date->second.toDate()->microsecondsSince1970 / 1000, Qt::UTC);
        }
    }
    return {};
}

/// Random reads over an open device file with as few requests as possible: each miss reads at
/// least HEADER_READ_BYTES, and a seek is sent only when the position is not already right.
class DeviceRangeReader
{
public:
    DeviceRangeReader(AFCFileReference& file, std::atomic<std::uint64_t>& requests)
        : m_file(file)
        , m_requests(requests)
    {
    }

    std::optional<std::string> read(std::uint64_t offset, std::uint32_t length)
    {
        if (offset >= m_bufferStart && offset + length <= m_bufferStart + m_buffer.size()) {
            return m_buffer.substr(std::size_t(offset - m_bufferStart), length);
        }
        if (offset != m_position) {
            ++m_requests;
            if (!m_file.seek(std::int64_t(offset), AFCSeekOrigin::Start)) {
                return std::nullopt;
            }
            m_position = offset;
        }
        std::string buffer(std::max(length, HEADER_READ_BYTES), '\0');
        m_file.clearLastError();
        ++m_requests;
        const std::uint32_t got = m_file.readN(std::uint32_t(buffer.size()), buffer.data());
        if (got == 0 && m_file.lasterror()) {
            return std::nullopt;
        }
        buffer.resize(got);
        m_buffer = std::move(buffer);
        m_bufferStart = offset;
        m_position = offset + got;
        return m_buffer.substr(0, std::min<std::size_t>(length, m_buffer.size()));
    }

private:
    AFCFileReference& m_file;
    std::atomic<std::uint64_t>& m_requests;
    std::string m_buffer;
    std::uint64_t m_bufferStart { 0 };
    std::uint64_t m_position { 0 };
};

struct CaptureTime
{
    QDateTime time;
    std::string source;
};

/// When a copied file was taken, from all of its bytes (a HEIC's EXIF item and a movie's header
/// may sit anywhere in the file), else the phone's date for it: `info` as the download found it,
/// or the listing's.
CaptureTime captureTimeOf(const ICVerifiedFileWriter& writer, const PlistDictionary& info, const ICCameraFile& file)
{
    std::optional<ICCaptureTime::Reading> reading;
    (void)writer.readWritten([&](std::string_view bytes) { reading = ICCaptureTime::read(bytes); });
    if (reading) {
        return { reading->time, reading->origin == ICCaptureTime::Origin::Exif ? "EXIF" : "movie header" };
    }
    QDateTime phone = phoneFileDate(info);
    if (!phone.isValid()) {
        phone = file.creationDate;
    }
    return { phone, phone.isValid() ? "phone file date" : "" };
}

} // namespace

struct ICCameraDevice::Shared
{
    std::shared_ptr<AMDevice> device;
    std::string deviceName;
    std::mutex poolMutex;
    std::vector<std::unique_ptr<AFCMediaDirectory>> idle;
    std::atomic<bool> removed { false };
    std::atomic<std::size_t>* pending { nullptr };
    // The camera roll's lock on the phone, held on a connection of its own while downloads that
    // remove files are under way, and let go when the last of them completes.
    std::mutex editMutex;
    std::size_t editors { 0 };
    std::unique_ptr<AFCMediaDirectory> lockConnection;
    std::unique_ptr<AFCFileReference> lockFile;
    std::optional<std::string> lockRefusal; // this batch could not get it: none of it goes ahead
    std::mutex foldersMutex;
    std::set<std::string> cleanedFolders;

    void addEditor()
    {
        std::lock_guard lock(editMutex);
        ++editors;
    }

    void removeEditor()
    {
        std::lock_guard lock(editMutex);
        if (editors > 0 && --editors == 0) {
            lockFile.reset(); // closing the file lets the lock go
            if (lockConnection) {
                lockConnection->close();
            }
            lockConnection.reset();
            lockRefusal.reset();
        }
    }

    /// Holds the camera roll's lock for this batch of removing downloads. False with the reason,
    /// and `refused` set when another run holds it.
    bool holdEditLock(std::string& error, bool& refused)
    {
        std::lock_guard lock(editMutex);
        if (lockFile && lockFile->isOpen()) {
            return true;
        }
        if (lockRefusal) {
            error = *lockRefusal;
            refused = true;
            return false;
        }
        auto connection = takeConnection(error);
        if (!connection) {
            return false;
        }
        auto file = connection->openForWrite(std::string(ICCameraDevice::LOCK_PATH));
        if (!file && connection->lastStatus() == AFCStatus::ObjectNotFound) {
            (void)connection->mkdir(std::string(ICCameraDevice::LOCK_FOLDER));
            file = connection->openForWrite(std::string(ICCameraDevice::LOCK_PATH));
        }
        if (!file) {
            error = "Cannot open the lock file on the phone: " + reasonOf(*connection, "no answer");
            return false;
        }
        // A run that has just ended elsewhere may not have let go yet: a short, bounded wait on
        // the phone. A time-out leaves the connection out of step; it is dropped with the file.
        if (!file->lockExclusiveWaiting(LOCK_WAIT)) {
            if (file->lastStatus() == AFCStatus::OpTimeout || file->lastStatus() == AFCStatus::OpWouldBlock) {
                lockRefusal = std::string(ICCameraDevice::BUSY_TEXT)
                    + " Nothing was copied or removed; try again once it has finished.";
                error = *lockRefusal;
                refused = true;
                logLine(LOG_PLATFORM, "The camera roll is locked by another run");
            } else {
                error = "Cannot lock the camera roll on the phone: " + reasonOf(*file, "no answer");
            }
            return false;
        }
        lockConnection = std::move(connection);
        lockFile = std::move(file);
        return true;
    }

    /// Clears the temporary files killed runs left in `folder`, once per folder.
    void cleanFolderOnce(const std::string& folder)
    {
        std::lock_guard lock(foldersMutex);
        if (cleanedFolders.insert(folder).second) {
            ICVerifiedFileWriter::removeAbandonedFiles(folder);
        }
    }

    std::unique_ptr<AFCMediaDirectory> takeConnection(std::string& error)
    {
        {
            std::lock_guard lock(poolMutex);
            if (!idle.empty()) {
                auto connection = std::move(idle.back());
                idle.pop_back();
                return connection;
            }
        }
        if (!device) {
            error = "The phone is not connected";
            return nullptr;
        }
        // The phone's one lock, which every module and the controller take around a
        // connect-and-session exchange, held only while the connection opens. A holder that runs
        // long is waited for until the camera goes (deviceWasRemoved() and the destructor wake us).
        AMDeviceLock& lock = device->deviceLock();
        if (!lock.lockUnless([this] { return removed.load(); })) {
            error = "The phone is not connected";
            return nullptr;
        }
        const std::lock_guard held(lock, std::adopt_lock);
        if (removed) {
            error = "The phone is not connected";
            return nullptr;
        }
        auto connection = device->newAFCMediaDirectory();
        if (!connection) {
            error = "Cannot open the phone's media area: " + reasonOf(*device, "no answer");
        }
        return connection;
    }

    /// Stops the camera's device work: nothing new starts, and a wait for the phone's lock ends.
    void markRemoved()
    {
        removed = true;
        if (device) {
            device->deviceLock().wakeWaiters();
        }
    }

    /// Only connections that just served a request without failing come back.
    void returnConnection(std::unique_ptr<AFCMediaDirectory> connection)
    {
        std::lock_guard lock(poolMutex);
        if (!removed && idle.size() < MAX_IDLE_CONNECTIONS) {
            idle.push_back(std::move(connection));
        }
    }

    void dropConnections()
    {
        std::vector<std::unique_ptr<AFCMediaDirectory>> closing;
        {
            std::lock_guard lock(poolMutex);
            closing.swap(idle);
        }
        for (auto& connection : closing) {
            connection->close();
        }
    }
};

namespace {

struct Listing
{
    std::vector<ICCameraFile> files;
    std::string error;
};

Listing listCameraRoll(AFCDirectoryAccess& media, std::atomic<std::uint64_t>& requests)
{
    Listing listing;
    ++requests;
    auto folders = media.directoryContents(std::string(DCIM));
    if (!folders) {
        if (media.lastStatus() == AFCStatus::ObjectNotFound) {
            return listing; // a phone that never took a picture
        }
        listing.error = "Cannot list " + std::string(DCIM) + ": " + reasonOf(media, "no answer");
        return listing;
    }
    std::sort(folders->begin(), folders->end());
    for (const std::string& folder : *folders) {
        // Dot folders (".MISC", ".THMB") hold the camera's own bookkeeping, not pictures.
        if (!isPlainEntryName(folder) || folder.front() == '.') {
            continue;
        }
        const std::string folderPath = std::string(DCIM) + "/" + folder;
        ++requests;
        auto names = media.directoryContents(folderPath);
        if (!names) {
            if (!media.isOpen() || media.lastStatus() == AFCStatus::ConnectionError) {
                listing.error = "Cannot list " + folderPath + ": " + reasonOf(media, "no answer");
                return listing;
            }
            continue; // a plain file beside the folders
        }
        std::sort(names->begin(), names->end());
        for (const std::string& name : *names) {
            if (!isPlainEntryName(name)) {
                logLine(LOG_PLATFORM, "Skipping a camera-roll entry with an unusable name in %s", folderPath.c_str());
                continue;
            }
            const std::string path = folderPath + "/" + name;
            ++requests;
            const auto info = media.getFileInfo(path);
            if (!info) {
                if (media.lastStatus() == AFCStatus::ObjectNotFound) {
                    continue; // gone since the listing
                }
                listing.error = "Cannot read " + path + ": " + reasonOf(media, "no answer");
                return listing;
            }
            const auto kind = info->find("st_ifmt");
            if (kind == info->end() || !kind->second.asString() || *kind->second.asString() != "S_IFREG") {
                continue;
            }
            ICCameraFile file;
            file.name = name;
            file.devicePath = path;
            if (const auto size = info->find("st_size"); size != info->end()) {
                file.fileSize = std::uint64_t(std::max<std::int64_t>(0, size->second.toInt64().value_or(0)));
            }
            file.creationDate = phoneFileDate(*info);
            file.movie = ICFileNames::isMovieName(name);
            listing.files.push_back(std::move(file));
        }
    }
    return listing;
}

std::optional<double> readDuration(
    AFCDirectoryAccess& media, const ICCameraFile& file, std::atomic<std::uint64_t>& requests)
{
    ++requests;
    auto open = media.openForRead(file.devicePath);
    if (!open) {
        return std::nullopt;
    }
    DeviceRangeReader reader(*open, requests);
    const auto seconds = ICMovieHeader::movieDurationSeconds(
        file.fileSize, [&](std::uint64_t offset, std::uint32_t length) { return reader.read(offset, length); });
    ++requests;
    (void)open->closeFile();
    return seconds;
}

ICBackupLogEntry auditEntry(const ICCameraDevice::Shared& shared, const ICDownloadResult& result, std::string outcome)
{
    ICBackupLogEntry entry;
    entry.time = QDateTime::currentDateTimeUtc();
    entry.device = shared.deviceName;
    entry.devicePath = result.file.devicePath;
    entry.localPath = result.localPath;
    entry.size = result.verified ? result.size : result.file.fileSize;
    entry.sha256 = result.sha256;
    entry.outcome = std::move(outcome);
    entry.captureTime = result.captureTime;
    entry.captureTimeSource = result.captureTimeSource;
    return entry;
}

/// Everything one download does on a queue thread; fills `result`.
void download(ICCameraDevice::Shared& shared,
    const Operation& operation,
    const ICDownloadOptions& options,
    ICDownloadResult& result)
{
    const ICCameraFile& file = result.file;
    std::string error;
    if (options.deleteAfterSuccessfulDownload) {
        if (!options.auditLog) {
            result.error = "No backup log to record the removal in";
            return;
        }
        if (!shared.holdEditLock(error, result.lockRefused)) {
            result.error = error;
            return;
        }
    }
    shared.cleanFolderOnce(options.downloadsDirectory);
    auto media = shared.takeConnection(error);
    if (!media) {
        result.error = error;
        return;
    }
    const auto info = media->getFileInfo(file.devicePath);
    const auto size = info ? info->find("st_size") : PlistDictionary::const_iterator();
    if (!info && media->lastStatus() == AFCStatus::ObjectNotFound) {
        result.error = file.devicePath + " is no longer on the phone";
        result.notOnDevice = true;
        shared.returnConnection(std::move(media));
        return;
    }
    if (!info || size == info->end() || !size->second.toInt64() || *size->second.toInt64() < 0) {
        result.error = "Cannot read " + file.devicePath + " on the phone: " + reasonOf(*media, "no size");
        return;
    }
    const std::uint64_t expectedSize = std::uint64_t(*size->second.toInt64());
    auto remote = media->openForRead(file.devicePath);
    if (!remote) {
        result.error = "Cannot open " + file.devicePath + " on the phone: " + reasonOf(*media, "no answer");
        return;
    }
    ICVerifiedFileWriter writer;
    if (!writer.begin(options.downloadsDirectory)) {
        result.error = writer.error();
        return;
    }
    std::string buffer(ICCameraDevice::READ_CHUNK_BYTES, '\0');
    for (;;) {
        if (operation.isCancelled()) {
            result.error = "Cancelled";
            return;
        }
        remote->clearLastError();
        const std::uint32_t got = remote->readN(std::uint32_t(buffer.size()), buffer.data());
        if (got == 0) {
            if (remote->lasterror()) {
                result.error = "Reading " + file.devicePath + " from the phone failed: " + *remote->lasterror();
                return;
            }
            break;
        }
        if (writer.bytesWritten() + got > expectedSize) {
            result.error
                = "The phone sent more than the " + std::to_string(expectedSize) + " bytes of " + file.devicePath;
            return;
        }
        if (!writer.append(std::string_view(buffer.data(), got))) {
            result.error = writer.error();
            return;
        }
    }
    if (!remote->closeFile()) {
        result.error = "Closing " + file.devicePath + " on the phone failed: " + reasonOf(*remote, "no answer");
        return;
    }
    remote.reset();
    const CaptureTime taken = captureTimeOf(writer, *info, file);
    if (taken.time.isValid()) {
        writer.setModificationTime(taken.time.toMSecsSinceEpoch());
    }
    const auto placed = writer.finish(ICFileNames::sanitizedFileName(file.name), expectedSize);
    if (!placed) {
        result.error = writer.error();
        return;
    }
    result.captureTime = taken.time;
    result.captureTimeSource = taken.source;
    result.localPath = placed->path;
    result.sha256 = placed->sha256;
    result.size = placed->size;
    result.alreadyPresent = placed->alreadyPresent;
    result.verified = true;
    if (!options.deleteAfterSuccessfulDownload) {
        shared.returnConnection(std::move(media));
        return;
    }
    if (operation.isCancelled()) {
        result.error = "Cancelled before removing it from the phone";
        return;
    }
    // The record comes first: whatever happens next, the log says this file was verified and
    // about to go. Without it, the file stays.
    if (!options.auditLog->append(auditEntry(shared, result, "verified, removing"))) {
        result.error = "Cannot write the backup log, so the file was not removed: " + options.auditLog->error();
        return;
    }
    if (!media->unlink(file.devicePath)) {
        const std::string reason = reasonOf(*media, "no answer");
        if (!AFCDirectoryAccess::isConnectionFailure(media->lastStatus())) {
            result.error = "Removing " + file.devicePath + " from the phone failed: " + reason;
            return;
        }
        // The answer was lost, not the question: ask the phone, on a new connection, what it did.
        media.reset();
        std::string ignored;
        auto asking = shared.takeConnection(ignored);
        const std::optional<bool> present = asking ? asking->existsAtPath(file.devicePath) : std::nullopt;
        if (present == false) {
            result.removedFromDevice = true;
            shared.returnConnection(std::move(asking));
            return;
        }
        result.error = "Removing " + file.devicePath + " from the phone failed: " + reason;
        result.removalUncertain = !present.has_value();
        if (present == true) {
            shared.returnConnection(std::move(asking));
        }
        return;
    }
    // Confirm: the phone must not list it any more. It said it removed it, so a confirmation that
    // gets no answer does not make it "still on the phone".
    const std::optional<bool> still = media->existsAtPath(file.devicePath);
    if (still == true) {
        result.error = "The phone still lists " + file.devicePath + " after removing it";
        shared.returnConnection(std::move(media));
        return;
    }
    result.removedFromDevice = true;
    if (still.has_value()) {
        shared.returnConnection(std::move(media));
    }
}

std::string outcomeOf(const ICDownloadResult& result, bool removeRequested)
{
    if (!result.error) {
        if (removeRequested) {
            return result.alreadyPresent ? "already backed up, removed from the phone" : "removed from the phone";
        }
        return result.alreadyPresent ? "already backed up" : "verified";
    }
    std::string outcome = "error: " + *result.error;
    if (result.removedFromDevice) {
        outcome += " (verified copy kept)";
    } else if (result.removalUncertain) {
        outcome += " (verified copy kept; the phone did not say whether it was removed)";
    } else if (result.notOnDevice) {
        outcome += " (not on the phone)";
    } else if (result.verified) {
        outcome += " (verified copy kept, still on the phone)";
    } else {
        outcome += " (still on the phone)";
    }
    return outcome;
}

} // namespace

ICCameraDevice::ICCameraDevice(std::shared_ptr<AMDevice> device)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->device = std::move(device);
    if (m_shared->device) {
        m_shared->deviceName = m_shared->device->deviceName().value_or("iPhone");
    }
}

ICCameraDevice::~ICCameraDevice()
{
    m_shared->markRemoved();
    m_sessionQueue.cancelAllOperations();
    m_downloadQueue.cancelAllOperations();
    m_sessionQueue.waitUntilAllOperationsAreFinished();
    m_downloadQueue.waitUntilAllOperationsAreFinished();
    m_shared->dropConnections();
}

QString ICCameraDevice::name() const
{
    return QString::fromStdString(m_shared->deviceName);
}

const std::shared_ptr<AMDevice>& ICCameraDevice::device() const
{
    return m_shared->device;
}

QString ICCameraDevice::serialNumberString() const
{
    if (!m_shared->device || !m_shared->device->udid()) {
        return {};
    }
    return QString::fromStdString(*m_shared->device->udid());
}

void ICCameraDevice::postToMain(std::function<void(ICCameraDevice&)> function)
{
    runOnMain([weak = weak_from_this(), function = std::move(function)] {
        if (auto self = weak.lock()) {
            function(*self);
        }
    });
}

void ICCameraDevice::requestOpenSession()
{
    if (m_sessionRequested) {
        return;
    }
    m_sessionRequested = true;
    const std::uint64_t generation = ++m_sessionGeneration;
    auto shared = m_shared;
    m_sessionQueue.addOperation([this, shared, generation](const Operation& operation) {
        std::string error;
        auto media = shared->takeConnection(error);
        if (!media) {
            postToMain([error, generation](ICCameraDevice& camera) {
                if (camera.m_sessionGeneration == generation) {
                    camera.m_sessionRequested = false;
                    emit camera.didOpenSessionWithError(QString::fromStdString(error));
                }
            });
            return;
        }
        Listing listing = listCameraRoll(*media, m_listingRequests);
        if (!listing.error.empty()) {
            postToMain([error = listing.error, generation](ICCameraDevice& camera) {
                if (camera.m_sessionGeneration == generation) {
                    camera.m_sessionRequested = false;
                    emit camera.didOpenSessionWithError(QString::fromStdString(error));
                }
            });
            return;
        }
        postToMain([files = listing.files, generation](ICCameraDevice& camera) {
            if (camera.m_sessionGeneration != generation) {
                return;
            }
            camera.m_mediaFiles = files;
            camera.m_durationsRead = false;
            camera.m_sessionOpen = true;
            emit camera.didOpenSessionWithError(QString());
        });
        // Durations come after the session has opened, so the count never waits for them.
        std::vector<std::pair<std::string, double>> durations;
        for (const ICCameraFile& file : listing.files) {
            if (operation.isCancelled()) {
                break;
            }
            if (file.movie) {
                if (const auto seconds = readDuration(*media, file, m_durationRequests)) {
                    durations.emplace_back(file.devicePath, *seconds);
                }
            }
        }
        shared->returnConnection(std::move(media));
        postToMain([durations = std::move(durations), generation](ICCameraDevice& camera) {
            if (camera.m_sessionGeneration != generation) {
                return;
            }
            for (const auto& entry : durations) {
                // A named pair rather than a structured binding: clang 14 (the fuzz build) cannot
                // capture a binding in a lambda.
                const auto found = std::find_if(camera.m_mediaFiles.begin(), camera.m_mediaFiles.end(),
                    [&](const ICCameraFile& file) { return file.devicePath == entry.first; });
                if (found != camera.m_mediaFiles.end()) {
                    found->duration = entry.second;
                }
            }
            camera.m_durationsRead = true;
            emit camera.mediaFilesChanged();
        });
    });
}

void ICCameraDevice::requestCloseSession()
{
    ++m_sessionGeneration;
    m_sessionQueue.cancelAllOperations();
    const bool wasOpen = m_sessionOpen;
    m_sessionRequested = false;
    m_sessionOpen = false;
    m_mediaFiles.clear();
    m_durationsRead = false;
    if (wasOpen) {
        emit didCloseSessionWithError(QString());
    }
}

void ICCameraDevice::requestDownloadFile(
    const ICCameraFile& file, const ICDownloadOptions& options, ICDownloadCompletion completion)
{
    struct State
    {
        ICDownloadOptions options;
        ICDownloadResult result;
        ICDownloadCompletion completion;
        bool ran { false };
    };
    auto state = std::make_shared<State>();
    state->options = options;
    if (options.deleteAfterSuccessfulDownload) {
        m_shared->addEditor();
    }
    state->result.file = file;
    state->completion = std::move(completion);
    ++m_pendingDownloads;
    auto shared = m_shared;
    // The camera may be gone when the completion runs; the counter it decrements is the camera's
    // only while the camera lives, so it is reached through a weak reference.
    std::weak_ptr<ICCameraDevice> weak = weak_from_this();
    m_downloadQueue.addOperation(
        [shared, state](const Operation& operation) {
            state->ran = true;
            if (operation.isCancelled()) {
                state->result.error = "Cancelled";
                return;
            }
            download(*shared, operation, state->options, state->result);
        },
        [shared, state, weak] {
            if (!state->ran) {
                state->result.error = "Cancelled";
            }
            const ICDownloadResult& result = state->result;
            if (result.error) {
                logLine(
                    LOG_PLATFORM, "Download of %s failed: %s", result.file.devicePath.c_str(), result.error->c_str());
            }
            if (state->options.deleteAfterSuccessfulDownload) {
                shared->removeEditor();
            }
            if (state->options.auditLog) {
                const auto entry
                    = auditEntry(*shared, result, outcomeOf(result, state->options.deleteAfterSuccessfulDownload));
                if (!state->options.auditLog->append(entry)) {
                    logLine(LOG_PLATFORM, "Cannot write the backup log: %s", state->options.auditLog->error().c_str());
                }
            }
            runOnMain([state, weak] {
                if (auto camera = weak.lock()) {
                    --camera->m_pendingDownloads;
                    if (state->result.removedFromDevice) {
                        camera->forgetMediaFile(state->result.file.devicePath);
                    }
                }
                if (state->completion) {
                    state->completion(state->result);
                }
            });
        });
}

void ICCameraDevice::cancelDownloads()
{
    m_downloadQueue.cancelAllOperations();
}

void ICCameraDevice::forgetMediaFile(const std::string& devicePath)
{
    const auto erased
        = std::erase_if(m_mediaFiles, [&](const ICCameraFile& file) { return file.devicePath == devicePath; });
    if (erased > 0) {
        emit mediaFilesChanged();
    }
}

void ICCameraDevice::deviceWasRemoved()
{
    m_shared->markRemoved();
    m_shared->dropConnections();
    emit didRemoveDevice();
}
