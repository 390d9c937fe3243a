#include "sim/services/DeviceApps.h"

#include "base/Log.h"
#include "base/PlistValue.h"
#include "sim/SimDevice.h"
#include "sim/content/ContentGenerator.h"
#include "sim/content/SeededRandom.h"
#include "sim/services/ZipReader.h"

#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::mutex s_instancesMutex;
std::map<const SimDevice*, std::weak_ptr<DeviceApps>> s_instances;

std::string parentOf(const std::string& devicePath)
{
    const auto slash = devicePath.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : devicePath.substr(0, slash);
}

bool isSharedFolder(const AppRecord& app)
{
    return !app.containerPath.empty() && app.bundlePath.starts_with(app.containerPath + "/");
}

} // namespace

std::shared_ptr<DeviceApps> DeviceApps::of(SimDevice& device)
{
    std::lock_guard lock(s_instancesMutex);
    if (auto existing = s_instances[&device].lock()) {
        return existing;
    }
    auto apps = std::make_shared<DeviceApps>(device);
    s_instances[&device] = apps;
    return apps;
}

DeviceApps::DeviceApps(SimDevice& device)
    : m_device(device)
    , m_registry(device.hostPath(installedAppsDevicePath()))
{
    std::string error;
    if (!m_registry.load(&error)) {
        logLine(LOG_SIM, "Cannot read the installed apps of %s: %s", device.udid().c_str(), error.c_str());
    }
}

std::string DeviceApps::bundleContainer(const AppRecord& app)
{
    return parentOf(app.bundlePath);
}

std::int64_t DeviceApps::staticDiskUsage(const AppRecord& app) const
{
    if (app.applicationType == "System") {
        // System bundles sit on the system volume, which this model does not hold.
        return 4'000'000 + std::int64_t(app.iconSeed % 90'000'000);
    }
    SimStorage& storage = m_device.storage();
    if (!isSharedFolder(app)) {
        // The whole bundle container: the .app and the store's metadata beside it.
        return std::int64_t(storage.allocationForTree(m_device.hostPath(bundleContainer(app))));
    }
    // Before iOS 8 bundle and data share one folder: the .app and the files beside it.
    std::uint64_t total = storage.allocationForTree(m_device.hostPath(app.bundlePath));
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_device.hostPath(app.containerPath), ec)) {
        if (entry.is_regular_file(ec)) {
            total += storage.allocationForPath(entry.path());
        }
    }
    return std::int64_t(total);
}

std::int64_t DeviceApps::dynamicDiskUsage(const AppRecord& app) const
{
    if (app.containerPath.empty()) {
        return 0;
    }
    auto total = std::int64_t(m_device.storage().allocationForTree(m_device.hostPath(app.containerPath)));
    if (isSharedFolder(app)) {
        total -= staticDiskUsage(app);
    }
    return std::max<std::int64_t>(total, 0);
}

PlistValue DeviceApps::attributes(const AppRecord& app) const
{
    return app.attributes(staticDiskUsage(app), dynamicDiskUsage(app));
}

DeviceApps::RemoveResult DeviceApps::uninstall(const std::string& bundleIdentifier, std::int64_t* freedBytes)
{
    const auto app = m_registry.find(bundleIdentifier);
    if (!app) {
        return RemoveResult::NotInstalled;
    }
    if (app->applicationType != "User") {
        return RemoveResult::Prohibited;
    }
    SimStorage& storage = m_device.storage();
    std::uint64_t freed = 0;
    {
        std::lock_guard lock(storage.mutationMutex());
        std::vector<std::string> folders { bundleContainer(*app) };
        if (!app->containerPath.empty() && !isSharedFolder(*app)) {
            folders.push_back(app->containerPath);
        }
        for (const std::string& folder : folders) {
            const fs::path host = m_device.hostPath(folder);
            const std::uint64_t before = storage.allocationForTree(host);
            std::error_code ec;
            fs::remove_all(host, ec);
            const std::uint64_t after = storage.allocationForTree(host);
            storage.recordChange(before, after);
            freed += before - std::min(before, after);
            m_device.birthTimes().removeTree(folder);
            if (ec) {
                logLine(LOG_SIM, "Cannot remove %s: %s", folder.c_str(), ec.message().c_str());
                return RemoveResult::Failed;
            }
        }
    }
    (void)m_registry.remove(bundleIdentifier); // in memory at once; the file is rewritten by remove()
    if (freedBytes) {
        *freedBytes = std::int64_t(freed);
    }
    SimEventBus& events = m_device.events();
    events.postSyslog("installd", 58, "Notice",
        "0x16e0a7000 -[MIClientConnection uninstallIdentifiers:withOptions:completion:]: Uninstall requested by "
        "installcoordinationd for identifier "
            + bundleIdentifier);
    events.postSyslog("installd", 58, "Notice",
        "0x16e0a7000 -[MIUninstaller _uninstallBundle:] Destroying container with identifier " + bundleIdentifier
            + " at " + app->containerPath);
    events.postSyslog("SpringBoard", 49, "Notice", "Removing icon for " + bundleIdentifier);
    events.postNotification("com.apple.mobile.application_uninstalled");
    return RemoveResult::Removed;
}

