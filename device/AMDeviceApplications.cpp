#include "device/AMDevice.h"
#include "device/AMInstallationProxy.h"

#include <algorithm>

// The app-listing operations of AMDevice and its installation-proxy and springboard factories.

namespace {

const std::vector<std::string>& defaultAttributeList()
{
    static const std::vector<std::string> names { "CFBundleIdentifier", "ApplicationDSID", "ApplicationType",
        "CFBundleExecutable", "CFBundleDisplayName", "CFBundleIconFile", "CFBundleIconFiles", "CFBundleIcons",
        "CFBundleName", "CFBundleShortVersionString", "CFBundleVersion", "Container", "MinimumOSVersion",
        "UIDeviceFamily", "UIFileSharingEnabled" };
    return names;
}

} // namespace

std::optional<std::vector<std::string>> AMDevice::applicationAttributes() const
{
    std::lock_guard lock(m_applicationAttributesMutex);
    return m_applicationAttributes;
}

void AMDevice::setApplicationAttributes(std::optional<std::vector<std::string>> attributes)
{
    std::lock_guard lock(m_applicationAttributesMutex);
    m_applicationAttributes = std::move(attributes);
}

PlistDictionary AMDevice::defaultReturnAttributes() const
{
    const std::optional<std::vector<std::string>> chosen = applicationAttributes();
    PlistArray names;
    for (const std::string& name : chosen ? *chosen : defaultAttributeList()) {
        names.emplace_back(name);
    }
    return PlistDictionary { { "ReturnAttributes", std::move(names) } };
}

std::optional<PlistDictionary> AMDevice::lookupApplications(const std::vector<std::string>& extraAttributes)
{
    PlistDictionary options = defaultReturnAttributes();
    if (PlistArray* names = options["ReturnAttributes"].asArray(); names && !extraAttributes.empty()) {
        for (const std::string& name : extraAttributes) {
            if (std::find(names->begin(), names->end(), PlistValue(name)) == names->end()) {
                names->emplace_back(name);
            }
        }
    }
    if (!deviceConnect()) {
        return std::nullopt;
    }
    if (!startSession()) {
        disconnectKeepingError();
        return std::nullopt;
    }
    PlistDictionary applications;
    const AMDeviceRef held = device();
    const MDStatus status
        = held ? m_library.AMDeviceLookupApplications(held, options, &applications) : AMDStatus::DeviceDetachedError;
    std::optional<PlistDictionary> result;
    if (checkStatus(status, "AMDeviceLookupApplications")) {
        result = std::move(applications);
    }
    // The lookup's own failure is the one to report, not the clean-up's success.
    const std::optional<std::string> reason = lasterror();
    (void)stopSession();
    (void)deviceDisconnect();
    if (!result) {
        setLastError(reason);
    }
    return result;
}

std::optional<std::vector<AMApplication>> AMDevice::installedApplications()
{
    return installedApplicationsWithAttributes({});
}

std::optional<std::vector<AMApplication>> AMDevice::installedApplicationsWithAttributes(
    const std::vector<std::string>& extraAttributes)
{
    std::optional<PlistDictionary> applications = lookupApplications(extraAttributes);
    if (!applications) {
        return std::nullopt;
    }
    std::vector<AMApplication> records;
    for (auto& [bundleId, attributes] : *applications) {
        const PlistDictionary* info = attributes.asDictionary();
        if (info && attributes.stringForKey("ApplicationType") == "User") {
            records.emplace_back(*info);
        }
    }
    return records;
}

std::optional<AMApplication> AMDevice::installedApplicationWithId(const std::string& bundleIdentifier)
{
    std::optional<PlistDictionary> applications = lookupApplications();
    if (!applications) {
        return std::nullopt;
    }
    const auto found = applications->find(bundleIdentifier);
    if (found == applications->end() || !found->second.asDictionary()) {
        return std::nullopt;
    }
    return AMApplication(*found->second.asDictionary());
}

std::unique_ptr<AMInstallationProxy> AMDevice::newAMInstallationProxyWithDelegate(AMServiceDelegate* delegate)
{
    auto client
        = newServiceClient<AMInstallationProxy>([this] { return AMInstallationProxy::initWithAMDevice(*this); });
    if (client) {
        client->setDelegate(delegate);
    }
    return client;
}

std::unique_ptr<AMSpringboardServices> AMDevice::newAMSpringboardServices()
{
    return newServiceClient<AMSpringboardServices>([this] { return AMSpringboardServices::initWithAMDevice(*this); });
}
