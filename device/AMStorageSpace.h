#pragma once

#include "base/PlistValue.h"

#include <cstdint>
#include <optional>

class AMDevice;

/// How much a device holds and how much of it is free, as its media area reports them
/// ("FSTotalBytes", "FSFreeBytes"). The one reading of these figures for the window and the
/// modules, so both show and measure the same thing.
struct AMStorageSpace
{
    std::optional<std::int64_t> freeBytes;
    std::optional<std::int64_t> totalBytes;

    /// A byte count from one device-information value. Devices send decimal text (spaces around
    /// it allowed) or a number; anything else, a negative count or one beyond 64 bits is missing.
    static std::optional<std::int64_t> byteCount(const PlistValue& value);

    /// The figures in a device-information dictionary; a figure absent or unreadable is missing.
    static AMStorageSpace fromDeviceInfo(const PlistDictionary& info);

    /// Reads the figures over a media-area connection of its own, closed before it returns.
    /// Nothing when the media area does not open (the device is not trusted, or gone); the
    /// figures are missing when it opens but does not answer. Talks to the device: callers hold
    /// the device lock and stay off the main thread.
    static std::optional<AMStorageSpace> read(AMDevice& device);
};
