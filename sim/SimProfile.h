#pragma once

#include "sim/SimTrust.h"

#include <QJsonObject>

#include <cstdint>
#include <optional>
#include <string>

/// What a simulated phone is: identity, system version, capacity figures and generated content.
/// Read from a JSON file; the built-in ones ("demo", "modern", "legacy") are compiled in.
struct SimProfile
{
    std::string profileName; // "demo", or the file's base name
    std::string deviceName;
    std::string udid;
    std::string productType;
    std::string productVersion;
    std::string buildVersion;
    std::string deviceClass { "iPhone" };
    std::string serialNumber;
    std::string hardwareModel;
    std::string wifiAddress;
    int productId { 0x12A8 };
    bool jailbroken { false };
    /// "Trust": the trust state the phone starts in each time the daemon starts; none keeps
    /// "trusted".
    std::optional<SimTrust::State> trust;

    // Storage, in bytes. `diskCapacity` is the marketing size (TotalDiskCapacity), `dataCapacity`
    // the user data volume (AFC FSTotalBytes).
    std::uint64_t diskCapacity { 0 };
    std::uint64_t dataCapacity { 0 };
    std::uint64_t usedBytes { 0 }; // all allocated bytes on the data volume, files included
    std::uint64_t reserveBytes { 200ULL * 1024 * 1024 };
    std::uint64_t blockSize { 4096 };

    // Purging: `purgeablePoolBytes` is opaque purgeable data (cloud caches and the like) beyond the
    // apps' Library/Caches and tmp files. Purging starts when free space drops below
    // `purgeThresholdBytes`, removes at most `purgeStepBytes` every `purgeIntervalMs` and stops once
    // free space reaches `purgeTargetBytes`.
    std::uint64_t purgeablePoolBytes { 0 };
    std::uint64_t purgeThresholdBytes { 150ULL * 1000 * 1000 };
    std::uint64_t purgeTargetBytes { 200ULL * 1000 * 1000 };
    std::uint64_t purgeStepBytes { 64ULL * 1024 * 1024 };
    int purgeIntervalMs { 250 };

    /// The generated content description, passed through untouched to populateDeviceContent().
    QJsonObject content;

    /// APFS arrived with 10.3; before it a file grown by set-size allocates every block.
    bool isApfsEra() const;
    /// "9.3.5" → {9, 3, 5}; missing parts are 0.
    static void parseVersion(const std::string& version, int& major, int& minor, int& patch);

    /// Parses a profile; gives nothing and sets `error` when a required key is missing or of the
    /// wrong type.
    static std::optional<SimProfile> fromJson(const QJsonObject& object, const std::string& profileName,
                                              std::string* error);
    /// `nameOrPath` is a built-in name or a path to a JSON file.
    static std::optional<SimProfile> load(const std::string& nameOrPath, std::string* error);
    static std::optional<SimProfile> builtIn(const std::string& name, std::string* error = nullptr);
};
