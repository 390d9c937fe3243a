#pragma once

#include "device/mobile_device.h"

#include <memory>

/// The production library: real phones (and torvane-simd) through usbmuxd with libimobiledevice
/// 1.3.0 and libusbmuxd 2.0.2. Reached through MobileDevice::shared(); create no other instance.
///
/// The device operations and MobileDevice::shared() are in LibimobiledeviceMobileDevice.cpp; the
/// notification-proxy operations come from the MobileDevice base class.
class LibimobiledeviceMobileDevice final : public MobileDevice
{
public:
    LibimobiledeviceMobileDevice();
    ~LibimobiledeviceMobileDevice() override;

    MDStatus AMDeviceNotificationSubscribe(
        AMDeviceNotificationCallback callback, AMDeviceNotificationRef* subscription) override;
    MDStatus AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef subscription) override;
    MDStatus AMDeviceMuxStatus() override;
    MDStatus AMDeviceConnect(const AMDeviceRef& device) override;
    MDStatus AMDeviceStartSession(const AMDeviceRef& device) override;
    MDStatus AMDeviceStopSession(const AMDeviceRef& device) override;
    MDStatus AMDeviceDisconnect(const AMDeviceRef& device) override;
    std::optional<PlistValue> AMDeviceCopyValue(const AMDeviceRef& device,
        const std::optional<std::string>& domain,
        const std::optional<std::string>& key) override;
    AMDeviceInterfaceType AMDeviceGetInterfaceType(const AMDeviceRef& device) override;
    std::optional<std::string> AMDeviceCopyDeviceIdentifier(const AMDeviceRef& device) override;
    MDStatus AMDeviceStartService(const AMDeviceRef& device,
        const std::string& serviceName,
        std::unique_ptr<AMServiceConnection>* connection) override;
    MDStatus AMDeviceLookupApplications(
        const AMDeviceRef& device, const PlistDictionary& options, PlistDictionary* applications) override;

private:
    // Device events: one libimobiledevice subscription per process, fanned out to our subscribers.
    class Events;
    std::unique_ptr<Events> m_events;
};
