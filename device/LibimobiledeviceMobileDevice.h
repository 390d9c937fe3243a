#pragma once

#include "device/mobile_device.h"

#include <memory>

/// The production library: real phones (and torvane-simd) through usbmuxd with libimobiledevice
/// 1.3.0 and libusbmuxd 2.0.2. Reached through MobileDevice::shared(); create no other instance.
///
/// Definitions live in three files (see mobile_device.h): LibimobiledeviceMobileDevice.cpp for the
/// device operations and MobileDevice::shared(), MobileDeviceAFC.cpp for the AFC operations, and
/// the notification-proxy operations come from the MobileDevice base class.
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
    MDStatus AMDeviceStartService(const AMDeviceRef& device,
        const std::string& serviceName,
        std::unique_ptr<AMServiceConnection>* connection) override;
    MDStatus AMDeviceLookupApplications(
        const AMDeviceRef& device, const PlistDictionary& options, PlistDictionary* applications) override;

    // Defined in MobileDeviceAFC.cpp.
    MDStatus AFCConnectionOpen(
        AMServiceConnection& service, std::uint32_t ioTimeout, std::unique_ptr<AFCConnection>* connection) override;
    MDStatus AFCConnectionClose(std::unique_ptr<AFCConnection> connection) override;
    MDStatus AFCDeviceInfoOpen(AFCConnection& connection, std::unique_ptr<AFCKeyValues>* pairs) override;
    MDStatus AFCFileInfoOpen(
        AFCConnection& connection, const std::string& path, std::unique_ptr<AFCKeyValues>* pairs) override;
    MDStatus AFCKeyValueRead(
        AFCKeyValues& pairs, std::optional<std::string>* key, std::optional<std::string>* value) override;
    MDStatus AFCKeyValueClose(std::unique_ptr<AFCKeyValues> pairs) override;
    MDStatus AFCDirectoryOpen(
        AFCConnection& connection, const std::string& path, std::unique_ptr<AFCDirectory>* directory) override;
    MDStatus AFCDirectoryRead(
        AFCConnection& connection, AFCDirectory& directory, std::optional<std::string>* name) override;
    MDStatus AFCDirectoryClose(AFCConnection& connection, std::unique_ptr<AFCDirectory> directory) override;
    MDStatus AFCDirectoryCreate(AFCConnection& connection, const std::string& path) override;
    MDStatus AFCRemovePath(AFCConnection& connection, const std::string& path) override;
    MDStatus AFCRenamePath(AFCConnection& connection, const std::string& oldPath, const std::string& newPath) override;
    MDStatus AFCLinkPath(
        AFCConnection& connection, AFCLinkType type, const std::string& target, const std::string& link) override;
    MDStatus AFCFileRefOpen(
        AFCConnection& connection, const std::string& path, AFCFileMode mode, AFCFileRef* file) override;
    MDStatus AFCFileRefRead(AFCConnection& connection, AFCFileRef file, void* buffer, std::uint32_t* length) override;
    MDStatus AFCFileRefWrite(
        AFCConnection& connection, AFCFileRef file, const void* data, std::uint32_t length) override;
    MDStatus AFCFileRefSeek(
        AFCConnection& connection, AFCFileRef file, std::int64_t offset, AFCSeekOrigin origin) override;
    MDStatus AFCFileRefTell(AFCConnection& connection, AFCFileRef file, std::uint64_t* position) override;
    MDStatus AFCFileRefSetFileSize(AFCConnection& connection, AFCFileRef file, std::uint64_t size) override;
    MDStatus AFCFileRefClose(AFCConnection& connection, AFCFileRef file) override;
    std::unique_ptr<AFCOperation> AFCOperationCreateSetModTime(
        const std::string& path, std::uint64_t nanosecondsSince1970) override;
    double AFCConnectionGetIOTimeout(AFCConnection& connection) override;
    MDStatus AFCConnectionProcessOperation(AFCConnection& connection, AFCOperation& operation, double timeout) override;
    MDStatus AFCOperationGetResultStatus(AFCOperation& operation) override;
    std::optional<PlistDictionary> AFCConnectionCopyLastErrorInfo(AFCConnection& connection) override;
    std::string AFCGetClientVersionString() override;

private:
    // Device events: one libimobiledevice subscription per process, fanned out to our subscribers.
    class Events;
    std::unique_ptr<Events> m_events;
};
