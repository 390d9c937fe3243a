#include "base/Log.h"
#include "sim/ServiceCatalog.h"
#include "sim/SimDevice.h"
#include "sim/content/ContentSettings.h"
#include "sim/services/DeviceApps.h"
#include "sim/services/DeviceServices.h"
#include "sim/services/PlistChannel.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace {

/// Apps per Browse page; the device's choice, small enough that every client meets several pages.
constexpr std::size_t PAGE_SIZE = 20;

PlistValue errorReply(const std::string& name, const std::string& description = {}, std::int64_t detail = 0)
{
    PlistDictionary reply;
    reply["Error"] = name;
    if (!description.empty()) {
        reply["ErrorDescription"] = description;
    }
    if (detail != 0) {
        reply["ErrorDetail"] = detail;
    }
    return reply;
}

PlistValue progress(const char* status, int percent)
{
    return PlistDictionary { { "Status", PlistValue(status) }, { "PercentComplete", PlistValue(percent) } };
}

PlistValue complete()
{
    return PlistDictionary { { "Status", PlistValue("Complete") } };
}

DeviceEra eraOf(const SimDevice& device)
{
    return DeviceEra::forVersion(
        SystemVersion::parse(device.profile().productVersion).value_or(SystemVersion { 9, 0, 0 }));
}

struct Options
{
    std::optional<std::string> applicationType;
    std::optional<std::set<std::string>> returnAttributes;
    std::optional<std::set<std::string>> bundleIds;
    std::optional<std::string> attribute;
};

Options readOptions(const PlistValue& request)
{
    Options options;
    const PlistValue* clientOptions = request.find("ClientOptions");
    if (!clientOptions || !clientOptions->isDictionary()) {
        return options;
    }
    if (const PlistValue* type = clientOptions->find("ApplicationType"); type && type->isString()) {
        options.applicationType = *type->asString();
    }
    auto stringSet = [](const PlistValue* value) -> std::optional<std::set<std::string>> {
        if (!value || !value->isArray()) {
            return std::nullopt;
        }
        std::set<std::string> names;
        for (const PlistValue& item : *value->asArray()) {
            if (item.isString()) {
                names.insert(*item.asString());
            }
        }
        return names;
    };
    options.returnAttributes = stringSet(clientOptions->find("ReturnAttributes"));
    options.bundleIds = stringSet(clientOptions->find("BundleIDs"));
    if (const PlistValue* attribute = clientOptions->find("Attribute"); attribute && attribute->isString()) {
        options.attribute = *attribute->asString();
    }
    return options;
}

bool typeMatches(const AppRecord& app, const Options& options)
{
    if (!options.applicationType || *options.applicationType == "Any") {
        return true;
    }
    return app.applicationType == *options.applicationType;
}

/// The app's attributes reduced to what was asked for. Disk usages need a walk of the
/// container, so they are computed only when wanted.
std::optional<PlistValue> attributesFor(DeviceApps& apps, const AppRecord& app, const Options& options)
{
    const bool wantsAll = !options.returnAttributes.has_value();
    auto wants = [&](const char* key) { return wantsAll || options.returnAttributes->count(key) != 0; };
    PlistValue all = app.attributes(wants("StaticDiskUsage") ? apps.staticDiskUsage(app) : 0,
        wants("DynamicDiskUsage") ? apps.dynamicDiskUsage(app) : 0);
    if (options.attribute && !all.find(*options.attribute)) {
        return std::nullopt;
    }
    if (wantsAll) {
        return all;
    }
    PlistDictionary selected;
    for (const auto& [key, value] : *all.asDictionary()) {
        if (options.returnAttributes->count(key) != 0) {
            selected[key] = value;
        }
    }
    return PlistValue(std::move(selected));
}

class InstallationProxy
{
public:
    explicit InstallationProxy(SimServiceContext& context)
        : m_device(context.device)
        , m_channel(context.stream)
        , m_apps(DeviceApps::of(context.device))
        , m_era(eraOf(context.device))
    {
    }

