// torvane-cli check: a read-only look at a phone, for a bug report. It reads what the tools
// depend on (system, model, pairing, TLS, services, containers, media library, camera roll, free
// space) and prints it; it never pairs, writes, deletes or sends anything anywhere.

#include "cli/CliJson.h"
#include "cli/tools/ToolCommands.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCFileReference.h"
#include "device/AMDevice.h"
#include "device/AMDeviceState.h"
#include "device/AMStorageSpace.h"
#include "device/mobile_device.h"
#include "modules/fill_clearing/ECFillRules.h"
#include "modules/music/ECMusicModule.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>
#include <vector>

namespace {

// Every service a Torvane tool starts.
const char* const SERVICES[] = { "com.apple.afc", "com.apple.mobile.installation_proxy",
    "com.apple.mobile.house_arrest", "com.apple.springboardservices", "com.apple.mobile.notification_proxy",
    "com.apple.syslog_relay", "com.apple.crashreportcopymobile", "com.apple.mobile.file_relay",
    "com.apple.mobile.screenshotr", "com.apple.mobilesync" };

// How many apps' containers are tried.
constexpr std::size_t CONTAINERS_TRIED = 8;

/// The findings in the order they are printed.
class Findings
{
public:
    void add(std::string key, std::string value) { m_lines.emplace_back(std::move(key), std::move(value)); }

