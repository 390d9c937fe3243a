#pragma once

#include "base/NotificationCenter.h"
#include "device/mobile_device.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class AMDevice;
class OperationQueue;
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
    /// Connecting in the background only (MobileDeviceAccess::setConnectQueue): `device` attached
    /// and is being connected to and paired with. Called at once without a name, and again with
    /// the name it gives before pairing, if it answers. deviceConnected() or
    /// deviceConnectAbandoned() follows for the same reference.
    virtual void deviceConnecting(const AMDeviceRef& device, const std::optional<std::string>& name);
    /// Connecting to `device` ended without a device: it detached meanwhile, or it could not be
    /// connected at all.
    virtual void deviceConnectAbandoned(const AMDeviceRef& device);
};

/// The device manager: turns the library's attach and detach records into a list of AMDevice
/// objects and tells one listener. Managers never share state; a new one starts discovery afresh.
/// Everything runs on the thread whose run loop received the subscription (the thread that first
/// set a listener); nothing here is locked. Only connecting and pairing may be handed to a queue
/// (setConnectQueue()); their result comes back to that run loop.
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
    /// Connects to and pairs with each attached device on `queue` instead of on this thread, which
    /// pairing with a locked phone could hold up for seconds; the device is then listed and
    /// announced on this thread's run loop, unless it detached meanwhile (then it is dropped).
    /// Each connect holds the phone's lock (AMDeviceLock::forPhone()), so it never meets a module
    /// talking to the same phone through an object of an earlier manager; a cancelled connect
    /// stops waiting for it when the manager goes.
    /// The operations never touch the manager, so it may go first; `queue` (not owned) must
    /// outlive them. Null (the default): devices are created at once, on this thread. Set it
    /// before the listener.
    void setConnectQueue(OperationQueue* queue) { m_connectQueue = queue; }
    /// Attached devices still being connected to in the background.
    std::size_t pendingConnects() const { return m_connecting.size(); }
    bool isSubscribed() const { return m_subscribed; }

    /// The attached devices in attach order: the live list itself.
    const std::vector<std::shared_ptr<AMDevice>>& devices() const { return m_devices; }
    /// The listed device whose UDID is `udid`; null when none is.
    std::shared_ptr<AMDevice> device(const std::string& udid) const;
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
    /// The version text of our AFC client.
    std::string clientVersion();

    /// Handles one notification record (the library's callback lands here).
    void Notify(const AMDeviceNotificationRecord& record);

private:
    void connectInBackground(const AMDeviceRef& device);
    void finishConnect(const AMDeviceRef& device, const std::shared_ptr<AMDevice>& created);
    void deviceListChanged();

    MobileDevice& m_library;
    MobileDeviceAccessListener* m_listener { nullptr };
    bool m_subscribed { false };
    AMDeviceNotificationRef m_notification { 0 };
    std::vector<std::shared_ptr<AMDevice>> m_devices;
    bool m_waitingInRunLoop { false };
    PlainRunLoop* m_waitingLoop { nullptr };
    NotificationCenter::ObserverToken m_terminateObserver { 0 };
    OperationQueue* m_connectQueue { nullptr };
    /// References attached and still being connected to, in attach order.
    std::vector<AMDeviceRef> m_connecting;
    /// What background operations reach the manager through; cleared by the destructor, so a
    /// result arriving later is dropped.
    std::shared_ptr<MobileDeviceAccess*> m_self { std::make_shared<MobileDeviceAccess*>(this) };
};