std::optional<AppRecord> DeviceApps::installAppFolder(const std::string& packageDevicePath, std::string* error)
{
    auto fail = [error](const char* name) -> std::optional<AppRecord> {
        if (error) {
            *error = name;
        }
        return std::nullopt;
    };
    const fs::path package = m_device.hostPath(packageDevicePath);
    std::error_code ec;
    if (!fs::is_directory(package, ec)) {
        return fail(fs::exists(package, ec) ? "PackageInspectionFailed" : "PackageExtractionFailed");
    }
    std::ifstream in(package / "Info.plist", std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const auto info = PlistCodec::fromAny(buffer.str());
    if (!info || !info->isDictionary()) {
        return fail("PackageInspectionFailed");
    }
    AppRecord app;
    app.bundleIdentifier = info->stringForKey("CFBundleIdentifier");
    app.executable = info->stringForKey("CFBundleExecutable");
    if (app.bundleIdentifier.empty()) {
        return fail("MissingBundleIdentifier");
    }
    if (app.executable.empty() || !fs::exists(package / app.executable, ec)) {
        return fail("MissingBundleExecutable");
    }
    if (const PlistValue* name = info->find("CFBundleDisplayName"); name && name->isString()) {
        app.displayName = *name->asString();
    }
    app.bundleName = info->stringForKey("CFBundleName");
    app.bundleVersion = info->stringForKey("CFBundleVersion");
    app.shortVersion = info->stringForKey("CFBundleShortVersionString");
    app.minimumOSVersion = info->stringForKey("MinimumOSVersion");
    app.applicationType = "User";
    if (const PlistValue* sharing = info->find("UIFileSharingEnabled")) {
        app.fileSharingEnabled = sharing->toBool().value_or(false);
    }
    // A package put in place by a host tool is a development install.
    app.developerSigned = true;
    app.signerIdentity = "iPhone Developer: Sam Carter (7RX3KQ2P9L)";

    SeededRandom random(std::hash<std::string> {}(app.bundleIdentifier + packageDevicePath)
        ^ std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()));
    app.iconSeed = std::uint32_t(random.next());
    const auto previous = m_registry.find(app.bundleIdentifier);
    const std::string folderName = fs::path(packageDevicePath).filename().string();
    const std::string appFolder = folderName.ends_with(".app") ? folderName : app.executable + ".app";
    const std::string bundleRoot = "/private/var/containers/Bundle/Application/" + random.uuid();
    app.bundlePath = bundleRoot + "/" + appFolder;
    app.containerPath = previous && !previous->containerPath.empty()
        ? previous->containerPath
        : "/private/var/mobile/Containers/Data/Application/" + random.uuid();
    app.sequenceNumber = 1;
    for (const AppRecord& other : m_registry.apps()) {
        app.sequenceNumber = std::max(app.sequenceNumber, other.sequenceNumber + 1);
    }

    SimStorage& storage = m_device.storage();
    {
        std::lock_guard lock(storage.mutationMutex());
        // The package moves; its space stays charged, only under a new name.
        fs::create_directories(m_device.hostPath(bundleRoot), ec);
        fs::rename(package, m_device.hostPath(app.bundlePath), ec);
        if (ec) {
            return fail("ApplicationMoveFailed");
        }
        m_device.birthTimes().renameTree(packageDevicePath, app.bundlePath);
        for (const char* folder : { "/Documents", "/Library/Caches", "/Library/Preferences", "/tmp" }) {
            fs::create_directories(m_device.hostPath(app.containerPath + folder), ec);
        }
        if (previous) {
            const fs::path oldBundle = m_device.hostPath(bundleContainer(*previous));
            const std::uint64_t before = storage.allocationForTree(oldBundle);
            fs::remove_all(oldBundle, ec);
            storage.recordChange(before, 0);
            m_device.birthTimes().removeTree(bundleContainer(*previous));
        }
    }
    if (!m_registry.put(app)) {
        return fail("InstallMapUpdateFailed");
    }
    m_device.events().postSyslog("installd", 58, "Notice",
        "0x16e0a7000 -[MIInstaller performInstallationWithError:] Installed " + app.bundleIdentifier + " at "
            + app.bundlePath);
    m_device.events().postNotification("com.apple.mobile.application_installed");
    return app;
}

