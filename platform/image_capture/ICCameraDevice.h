#pragma once

#include "base/OperationQueue.h"
#include "platform/image_capture/ICCameraFile.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class AFCMediaDirectory;
class AMDevice;

/// A phone seen as a camera: its camera roll ("/DCIM/*/") through the media area over AFC, with
/// downloads that delete from the phone only after a verified copy.
///
/// Made from the module's device object, so it reaches the phone the way every tool does: it
/// takes the phone's one lock (AMDevice::deviceLock()) while it opens an AFC connection, and
/// holds it no longer; the connections themselves are its own.
///
/// Main thread: every public call and every signal. The device work runs on the camera's own
/// queues: one for the session (listing), and a bounded one for downloads, each download on its
/// own AFC connection taken from a small pool.
class ICCameraDevice : public QObject, public std::enable_shared_from_this<ICCameraDevice>
{
    Q_OBJECT

public:
    /// Downloads that run at once; the rest wait their turn.
    static constexpr int MAX_CONCURRENT_DOWNLOADS = 3;
    static constexpr std::uint32_t READ_CHUNK_BYTES = 1 << 20;
    /// The file whose exclusive lock on the phone a batch of removing downloads holds, so one run
    /// at a time, from any process or computer, removes from the camera roll.
    static constexpr const char* LOCK_FOLDER = "/PhotoData";
    static constexpr const char* LOCK_PATH = "/PhotoData/Torvane-CameraRoll.lock";
    /// The start of the error of a download refused because another run holds that lock.
    static constexpr const char* BUSY_TEXT = "Another Torvane run is changing this phone's camera roll.";

    explicit ICCameraDevice(std::shared_ptr<AMDevice> device);
    /// Cancels downloads not yet finished (each still gets its completion) and waits for the
    /// device work to stop.
    ~ICCameraDevice() override;

    QString name() const;
    /// The device object the camera was made from.
    const std::shared_ptr<AMDevice>& device() const;
    /// The phone's unique device identifier.
    QString serialNumberString() const;

    /// Lists the camera roll on the camera's queue, then reports didOpenSessionWithError();
    /// the durations of videos follow (mediaFilesChanged()). Asking again while open does nothing.
    void requestOpenSession();
    void requestCloseSession();
    bool hasOpenSession() const { return m_sessionOpen; }

    /// Every file of the camera roll, in the phone's order (folders, then names within one).
    const std::vector<ICCameraFile>& mediaFiles() const { return m_mediaFiles; }
    /// True once the durations of the videos have been read (or tried).
    bool durationsRead() const { return m_durationsRead; }

    /// Copies `file` into options.downloadsDirectory with every check of ICVerifiedFileWriter,
    /// dated when it was taken (ICDownloadResult::captureTime, read from the copied bytes), then,
    /// when asked, records "verified, removing" in the audit log (nothing is removed if it
    /// cannot), deletes it from the phone and confirms it is gone; a lost answer to the removal is
    /// followed by asking the phone whether the file is still there. Removing downloads hold the
    /// camera roll's lock on the phone from the first to the last; when another run holds it,
    /// each fails with BUSY_TEXT and `lockRefused`. Temporary files killed runs left in the folder
    /// are removed first. `completion` runs
    /// exactly once on the main thread, whatever happens, even after the camera went away.
    void requestDownloadFile(
        const ICCameraFile& file, const ICDownloadOptions& options, ICDownloadCompletion completion);
    /// Downloads requested and not yet completed.
    std::size_t pendingDownloads() const { return m_pendingDownloads.load(); }
    /// Stops every download not yet finished; each completes with "Cancelled" and its file stays
    /// on the phone.
    void cancelDownloads();

    /// The phone is gone: whoever made the camera says so before it drops it. Work not yet done
    /// fails at once, and a wait for the phone's lock ends.
    void deviceWasRemoved();

    /// Device requests made: for the listing (one per folder and one per file) and for reading
    /// video durations. Any thread.
    std::uint64_t listingRequests() const { return m_listingRequests.load(); }
    std::uint64_t durationRequests() const { return m_durationRequests.load(); }

    /// The part of the camera its queue work shares; it outlives the camera while completions
    /// are on their way.
    struct Shared;

signals:
    /// Empty text on success.
    void didOpenSessionWithError(const QString& error);
    void didCloseSessionWithError(const QString& error);
    void didRemoveDevice();
    void mediaFilesChanged();

private:
    /// A file removed from the phone leaves the list, as it left the camera roll.
    void forgetMediaFile(const std::string& devicePath);
    void postToMain(std::function<void(ICCameraDevice&)> function);

    std::shared_ptr<Shared> m_shared;
    std::vector<ICCameraFile> m_mediaFiles;
    bool m_sessionOpen { false };
    bool m_sessionRequested { false };
    bool m_durationsRead { false };
    std::uint64_t m_sessionGeneration { 0 };
    std::atomic<std::size_t> m_pendingDownloads { 0 };
    std::atomic<std::uint64_t> m_listingRequests { 0 };
    std::atomic<std::uint64_t> m_durationRequests { 0 };
    // Declared last: destroyed first, so no queue work outlives the members above.
    OperationQueue m_sessionQueue { 1 };
    OperationQueue m_downloadQueue { MAX_CONCURRENT_DOWNLOADS };
};
