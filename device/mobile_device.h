#pragma once

// The boundary to the mobile-device library: what libimobiledevice gives the device layer, and
// nothing more. Device events, the lockdown connection, pairing and sessions, device values,
// starting a service (which hands back a byte stream, `AMServiceConnection`) and the application
// lookup. Every protocol spoken over a started service is our own code above this boundary: AFC
// (`AFCDirectoryAccess` over `AFCWireClient`), the property-list services (`AMService`), and the
// notification proxy, whose few calls are implemented once in this base class.
//
// `MobileDevice` is an abstract class with one virtual per library operation. Callers obtain the
// implementation with `MobileDevice::shared()`; tests install another one (for example
// tests/device/ScriptedMobileDevice) with `MobileDevice::setShared()`, or hand one to the objects
// that accept it directly (`MobileDeviceAccess`, `AMDevice::deviceFrom`).
//
// The production implementation, `LibimobiledeviceMobileDevice` (device/LibimobiledeviceMobileDevice.h),
// runs over libimobiledevice 1.3.0 and libusbmuxd 2.0.2; the notification-proxy operations are in
// device/MobileDeviceNotificationProxy.cpp.
//
// Statuses are 32-bit: 0 is success; lockdown, mux and session failures are MobileDevice-style
// 0xE80000xx numbers (`AMDStatus`). AFC requests answer the AFC wire status numbers (`AFCStatus`),
// which live here too so that `mobileDeviceStatusText()` names any status the device layer keeps.
//
// No libimobiledevice type appears in this header: a device handle is an opaque class that each
// implementation derives from.

#include "base/PlistValue.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

/// A 32-bit library status: 0 on success.
using MDStatus = std::uint32_t;

/// MobileDevice-style statuses of the device, lockdown and mux operations.
struct AMDStatus
{
    static constexpr MDStatus Success = 0;
    static constexpr MDStatus UndefinedError = 0xE8000001;
    static constexpr MDStatus BadHeaderError = 0xE8000002;
    static constexpr MDStatus NoResourcesError = 0xE8000003;
    static constexpr MDStatus ReadError = 0xE8000004;
    static constexpr MDStatus WriteError = 0xE8000005;
    static constexpr MDStatus UnknownPacketError = 0xE8000006;
    static constexpr MDStatus InvalidArgumentError = 0xE8000007;
    static constexpr MDStatus NotFoundError = 0xE8000008;
    static constexpr MDStatus NotConnectedError = 0xE800000B;
    static constexpr MDStatus TimeOutError = 0xE800000C;
    static constexpr MDStatus EOFError = 0xE800000E;
    static constexpr MDStatus UnsupportedError = 0xE800000F;
    static constexpr MDStatus BusyError = 0xE8000011;
    static constexpr MDStatus CryptoError = 0xE8000012;
    static constexpr MDStatus InvalidResponseError = 0xE8000013;
    static constexpr MDStatus MissingKeyError = 0xE8000014;
    static constexpr MDStatus MissingValueError = 0xE8000015;
    static constexpr MDStatus GetProhibitedError = 0xE8000016;
    static constexpr MDStatus SetProhibitedError = 0xE8000017;
    static constexpr MDStatus RemoveProhibitedError = 0xE8000018;
    static constexpr MDStatus ImmutableValueError = 0xE8000019;
    static constexpr MDStatus PasswordProtectedError = 0xE800001A;
    static constexpr MDStatus MissingHostIDError = 0xE800001B;
    static constexpr MDStatus InvalidHostIDError = 0xE800001C;
    static constexpr MDStatus SessionActiveError = 0xE800001D;
    static constexpr MDStatus SessionInactiveError = 0xE800001E;
    static constexpr MDStatus MissingSessionIDError = 0xE800001F;
    static constexpr MDStatus InvalidSessionIDError = 0xE8000020;
    static constexpr MDStatus MissingServiceError = 0xE8000021;
    static constexpr MDStatus InvalidServiceError = 0xE8000022;
    static constexpr MDStatus ServiceLimitError = 0xE8000023;
    static constexpr MDStatus ServiceProhibitedError = 0xE8000024;
    static constexpr MDStatus MissingPairRecordError = 0xE8000025;
    static constexpr MDStatus InvalidActivationRecordError = 0xE8000026;
    static constexpr MDStatus MissingActivationRecordError = 0xE8000027;
    static constexpr MDStatus InvalidPairRecordError = 0xE8000028;
    static constexpr MDStatus SavePairRecordError = 0xE8000029;
    static constexpr MDStatus PairingFailedError = 0xE800002A;
    static constexpr MDStatus UserDeniedPairingError = 0xE800002B;
    static constexpr MDStatus PairingDialogPendingError = 0xE800002C;
    static constexpr MDStatus PairingProhibitedError = 0xE800002D;
    static constexpr MDStatus EscrowLockedError = 0xE800002E;
    static constexpr MDStatus DeviceProtectedError = 0xE800002F;
    /// usbmuxd cannot be reached or refused the request.
    static constexpr MDStatus MuxError = 0xE8000080;
    /// usbmuxd could not connect to the device's lockdown port.
    static constexpr MDStatus MuxConnectError = 0xE8000081;
    /// The device is no longer attached (or the handle was never attached).
    static constexpr MDStatus DeviceDetachedError = 0xE8000082;
    /// The operation needs a connection made by AMDeviceConnect.
    static constexpr MDStatus NoConnectionError = 0xE8000083;
    /// The service was started but its port could not be reached through the mux.
    static constexpr MDStatus ServiceConnectError = 0xE8000084;
    /// A subscription needs a run loop on the subscribing thread (or a main loop).
    static constexpr MDStatus NoRunLoopError = 0xE8000085;
    /// The subscription is unknown or already ended.
    static constexpr MDStatus InvalidSubscriptionError = 0xE8000086;
    /// The device refused a session to a computer it had just paired with.
    static constexpr MDStatus SessionRefusedError = 0xE8000087;
};

