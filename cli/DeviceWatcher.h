#pragma once

#include "device/MobileDeviceAccess.h"

#include <chrono>
#include <memory>

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

private:
    std::chrono::steady_clock::time_point m_last { std::chrono::steady_clock::now() };
};
