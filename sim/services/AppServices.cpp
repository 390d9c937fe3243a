#include "base/Log.h"
#include "sim/AFCServer.h"
#include "sim/ServiceCatalog.h"
#include "sim/SimDevice.h"
#include "sim/content/ContentImages.h"
#include "sim/content/ContentSettings.h"
#include "sim/services/DeviceApps.h"
#include "sim/services/DeviceServices.h"
#include "sim/services/PlistChannel.h"

#include <algorithm>
#include <filesystem>

namespace {

DeviceEra eraOf(const SimDevice& device)
{
    return DeviceEra::forVersion(
        SystemVersion::parse(device.profile().productVersion).value_or(SystemVersion { 9, 0, 0 }));
}

} // namespace

void runHouseArrest(SimServiceContext& context)
{
    SimDevice& device = context.device;
    PlistChannel channel(context.stream);
    const auto request = channel.receive();
    if (!request) {
        return;
    }
    const std::string command = request->stringForKey("Command");
    const std::string identifier = request->stringForKey("Identifier");
    if (command != "VendContainer" && command != "VendDocuments") {
        (void)channel.send(PlistDictionary { { "Error", PlistValue("UnknownCommand") } });
        return;
    }
    const auto app = DeviceApps::of(device)->registry().find(identifier);
    const DeviceEra era = eraOf(device);
    bool allowed = app && app->applicationType == "User" && !app->containerPath.empty();
    if (allowed && era.houseArrestRestricted) {
        // Since 8.3: whole containers only for development installs, Documents only for apps that
        // share files.
        allowed = command == "VendContainer" ? app->developerSigned : (app->fileSharingEnabled || app->developerSigned);
    }
    if (!allowed) {
        device.events().postSyslog("installd", 58, "Error",
            "house_arrest: refusing " + command + " for " + (identifier.empty() ? std::string("(none)") : identifier));
        (void)channel.send(PlistDictionary { { "Error", PlistValue("InstallationLookupFailed") } });
        return;
    }
    if (!channel.send(PlistDictionary { { "Status", PlistValue("Complete") } })) {
        return;
    }
    device.events().postSyslog("house_arrest", 71, "Notice", command + " for " + identifier);
    // A documents vend keeps the container's paths ("/Documents/...") but nothing beside them.
    serveAfc(device, context.stream, app->containerPath, command == "VendDocuments" ? "Documents" : "");
}

namespace {

PlistValue iconEntry(const AppRecord& app)
{
    const std::string name = app.displayName && !app.displayName->empty() ? *app.displayName : app.bundleName;
    return PlistDictionary {
        { "displayIdentifier", PlistValue(app.bundleIdentifier) },
        { "bundleIdentifier", PlistValue(app.bundleIdentifier) },
        { "displayName", PlistValue(name) },
        { "bundleVersion", PlistValue(app.bundleVersion) },
        { "iconModDate",
            PlistValue(PlistDate::fromSecondsSince1970(1'400'000'000.0 + double(app.iconSeed % 100'000'000))) },
    };
}

/// Dock first, then pages of 24 icons; the last few user apps are gathered in a folder, as people do.
PlistValue iconState(std::vector<AppRecord> apps)
{
    std::stable_partition(
        apps.begin(), apps.end(), [](const AppRecord& app) { return app.applicationType == "System"; });
    PlistArray state;
    PlistArray dock;
    std::size_t next = 0;
    for (; next < apps.size() && dock.size() < 4; ++next) {
        dock.push_back(iconEntry(apps[next]));
    }
    state.push_back(std::move(dock));
    std::vector<PlistValue> entries;
    const std::size_t folderSize = apps.size() - next >= 12 ? 6 : 0;
    for (; next + folderSize < apps.size(); ++next) {
        entries.push_back(iconEntry(apps[next]));
    }
    if (folderSize > 0) {
        PlistArray folderPage;
        for (; next < apps.size(); ++next) {
            folderPage.push_back(iconEntry(apps[next]));
        }
        entries.push_back(
            PlistDictionary { { "listType", PlistValue("folder") }, { "displayName", PlistValue("Utilities") },
                { "iconLists", PlistValue(PlistArray { PlistValue(std::move(folderPage)) }) } });
    }
    for (std::size_t index = 0; index < entries.size(); index += 24) {
        state.push_back(PlistArray(entries.begin() + std::ptrdiff_t(index),
            entries.begin() + std::ptrdiff_t(std::min(entries.size(), index + 24))));
    }
    return state;
}

} // namespace

void runSpringBoardServices(SimServiceContext& context)
{
    SimDevice& device = context.device;
    PlistChannel channel(context.stream, PlistChannel::Encoding::Binary);
    const auto apps = DeviceApps::of(device);
    while (!context.shouldStop()) {
        const auto request = channel.receive();
        if (!request) {
            return;
        }
        const std::string command = request->stringForKey("command");
        PlistValue reply;
        if (command == "getIconPNGData") {
            const auto app = apps->registry().find(request->stringForKey("bundleId"));
            PlistDictionary dict;
            if (app) {
                const std::string png = ContentImages::appIconPng(*app);
                dict["pngData"] = PlistData(png.begin(), png.end());
            }
            reply = std::move(dict);
        } else if (command == "getIconState") {
            reply = iconState(apps->registry().apps());
        } else if (command == "setIconState") {
            continue; // no answer, as on a device
        } else if (command == "getHomeScreenWallpaperPNGData") {
            const std::string png = ContentImages::wallpaperPng(320, 568);
            reply = PlistDictionary { { "pngData", PlistValue(PlistData(png.begin(), png.end())) } };
        } else if (command == "getInterfaceOrientation") {
            reply = PlistDictionary { { "interfaceOrientation", PlistValue(1) } };
        } else if (command == "getHomeScreenIconMetrics") {
            reply = PlistDictionary { { "homeScreenIconColumns", PlistValue(4) },
                { "homeScreenIconRows", PlistValue(6) }, { "homeScreenIconDockMaxCount", PlistValue(4) },
                { "homeScreenIconFolderColumns", PlistValue(3) }, { "homeScreenIconFolderRows", PlistValue(3) },
                { "homeScreenWidth", PlistValue(375.0) }, { "homeScreenHeight", PlistValue(667.0) } };
        } else {
            reply = PlistDictionary { { "Error", PlistValue("UnknownCommand") } };
        }
        if (!channel.send(reply)) {
            return;
        }
    }
}