/// AFC wire statuses, as the device sends them, plus the host-side numbers from 30 up.
struct AFCStatus
{
    static constexpr MDStatus Success = 0;
    static constexpr MDStatus UnknownError = 1;
    static constexpr MDStatus OpHeaderInvalid = 2;
    static constexpr MDStatus NoResources = 3;
    static constexpr MDStatus ReadError = 4;
    static constexpr MDStatus WriteError = 5;
    static constexpr MDStatus UnknownPacketType = 6;
    static constexpr MDStatus InvalidArg = 7;
    static constexpr MDStatus ObjectNotFound = 8;
    static constexpr MDStatus ObjectIsDir = 9;
    static constexpr MDStatus PermDenied = 10;
    static constexpr MDStatus ServiceNotConnected = 11;
    static constexpr MDStatus OpTimeout = 12;
    static constexpr MDStatus TooMuchData = 13;
    static constexpr MDStatus EndOfData = 14;
    static constexpr MDStatus OpNotSupported = 15;
    static constexpr MDStatus ObjectExists = 16;
    static constexpr MDStatus ObjectBusy = 17;
    static constexpr MDStatus NoSpaceLeft = 18;
    static constexpr MDStatus OpWouldBlock = 19;
    static constexpr MDStatus IoError = 20;
    static constexpr MDStatus OpInterrupted = 21;
    static constexpr MDStatus OpInProgress = 22;
    static constexpr MDStatus InternalError = 23;
    /// Host side: sending or receiving on the service connection failed, or the peer closed it.
    static constexpr MDStatus ConnectionError = 30;
    /// Host side: a reply larger than the host accepts.
    static constexpr MDStatus NoMemory = 31;
    /// Host side: a reply shorter than its header says, or malformed.
    static constexpr MDStatus NotEnoughData = 32;
};

/// The constant's name ("AFCStatus::ObjectNotFound", "AMDStatus::InvalidServiceError"), or
/// null for an unknown number. AFC and AMD numbers do not overlap, so one function serves both.
const char* mobileDeviceStatusName(MDStatus status);

/// A short English description ("Not found", "Invalid host ID", ...); "Unknown status 0x%x" for
/// numbers outside the table. For logs and command-line messages, never for the last-error texts,
/// whose wording is fixed per class.
std::string mobileDeviceStatusText(MDStatus status);

/// One device as the library knows it. Opaque: each implementation derives its own. Shared
/// because the library keeps its own reference while the device is attached and device objects
/// may hold theirs longer; a handle whose device went away stays safe to call (calls fail).
class MobileDeviceHandle
{
public:
    virtual ~MobileDeviceHandle();

protected:
    MobileDeviceHandle() = default;
};
using AMDeviceRef = std::shared_ptr<MobileDeviceHandle>;

/// Kinds of device notification records.
enum class AMDeviceNotificationKind : std::uint32_t {
    Attached = 1,
    Detached = 2,
    Unsubscribed = 3,
};

