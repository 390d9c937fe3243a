#include "sim/ServiceCatalog.h"

#include "sim/AFCServer.h"
#include "sim/SimDevice.h"
#include "sim/services/DeviceServices.h"

void ServiceCatalog::registerService(
    const std::string& name, SimServiceHandler handler, std::function<bool(const SimDevice&)> isAvailable)
{
    m_entries[name] = Entry { name, std::move(handler), std::move(isAvailable) };
}

const ServiceCatalog::Entry* ServiceCatalog::find(const std::string& name) const
{
    const auto it = m_entries.find(name);
    return it == m_entries.end() ? nullptr : &it->second;
}

std::vector<std::string> ServiceCatalog::names() const
{
    std::vector<std::string> names;
    for (const auto& [name, entry] : m_entries) {
        names.push_back(name);
    }
    return names;
}

void registerServices(ServiceCatalog& catalog)
{
    catalog.registerService("com.apple.afc", runAfcService);
    catalog.registerService(
        "com.apple.afc2", runAfcService, [](const SimDevice& device) { return device.profile().jailbroken; });
    catalog.registerService("com.apple.crashreportcopymobile", runAfcService);
    catalog.registerService("com.apple.crashreportmover", runCrashReportMover);
    catalog.registerService("com.apple.mobile.installation_proxy", runInstallationProxy);
    catalog.registerService("com.apple.mobile.house_arrest", runHouseArrest);
    catalog.registerService("com.apple.springboardservices", runSpringBoardServices);
    catalog.registerService("com.apple.mobile.notification_proxy", runNotificationProxy);
    catalog.registerService("com.apple.syslog_relay", runSyslogRelay);
    catalog.registerService("com.apple.mobile.file_relay", runFileRelay);
    catalog.registerService("com.apple.mobile.screenshotr", runScreenshotr);
    catalog.registerService("com.apple.mobilesync", runMobileSync);
}
