#include "app/ECDeviceProbe.h"

#include "device/AFCDirectoryAccess.h"
#include "device/AMDevice.h"
#include "device/AMStorageSpace.h"
#include "modules/music/ECMusicModule.h"

#include <QTemporaryDir>

namespace {

/// The bytes of the songs and podcasts in the phone's media library, read from a private copy;
/// nothing when the phone has no library or it cannot be read.
std::optional<std::int64_t> mediaLibraryBytes(AFCDirectoryAccess& media)
{
    if (!media.fileExistsAtPath(std::string(ECMusicModule::REMOTE_DIR) + ECMusicModule::FILE_NAME)) {
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
            // Read in the same look as the counts, so the breakdown adds up with them.
            const std::optional<std::int64_t> music = mediaLibraryBytes(*media);
            media->close();
            if (const std::optional<PlistValue> diskUsage = device->allDeviceValuesForDomain("com.apple.disk_usage")) {
                if (const PlistDictionary* values = diskUsage->asDictionary()) {
                    report.usage = ECCategoryUsage::fromDiskUsage(*values);
                }
            }
            report.usage.musicBytes = music;
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

} // namespace ECDeviceProbe
