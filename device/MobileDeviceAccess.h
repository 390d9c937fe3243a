#pragma once

#include "base/NotificationCenter.h"
#include "device/mobile_device.h"

#include <memory>
#include <string>
#include <vector>

class AMDevice;
class PlainRunLoop;

/// Posted on NotificationCenter::defaultCenter() by the application when it is about to quit;
/// every device manager then ends the sessions and connections of its devices.
inline constexpr const char* APPLICATION_WILL_TERMINATE_NOTIFICATION = "ApplicationWillTerminateNotification";

/// Hears about devices coming and going, on the thread that set it as listener. Both calls are
/// optional: the defaults do nothing.
class MobileDeviceAccessListener
{
public:
    virtual ~MobileDeviceAccessListener();
    /// A device attached; it is already the last entry of devices().
    virtual void deviceConnected(const std::shared_ptr<AMDevice>& device);
    /// A device detached. It is still in devices() during the call but has forgotten its library
    /// reference, so every operation on it fails; it is removed right after.
    virtual void deviceDisconnected(const std::shared_ptr<AMDevice>& device);
};

/// The device manager: turns the library's attach and detach records into a list of AMDevice
/// objects and tells one listener. Managers never share state; a new one starts discovery afresh.
/// Everything runs on the thread whose run loop received the subscription (the thread that first
/// set a listener); nothing here is locked.
class MobileDeviceAccess
{
public:
    /// The process-wide manager over MobileDevice::shared(), created on first call (thread-safe).
    static MobileDeviceAccess& singleton();

    /// A manager over `library` (kept by reference; it must outlive the manager).
    explicit MobileDeviceAccess(MobileDevice& library);
    /// Unsubscribes, stops a waitForConnection() in progress, and releases the devices.
    ~MobileDeviceAccess();
    MobileDeviceAccess(const MobileDeviceAccess&) = delete;
    MobileDeviceAccess& operator=(const MobileDeviceAccess&) = delete;

    /// Stores `listener` (not owned; null clears it). With a listener and no subscription yet,
    /// subscribes on the calling thread's run loop; a failure is logged as
    /// "AMDeviceNotificationSubscribe failed: %d" and a later call tries again. Clearing the
    /// listener keeps the subscription: devices() stays up to date, silently.
    void setListener(MobileDeviceAccessListener* listener);
    MobileDeviceAccessListener* listener() const { return m_listener; }
    bool isSubscribed() const { return m_subscribed; }

    /// The attached devices in attach order: the live list itself.
    const std::vector<std::shared_ptr<AMDevice>>& devices() const { return m_devices; }
    /// Removes `device` from devices() without telling anyone.
    void detachDevice(const std::shared_ptr<AMDevice>& device);
    /// Makes every listed device end its session and connection; the list stays as it is.
    void applicationWillTerminate();
    /// Runs the calling thread's PlainRunLoop until the next attach or detach record. False when
    /// not subscribed or when the thread has no PlainRunLoop to run.
    [[nodiscard]] bool waitForConnection();
    /// False when nothing serves the USB multiplexing socket (usbmuxd is not installed or not
    /// running): no phone can be found until it starts. Asks afresh each time.
    [[nodiscard]] bool usbServiceRunning();
    /// The AFC client version text of the library.
    std::string clientVersion();

    /// Handles one notification record (the library's callback lands here).
    void Notify(const AMDeviceNotificationRecord& record);

private:
    MobileDevice& m_library;
    MobileDeviceAccessListener* m_listener { nullptr };
    bool m_subscribed { false };
    AMDeviceNotificationRef m_notification { 0 };
    std::vector<std::shared_ptr<AMDevice>> m_devices;
    bool m_waitingInRunLoop { false };
    PlainRunLoop* m_waitingLoop { nullptr };
    NotificationCenter::ObserverToken m_terminateObserver { 0 };
};
