#pragma once

#include "sim/content/AppRecord.h"
#include "sim/content/ContentGenerators.h"
#include "sim/content/ContentWriter.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct SimProfile;
struct ContentSettings;
class SimBirthTimes;

/// Fills a new device's file system from its profile's "content" object. Called exactly once per
/// device, when its state folder is created for the first time, before the device is attached and
/// before the storage model counts the files.
///
/// `fsRoot` is the host folder that stands for the device's "/" (device path
/// "/private/var/mobile/Media" is `fsRoot / "private/var/mobile/Media"`). It already holds the
/// standard skeleton (Media top-level folders, Library/Logs/CrashReporter,
/// Containers/Data/Application). The folder is renamed once population succeeds, so never store
/// host paths inside the generated content. Birth times the host cannot hold go to `birthTimes`,
/// keyed by device path. Files may be sparse on the host: the storage model charges their logical
/// size. Apps' purgeable files belong under
/// "/private/var/mobile/Containers/Data/Application/<UUID>/{Library/Caches,tmp}".
///
/// Returns false and sets `error` when the content cannot be generated; the device then does not
/// start and the partial folder is discarded.
bool populateDeviceContent(
    const SimProfile& profile, const std::filesystem::path& fsRoot, SimBirthTimes& birthTimes, std::string* error);

/// What generateDeviceContent() made, for tests and the log.
struct ContentSummary
{
    std::vector<AppRecord> apps;
    std::vector<ContentGenerators::CameraRollItem> cameraRoll;
    std::vector<ContentGenerators::MusicTrack> tracks;
    int stalledDownloads = 0;
    std::vector<ContentBirthTime> birthTimes;
    std::int64_t logicalBytes = 0;
};

/// The generator itself, over explicit settings; populateDeviceContent() reads them from the
/// profile. Nothing with `error` set when a file cannot be written.
std::optional<ContentSummary> generateDeviceContent(
    const ContentSettings& settings, const std::filesystem::path& fsRoot, std::string* error);

/// Where the installed apps' records are kept, as a device path (the installer's own folder).
std::string installedAppsDevicePath();
