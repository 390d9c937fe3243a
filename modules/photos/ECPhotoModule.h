#pragma once

#include "modules/ECModule.h"
#include "platform/image_capture/ICCameraFile.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

class ICCameraDevice;

/// What one backup run did, for the finished report.
struct ECPhotoBackupReport
{
    int requested { 0 };
    int verified { 0 }; // a verified copy exists on this computer
    int removed { 0 }; // removed from the phone after its copy was verified
    int failed { 0 }; // not removed: still on the phone, unless counted in `uncertain`
    int uncertain { 0 }; // the phone's answer to the removal was lost; it may be gone
    int missing { 0 }; // gone from the phone before its turn (another run removed it)
    bool refused { false }; // another run held the camera roll's lock: nothing was done
    std::int64_t bytesVerified { 0 };
    std::int64_t bytesRemoved { 0 };
    QString folder;
};

/// The photo and video tool: backs up the camera roll's photos and videos older than a chosen age
/// into "Torvane Backup" in a folder the user picks, and removes each from the phone once its copy
/// is verified. It has no table: three choices (photos and/or videos, age, destination) and the
/// count and size of what they select.
///
/// The phone is reached as a camera (ICCameraDevice) made from the module's device object each
/// time the module is shown on a new one, so it shares that phone's one lock. Main thread only.
class ECPhotoModule : public ECModule
{
    Q_OBJECT

public:
    static inline const QString BACKUP_FOLDER_NAME = QStringLiteral("Torvane Backup");
    static inline const QString WAITING_TEXT = QStringLiteral("Waiting for the phone's camera roll…");

    /// Entries of the photos-and-videos pop-up.
    enum MediaChoice {
        PhotosAndVideos = 0,
        PhotosOnly = 1,
        VideosOnly = 2,
    };

    /// One entry of the destination pop-up; `path` may begin with "~".
    struct Destination
    {
        QString title;
        QString path;
    };

    explicit ECPhotoModule(QObject* parent = nullptr);
    ~ECPhotoModule() override;

    void loadConfigView() override;
    void close() override;
    /// Downloads not started are cancelled (each reports, its file staying on the phone); the run
    /// ends with what was verified and removed before.
    void phoneDetached() override;
    QString countedItems(std::int64_t count) const override;
    void setInterfaceEnabled(bool enabled);
    bool interfaceEnabled() const { return m_interfaceEnabled; }

    // The camera's calls.
    void didRemoveDevice(ICCameraDevice* camera);
    void deviceDidOpenSessionWithError(const QString& error);
    void deviceDidCloseSessionWithError(const QString& error);

    std::int64_t selectionSize() const override;
    QString buttonTitle(std::int64_t count) const override;
    QString deletingText() const override;
    /// The camera's media files that the current choices select, in the camera's order.
    std::vector<ICCameraFile> itemsToRemove() const;
    std::int64_t itemsToRemoveCount() const override;
    /// Whether a file is selected by a media choice and a cut-off: strictly older than the cut-off,
    /// and of the wanted kind (a movie counts as a video even when its length is unknown).
    static bool selects(const ICCameraFile& file, int mediaChoice, const QDateTime& cutOff);
    bool shouldDeletePhotos() const { return m_mediaChoice != VideosOnly; }
    bool shouldDeleteVideos() const { return m_mediaChoice != PhotosOnly; }
    void updateProgressLabel() override;

    // The pop-ups' actions.
    void changedTimeRange() { updateProgressLabel(); }
    void updatedPhotoVideoPopup() { updateProgressLabel(); }
    void updateRange() { updateProgressLabel(); }

    /// The main button: backs up and removes the selected files.
    void offloadVideos();
    /// Only files whose copies were verified go: no question.
    void performDeletion() override { offloadVideos(); }
    /// One download has finished (exactly once per requested file).
    void didDownloadFile(const ICDownloadResult& result);

    QString moduleName() const override { return QStringLiteral("Photos"); }

    // The choices the three pop-ups show.
    int mediaChoice() const { return m_mediaChoice; }
    void setMediaChoice(int choice);
    /// Index into the nine age ranges (0 "2 Years" ... 8 "1 Day").
    int timeRangeIndex() const { return m_timeRangeIndex; }
    void setTimeRangeIndex(int index);
    double timeRange() const;
    const std::vector<Destination>& destinations() const { return m_destinations; }
    int destinationIndex() const { return m_destinationIndex; }
    void setDestinationIndex(int index);
    /// Adds (or selects, if already listed) a folder the user chose with "Other…".
    void addDestination(const QString& folder);
    /// Asks the host for a folder ("Other…"); a chosen one becomes the destination.
    void chooseOtherDestination();
    /// The destination folder with "~" expanded.
    QString destinationFolder() const;

    ICCameraDevice* cameraDevice() const { return m_cameraDevice.get(); }
    /// The backup folder of the current (or last) run.
    const QString& downloadDirectory() const { return m_downloadDirectory; }
    std::size_t nFilesToDelete() const { return m_nFilesToDelete; }

    /// The line under the pop-ups: WAITING_TEXT until the camera roll is read, then the count
    /// and size of the selection ("12 files, 34.5 MB").
    QString statusText() const;
    const ECPhotoBackupReport& lastReport() const { return m_report; }
    /// Times the backup folder was opened for the user (once per finished run).
    int foldersOpened() const { return m_foldersOpened; }

signals:
    /// The pop-ups' state, their enabled state or the status line changed.
    void configChanged();
    /// A run has ended and its report is ready.
    void backupFinished();

private:
    void chooseCamera(const std::shared_ptr<ICCameraDevice>& camera);
    void forgetCamera();
    void finishRun();
    void setProgressBytes(std::int64_t bytes);

    std::shared_ptr<ICCameraDevice> m_cameraDevice;
    bool m_interfaceEnabled { false };
    int m_mediaChoice { PhotosAndVideos };
    int m_timeRangeIndex { 1 }; // "1 Year"
    std::vector<Destination> m_destinations;
    int m_destinationIndex { 0 };
    QString m_downloadDirectory;
    std::size_t m_nFilesToDelete { 0 };
    std::int64_t m_bytesDone { 0 };
    std::int64_t m_progressScale { 1 };
    bool m_running { false };
    ECPhotoBackupReport m_report;
    int m_foldersOpened { 0 };
};