    void run()
    {
        while (true) {
            std::string error;
            const auto request = m_channel.receive(&error);
            if (!request) {
                if (!error.empty()) {
                    logLine(LOG_SIM, "installation_proxy: %s", error.c_str());
                }
                return;
            }
            if (!handle(*request)) {
                return;
            }
        }
    }

private:
    bool handle(const PlistValue& request)
    {
        const PlistValue* command = request.find("Command");
        if (!command || !command->isString()) {
            return m_channel.send(errorReply("MissingCommand", "No command was given."));
        }
        const std::string& name = *command->asString();
        const auto injected = m_device.faults().snapshot().installerErrors;
        if (const auto fault = injected.find(name); fault != injected.end()) {
            return m_channel.send(errorReply(fault->second, "Refused by an injected fault."));
        }
        if (const auto done = m_device.faults().takeInstallerCutReply(name)) {
            // The question arrives, the answer is lost: the client cannot tell from this
            // connection whether the work was done, only by asking again.
            logLine(LOG_SIM, "installation_proxy: %s cut off %s it is done", name.c_str(), *done ? "after" : "before");
            if (*done) {
                m_channel.hold();
                (void)perform(name, request);
                m_channel.sendHalfOfHeld();
            }
            return false;
        }
        return perform(name, request);
    }

    bool perform(const std::string& name, const PlistValue& request)
    {
        if (name == "Browse") {
            return browse(request);
        }
        if (name == "Lookup") {
            return lookup(request);
        }
        if (name == "Uninstall") {
            return uninstall(request);
        }
        if (name == "Install" || name == "Upgrade") {
            return install(request, name == "Upgrade");
        }
        if (name == "CheckCapabilitiesMatch") {
            return m_channel.send(
                PlistDictionary { { "LookupResult", PlistValue(true) }, { "Status", PlistValue("Complete") } });
        }
        if (name == "Archive" || name == "Restore" || name == "RemoveArchive" || name == "LookupArchives") {
            if (!m_era.installerArchives) {
                return m_channel.send(errorReply("UnknownCommand"));
            }
            if (name == "Archive") {
                return archive(request);
            }
            if (name == "Restore") {
                return restore(request);
            }
            if (name == "RemoveArchive") {
                return removeArchive(request);
            }
            return lookupArchives();
        }
        return m_channel.send(errorReply("UnknownCommand", "Unknown command " + name));
    }

    bool browse(const PlistValue& request)
    {
        const Options options = readOptions(request);
        std::vector<PlistValue> list;
        for (const AppRecord& app : m_apps->registry().apps()) {
            if (!typeMatches(app, options)) {
                continue;
            }
            if (auto attributes = attributesFor(*m_apps, app, options)) {
                list.push_back(std::move(*attributes));
            }
        }
        m_device.events().postSyslog("installd", 58, "Notice",
            "0x16e0a7000 -[MIClientConnection browseWithOptions:] Browsing " + std::to_string(list.size())
                + " applications");
        for (std::size_t index = 0; index < list.size(); index += PAGE_SIZE) {
            const std::size_t amount = std::min(PAGE_SIZE, list.size() - index);
            PlistDictionary page;
            page["Status"] = "BrowsingApplications";
            page["CurrentIndex"] = std::int64_t(index);
            page["CurrentAmount"] = std::int64_t(amount);
            page["Total"] = std::int64_t(list.size());
            page["CurrentList"]
                = PlistArray(list.begin() + std::ptrdiff_t(index), list.begin() + std::ptrdiff_t(index + amount));
            if (!m_channel.send(page)) {
                return false;
            }
        }
        return m_channel.send(complete());
    }

    bool lookup(const PlistValue& request)
    {
        const Options options = readOptions(request);
        PlistDictionary result;
        for (const AppRecord& app : m_apps->registry().apps()) {
            if (!typeMatches(app, options)
                || (options.bundleIds && options.bundleIds->count(app.bundleIdentifier) == 0)) {
                continue;
            }
            if (auto attributes = attributesFor(*m_apps, app, options)) {
                result[app.bundleIdentifier] = std::move(*attributes);
            }
        }
        return m_channel.send(PlistDictionary {
            { "LookupResult", PlistValue(std::move(result)) }, { "Status", PlistValue("Complete") } });
    }

    static std::string identifierOf(const PlistValue& request) { return request.stringForKey("ApplicationIdentifier"); }