    void print(std::ostream& out, bool json) const
    {
        if (!json) {
            for (const auto& [key, value] : m_lines) {
                out << key << ": " << value << "\n";
            }
            return;
        }
        out << "{\n";
        for (std::size_t i = 0; i < m_lines.size(); ++i) {
            out << "  " << jsonString(m_lines[i].first) << ": " << jsonString(m_lines[i].second)
                << (i + 1 < m_lines.size() ? ",\n" : "\n");
        }
        out << "}\n";
    }

private:
    std::vector<std::pair<std::string, std::string>> m_lines;
};

std::string text(const std::optional<PlistValue>& value)
{
    if (!value) {
        return "unknown";
    }
    if (value->isString()) {
        return *value->asString();
    }
    if (const auto number = value->toUInt64()) {
        return std::to_string(*number);
    }
    return "unknown";
}

std::string bytes(std::optional<std::int64_t> count)
{
    if (!count) {
        return "unknown";
    }
    return std::to_string(*count) + " bytes (" + ECFillRules::convertBytesToString(std::uint64_t(*count)).toStdString()
        + ")";
}

std::string failureOf(const AMDevice& device)
{
    return device.lasterror().value_or("no reason given");
}

/// Whether the system is 8.3 or later, where Temp Files fills the phone.
bool fillsToClear(const std::string& version)
{
    int major = 0;
    int minor = 0;
    std::sscanf(version.c_str(), "%d.%d", &major, &minor); // NOLINT(cert-err34-c): 0 reads as "older"
    return major > 8 || (major == 8 && minor >= 3);
}

/// Files in the camera roll's folders (/DCIM/<folder>/<file>), hidden ones left out.
std::optional<std::size_t> cameraRollCount(AFCDirectoryAccess& media)
{
    const auto folders = media.directoryContents("/DCIM");
    if (!folders) {
        return std::nullopt;
    }
    std::size_t count = 0;
    for (const std::string& folder : *folders) {
        const auto files = media.directoryContents("/DCIM/" + folder);
        if (!files) {
            continue; // a file directly under /DCIM, not a folder
        }
        for (const std::string& name : *files) {
            count += !name.empty() && name.front() != '.' ? 1 : 0;
        }
    }
    return count;
}

std::string mediaLibrary(AFCDirectoryAccess& media)
{
    const std::string path = std::string(ECMusicModule::REMOTE_DIR) + ECMusicModule::FILE_NAME;
    const std::optional<bool> exists = media.existsAtPath(path);
    if (!exists) {
        return "cannot tell: " + media.lasterror().value_or("no answer");
    }
    if (!*exists) {
        return "absent (no music synced to the phone)";
    }
    const auto file = media.openForRead(path);
    if (!file) {
        return "present but not readable: " + media.lasterror().value_or("refused");
    }
    char header[16] = {};
    const std::uint32_t read = file->readN(sizeof header, header);
    (void)file->closeFile();
    if (read != sizeof header) {
        return "present but not readable";
    }
    return std::string(header, 15) == "SQLite format 3" ? "readable (SQLite)" : "readable, but not an SQLite file";
}

/// Which services start, and the TLS version of those that run TLS; the device is connected and
/// in session.
void checkServices(AMDevice& device, Findings& findings)
{
    std::string started;
    std::string refused;
    std::set<std::string> tlsVersions;
    for (const char* service : SERVICES) {
        MDStatus status = AMDStatus::Success;
        if (auto connection = device.startService(service, &status)) {
            started += std::string(started.empty() ? "" : ", ") + service;
            if (const std::string tls = connection->tlsVersion(); !tls.empty()) {
                tlsVersions.insert(tls + " (" + service + ")");
            }
            connection->close();
        } else {
            char code[16];
            std::snprintf(code, sizeof code, "%#x", unsigned(status));
            refused += std::string(refused.empty() ? "" : ", ") + service + " " + code;
        }
    }
    std::string tls;
    for (const std::string& entry : tlsVersions) {
        tls += (tls.empty() ? "" : ", ") + entry;
    }
    findings.add("Service TLS", tls.empty() ? "none of the started services runs TLS" : tls);
    findings.add("Services started", started.empty() ? "none" : started);
    findings.add("Services refused", refused.empty() ? "none" : refused);
}

/// Apps, containers, media; each reading opens its own connection and session.
void checkContent(AMDevice& device, Findings& findings, const std::string& version)
{
    // App containers: from 8.3 on a phone opens only those of apps installed for development,
    // which is why Temp Files fills the phone there.
    const auto apps = device.installedApplications();
    if (!apps) {
        findings.add("App containers", "the apps cannot be listed: " + failureOf(device));
    } else {
        // A few apps tell as much as all of them, and each costs a session of its own.
        const std::size_t tried = std::min<std::size_t>(apps->size(), CONTAINERS_TRIED);
        std::size_t readable = 0;
        for (std::size_t i = 0; i < tried; ++i) {
            const auto container = device.newAFCApplicationDirectory((*apps)[i].bundleid());
            readable += container && container->directoryContents("/") ? 1 : 0;
        }
        findings.add("App containers",
            std::to_string(readable) + " of " + std::to_string(tried) + " tried readable ("
                + std::to_string(apps->size()) + " user apps)");
    }

    auto media = device.newAFCMediaDirectory();
    if (!media) {
        findings.add("Media area", "does not open: " + failureOf(device));
        return;
    }
    findings.add("Media library", mediaLibrary(*media));
    const auto photos = cameraRollCount(*media);
    findings.add("Camera roll", photos ? std::to_string(*photos) + " files" : "cannot be read");
    const AMStorageSpace space = AMStorageSpace::fromDeviceInfo(media->deviceInfo().value_or(PlistDictionary {}));
    findings.add("Free space", bytes(space.freeBytes));
    findings.add("Total space", bytes(space.totalBytes));
    if (fillsToClear(version)) {
        const std::uint64_t filler
            = ECFillRules::getApproriateBlobSizeForFreeSpace(std::uint64_t(space.freeBytes.value_or(0)));
        const auto leftover = media->directoryContents(std::string("/") + ECFillRules::FILL_FOLDER);
        findings.add("Temp Files",
            "by filling the phone until it clears app caches (8.3 and later); first filler " + std::to_string(filler)
                + " bytes"
                + (leftover && !leftover->empty()
                        ? "; " + std::to_string(leftover->size()) + " fillers left from an earlier run"
                        : std::string()));
    } else {
        findings.add("Temp Files", "by clearing the apps' cache folders (below 8.3)");
    }
}

int check(ToolContext& context)
{
    // Pairing changes what the phone trusts; this command only looks.
    MobileDevice::shared().setPairingAllowed(false);
    // Whether the phone can be used is one of the findings, so it does not stop the check.
    const std::shared_ptr<AMDevice> device = context.chooseDevice(false);
    if (!device) {
        return CLI_FAILED;
    }
    std::lock_guard lock(device->deviceLock());
    if (!device->deviceConnect()) {
        return context.failure("cannot connect: " + failureOf(*device));
    }
    Findings findings;
    // Identity needs no session: a phone answers these even to a computer it does not trust.
    const auto value = [&](const char* key) {
        return text(device->library().AMDeviceCopyValue(device->device(), std::nullopt, std::string(key)));
    };
    const std::string version = value("ProductVersion");
    findings.add("Device", device->deviceName().value_or(value("DeviceName")));
    findings.add("UDID", device->udid().value_or(value("UniqueDeviceID")));
    findings.add("Model", value("ProductType") + " (" + value("HardwareModel") + ", " + value("DeviceClass") + ")");
    findings.add("System", value("ProductName") + " " + version + " (" + value("BuildVersion") + ")");
    findings.add("Connection", device->interfaceType() == AMDeviceInterfaceType::Usb ? "USB" : "Wi-Fi");
    const std::string protocol = value("ProtocolVersion");

    const bool inSession = device->startSession();
    const AMDeviceState state = inSession ? AMDeviceState::Usable : deviceStateForSessionStatus(device->lastStatus());
    const bool unpaired = !inSession && device->lastStatus() == AMDStatus::MissingHostIDError;
    const AMDeviceStateText& stateText = deviceStateText(state);
    findings.add("Pairing",
        (inSession         ? std::string("trusted")
                : unpaired ? std::string("not paired with this computer")
                           : stateText.name)
            + " (pairing protocol " + protocol + ")");
    if (inSession) {
        checkServices(*device, findings);
        (void)device->stopSession();
    } else {
        findings.add("Advice",
            unpaired ? "run torvane-cli info or open Torvane to pair; the check does not pair" : stateText.advice);
    }
    (void)device->deviceDisconnect();
    if (inSession) {
        checkContent(*device, findings, version);
    }
    findings.print(context.out(), context.options().json);
    return inSession ? CLI_OK : CLI_FAILED;
}

} // namespace

ToolCommand checkCommand()
{
    return ToolCommand {
        ToolCommandShape { "check", 0, 0, {} },
        "  check                         a read-only self-check of the phone for bug reports: system,\n"
        "                                pairing, TLS, services, containers, media, free space\n",
        {},
        check,
    };
}
