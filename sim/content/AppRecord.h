#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class PlistValue;

/// One installed application as the simulated installer knows it. Paths are device paths.
struct AppRecord
{
    std::string bundleIdentifier;
    /// Absent display names are a real case (ideviceinstaller falls back to the identifier).
    std::optional<std::string> displayName;
    std::string bundleName;
    std::string executable;
    std::string bundleVersion;
    std::string shortVersion;
    std::string minimumOSVersion;
    std::string applicationType; // "User", "System"
    std::string bundlePath; // ".../<Name>.app"
    std::string containerPath; // data container; empty when the app has none
    bool fileSharingEnabled = false;
    bool developerSigned = false;
    std::string signerIdentity;
    std::int64_t applicationDSID = 0;
    std::int64_t sequenceNumber = 0;
    /// Drives the icon's colour and glyph, so icons differ per app and stay stable.
    std::uint32_t iconSeed = 0;

    /// The attribute dictionary installation_proxy answers with. Disk usages are passed in because
    /// they come from the storage model at the time of asking.
    PlistValue attributes(std::int64_t staticDiskUsage, std::int64_t dynamicDiskUsage) const;
};

/// An archived application (iOS 8 and earlier kept these for a later Restore).
struct AppArchive
{
    AppRecord record;
    std::int64_t archiveBytes = 0;
};

/// The installed applications of one device, kept in a JSON file in the device's state so that
/// uninstalls persist across restarts. Thread-safe: services on several connections use it.
class AppRegistry
{
public:
    explicit AppRegistry(std::filesystem::path file);

    /// Reads the file; false (with `error`) when it exists but cannot be read. A missing file is an
    /// empty registry.
    [[nodiscard]] bool load(std::string* error = nullptr);
    [[nodiscard]] bool save(std::string* error = nullptr) const;

    std::vector<AppRecord> apps() const;
    std::optional<AppRecord> find(const std::string& bundleIdentifier) const;
    /// Adds or replaces (an upgrade) and saves.
    bool put(const AppRecord& record);
    /// Removes and saves; the removed record, or nothing when it was not installed.
    std::optional<AppRecord> remove(const std::string& bundleIdentifier);

    std::vector<AppArchive> archives() const;
    std::optional<AppArchive> findArchive(const std::string& bundleIdentifier) const;
    bool putArchive(const AppArchive& archive);
    std::optional<AppArchive> removeArchive(const std::string& bundleIdentifier);

    /// Replaces everything (content generation) and saves.
    bool reset(std::vector<AppRecord> apps);

    static std::string toJson(const std::vector<AppRecord>& apps, const std::vector<AppArchive>& archives);

private:
    bool saveLocked(std::string* error) const;

    std::filesystem::path m_file;
    mutable std::mutex m_mutex;
    std::vector<AppRecord> m_apps;
    std::vector<AppArchive> m_archives;
};
