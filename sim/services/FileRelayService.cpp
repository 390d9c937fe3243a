#include "sim/ServiceCatalog.h"
#include "sim/SimDevice.h"
#include "sim/SimStream.h"
#include "sim/content/ContentSettings.h"
#include "sim/services/DeviceServices.h"
#include "sim/services/FileRelayArchive.h"
#include "sim/services/PlistChannel.h"

#include <map>

namespace {

/// Device folders each source gathers. Sources a device knows but this one holds nothing for
/// give an empty staging area.
const std::map<std::string, std::vector<std::string>>& sourceFolders()
{
    static const std::map<std::string, std::vector<std::string>> folders {
        { "AppleSupport", { "/private/var/logs/AppleSupport" } },
        { "Network", { "/private/var/preferences/SystemConfiguration" } },
        { "VPN", { "/private/var/preferences/vpn" } },
        { "WiFi", { "/private/var/preferences/SystemConfiguration/com.apple.wifi.plist" } },
        { "UserDatabases", { "/private/var/mobile/Library/AddressBook", "/private/var/mobile/Library/Calendar" } },
        { "CrashReporter", { "/private/var/mobile/Library/Logs/CrashReporter" } },
        { "tmp", { "/private/var/tmp" } },
        { "SystemConfiguration", { "/private/var/preferences/SystemConfiguration" } },
        { "Baseband", { "/private/var/wireless/Library/Logs" } },
        { "MobileAsset", { "/private/var/mobile/Library/Logs/MobileAsset" } },
        { "VARFS", { "/private/var/logs" } },
        { "HFSMeta", {} },
        { "Lockdown", { "/private/var/root/Library/Lockdown" } },
        { "MobileBackup", { "/private/var/mobile/Library/Logs/MobileBackup" } },
        { "MobileDelete", { "/private/var/mobile/Library/Logs/MobileDelete" } },
        { "MobileInstallation",
            { "/private/var/mobile/Library/Logs/MobileInstallation",
                "/private/var/mobile/Library/MobileInstallation" } },
        { "MobileNotes", { "/private/var/mobile/Library/Notes" } },
        { "WirelessAutomation", {} },
        { "NANDDebugInfo", {} },
        { "Ubiquity", { "/private/var/mobile/Library/Logs/Ubiquity" } },
    };
    return folders;
}

} // namespace

void runFileRelay(SimServiceContext& context)
{
    SimDevice& device = context.device;
    PlistChannel channel(context.stream);
    const auto request = channel.receive();
    if (!request) {
        return;
    }
    auto refuse = [&](const char* error) { (void)channel.send(PlistDictionary { { "Error", PlistValue(error) } }); };
    const PlistValue* sources = request->find("Sources");
    if (!sources || !sources->isArray() || sources->asArray()->empty()) {
        refuse("InvalidSource");
        return;
    }
    const DeviceEra era = DeviceEra::forVersion(
        SystemVersion::parse(device.profile().productVersion).value_or(SystemVersion { 9, 0, 0 }));
    std::vector<std::string> paths;
    for (const PlistValue& source : *sources->asArray()) {
        const auto folders = source.isString() ? sourceFolders().find(*source.asString()) : sourceFolders().end();
        if (folders == sourceFolders().end()) {
            refuse("InvalidSource");
            return;
        }
        paths.insert(paths.end(), folders->second.begin(), folders->second.end());
    }
    // Later systems closed the relay to ordinary hosts.
    if (era.version.atLeast(11)) {
        refuse("PermissionDenied");
        return;
    }
    FileRelayArchive archive(device.fsRoot());
    for (const std::string& path : paths) {
        archive.addTree(path);
    }
    if (archive.fileCount() == 0) {
        refuse("StagingEmpty");
        return;
    }
    const auto gzip = archive.finishGzip();
    if (!gzip) {
        refuse("StagingFailed");
        return;
    }
    if (!channel.send(PlistDictionary { { "Status", PlistValue("Acknowledged") } })) {
        return;
    }
    device.events().postSyslog("file_relay", 88, "Notice",
        "Sending " + std::to_string(archive.fileCount()) + " files (" + std::to_string(gzip->size()) + " bytes)");
    (void)context.stream.writeAll(gzip->data(), gzip->size());
    // The device ends the archive by closing the connection (the caller closes on return).
}
