#pragma once

#include "base/PlistValue.h"
#include "device/AMApplication.h"
#include "device/AMDeviceLock.h"
#include "device/AMDeviceState.h"
#include "device/AMErrorState.h"
#include "device/mobile_device.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class AFCApplicationDirectory;
class AFCCrashLogDirectory;
class AMFileRelay;
class AMInstallationProxy;
class AMMobileSync;
class AMNotificationProxy;
class AMScreenshotService;
class AMServiceDelegate;
class AMSpringboardServices;
class AMSyslogRelay;
class AFCMediaDirectory;
class AFCRootDirectory;

/// One attached iPhone, iPad or iPod touch. Created by the device manager for each attach record;
/// shared, because the manager's list owns it while the device is attached and the selected device
/// or a running module may hold it longer. On detach the manager makes it forget its library
/// reference, and every later operation fails with a result instead of touching a gone device.
///
/// Every exchange is bracketed: connect, start session, work, stop session, disconnect, each step
/// closing only what it opened. Library failures answer false or nothing and leave
/// "%s failed: %x" (call name, status) in lasterror(). The object does not lock its own calls:
/// whoever talks to the phone holds deviceLock() meanwhile (every module and the controller).
class AMDevice : public AMErrorState, public std::enable_shared_from_this<AMDevice>
{
public:
    /// A device for `device`, or null with "Failed to create AMDevice: %s" logged when it cannot
    /// be connected. Reads the name and identifier on the way.
    static std::shared_ptr<AMDevice> deviceFrom(const AMDeviceRef& device, MobileDevice& library);

    /// The same without the log line: null when the connection fails, and `orBust` (if given)
    /// receives the connection's last error. A device whose session cannot start is created
    /// without name and identifier.
    static std::shared_ptr<AMDevice> initWithDevice(
        const AMDeviceRef& device, std::string* orBust, MobileDevice& library);

    ~AMDevice();
    AMDevice(const AMDevice&) = delete;
    AMDevice& operator=(const AMDevice&) = delete;

    /// True when this object stands for `device` (and has not forgotten it).
    bool isDevice(const AMDeviceRef& device) const;
    /// Drops the library reference without calling the library (the device is gone). Any thread.
    void forgetDevice();
    /// The library reference, or null after forgetDevice(). Any thread.
    AMDeviceRef device() const;
    /// The library this device was created with.
    MobileDevice& library() const { return m_library; }

    /// The one lock of this phone: held by every module and by the controller while they talk
    /// to the phone. Every device object for the same unique device identifier answers the same
    /// lock (AMDeviceLock::forPhone()), whichever device manager made it; an object whose
    /// identifier is unknown has one of its own. Holders keep the device alive until they
    /// release it.
    AMDeviceLock& deviceLock() const { return *m_lock; }
    /// The most lockdown connections this object had open at once. More than one means two
    /// threads talked to the phone together, which the device lock exists to prevent. Any thread.
    int maxConcurrentConnections() const { return m_maxOpenConnections.load(); }

    /// "DeviceName" and "UniqueDeviceID" as read at creation; nothing if the session failed then.
    const std::optional<std::string>& deviceName() const { return m_deviceName; }
    const std::optional<std::string>& udid() const { return m_udid; }
    /// "AMDevice('<name>')".
    std::string description() const;

    /// How the device is reached now (USB whenever a cable path exists); Unknown once forgotten.
    AMDeviceInterfaceType interfaceType() const;

    /// Opens a lockdown connection (always calls the library). True on success, which also
    /// clears the last error.
    [[nodiscard]] bool deviceConnect();
    [[nodiscard]] bool deviceDisconnect();
    /// Starts a session (pairing first if the computer is not trusted yet). Needs a connection.
    [[nodiscard]] bool startSession();
    [[nodiscard]] bool stopSession();
    /// Status 0 clears the last error and answers true; anything else sets "%s failed: %x" with
    /// `callName` and answers false.
    bool checkStatus(MDStatus status, const char* callName);
    /// The status the last checkStatus() saw (0 after a success); like lasterror(), a clean-up
    /// after a failure keeps the failure's status.
    MDStatus lastStatus() const { return m_lastStatus; }

