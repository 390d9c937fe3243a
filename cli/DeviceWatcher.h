#pragma once

#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// Notes when the last attach or detach record arrived. Devices already attached arrive one
/// record each with no end marker, so discovery waits until the records have been quiet a moment.
class DeviceWatcher : public MobileDeviceAccessListener
{
public:
    void deviceConnected(const std::shared_ptr<AMDevice>&) override { m_last = std::chrono::steady_clock::now(); }
    void deviceDisconnected(const std::shared_ptr<AMDevice>&) override { m_last = std::chrono::steady_clock::now(); }

    std::chrono::steady_clock::time_point lastRecord() const { return m_last; }

    /// How long records must have been quiet before the device list counts as complete.
    static constexpr std::chrono::milliseconds QUIET { 400 };

    /// Whether discovery may end: the device named by `udid` is listed, or, with none named, the
    /// records have been quiet for QUIET. On a busy machine the first record can take longer than
    /// that, so a named device that is not listed yet is waited for until the caller's bound.
    bool discoveryComplete(
        const std::vector<std::shared_ptr<AMDevice>>& devices, const std::optional<std::string>& udid) const
    {
        if (udid) {
            return std::any_of(devices.begin(), devices.end(),
                [&](const std::shared_ptr<AMDevice>& device) { return device->udid() == *udid; });
        }
        return std::chrono::steady_clock::now() - m_last >= QUIET;
    }

private:
    std::chrono::steady_clock::time_point m_last { std::chrono::steady_clock::now() };
};