    bool uninstall(const PlistValue& request)
    {
        const std::string identifier = identifierOf(request);
        if (identifier.empty()) {
            return m_channel.send(errorReply("MissingApplicationIdentifier",
                "Missing application identifier in request.", std::int64_t(0xE8008028)));
        }
        if (!m_channel.send(progress("RemovingApplication", 50))) {
            return false;
        }
        std::int64_t freed = 0;
        switch (m_apps->uninstall(identifier, &freed)) {
        case DeviceApps::RemoveResult::Prohibited:
            return m_channel.send(errorReply("UninstallProhibited",
                "Uninstall of " + identifier + " is prohibited because it is a system app.", std::int64_t(0xE800801C)));
        case DeviceApps::RemoveResult::Failed:
            return m_channel.send(errorReply("ContainerRemovalFailed",
                "Failed to remove the container of " + identifier + ".", std::int64_t(0xE8008012)));
        case DeviceApps::RemoveResult::NotInstalled:
            // Devices were seen to finish quietly for an identifier that is not installed.
        case DeviceApps::RemoveResult::Removed:
            break;
        }
        return m_channel.send(progress("GeneratingApplicationMap", 90)) && m_channel.send(complete());
    }

    bool install(const PlistValue& request, bool upgrade)
    {
        const std::string packagePath = request.stringForKey("PackagePath");
        if (packagePath.empty()) {
            return m_channel.send(errorReply("MissingPackagePath", "No package path was given."));
        }
        // The package path is relative to the media area; never let it climb out.
        const fs::path relative = fs::path(packagePath).lexically_normal();
        if (relative.is_absolute() || relative.empty() || *relative.begin() == "..") {
            return m_channel.send(errorReply("PathConversionFailed", "Bad package path " + packagePath));
        }
        const std::string devicePath = std::string(SimDevice::MEDIA_PATH) + "/" + relative.generic_string();
        for (const auto& [status, percent] : { std::pair { "CreatingStagingDirectory", 5 },
                 std::pair { "ExtractingPackage", 15 }, std::pair { "InspectingPackage", 20 },
                 std::pair { "TakingInstallLock", 20 }, std::pair { "PreflightingApplication", 30 },
                 std::pair { "VerifyingApplication", 40 }, std::pair { "CreatingContainer", 50 } }) {
            if (!m_channel.send(progress(status, percent))) {
                return false;
            }
        }
        std::string error;
        const auto app = m_apps->installPackage(devicePath, &error);
        if (!app) {
            return m_channel.send(errorReply(error, "Could not install " + packagePath + " (" + error + ")"));
        }
        (void)upgrade; // an install of an installed identifier upgrades it in both cases
        for (const auto& [status, percent] :
            { std::pair { "InstallingApplication", 60 }, std::pair { "PostflightingApplication", 70 },
                std::pair { "SandboxingApplication", 80 }, std::pair { "GeneratingApplicationMap", 90 } }) {
            if (!m_channel.send(progress(status, percent))) {
                return false;
            }
        }
        return m_channel.send(complete());
    }

    fs::path archiveFile(const std::string& identifier) const
    {
        // In the media area, where ideviceinstaller's copy option fetches it over AFC.
        return m_device.hostPath(std::string(SimDevice::MEDIA_PATH) + "/ApplicationArchives/" + identifier + ".zip");
    }

    bool archive(const PlistValue& request)
    {
        const std::string identifier = identifierOf(request);
        if (identifier.empty()) {
            return m_channel.send(errorReply("MissingApplicationIdentifier"));
        }
        const auto app = m_apps->registry().find(identifier);
        if (!app || app->applicationType != "User") {
            return m_channel.send(errorReply("LookupFailed", "Application " + identifier + " is not installed."));
        }
        if (m_apps->registry().findArchive(identifier)) {
            return m_channel.send(errorReply("AlreadyArchived", "Application " + identifier + " is already archived."));
        }
        bool skipUninstall = false;
        std::string archiveType = "ApplicationOnly";
        if (const PlistValue* options = request.find("ClientOptions")) {
            if (const PlistValue* skip = options->find("SkipUninstall")) {
                skipUninstall = skip->toBool().value_or(false);
            }
            if (options->find("ArchiveType")) {
                archiveType = options->stringForKey("ArchiveType");
            }
        }
        if (!m_channel.send(progress("TakingInstallLock", 0)) || !m_channel.send(progress("EmptyingApplication", 2))) {
            return false;
        }
        std::int64_t bytes = m_apps->staticDiskUsage(*app);
        if (archiveType == "All") {
            bytes += m_apps->dynamicDiskUsage(*app);
        }
        SimStorage& storage = m_device.storage();
        {
            std::lock_guard lock(storage.mutationMutex());
            const std::uint64_t needed = storage.roundUp(std::uint64_t(bytes));
            if (!storage.canAllocate(needed)) {
                return m_channel.send(errorReply("ArchiveDestructionFailed", "Not enough space to archive."));
            }
            std::error_code ec;
            fs::create_directories(archiveFile(identifier).parent_path(), ec);
            fs::remove(archiveFile(identifier), ec);
            {
                std::ofstream(archiveFile(identifier), std::ios::binary) << "PK\x03\x04";
            }
            fs::resize_file(archiveFile(identifier), std::uintmax_t(bytes), ec);
            storage.recordChange(0, storage.allocationForPath(archiveFile(identifier)));
        }
        for (int percent : { 3, 40, 80 }) {
            if (!m_channel.send(progress("ArchivingApplication", percent))) {
                return false;
            }
        }
        (void)m_apps->registry().putArchive({ *app, bytes });
        if (!skipUninstall) {
            (void)m_apps->uninstall(identifier);
        }
        return m_channel.send(complete());
    }

