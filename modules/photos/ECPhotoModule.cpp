#include "modules/photos/ECPhotoModule.h"

#include "base/Log.h"
#include "device/AMDevice.h"
#include "modules/ECAgeRange.h"
#include "modules/ECClock.h"
#include "modules/ECModuleHost.h"
#include "modules/ECModuleRules.h"
#include "platform/image_capture/ICBackupLog.h"
#include "platform/image_capture/ICCameraDevice.h"

#include <QDir>
#include <QPointer>
#include <QUrl>

#include <algorithm>
#include <climits>

ECPhotoModule::ECPhotoModule(QObject* parent)
    : ECModule(parent)
{
    setTitleText(QStringLiteral("Back Up & Remove Old Photos"));
    // Files removed through the file service leave the phone's storage at once; the Photos app
    // learns of it only when it rebuilds its library, and users should hear that from us.
    setHintText(QStringLiteral("Back up photos and videos to this computer to clear out room for more. "
                               "Each file is removed from the phone only after its copy on this "
                               "computer has been read back and checked. The Photos app on the "
                               "phone may keep showing removed items until it rebuilds its library."));
    m_destinations = {
        { QStringLiteral("Pictures"), QStringLiteral("~/Pictures") },
        { QStringLiteral("Desktop"), QStringLiteral("~/Desktop") },
        { QStringLiteral("Home"), QStringLiteral("~") },
    };
    updateRange();
}

ECPhotoModule::~ECPhotoModule()
{
    stopAllWork();
    // The camera first: its queues finish (cancelled) while the module is still whole.
    m_cameraDevice.reset();
}

void ECPhotoModule::loadConfigView()
{
    const std::shared_ptr<AMDevice> phone = device();
    if (m_cameraDevice && m_cameraDevice->device() == phone) {
        // Shown again on the same device object: the camera roll is read already, or read again
        // if reading it failed.
        m_cameraDevice->requestOpenSession();
        return;
    }
    if (m_cameraDevice) {
        m_cameraDevice->cancelDownloads();
        forgetCamera();
    }
    setInterfaceEnabled(false);
    if (phone) {
        // The camera reaches the phone through the module's own device object and its lock.
        chooseCamera(std::make_shared<ICCameraDevice>(phone));
    }
}

void ECPhotoModule::close()
{
    if (m_cameraDevice) {
        // Downloads not finished yet are cancelled; each still reports, and its file stays on
        // the phone.
        m_cameraDevice->cancelDownloads();
        m_cameraDevice->requestCloseSession();
        forgetCamera();
    }
    ECModule::close();
}

void ECPhotoModule::phoneDetached()
{
    ECModule::phoneDetached();
    if (m_cameraDevice) {
        if (m_running) {
            m_cameraDevice->cancelDownloads();
        }
        // Its work fails at once and its waits for the phone's lock end; it tells us it went
        // (didRemoveDevice) and is dropped. Re-attaching makes a camera for the new device.
        m_cameraDevice->deviceWasRemoved();
    }
    setInterfaceEnabled(false);
    emit configChanged();
}

QString ECPhotoModule::countedItems(std::int64_t count) const
{
    return countedNoun(count, QStringLiteral("file"), QStringLiteral("files"));
}

void ECPhotoModule::setInterfaceEnabled(bool enabled)
{
    if (enabled != m_interfaceEnabled) {
        m_interfaceEnabled = enabled;
        emit configChanged();
    }
}

void ECPhotoModule::chooseCamera(const std::shared_ptr<ICCameraDevice>& camera)
{
    m_cameraDevice = camera;
    setInterfaceEnabled(true);
    ICCameraDevice* raw = camera.get();
    connect(raw, &ICCameraDevice::didRemoveDevice, this, [this, raw] { didRemoveDevice(raw); });
    connect(
        camera.get(), &ICCameraDevice::didOpenSessionWithError, this, &ECPhotoModule::deviceDidOpenSessionWithError);
    connect(
        camera.get(), &ICCameraDevice::didCloseSessionWithError, this, &ECPhotoModule::deviceDidCloseSessionWithError);
    connect(camera.get(), &ICCameraDevice::mediaFilesChanged, this, &ECPhotoModule::updateProgressLabel);
    camera->requestOpenSession();
    emit configChanged();
}

void ECPhotoModule::forgetCamera()
{
    if (m_cameraDevice) {
        disconnect(m_cameraDevice.get(), &ICCameraDevice::didRemoveDevice, this, nullptr);
        disconnect(m_cameraDevice.get(), &ICCameraDevice::didOpenSessionWithError, this, nullptr);
        disconnect(m_cameraDevice.get(), &ICCameraDevice::didCloseSessionWithError, this, nullptr);
        disconnect(m_cameraDevice.get(), &ICCameraDevice::mediaFilesChanged, this, nullptr);
    }
    m_cameraDevice.reset();
    setInterfaceEnabled(false);
    emit configChanged();
}

void ECPhotoModule::didRemoveDevice(ICCameraDevice* camera)
{
    if (!camera || camera != m_cameraDevice.get()) {
        return;
    }
    forgetCamera();
    updateProgressLabel(); // back to waiting, with nothing to count
}