    /// Tests afresh whether the device can be used: reached over a cable, a session starts and
    /// the media area's service starts (and is closed again). Answers why not otherwise; opens and
    /// closes only what was not open. Each call asks the device again; nothing is cached.
    [[nodiscard]] AMDeviceState checkUsable();

    bool isConnected() const { return m_connected; }
    bool isInSession() const { return m_insession; }

    /// How long one request on an AFC connection opened from now on may wait for the device, in
    /// whole seconds; 0 (the default) waits as long as the device keeps the connection open.
    /// A request that runs out fails with AFCStatus::OpTimeout. Any thread.
    std::uint32_t afcIOTimeout() const { return m_afcIOTimeout.load(); }
    void setAFCIOTimeout(std::uint32_t seconds) { m_afcIOTimeout.store(seconds); }

    /// A device value, connecting and starting a session only if not already done (and undoing
    /// only that). No key: the whole domain as a dictionary; no domain: the default domain.
    /// Nothing when the device cannot be reached or has no such value.
    [[nodiscard]] std::optional<PlistValue> deviceValueForKey(
        const std::optional<std::string>& key, const std::optional<std::string>& domain = std::nullopt);
    [[nodiscard]] std::optional<PlistValue> allDeviceValuesForDomain(const std::string& domain);
    /// "ProductType", "DeviceClass", "SerialNumber" as text; nothing when absent or not text.
    [[nodiscard]] std::optional<std::string> productType();
    [[nodiscard]] std::optional<std::string> deviceClass();
    [[nodiscard]] std::optional<std::string> serialNumber();

    /// Starts `serviceName` and answers its connection (owned by the caller; it keeps working
    /// after the session is stopped and the device disconnected), or null with
    /// "AMDeviceStartService failed: %#x,%#x,%#x" logged. The caller must have the device
    /// connected and in a session.
    /// `status` (if given) receives the library's status.
    [[nodiscard]] std::unique_ptr<AMServiceConnection> startService(
        const std::string& serviceName, MDStatus* status = nullptr);

    /// The bracket every service-client factory uses: connect (failure: null), start session
    /// (failure: disconnect, null), `create()`, stop session, disconnect; answers what `create`
    /// made. `create` starts its service with startService().
    template <typename Client, typename Create> std::unique_ptr<Client> newServiceClient(Create&& create)
    {
        if (!deviceConnect()) {
            return nullptr;
        }
        if (!startSession()) {
            disconnectKeepingError();
            return nullptr;
        }
        std::unique_ptr<Client> client = create();
        (void)stopSession(); // the client works on its own connection from here on
        (void)deviceDisconnect();
        return client;
    }

    // Service-client factories: each opens a fresh service connection that the caller owns;
    // null on failure, with the reason in lasterror() or logged. Defined with their classes.
    /// "com.apple.afc": the media area.
    std::unique_ptr<AFCMediaDirectory> newAFCMediaDirectory();
    /// "com.apple.crashreportcopymobile": crash reports.
    std::unique_ptr<AFCCrashLogDirectory> newAFCCrashLogDirectory();
    /// "com.apple.afc2": the whole file system (jailbroken devices).
    std::unique_ptr<AFCRootDirectory> newAFCRootDirectory();
    /// "com.apple.mobile.house_arrest": the container of the app `bundleIdentifier`.
    std::unique_ptr<AFCApplicationDirectory> newAFCApplicationDirectory(const std::string& bundleIdentifier);

    /// "com.apple.mobile.installation_proxy" with `delegate` (not owned, may be null).
    std::unique_ptr<AMInstallationProxy> newAMInstallationProxyWithDelegate(AMServiceDelegate* delegate);
    /// "com.apple.springboardservices": icons and the home-screen layout.
    std::unique_ptr<AMSpringboardServices> newAMSpringboardServices();
    /// "com.apple.mobile.notification_proxy"; observers are called on the main run loop.
    std::unique_ptr<AMNotificationProxy> newAMNotificationProxy();
    /// "com.apple.mobile.file_relay".
    std::unique_ptr<AMFileRelay> newAMFileRelay();
    /// "com.apple.syslog_relay": `message` receives each log line on the main run loop.
    std::unique_ptr<AMSyslogRelay> newAMSyslogRelay(std::function<void(const std::string& line)> message);
    /// "com.apple.mobilesync", after its version exchange.
    std::unique_ptr<AMMobileSync> newAMMobileSync();
    /// "com.apple.mobile.screenshotr", after the device-link handshake.
    std::unique_ptr<AMScreenshotService> newAMScreenshotService();