    bool restore(const PlistValue& request)
    {
        const std::string identifier = identifierOf(request);
        const auto archived = m_apps->registry().findArchive(identifier);
        if (!archived) {
            return m_channel.send(errorReply("RestoreContainerFailed", "No archive of " + identifier + "."));
        }
        if (!m_channel.send(progress("TakingInstallLock", 0))
            || !m_channel.send(progress("RestoringApplication", 50))) {
            return false;
        }
        if (!m_apps->registry().find(identifier)) {
            // Unpack: the bundle comes back with the archive's size.
            const AppRecord& app = archived->record;
            SimStorage& storage = m_device.storage();
            std::lock_guard lock(storage.mutationMutex());
            std::error_code ec;
            const fs::path bundle = m_device.hostPath(app.bundlePath);
            fs::create_directories(bundle, ec);
            const fs::path executable = bundle / app.executable;
            {
                std::ofstream(executable, std::ios::binary) << "\xCF\xFA\xED\xFE";
            }
            fs::resize_file(executable, std::uintmax_t(std::max<std::int64_t>(archived->archiveBytes, 4)), ec);
            storage.recordChange(0, storage.allocationForTree(bundle));
            if (!app.containerPath.empty()) {
                for (const char* folder : { "/Documents", "/Library/Caches", "/Library/Preferences", "/tmp" }) {
                    fs::create_directories(m_device.hostPath(app.containerPath + folder), ec);
                }
            }
            (void)m_apps->registry().put(app);
        }
        m_device.events().postNotification("com.apple.mobile.application_installed");
        return m_channel.send(progress("GeneratingApplicationMap", 90)) && m_channel.send(complete());
    }

    bool removeArchive(const PlistValue& request)
    {
        const std::string identifier = identifierOf(request);
        if (!m_apps->registry().findArchive(identifier)) {
            return m_channel.send(errorReply("ArchiveDestructionFailed", "No archive of " + identifier + "."));
        }
        if (!m_channel.send(progress("RemovingArchive", 50))) {
            return false;
        }
        SimStorage& storage = m_device.storage();
        {
            std::lock_guard lock(storage.mutationMutex());
            const std::uint64_t before = storage.allocationForPath(archiveFile(identifier));
            std::error_code ec;
            fs::remove(archiveFile(identifier), ec);
            storage.recordChange(before, 0);
        }
        (void)m_apps->registry().removeArchive(identifier);
        return m_channel.send(complete());
    }

    bool lookupArchives()
    {
        PlistDictionary result;
        for (const AppArchive& archived : m_apps->registry().archives()) {
            result[archived.record.bundleIdentifier] = archived.record.attributes(archived.archiveBytes, 0);
        }
        return m_channel.send(PlistDictionary {
            { "LookupResult", PlistValue(std::move(result)) }, { "Status", PlistValue("Complete") } });
    }

    SimDevice& m_device;
    PlistChannel m_channel;
    std::shared_ptr<DeviceApps> m_apps;
    DeviceEra m_era;
};

} // namespace

void runInstallationProxy(SimServiceContext& context)
{
    InstallationProxy(context).run();
}