void ECPhotoModule::deviceDidOpenSessionWithError(const QString& error)
{
    if (!error.isEmpty()) {
        logLine(LOG_MODULES, "The camera roll could not be read: %s", error.toUtf8().constData());
    }
    updateProgressLabel();
}

void ECPhotoModule::deviceDidCloseSessionWithError(const QString&)
{
}

bool ECPhotoModule::selects(const ICCameraFile& file, int mediaChoice, const QDateTime& cutOff)
{
    // A movie whose header could not be read still is a video, never a photo.
    const bool video = file.movie || file.duration > 0;
    if (video ? mediaChoice == PhotosOnly : mediaChoice == VideosOnly) {
        return false;
    }
    return file.creationDate.isValid() && file.creationDate < cutOff;
}

std::vector<ICCameraFile> ECPhotoModule::itemsToRemove() const
{
    std::vector<ICCameraFile> selected;
    if (!m_cameraDevice || (!shouldDeletePhotos() && !shouldDeleteVideos())) {
        return selected;
    }
    const QDateTime cutOff = ECAgeRange::cutOffDate(clock().now(), std::int64_t(timeRange()));
    for (const ICCameraFile& file : m_cameraDevice->mediaFiles()) {
        if (selects(file, m_mediaChoice, cutOff)) {
            selected.push_back(file);
        }
    }
    return selected;
}

std::int64_t ECPhotoModule::itemsToRemoveCount() const
{
    return std::int64_t(itemsToRemove().size());
}

std::int64_t ECPhotoModule::selectionSize() const
{
    std::int64_t total = 0;
    for (const ICCameraFile& file : itemsToRemove()) {
        total += std::int64_t(file.fileSize);
    }
    return total;
}

QString ECPhotoModule::buttonTitle(std::int64_t count) const
{
    if (count == 0) {
        return QStringLiteral("Back Up & Remove Files");
    }
    return QStringLiteral("Back Up & Remove %1")
        .arg(countedNoun(count, QStringLiteral("File"), QStringLiteral("Files")));
}

QString ECPhotoModule::deletingText() const
{
    return QStringLiteral("Backing up and removing files...");
}

void ECPhotoModule::updateProgressLabel()
{
    ECModule::updateProgressLabel();
    emit configChanged();
}

QString ECPhotoModule::statusText() const
{
    if (phoneGone()) {
        return statusMessage();
    }
    if (!m_cameraDevice || !m_cameraDevice->hasOpenSession()) {
        return WAITING_TEXT;
    }
    const std::int64_t count = itemsToRemoveCount();
    const QString size = formattedByteCount(selectionSize());
    return count == 1 ? QStringLiteral("1 file, %1").arg(size) : QStringLiteral("%1 files, %2").arg(count).arg(size);
}

void ECPhotoModule::setMediaChoice(int choice)
{
    choice = std::clamp(choice, int(PhotosAndVideos), int(VideosOnly));
    if (choice != m_mediaChoice) {
        m_mediaChoice = choice;
        updatedPhotoVideoPopup();
    }
}

void ECPhotoModule::setTimeRangeIndex(int index)
{
    index = std::clamp(index, 0, ECAgeRange::COUNT - 1);
    if (index != m_timeRangeIndex) {
        m_timeRangeIndex = index;
        changedTimeRange();
    }
}

double ECPhotoModule::timeRange() const
{
    return double(ECAgeRange::atIndex(m_timeRangeIndex).seconds());
}

void ECPhotoModule::setDestinationIndex(int index)
{
    if (index >= 0 && index < int(m_destinations.size()) && index != m_destinationIndex) {
        m_destinationIndex = index;
        emit configChanged();
    }
}

void ECPhotoModule::addDestination(const QString& folder)
{
    const QString path = QDir::cleanPath(folder);
    for (std::size_t i = 0; i < m_destinations.size(); ++i) {
        if (QDir::cleanPath(m_destinations[i].path) == path) {
            setDestinationIndex(int(i));
            return;
        }
    }
    QString title = QDir(path).dirName();
    if (title.isEmpty()) {
        title = path;
    }
    m_destinations.push_back({ title, path });
    m_destinationIndex = int(m_destinations.size()) - 1;
    emit configChanged();
}

void ECPhotoModule::chooseOtherDestination()
{
    if (!host()) {
        return;
    }
    QPointer<ECPhotoModule> self(this);
    host()->chooseFolder(QStringLiteral("Choose where to back up photos and videos"), destinationFolder(),
        [self](std::optional<QString> folder) {
            if (!self) {
                return;
            }
            if (folder) {
                self->addDestination(*folder);
            } else {
                emit self->configChanged(); // back to the entry chosen before
            }
        });
}

QString ECPhotoModule::destinationFolder() const
{
    QString path = m_destinations.at(std::size_t(m_destinationIndex)).path;
    if (path == QStringLiteral("~")) {
        return QDir::homePath();
    }
    if (path.startsWith(QStringLiteral("~/"))) {
        return QDir::homePath() + path.mid(1);
    }
    return path;
}