/// Opaque subscription token; 0 is no subscription.
using AMDeviceNotificationRef = std::uint64_t;

/// What the notification callback receives. `kind` is a plain number because a library may send
/// kinds the caller does not know (they are logged and ignored).
struct AMDeviceNotificationRecord
{
    AMDeviceRef device;
    std::uint32_t kind = 0;
    AMDeviceNotificationRef subscription = 0;
};
using AMDeviceNotificationCallback = std::function<void(const AMDeviceNotificationRecord&)>;

/// How a device is reached.
enum class AMDeviceInterfaceType {
    Unknown = 0,
    Usb = 1,
    Network = 2,
};

/// Outcome of one send or receive on a service connection.
enum class AMIOStatus {
    Ok,
    Closed, ///< the other side closed the connection (receive saw end of stream, send saw a reset)
    TimedOut, ///< nothing could be moved within the timeout
    Failed, ///< any other error; the connection should be dropped
};

struct AMIOResult
{
    AMIOStatus status = AMIOStatus::Failed;
    std::size_t bytes = 0;
    bool ok() const { return status == AMIOStatus::Ok; }
};

/// The byte stream of one started device service. Production: a libimobiledevice service connection
/// through usbmuxd (or its plain socket when the service runs without TLS); unit tests: a plain
/// socket (`AMSocketConnection`). It keeps working after the session that started it is stopped
/// and the device disconnected. One thread at a time may send, and one may receive.
class AMServiceConnection
{
public:
    /// Passed as a timeout: wait as long as the other side keeps the connection open.
    static constexpr std::chrono::milliseconds WAIT_FOREVER { -1 };

    virtual ~AMServiceConnection();
    AMServiceConnection(const AMServiceConnection&) = delete;
    AMServiceConnection& operator=(const AMServiceConnection&) = delete;

    /// Sends all `length` bytes unless an error or the timeout stops it; `bytes` says how many went.
    [[nodiscard]] virtual AMIOResult send(const void* data, std::size_t length, std::chrono::milliseconds timeout) = 0;
    /// Receives at least one and at most `length` bytes; `Closed` with 0 bytes at end of stream.
    [[nodiscard]] virtual AMIOResult receive(void* buffer, std::size_t length, std::chrono::milliseconds timeout) = 0;
    /// Closes the connection; later sends and receives give `Closed`. Safe to call twice.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    /// The TLS version the stream runs ("TLSv1.3"); empty for a plain stream.
    virtual std::string tlsVersion() const { return {}; }

protected:
    AMServiceConnection() = default;
};

/// Called with each notification name an observed notification proxy relays, on the run loop of
/// the thread that called AMDListenForNotifications. An empty name means the proxy went away.
using AMDNotificationCallback = std::function<void(const std::string& name)>;

class MobileDevice
{
public:
    virtual ~MobileDevice();
    MobileDevice(const MobileDevice&) = delete;
    MobileDevice& operator=(const MobileDevice&) = delete;

    /// The implementation the process uses: the one installed with setShared(), or else the
    /// production implementation, created on first use. Thread-safe.
    static MobileDevice& shared();
    /// Installs `library` for every later shared() call; null goes back to production. Tests only;
    /// the caller keeps ownership and must reset before `library` dies.
    static void setShared(MobileDevice* library);

    // ---- Device ---------------------------------------------------------------------------