    // App listing (defined in AMDeviceApplications.cpp).
    /// {"ReturnAttributes": applicationAttributes() when set, else the default attribute list}.
    PlistDictionary defaultReturnAttributes() const;
    /// The installed apps whose "ApplicationType" is "User" (empty when there are none), or
    /// nothing when the device cannot be reached or the lookup fails ("AMDeviceLookupApplications
    /// failed: %x"). Opens and closes its own connection and session.
    std::optional<std::vector<AMApplication>> installedApplications();
    /// installedApplications() asking for `extraAttributes` as well, such as "StaticDiskUsage"
    /// and "DynamicDiskUsage", which a device computes only when asked.
    std::optional<std::vector<AMApplication>> installedApplicationsWithAttributes(
        const std::vector<std::string>& extraAttributes);
    /// The record of `bundleIdentifier`, of any type; nothing when not installed or on failure.
    std::optional<AMApplication> installedApplicationWithId(const std::string& bundleIdentifier);
    /// Attribute names that replace the default list; nothing for the default. Any thread.
    std::optional<std::vector<std::string>> applicationAttributes() const;
    void setApplicationAttributes(std::optional<std::vector<std::string>> attributes);

    /// Ends what this object opened: stops the session if in one, then disconnects if connected.
    /// Does nothing while another thread holds the phone's lock: that holder is mid-exchange on
    /// the phone's one lockdown connection and closes what it opened itself.
    void applicationWillTerminate();

private:
    AMDevice(const AMDeviceRef& device, MobileDevice& library);
    /// Disconnects after a failure without replacing that failure's text: the clean-up's own
    /// success would otherwise clear the reason the caller needs.
    void disconnectKeepingError();

    MobileDevice& m_library;
    std::shared_ptr<AMDeviceLock> m_lock;
    std::atomic<int> m_openConnections { 0 };
    std::atomic<int> m_maxOpenConnections { 0 };
    // Guarded: the manager forgets the reference on its thread while a module may be using the
    // device on its queue; every call takes a copy first, so the handle stays valid for the call.
    mutable std::mutex m_deviceMutex;
    AMDeviceRef m_device;
    std::optional<std::string> m_deviceName;
    std::optional<std::string> m_udid;
    bool m_connected { false };
    bool m_insession { false };
    MDStatus m_lastStatus { AMDStatus::Success };
    std::atomic<std::uint32_t> m_afcIOTimeout { 0 };
    mutable std::mutex m_applicationAttributesMutex;
    std::optional<std::vector<std::string>> m_applicationAttributes;
    /// Steps 1 to 3 of every app listing: the library's dictionary, or nothing.
    std::optional<PlistDictionary> lookupApplications(const std::vector<std::string>& extraAttributes = {});
};

/// A lockdown session for as long as it lives, so that several service starts and values share
/// one session (a service start in a running session is one request; a new session is a TLS
/// handshake). Connects and starts the session only when not already done, and ends only what
/// it began. The holder must hold the device lock.
class AMDeviceSessionHold
{
public:
    explicit AMDeviceSessionHold(AMDevice& device)
        : m_device(device)
        , m_connectedHere(!device.isConnected())
    {
        if (m_connectedHere && !device.deviceConnect()) {
            m_connectedHere = false;
            return;
        }
        m_sessionHere = !device.isInSession();
        if (m_sessionHere && !device.startSession()) {
            m_sessionHere = false;
            return;
        }
        m_ok = true;
    }
    ~AMDeviceSessionHold()
    {
        if (m_sessionHere) {
            (void)m_device.stopSession(); // what was asked is answered; a failed stop is in the last error
        }
        if (m_connectedHere) {
            (void)m_device.deviceDisconnect();
        }
    }
    AMDeviceSessionHold(const AMDeviceSessionHold&) = delete;
    AMDeviceSessionHold& operator=(const AMDeviceSessionHold&) = delete;

    /// True when the device is connected and in a session.
    explicit operator bool() const { return m_ok; }

private:
    AMDevice& m_device;
    bool m_connectedHere;
    bool m_sessionHere { false };
    bool m_ok { false };
};