void ECPhotoModule::setProgressBytes(std::int64_t bytes)
{
    setProgressValue(int(bytes / m_progressScale));
}

void ECPhotoModule::offloadVideos()
{
    if (m_running || !m_cameraDevice || phoneGone()) {
        return;
    }
    setStatusMessage(QString());
    ECModule::updateProgressLabel();
    const std::vector<ICCameraFile> files = itemsToRemove();
    if (files.empty()) {
        return;
    }
    const QString folder = QDir(destinationFolder()).filePath(BACKUP_FOLDER_NAME);
    // Nothing is requested unless the folder and its log exist: a download with nowhere to go
    // could only fail, and a backup without its log cannot be checked.
    QString problem;
    std::shared_ptr<ICBackupLog> log;
    if (!QDir().mkpath(folder)) {
        problem = QStringLiteral("The folder could not be created. Choose another destination.");
    } else {
        log = std::make_shared<ICBackupLog>(folder.toStdString());
        if (!log->isOpen()) {
            problem = QString::fromStdString(log->error());
        }
    }
    if (!problem.isEmpty()) {
        logLine(LOG_MODULES, "Cannot back up to %s: %s", folder.toUtf8().constData(), problem.toUtf8().constData());
        presentAlert(
            { QStringLiteral("Cannot back up to “%1”").arg(folder), problem, { QStringLiteral("OK") } }, [](int) {});
        return;
    }

    m_running = true;
    m_nFilesToDelete = files.size();
    m_downloadDirectory = folder;
    m_report = ECPhotoBackupReport();
    m_report.requested = int(files.size());
    m_report.folder = folder;
    m_bytesDone = 0;
    startDeleting();
    const std::int64_t total = selectionSize();
    m_progressScale = std::max<std::int64_t>(1, total / INT_MAX + 1);
    setProgressMaximum(int(total / m_progressScale));
    setProgressValue(0);

    ICDownloadOptions options;
    options.downloadsDirectory = folder.toStdString();
    options.deleteAfterSuccessfulDownload = true;
    options.auditLog = log;
    QPointer<ECPhotoModule> self(this);
    for (const ICCameraFile& file : files) {
        m_cameraDevice->requestDownloadFile(file, options, [self](const ICDownloadResult& result) {
            if (self) {
                self->didDownloadFile(result);
            }
        });
    }
    updateProgressLabel();
}

void ECPhotoModule::didDownloadFile(const ICDownloadResult& result)
{
    if (!m_running || m_nFilesToDelete == 0) {
        return;
    }
    --m_nFilesToDelete;
    m_bytesDone += std::int64_t(result.file.fileSize);
    setProgressBytes(m_bytesDone);
    if (result.verified) {
        ++m_report.verified;
        m_report.bytesVerified += std::int64_t(result.size);
    }
    if (result.removedFromDevice) {
        ++m_report.removed;
        m_report.bytesRemoved += std::int64_t(result.size);
    }
    if (result.error) {
        ++m_report.failed;
        m_report.uncertain += result.removalUncertain ? 1 : 0;
        m_report.missing += result.notOnDevice ? 1 : 0;
        m_report.refused = m_report.refused || result.lockRefused;
        logLine(LOG_MODULES, "  Downloaded FAILED:        %s\n", result.file.name.c_str());
        logLine(LOG_MODULES, "  ERROR:       %s\n", result.error->c_str());
    }
    updateProgressLabel();
    if (m_nFilesToDelete == 0) {
        finishRun();
    }
}

void ECPhotoModule::finishRun()
{
    m_running = false;
    const ECPhotoBackupReport& report = m_report;
    ECDeletionTally tally;
    tally.requested = report.requested;
    tally.removed = report.removed;
    tally.unanswered = report.uncertain;
    tally.failed = report.failed - report.uncertain;
    if (report.refused) {
        tally.reasons.append(QString::fromLatin1(ICCameraDevice::BUSY_TEXT)
            + QStringLiteral(" Nothing was copied or removed; try again once it has finished"));
    } else if (tally.failed > report.missing) {
        tally.reasons.append(
            QStringLiteral("%1 in the backup folder says why").arg(QString::fromLatin1(ICBackupLog::FILE_NAME)));
    }
    if (report.missing > 0) {
        tally.reasons.append(QStringLiteral("%1 were no longer on the phone when their turn came").arg(report.missing));
    }
    // The one outcome is the finished line: what went and what it freed, then where the copies are
    // (those whose removal went unanswered too).
    if (report.verified > 0) {
        tally.note = QStringLiteral("The checked copies of %1 are in “%2”.")
                         .arg(countedItems(report.verified), QDir::toNativeSeparators(report.folder));
    }
    finishDeletion(tally);
    updateProgressLabel();
    updateRange();
    if (phoneGone()) {
        // The line says what happened; the phone is not there to open a backup of.
        emit backupFinished();
        return;
    }
    if (host()) {
        host()->openUrl(QUrl::fromLocalFile(report.folder));
    }
    ++m_foldersOpened;
    emit backupFinished();
}
