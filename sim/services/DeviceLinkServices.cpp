#include "base/Log.h"
#include "sim/ServiceCatalog.h"
#include "sim/SimDevice.h"
#include "sim/content/ContentImages.h"
#include "sim/content/ContentSettings.h"
#include "sim/content/MediaFormats.h"
#include "sim/services/DeviceApps.h"
#include "sim/services/DeviceServices.h"
#include "sim/services/PlistChannel.h"

#include <QImage>

#include <algorithm>
#include <ctime>
#include <set>

namespace {

std::string messageName(const PlistValue& message)
{
    const PlistArray* array = message.asArray();
    return array && !array->empty() && array->front().isString() ? *array->front().asString() : std::string();
}

/// The device-link handshake: the device offers its version, the host accepts, the device is ready.
bool handshake(PlistChannel& channel, int major, int minor)
{
    if (!channel.send(PlistArray { PlistValue("DLMessageVersionExchange"), PlistValue(major), PlistValue(minor) })) {
        return false;
    }
    const auto answer = channel.receive();
    // Any version number the host states is fine; only the acceptance matters.
    if (!answer || messageName(*answer) != "DLMessageVersionExchange" || answer->asArray()->size() < 2
        || !answer->asArray()->at(1).isString() || *answer->asArray()->at(1).asString() != "DLVersionsOk") {
        return false;
    }
    return channel.send(PlistArray { PlistValue("DLMessageDeviceReady") });
}

/// Screen sizes in pixels of the product types the profiles use.
std::pair<int, int> screenSize(const std::string& productType)
{
    if (productType.starts_with("iPhone15,") || productType.starts_with("iPhone14,")) {
        return { 1179, 2556 };
    }
    if (productType.starts_with("iPhone12,") || productType.starts_with("iPhone11,8")) {
        return { 828, 1792 };
    }
    if (productType == "iPhone7,1" || productType == "iPhone8,2") {
        return { 1080, 1920 };
    }
    if (productType.starts_with("iPhone4,") || productType.starts_with("iPhone3,")) {
        return { 640, 960 };
    }
    return { 750, 1334 };
}

std::string screenshotBytes(SimDevice& device, bool tiff)
{
    std::vector<AppRecord> apps = DeviceApps::of(device)->registry().apps();
    // The user's apps first on the home screen, as people arrange them.
    std::stable_partition(
        apps.begin(), apps.end(), [](const AppRecord& app) { return app.applicationType == "System"; });
    const std::time_t now = std::time(nullptr);
    std::tm tm {};
    localtime_r(&now, &tm);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M", &tm);
    const auto [width, height] = screenSize(device.profile().productType);
    const QImage image = ContentImages::homeScreen(apps, clock, width, height);
    if (!tiff) {
        return ContentImages::encodePng(image);
    }
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    std::string pixels;
    pixels.reserve(std::size_t(width) * std::size_t(height) * 3);
    for (int y = 0; y < rgb.height(); ++y) {
        pixels.append(reinterpret_cast<const char*>(rgb.constScanLine(y)), std::size_t(width) * 3);
    }
    return MediaFormats::tiffRgb(width, height, pixels);
}

} // namespace

void runScreenshotr(SimServiceContext& context)
{
    SimDevice& device = context.device;
    const DeviceEra era = DeviceEra::forVersion(
        SystemVersion::parse(device.profile().productVersion).value_or(SystemVersion { 9, 0, 0 }));
    PlistChannel channel(context.stream, PlistChannel::Encoding::Binary);
    if (!handshake(channel, era.screenshotrMajor, 0)) {
        return;
    }
    while (!context.shouldStop()) {
        const auto message = channel.receive();
        if (!message) {
            return;
        }
        const std::string name = messageName(*message);
        if (name == "DLMessageDisconnect") {
            return;
        }
        if (name != "DLMessageProcessMessage" || message->asArray()->size() < 2) {
            continue; // pings and the like need no answer
        }
        const PlistValue& payload = message->asArray()->at(1);
        PlistDictionary reply;
        if (payload.stringForKey("MessageType") == "ScreenShotRequest") {
            const std::string bytes = screenshotBytes(device, era.screenshotsAsTiff);
            reply["MessageType"] = "ScreenShotReply";
            reply["ScreenShotData"] = PlistData(bytes.begin(), bytes.end());
            device.events().postSyslog("SpringBoard", 49, "Notice", "Taking a screenshot for a host client");
        } else {
            reply["ErrorMessage"] = "Unknown message type";
        }
        if (!channel.send(PlistArray { PlistValue("DLMessageProcessMessage"), PlistValue(std::move(reply)) })) {
            return;
        }
    }
}

void runMobileSync(SimServiceContext& context)
{
    PlistChannel channel(context.stream, PlistChannel::Encoding::Binary);
    if (!handshake(channel, 300, 100)) {
        return;
    }
    const std::set<std::string> knownClasses { "com.apple.Contacts", "com.apple.Calendars", "com.apple.Bookmarks",
        "com.apple.Notes" };
    while (!context.shouldStop()) {
        const auto message = channel.receive();
        if (!message || !message->isArray()) {
            return;
        }
        const PlistArray& array = *message->asArray();
        const std::string name = messageName(*message);
        const std::string dataClass = array.size() > 1 && array[1].isString() ? *array[1].asString() : std::string();
        if (name == "DLMessageDisconnect") {
            return;
        }
        PlistArray reply;
        if (name == "SDMessageSyncDataClassWithDevice") {
            if (knownClasses.count(dataClass) == 0) {
                reply = { PlistValue("SDMessageRefuseToSyncDataClassWithComputer"), PlistValue(dataClass),
                    PlistValue("Unsupported data class") };
            } else {
                // A device without earlier anchors asks for a slow sync.
                const std::string deviceAnchor = "---";
                reply = { PlistValue("SDMessageSyncDataClassWithComputer"), PlistValue(dataClass),
                    PlistValue(deviceAnchor), PlistValue(std::to_string(std::time(nullptr))),
                    PlistValue("SDSyncTypeSlow"), PlistValue(106) };
            }
        } else if (name == "SDMessageGetAllRecordsFromDevice" || name == "SDMessageGetChangesFromDevice"
            || name == "SDMessageAcknowledgeChangesFromDevice") {
            reply = { PlistValue("SDMessageProcessChanges"), PlistValue(dataClass), PlistValue(PlistDictionary {}),
                PlistValue(false), PlistValue(PlistDictionary {}) };
        } else if (name == "SDMessageFinishSessionOnDevice") {
            reply = { PlistValue("SDMessageDeviceFinishedSession"), PlistValue(dataClass) };
        } else if (name == "SDMessageCancelSession") {
            continue;
        } else {
            reply = { PlistValue("SDMessageCancelSession"), PlistValue(dataClass),
                PlistValue("The device does not handle " + name) };
        }
        if (!channel.send(PlistValue(std::move(reply)))) {
            return;
        }
    }
}