std::optional<AppRecord> DeviceApps::installPackage(const std::string& packageDevicePath, std::string* error)
{
    auto fail = [error](const char* name) -> std::optional<AppRecord> {
        if (error) {
            *error = name;
        }
        return std::nullopt;
    };
    const fs::path package = m_device.hostPath(packageDevicePath);
    std::error_code ec;
    if (fs::is_directory(package, ec)) {
        return installAppFolder(packageDevicePath, error);
    }
    if (!fs::is_regular_file(package, ec)) {
        return fail("PackageExtractionFailed");
    }
    // Packages are read whole; an app store package is far below this.
    constexpr std::uint64_t MAX_PACKAGE = 1ULL << 30;
    if (fs::file_size(package, ec) > MAX_PACKAGE) {
        return fail("PackageExtractionFailed");
    }
    std::string bytes;
    {
        std::ifstream in(package, std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        bytes = buffer.str();
    }
    ZipReader zip(bytes);
    if (!zip.open()) {
        logLine(LOG_SIM, "Cannot open package %s: %s", packageDevicePath.c_str(), zip.error().c_str());
        return fail("PackageExtractionFailed");
    }
    // The one Payload/<Name>.app; entries elsewhere (iTunesMetadata.plist, SC_Info) are skipped.
    std::string appFolder;
    for (const ZipReader::Entry& entry : zip.entries()) {
        const fs::path name = fs::path(entry.name).lexically_normal();
        auto part = name.begin();
        if (part != name.end() && *part == "Payload" && ++part != name.end() && part->extension() == ".app") {
            appFolder = part->string();
            break;
        }
    }
    if (appFolder.empty()) {
        return fail("PackageInspectionFailed");
    }
    SeededRandom random(std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()));
    const std::string staging = "/private/var/mobile/Library/Caches/com.apple.mobile.installd.staging/" + random.uuid();
    const std::string stagedApp = staging + "/" + appFolder;
    const fs::path stagingHost = m_device.hostPath(staging);
    SimStorage& storage = m_device.storage();
    auto discardStaging = [&] {
        std::lock_guard lock(storage.mutationMutex());
        const std::uint64_t before = storage.allocationForTree(stagingHost);
        fs::remove_all(stagingHost, ec);
        storage.recordChange(before, 0);
    };
    const std::string prefix = "Payload/" + appFolder + "/";
    for (const ZipReader::Entry& entry : zip.entries()) {
        if (!entry.name.starts_with(prefix) || entry.isDirectory()) {
            continue;
        }
        // Nothing may land outside the staged bundle, whatever the archive says.
        const fs::path relative = fs::path(entry.name.substr(prefix.size())).lexically_normal();
        if (relative.empty() || relative.is_absolute() || *relative.begin() == ".."
            || (entry.unixMode & 0170000) == 0120000) {
            discardStaging();
            return fail("PackageExtractionFailed");
        }
        const auto data = zip.read(entry, MAX_PACKAGE);
        bool written = false;
        if (data) {
            std::lock_guard lock(storage.mutationMutex());
            if (storage.canAllocate(storage.roundUp(data->size()))) {
                const fs::path target = m_device.hostPath(stagedApp) / relative;
                fs::create_directories(target.parent_path(), ec);
                std::ofstream out(target, std::ios::binary | std::ios::trunc);
                out.write(data->data(), std::streamsize(data->size()));
                written = bool(out);
                out.close();
                storage.recordChange(0, storage.allocationForPath(target));
            }
        }
        if (!written) {
            logLine(LOG_SIM, "Cannot unpack %s: %s", entry.name.c_str(), data ? "no space" : zip.error().c_str());
            discardStaging();
            return fail("PackageExtractionFailed");
        }
    }
    auto app = installAppFolder(stagedApp, error);
    discardStaging();
    if (app) {
        std::lock_guard lock(storage.mutationMutex());
        const std::uint64_t before = storage.allocationForPath(package);
        fs::remove(package, ec);
        storage.recordChange(before, 0);
        m_device.birthTimes().removeTree(packageDevicePath);
    }
    return app;
}
