#include "device/AMInstallationProxy.h"

#include "base/Log.h"
#include "device/AMDevice.h"

#include <algorithm>
#include <cstring>

namespace {

/// A hostile "Total" must not make us reserve gigabytes before the first app arrives.
constexpr std::int64_t MAX_RESERVED_APPS = 10000;

PlistValue developerOptions()
{
    return PlistDictionary { { "PackageType", "Developer" } };
}

std::string errorText(const PlistValue& value)
{
    if (const std::string* text = value.asString()) {
        return *text;
    }
    if (const auto number = value.toInt64()) {
        return std::to_string(*number);
    }
    return PlistCodec::toXml(value).value_or("Unreadable error");
}

} // namespace

std::unique_ptr<AMInstallationProxy> AMInstallationProxy::initWithAMDevice(AMDevice& device)
{
    auto connection = device.startService(SERVICE_NAME);
    return connection ? std::make_unique<AMInstallationProxy>(std::move(connection)) : nullptr;
}

AMInstallationProxy::AMInstallationProxy(std::unique_ptr<AMServiceConnection> connection)
    : AMService(std::move(connection))
{
}

std::optional<std::vector<AMApplication>> AMInstallationProxy::browseFiltered(const Filter& filter)
{
    const PlistValue request = PlistDictionary {
        { "Command", "Browse" },
        { "ClientOptions", PlistDictionary { { "ApplicationType", "Any" } } },
    };
    if (delegate()) {
        delegate()->operationStarted(request);
    }
    if (!sendXMLRequest(request)) {
        if (delegate()) {
            delegate()->operationCompleted(request);
        }
        return std::nullopt;
    }
    std::optional<std::vector<AMApplication>> result;
    bool finished = false;
    bool failed = false;
    for (;;) {
        std::optional<PlistValue> reply = readXMLReply();
        if (!reply) {
            break;
        }
        if (delegate()) {
            delegate()->operationContinues(*reply);
        }
        if (!result) {
            result.emplace();
            if (const PlistValue* total = reply->find("Total")) {
                if (const auto count = total->toInt64(); count && *count > 0) {
                    result->reserve(std::size_t(std::min(*count, MAX_RESERVED_APPS)));
                }
            }
        }
        if (const PlistValue* list = reply->find("CurrentList"); list && list->asArray()) {
            for (const PlistValue& attributes : *list->asArray()) {
                if (const PlistDictionary* info = attributes.asDictionary()) {
                    AMApplication app(*info);
                    if (!filter || filter(app)) {
                        result->push_back(std::move(app));
                    }
                }
            }
        }
        if (const PlistValue* error = reply->find("Error")) {
            setLastError(errorText(*error));
            failed = true;
            break;
        }
        if (reply->stringForKey("Status") != "BrowsingApplications") {
            finished = true;
            break;
        }
    }
    if (delegate()) {
        delegate()->operationCompleted(request);
    }
    // A browse cut short (an "Error" reply, or the connection ending before the last reply)
    // would otherwise pass a partial list off as every installed app.
    if (failed || !finished) {
        return std::nullopt;
    }
    return result;
}

std::optional<std::map<std::string, AMApplication>> AMInstallationProxy::lookupType(
    const std::optional<std::string>& type, const std::string& attribute)
{
    const PlistValue request = PlistDictionary {
        { "Command", "Lookup" },
        { "ClientOptions",
            PlistDictionary { { "ApplicationType", type.value_or("Any") }, { "Attribute", attribute } } },
    };
    if (delegate()) {
        delegate()->operationStarted(request);
    }
    const std::optional<PlistValue> reply = sendRequestAndWaitForSingleReply(request);
    if (!reply) {
        if (delegate()) {
            delegate()->operationCompleted(request);
        }
        return std::nullopt;
    }
    if (delegate()) {
        delegate()->operationContinues(*reply);
    }
    std::optional<std::map<std::string, AMApplication>> result;
    if (const PlistValue* error = reply->find("Error")) {
        setLastError(errorText(*error));
    } else {
        result.emplace();
        if (const PlistValue* found = reply->find("LookupResult"); found && found->asDictionary()) {
            for (const auto& [bundleId, attributes] : *found->asDictionary()) {
                if (const PlistDictionary* info = attributes.asDictionary()) {
                    result->emplace(bundleId, AMApplication(*info));
                }
            }
        }
    }
    if (delegate()) {
        delegate()->operationCompleted(request);
    }
    return result;
}

bool AMInstallationProxy::archive(const std::string& bundleId, bool container, bool payload, bool uninstall)
{
    const char* archiveType = nullptr;
    if (container && payload) {
        archiveType = "All";
    } else if (container) {
        archiveType = "DocumentsOnly";
    } else if (payload) {
        archiveType = "ApplicationOnly";
    } else {
        return fail("Nothing to archive");
    }
    return sendRequestAndWaitUntilDone(PlistDictionary {
        { "Command", "Archive" },
        { "ApplicationIdentifier", bundleId },
        { "ClientOptions", PlistDictionary { { "ArchiveType", archiveType }, { "SkipUninstall", !uninstall } } },
    });
}

