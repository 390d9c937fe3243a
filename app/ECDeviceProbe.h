#pragma once

#include "app/ECStorageBreakdown.h"
#include "device/AMDeviceState.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

class AMDevice;

/// What one look at a device found: whether its name is known and its media area opened, and
/// what the window shows about it.
struct ECDeviceReport
{
    std::shared_ptr<AMDevice> device;
    std::optional<QString> name;
    bool mediaOpened { false };
    std::optional<std::int64_t> freeBytes;
    std::optional<std::int64_t> totalBytes;
    /// What the phone says its apps and photos take, read with the counts above; never music,
    /// which takes a copy of the media library (readMusicBytes()).
    ECCategoryUsage usage;
    QString productVersion;
    /// Why the device cannot be used, asked of the device only when it cannot; Usable otherwise,
    /// and also when the device answers every step now but was not trusted when it attached.
    AMDeviceState state { AMDeviceState::Usable };

    /// A device the tools can work on: it has a name and its media area opens.
    bool usable() const { return name && mediaOpened; }
};

namespace ECDeviceProbe {

/// One look at `device`, in one lockdown session: its name, its media area (a new connection
/// each time), the figures from it, its disk-usage values and its system version, and, when
/// `forSelection`, for a device that cannot be used, why (AMDevice::checkUsable()). Only what
/// the first screen shows: the music total is read apart (readMusicBytes()). A report of a usable device is
/// complete either way, so the look that found it usable can also show it. Talks to the device:
/// callers hold the device lock and stay off the main thread.
ECDeviceReport probeDevice(const std::shared_ptr<AMDevice>& device, bool forSelection);

/// The bytes of the songs and podcasts in `device`'s media library, counted from a private copy
/// of it (a few MB on a real phone; none above 256 MB is copied); nothing when the phone has no
/// library or it cannot be read. Talks to the device: callers hold the device lock and stay off
/// the main thread.
std::optional<std::int64_t> readMusicBytes(const std::shared_ptr<AMDevice>& device);

} // namespace ECDeviceProbe
