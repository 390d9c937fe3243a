#include "sim/content/ContentGenerator.h"

#include "base/Log.h"
#include "base/PlistValue.h"
#include "sim/SimBirthTimes.h"
#include "sim/SimProfile.h"
#include "sim/content/AppRecord.h"
#include "sim/content/ContentGenerators.h"
#include "sim/content/ContentSettings.h"
#include "sim/content/ContentWriter.h"

#include <chrono>

std::string installedAppsDevicePath()
{
    return "/private/var/mobile/Library/MobileInstallation/InstalledApps.json";
}

namespace {

/// A few system files the diagnostics relay gathers.
bool generateSystemFiles(const ContentSettings& settings, ContentWriter& writer)
{
    const std::string version = settings.era.version.text();
    const std::int64_t now = settings.referenceTime;
    const std::pair<const char*, std::string> files[] = {
        { "/private/var/logs/AppleSupport/general.log",
            "OS Version: iPhone OS " + version + "\nBaseband: ok\nLast purge: none\n" },
        { "/private/var/preferences/SystemConfiguration/com.apple.wifi.plist",
            PlistCodec::toXml(PlistDictionary { { "List of known networks",
                                  PlistValue(PlistArray {
                                      PlistValue(PlistDictionary { { "SSID_STR", PlistValue("Home Network") } }) }) } })
                .value_or("") },
        { "/private/var/preferences/SystemConfiguration/preferences.plist",
            PlistCodec::toXml(PlistDictionary { { "Model", PlistValue("iPhone") } }).value_or("") },
        { "/private/var/mobile/Library/Logs/MobileInstallation/mobile_installation.log.0",
            "MobileInstallation log for iPhone OS " + version + "\n" },
    };
    for (const auto& [path, text] : files) {
        if (!writer.writeFile(path, text) || !writer.setTimes(path, now - 3600, now - 86400 * 30)) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<ContentSummary> generateDeviceContent(
    const ContentSettings& settings, const std::filesystem::path& fsRoot, std::string* error)
{
    auto fail = [error](const std::string& text) -> std::optional<ContentSummary> {
        if (error) {
            *error = text;
        }
        return std::nullopt;
    };
    ContentWriter writer(fsRoot, settings.sparseFiles);
    ContentSummary summary;
    if (!ContentGenerators::generateMediaFolders(settings, writer) || !generateSystemFiles(settings, writer)) {
        return fail(writer.error());
    }
    if (!ContentGenerators::generateApps(settings, writer, summary.apps)) {
        return fail("apps: " + writer.error());
    }
    AppRegistry registry(writer.hostPath(installedAppsDevicePath()));
    if (!writer.makeDirectory("/private/var/mobile/Library/MobileInstallation") || !registry.reset(summary.apps)) {
        return fail("cannot store the installed apps");
    }
    if (!ContentGenerators::generateCrashReports(settings, writer, summary.apps)) {
        return fail("crash reports: " + writer.error());
    }
    if (!ContentGenerators::generateCameraRoll(settings, writer, summary.cameraRoll)) {
        return fail("camera roll: " + writer.error());
    }
    if (!ContentGenerators::generateMusic(settings, writer, summary.tracks)) {
        return fail(
            "music: " + (writer.error().empty() ? std::string("cannot write the media library") : writer.error()));
    }
    if (!ContentGenerators::generateStalledDownloads(settings, writer, summary.stalledDownloads)) {
        return fail("downloads: " + (writer.error().empty() ? std::string("cannot write the queue") : writer.error()));
    }
    summary.birthTimes = writer.birthTimes();
    summary.logicalBytes = writer.bytesWritten();
    return summary;
}

bool populateDeviceContent(
    const SimProfile& profile, const std::filesystem::path& fsRoot, SimBirthTimes& birthTimes, std::string* error)
{
    std::string settingsError;
    const auto settings = ContentSettings::fromJson(profile.content, profile.productVersion, &settingsError);
    if (!settings) {
        if (error) {
            *error = "profile " + profile.profileName + ": " + settingsError;
        }
        return false;
    }
    const auto started = std::chrono::steady_clock::now();
    const auto summary = generateDeviceContent(*settings, fsRoot, error);
    if (!summary) {
        return false;
    }
    for (const ContentBirthTime& birth : summary->birthTimes) {
        birthTimes.set(birth.devicePath, birth.seconds * 1'000'000'000LL);
    }
    const auto elapsed
        = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    logLine(LOG_SIM, "Generated content for %s: %zu apps, %zu camera-roll items, %zu tracks, %d downloads in %lld ms",
        profile.profileName.c_str(), summary->apps.size(), summary->cameraRoll.size(), summary->tracks.size(),
        summary->stalledDownloads, static_cast<long long>(elapsed));
    return true;
}
