#include "app/ECDeviceProbe.h"

#include "device/AFCDirectoryAccess.h"
#include "device/AMDevice.h"
#include "device/AMStorageSpace.h"
#include "modules/music/ECMusicModule.h"

#include <QTemporaryDir>

namespace {

/// The largest library (with its log) copied to count the music: a phone's is a few MB; one far
/// beyond that is not worth holding the phone for, and its music stays part of "other".
constexpr std::int64_t MAX_LIBRARY_BYTES = 256LL * 1024 * 1024;

/// The size of `path` on the phone: 0 when absent, nothing when it cannot be told.
std::optional<std::int64_t> remoteFileBytes(AFCDirectoryAccess& media, const std::string& path)
{
    const std::optional<bool> exists = media.existsAtPath(path);
    if (!exists) {
        return std::nullopt;
    }
    if (!*exists) {
        return 0;
    }
    const std::optional<PlistDictionary> info = media.getFileInfo(path);
    if (!info) {
        return std::nullopt;
    }
    const auto size = info->find("st_size");
    return size == info->end() ? std::nullopt : AMStorageSpace::byteCount(size->second);
}

/// The bytes of the songs and podcasts in the phone's media library, read from a private copy;
/// nothing when the phone has no library, it cannot be read or it is too large to copy.
std::optional<std::int64_t> mediaLibraryBytes(AFCDirectoryAccess& media)
{
    const std::string remote = std::string(ECMusicModule::REMOTE_DIR) + ECMusicModule::FILE_NAME;
    const std::optional<std::int64_t> library = remoteFileBytes(media, remote);
    const std::optional<std::int64_t> log
        = remoteFileBytes(media, std::string(ECMusicModule::REMOTE_DIR) + ECMusicModule::WAL_FILE_NAME);
    if (!library || !log || *library <= 0 || *library > MAX_LIBRARY_BYTES || *log > MAX_LIBRARY_BYTES - *library) {
        return std::nullopt;
    }
    const QTemporaryDir folder;
    std::int64_t total = 0;
    const bool read
        = folder.isValid() && ECMusicModule::readLibrary(media, folder.path(), [&total](const ECModuleItem& item) {
              total += std::max<std::int64_t>(item.sizeOrZero(), 0);
              return true;
          });
    return read ? std::optional<std::int64_t>(total) : std::nullopt;
}

} // namespace

namespace ECDeviceProbe {

ECDeviceReport probeDevice(const std::shared_ptr<AMDevice>& device, bool forSelection)
{
    ECDeviceReport report;
    report.device = device;
    if (!device) {
        return report;
    }
    if (device->deviceName()) {
        report.name = QString::fromStdString(*device->deviceName());
    }
    {
        // Everything the window shows comes through one session: the media area's figures, where
        // its space goes and the system version, which the home screen's buttons depend on.
        const AMDeviceSessionHold session(*device);
        const std::unique_ptr<AFCMediaDirectory> media = session ? AFCMediaDirectory::create(*device) : nullptr;
        if (media) {
            const std::optional<PlistDictionary> info = media->deviceInfo();
            media->close();
            if (const std::optional<PlistValue> diskUsage = device->allDeviceValuesForDomain("com.apple.disk_usage")) {
                if (const PlistDictionary* values = diskUsage->asDictionary()) {
                    report.usage = ECCategoryUsage::fromDiskUsage(*values);
                }
            }
            const AMStorageSpace space = info ? AMStorageSpace::fromDeviceInfo(*info) : AMStorageSpace {};
            report.mediaOpened = true;
            report.freeBytes = space.freeBytes;
            report.totalBytes = space.totalBytes;
            if (std::optional<PlistValue> version = device->deviceValueForKey(std::string("ProductVersion"))) {
                if (const std::string* text = version->asString()) {
                    report.productVersion = QString::fromStdString(*text);
                }
            }
        }
    }
    if (forSelection && !report.usable()) {
        report.state = device->checkUsable();
    }
    return report;
}

std::optional<std::int64_t> readMusicBytes(const std::shared_ptr<AMDevice>& device)
{
    if (!device) {
        return std::nullopt;
    }
    const AMDeviceSessionHold session(*device);
    const std::unique_ptr<AFCMediaDirectory> media = session ? AFCMediaDirectory::create(*device) : nullptr;
    if (!media) {
        return std::nullopt;
    }
    std::optional<std::int64_t> bytes = mediaLibraryBytes(*media);
    media->close();
    return bytes;
}

} // namespace ECDeviceProbe
