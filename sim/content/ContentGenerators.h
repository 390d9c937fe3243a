#pragma once

#include "sim/content/AppRecord.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ContentSettings;
class ContentWriter;

/// The parts of a device's generated content, each deterministic from the settings' seed.
namespace ContentGenerators {

/// The media area, AFC's "/".
inline constexpr std::string_view MEDIA_ROOT = "/private/var/mobile/Media";

/// Installed apps: bundles, data containers with Documents, Library/Caches, Library/Preferences
/// and tmp. Returns the records in install order.
bool generateApps(const ContentSettings& settings, ContentWriter& writer, std::vector<AppRecord>& apps);

struct CameraRollItem
{
    std::string mediaPath; // "/DCIM/100APPLE/IMG_0001.JPG", relative to the media area
    std::int64_t captureTime = 0;
    std::int64_t birthTime = 0;
    std::int64_t size = 0;
    double durationSeconds = 0; // videos only
};

/// /DCIM with the era's folder and file naming, /PhotoData/MISC/DCIM_APPLE.plist with the counters.
bool generateCameraRoll(const ContentSettings& settings, ContentWriter& writer, std::vector<CameraRollItem>& items);

struct MusicTrack
{
    std::int64_t pid = 0;
    bool podcast = false;
    std::string title;
    std::string artist;
    std::string mediaPath; // "/iTunes_Control/Music/F07/ABCD.m4a"
    std::int64_t fileSize = 0;
    std::int64_t durationMs = 0;
    std::int64_t dateAdded = 0; // seconds since 1970; 0 = unknown
    std::int64_t dateModified = 0;
    std::int64_t datePlayed = 0; // 0 = never
    int playCount = 0;
};

/// /iTunes_Control/iTunes/MediaLibrary.sqlitedb (+ -wal) in the era's schema and the track files.
bool generateMusic(const ContentSettings& settings, ContentWriter& writer, std::vector<MusicTrack>& tracks);

/// Stalled store downloads in /Downloads/ and their queue database.
bool generateStalledDownloads(const ContentSettings& settings, ContentWriter& writer, int& created);

/// A few crash and memory-pressure reports in the crash reporter's folder, named as the era
/// names them (`settings.crashReports` of them).
bool generateCrashReports(const ContentSettings& settings, ContentWriter& writer, const std::vector<AppRecord>& apps);

/// The folders every set-up device has in its media area.
bool generateMediaFolders(const ContentSettings& settings, ContentWriter& writer);

/// Seconds since 1970 → seconds since 2001 (Core Data, MediaLibrary); 0 stays 0 ("never").
inline std::int64_t toCocoaTime(std::int64_t unixSeconds)
{
    return unixSeconds == 0 ? 0 : unixSeconds - 978'307'200;
}

std::string mediaPath(std::string_view relative);

} // namespace ContentGenerators