bool AMInstallationProxy::restore(const std::string& bundleId)
{
    return sendRequestAndWaitUntilDone(
        PlistDictionary { { "Command", "Restore" }, { "ApplicationIdentifier", bundleId } });
}

bool AMInstallationProxy::removeArchive(const std::string& bundleId)
{
    return sendRequestAndWaitUntilDone(
        PlistDictionary { { "Command", "RemoveArchive" }, { "ApplicationIdentifier", bundleId } });
}

bool AMInstallationProxy::install(const std::string& packagePath)
{
    return sendRequestAndWaitUntilDone(PlistDictionary {
        { "Command", "Install" }, { "PackagePath", packagePath }, { "ClientOptions", developerOptions() } });
}

bool AMInstallationProxy::uninstall(const std::string& bundleId)
{
    return sendRequestAndWaitUntilDone(PlistDictionary {
        { "Command", "Uninstall" }, { "ApplicationIdentifier", bundleId }, { "ClientOptions", developerOptions() } });
}

bool AMInstallationProxy::upgrade(const std::string& bundleId, const std::string& packagePath)
{
    return sendRequestAndWaitUntilDone(PlistDictionary {
        { "Command", "Upgrade" },
        { "PackagePath", packagePath },
        { "ApplicationIdentifier", bundleId },
        { "ClientOptions", developerOptions() },
    });
}

std::optional<PlistDictionary> AMInstallationProxy::archivedAppInfo()
{
    const std::optional<PlistValue> reply
        = sendRequestAndWaitForSingleReply(PlistDictionary { { "Command", "LookupArchives" } });
    if (!reply) {
        return std::nullopt;
    }
    if (const PlistValue* error = reply->find("Error")) {
        setLastError(errorText(*error));
        return std::nullopt;
    }
    const PlistValue* result = reply->find("LookupResult");
    if (!result || !result->asDictionary()) {
        fail("Reply has no LookupResult");
        return std::nullopt;
    }
    return *result->asDictionary();
}

std::optional<std::vector<std::string>> AMInstallationProxy::archivedAppBundleIds()
{
    const std::optional<PlistDictionary> info = archivedAppInfo();
    if (!info) {
        return std::nullopt;
    }
    std::vector<std::string> keys;
    keys.reserve(info->size());
    for (const auto& entry : *info) {
        keys.push_back(entry.first);
    }
    return keys;
}

// ---- Springboard services ------------------------------------------------------------------

std::unique_ptr<AMSpringboardServices> AMSpringboardServices::initWithAMDevice(AMDevice& device)
{
    auto connection = device.startService(SERVICE_NAME);
    return connection ? std::make_unique<AMSpringboardServices>(std::move(connection)) : nullptr;
}

AMSpringboardServices::AMSpringboardServices(std::unique_ptr<AMServiceConnection> connection)
    : AMService(std::move(connection))
{
}

std::optional<PlistValue> AMSpringboardServices::getIconState()
{
    return sendRequestAndWaitForSingleReply(PlistDictionary { { "command", "getIconState" } });
}

std::optional<PlistValue> AMSpringboardServices::getIconPNGData(const std::string& bundleId)
{
    return sendRequestAndWaitForSingleReply(
        PlistDictionary { { "command", "getIconPNGData" }, { "bundleId", bundleId } });
}

std::optional<PlistData> AMSpringboardServices::getIcon(const std::string& bundleId)
{
    const std::optional<PlistValue> reply = getIconPNGData(bundleId);
    if (!reply) {
        return std::nullopt;
    }
    const PlistValue* png = reply->find("pngData");
    if (!png || !png->asData()) {
        fail("Reply has no pngData");
        return std::nullopt;
    }
    if (!pngDimensions(*png->asData())) {
        fail("pngData is no PNG image");
        return std::nullopt;
    }
    return *png->asData();
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> pngDimensions(const PlistData& bytes)
{
    static constexpr std::uint8_t signature[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n' };
    // Signature, IHDR length (13) and type, width, height.
    if (bytes.size() < 8 + 8 + 13 || std::memcmp(bytes.data(), signature, 8) != 0) {
        return std::nullopt;
    }
    const auto be32 = [&](std::size_t at) {
        return (std::uint32_t(bytes[at]) << 24) | (std::uint32_t(bytes[at + 1]) << 16)
            | (std::uint32_t(bytes[at + 2]) << 8) | std::uint32_t(bytes[at + 3]);
    };
    if (be32(8) != 13 || std::memcmp(bytes.data() + 12, "IHDR", 4) != 0) {
        return std::nullopt;
    }
    const std::uint32_t width = be32(16);
    const std::uint32_t height = be32(20);
    if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF) {
        return std::nullopt;
    }
    return std::make_pair(width, height);
}
