#include "app/ECDeviceProbe.h"

#include "device/AFCDirectoryAccess.h"
#include "device/AMDevice.h"
#include "device/AMStorageSpace.h"

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
        // Everything the window shows comes through one session: the media area's figures and the
        // system version, which the home screen's buttons depend on.
        const AMDeviceSessionHold session(*device);
        const std::unique_ptr<AFCMediaDirectory> media = session ? AFCMediaDirectory::create(*device) : nullptr;
        if (media) {
            const std::optional<PlistDictionary> info = media->deviceInfo();
            media->close();
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
