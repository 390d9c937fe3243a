#pragma once

#include "sim/content/AppRecord.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class SimDevice;

/// The installed apps of one device, shared by installation_proxy, house_arrest and
/// springboardservices. Sizes come from the device's storage model; removals give space back.
class DeviceApps
{
public:
    /// The one instance for `device` (created on first use from its state).
    static std::shared_ptr<DeviceApps> of(SimDevice& device);

    explicit DeviceApps(SimDevice& device);

    AppRegistry& registry() { return m_registry; }

    /// Bytes of the bundle, as the storage model charges them.
    std::int64_t staticDiskUsage(const AppRecord& app) const;
    /// Bytes of the data container (without the bundle where they share a folder).
    std::int64_t dynamicDiskUsage(const AppRecord& app) const;
    PlistValue attributes(const AppRecord& app) const;

    enum class RemoveResult {
        Removed,
        NotInstalled,
        Prohibited,
        Failed,
    };
    /// Deletes the bundle and the data container, frees their space, forgets the record and
    /// tells the device's event bus. `freedBytes` receives what the storage model gave back.
    RemoveResult uninstall(const std::string& bundleIdentifier, std::int64_t* freedBytes = nullptr);

    /// Installs the `.app` folder at `packageHostPath` (moved into a new bundle container) with a
    /// fresh data container; replaces an installed app of the same identifier, keeping its data.
    /// Nothing with `error` set to the installer's error name.
    std::optional<AppRecord> installAppFolder(const std::string& packageDevicePath, std::string* error);

    /// Installs what a host uploaded: an .app folder, or an .ipa whose Payload/<Name>.app is
    /// unpacked first (the uploaded package is removed afterwards).
    std::optional<AppRecord> installPackage(const std::string& packageDevicePath, std::string* error);

    /// The folder removed with the bundle (the UUID folder holding the .app), as a device path.
    static std::string bundleContainer(const AppRecord& app);

private:
    SimDevice& m_device;
    AppRegistry m_registry;
};