    /// Subscribes to attach and detach records. `callback` runs on the run loop of the calling
    /// thread (RunLoop::current(), else the main loop; NoRunLoopError without either), first once
    /// per device already attached (kind 1), then for each change. A phone reachable over USB and
    /// over the network is one device. `subscription` receives the token for unsubscribing.
    [[nodiscard]] virtual MDStatus AMDeviceNotificationSubscribe(
        AMDeviceNotificationCallback callback, AMDeviceNotificationRef* subscription)
        = 0;
    /// Ends a subscription: once this returns, its callback is not called again (records already
    /// queued are dropped). Call it on the subscribing thread.
    [[nodiscard]] virtual MDStatus AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef subscription) = 0;

    /// Whether the USB multiplexing service answers: 0, or MuxError when nothing serves its
    /// socket (usbmuxd is not installed or not running). Any thread.
    [[nodiscard]] virtual MDStatus AMDeviceMuxStatus();

    /// Opens a lockdown connection to the device (no session yet). Connecting again while
    /// connected keeps the existing connection and answers 0.
    [[nodiscard]] virtual MDStatus AMDeviceConnect(const AMDeviceRef& device) = 0;
    /// Pairs if the computer is not yet trusted (the phone asks its user) and starts a session.
    /// When the phone refuses the pair record (InvalidHostIDError) the computer pairs again; the
    /// record is replaced only when the phone accepts the new pairing, so a phone that is locked
    /// or whose trust question is unanswered or denied keeps the computer's record and keys.
    /// Needs a connection. PairingDialogPendingError / UserDeniedPairingError /
    /// PasswordProtectedError tell the untrusted cases apart; SessionRefusedError when the phone
    /// refuses a session to a computer it has just paired with. With pairing disallowed
    /// (setPairingAllowed) nothing is paired: MissingHostIDError without a record,
    /// InvalidHostIDError for a record the phone refuses.
    [[nodiscard]] virtual MDStatus AMDeviceStartSession(const AMDeviceRef& device) = 0;
    /// Whether AMDeviceStartSession may pair (the default), for the whole process: a read-only
    /// caller turns it off so that nothing on the phone changes.
    void setPairingAllowed(bool allowed) { m_pairingAllowed.store(allowed); }
    bool pairingAllowed() const { return m_pairingAllowed.load(); }
    /// Stops the session; the connection stays open.
    [[nodiscard]] virtual MDStatus AMDeviceStopSession(const AMDeviceRef& device) = 0;
    /// Closes the lockdown connection (stopping a session still open). Started service
    /// connections are not affected.
    [[nodiscard]] virtual MDStatus AMDeviceDisconnect(const AMDeviceRef& device) = 0;
    /// A device value: `key` in `domain` (none: the default domain); without a key the whole
    /// domain as a dictionary. Nothing when the value is missing or the device cannot answer.
    /// Needs a connection; most values also need a session.
    virtual std::optional<PlistValue> AMDeviceCopyValue(
        const AMDeviceRef& device, const std::optional<std::string>& domain, const std::optional<std::string>& key)
        = 0;
    /// How the device is reached now: Usb whenever a USB path exists.
    virtual AMDeviceInterfaceType AMDeviceGetInterfaceType(const AMDeviceRef& device) = 0;
    /// The unique device identifier the attach record gave, without talking to the device; nothing
    /// when the library does not know it (the default). Any thread.
    virtual std::optional<std::string> AMDeviceCopyDeviceIdentifier(const AMDeviceRef& device);
    /// Starts the named service (needs a connection and a session) and connects to it; the
    /// connection belongs to the caller and outlives the session and the lockdown connection.
    [[nodiscard]] virtual MDStatus AMDeviceStartService(
        const AMDeviceRef& device, const std::string& serviceName, std::unique_ptr<AMServiceConnection>* connection)
        = 0;
    /// Installed applications: bundle identifier → attribute dictionary. `options` holds
    /// "ReturnAttributes" (a list of names) and optionally "ApplicationType". Needs a session.
    [[nodiscard]] virtual MDStatus AMDeviceLookupApplications(
        const AMDeviceRef& device, const PlistDictionary& options, PlistDictionary* applications)
        = 0;

    // ---- Notification proxy (statuses are AMDStatus numbers) ---------------------------------
    // Implemented here for every implementation: they are property-list frames over `service`.

    /// Starts relaying the notifications observed on `service` to `callback`, which runs on the
    /// calling thread's run loop (or the main loop). Reads on a thread of its own until the proxy
    /// goes away or AMDShutdownNotificationProxy; the caller keeps `service` alive until then.
    [[nodiscard]] virtual MDStatus AMDListenForNotifications(
        AMServiceConnection& service, AMDNotificationCallback callback);
    /// Asks the device to relay `name` from now on.
    [[nodiscard]] virtual MDStatus AMDObserveNotification(AMServiceConnection& service, const std::string& name);
    /// Posts `name` on the device.
    [[nodiscard]] virtual MDStatus AMDPostNotification(AMServiceConnection& service, const std::string& name);
    /// Asks the proxy to end, waits (bounded) for its farewell and stops the listener, if any.
    [[nodiscard]] virtual MDStatus AMDShutdownNotificationProxy(AMServiceConnection& service);

protected:
    MobileDevice();

private:
    struct NotificationListeners;
    std::unique_ptr<NotificationListeners> m_notificationListeners;
    std::atomic<bool> m_pairingAllowed { true };
};
