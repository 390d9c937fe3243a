#include "app/ECDeviceProbe.h"

#include "device/AMDevice.h"
#include "device/AMStorageSpace.h"

namespace ECDeviceProbe {

ECDeviceReport probeDevice(const std::shared_ptr<AMDevice>& device, bool withVersion)
{
    ECDeviceReport report;
    report.device = device;
    if (!device) {
        return report;
    }
    if (device->deviceName()) {
        report.name = QString::fromStdString(*device->deviceName());
    }
    if (const std::optional<AMStorageSpace> space = AMStorageSpace::read(*device)) {
        report.mediaOpened = true;
        report.freeBytes = space->freeBytes;
        report.totalBytes = space->totalBytes;
    }
    if (withVersion && !report.usable()) {
        report.state = device->checkUsable();
    }
    if (withVersion && report.usable()) {
        if (std::optional<PlistValue> version = device->deviceValueForKey(std::string("ProductVersion"))) {
            if (const std::string* text = version->asString()) {
                report.productVersion = QString::fromStdString(*text);
            }
        }
    }
    return report;
}

} // namespace ECDeviceProbe
