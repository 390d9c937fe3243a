#include "device/LibimobiledeviceMobileDevice.h"

#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AMSocketConnection.h"
#include "device/AMTlsConnection.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <libimobiledevice/installation_proxy.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <openssl/ssl.h>
#include <plist/plist.h>
#include <unistd.h>
#include <usbmuxd.h>

namespace {

// What the device sees as our lockdown label.
constexpr const char* LOCKDOWN_LABEL = "torvane";

// ---- Status mapping ---------------------------------------------------------------------------

MDStatus statusFromLockdown(lockdownd_error_t error)
{
    switch (error) {
    case LOCKDOWN_E_SUCCESS:
        return AMDStatus::Success;
    case LOCKDOWN_E_INVALID_ARG:
        return AMDStatus::InvalidArgumentError;
    case LOCKDOWN_E_INVALID_CONF:
        return AMDStatus::MissingHostIDError; // a pair record without HostID
    case LOCKDOWN_E_PLIST_ERROR:
    case LOCKDOWN_E_DICT_ERROR:
    case LOCKDOWN_E_INVALID_RESPONSE:
        return AMDStatus::InvalidResponseError;
    case LOCKDOWN_E_PAIRING_FAILED:
        return AMDStatus::PairingFailedError;
    case LOCKDOWN_E_SSL_ERROR:
        return AMDStatus::CryptoError;
    case LOCKDOWN_E_RECEIVE_TIMEOUT:
        return AMDStatus::TimeOutError;
    case LOCKDOWN_E_MUX_ERROR:
        return AMDStatus::MuxConnectError;
    case LOCKDOWN_E_NO_RUNNING_SESSION:
        return AMDStatus::SessionInactiveError;
    case LOCKDOWN_E_MISSING_KEY:
        return AMDStatus::MissingKeyError;
    case LOCKDOWN_E_MISSING_VALUE:
        return AMDStatus::MissingValueError;
    case LOCKDOWN_E_GET_PROHIBITED:
        return AMDStatus::GetProhibitedError;
    case LOCKDOWN_E_SET_PROHIBITED:
        return AMDStatus::SetProhibitedError;
    case LOCKDOWN_E_REMOVE_PROHIBITED:
        return AMDStatus::RemoveProhibitedError;
    case LOCKDOWN_E_IMMUTABLE_VALUE:
        return AMDStatus::ImmutableValueError;
    case LOCKDOWN_E_PASSWORD_PROTECTED:
        return AMDStatus::PasswordProtectedError;
    case LOCKDOWN_E_USER_DENIED_PAIRING:
        return AMDStatus::UserDeniedPairingError;
    case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
        return AMDStatus::PairingDialogPendingError;
    case LOCKDOWN_E_MISSING_HOST_ID:
        return AMDStatus::MissingHostIDError;
    case LOCKDOWN_E_INVALID_HOST_ID:
        return AMDStatus::InvalidHostIDError;
    case LOCKDOWN_E_SESSION_ACTIVE:
        return AMDStatus::SessionActiveError;
    case LOCKDOWN_E_SESSION_INACTIVE:
        return AMDStatus::SessionInactiveError;
    case LOCKDOWN_E_MISSING_SESSION_ID:
        return AMDStatus::MissingSessionIDError;
    case LOCKDOWN_E_INVALID_SESSION_ID:
        return AMDStatus::InvalidSessionIDError;
    case LOCKDOWN_E_MISSING_SERVICE:
        return AMDStatus::MissingServiceError;
    case LOCKDOWN_E_INVALID_SERVICE:
        return AMDStatus::InvalidServiceError;
    case LOCKDOWN_E_SERVICE_LIMIT:
        return AMDStatus::ServiceLimitError;
    case LOCKDOWN_E_MISSING_PAIR_RECORD:
        return AMDStatus::MissingPairRecordError;
    case LOCKDOWN_E_SAVE_PAIR_RECORD_FAILED:
        return AMDStatus::SavePairRecordError;
    case LOCKDOWN_E_INVALID_PAIR_RECORD:
        return AMDStatus::InvalidPairRecordError;
    case LOCKDOWN_E_INVALID_ACTIVATION_RECORD:
        return AMDStatus::InvalidActivationRecordError;
    case LOCKDOWN_E_MISSING_ACTIVATION_RECORD:
        return AMDStatus::MissingActivationRecordError;
    case LOCKDOWN_E_SERVICE_PROHIBITED:
        return AMDStatus::ServiceProhibitedError;
    case LOCKDOWN_E_ESCROW_LOCKED:
        return AMDStatus::EscrowLockedError;
    case LOCKDOWN_E_PAIRING_PROHIBITED_OVER_THIS_CONNECTION:
        return AMDStatus::PairingProhibitedError;
    case LOCKDOWN_E_FMIP_PROTECTED:
    case LOCKDOWN_E_MC_PROTECTED:
    case LOCKDOWN_E_MC_CHALLENGE_REQUIRED:
        return AMDStatus::DeviceProtectedError;
    default:
        return AMDStatus::UndefinedError;
    }
}

// ---- Property-list conversion (libplist ↔ base) -----------------------------------------------

std::optional<PlistValue> toValue(plist_t node)
{
    if (!node) {
        return std::nullopt;
    }
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    if (!bytes) {
        return std::nullopt;
    }
    std::optional<PlistValue> value = PlistCodec::fromBinary(std::string_view(bytes, length));
    free(bytes);
    return value;
}

struct PlistNodeDeleter
{
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistNode = std::unique_ptr<void, PlistNodeDeleter>;

PlistNode toNode(const PlistValue& value)
{
    const std::optional<std::string> binary = PlistCodec::toBinary(value);
    if (!binary) {
        return nullptr;
    }
    plist_t node = nullptr;
    plist_from_bin(binary->data(), static_cast<uint32_t>(binary->size()), &node);
    return PlistNode(node);
}

// ---- libimobiledevice handles -----------------------------------------------------------------

struct IdeviceDeleter
{
    void operator()(idevice_private* device) const { idevice_free(device); }
};
// Shared between a device's lockdown connection and the service connections started through it:
// a service connection keeps working after the device is disconnected.
using SharedIdevice = std::shared_ptr<idevice_private>;

/// The production device handle: one per phone (by UDID) while it is attached over any path.
class Device final : public MobileDeviceHandle
{
public:
    explicit Device(std::string deviceUdid)
        : udid(std::move(deviceUdid))
    {
    }
    ~Device() override
    {
        std::lock_guard lock(mutex);
        closeLockdown();
    }

    void closeLockdown()
    {
        if (lockdown) {
            lockdownd_client_free(lockdown); // also stops a session still running
            lockdown = nullptr;
        }
        sessionId.clear();
        idevice.reset();
    }

    const std::string udid;
    std::mutex mutex; // guards everything below; held across one lockdown exchange at a time
    bool usb { false };
    bool network { false };
    bool attached { true };
    SharedIdevice idevice;
    lockdownd_client_t lockdown { nullptr };
    std::string sessionId;
    int majorVersion { 0 }; // the system's major version, read by the last session start
};

Device* deviceOf(const AMDeviceRef& ref)
{
    return dynamic_cast<Device*>(ref.get());
}

/// A device held locked with its lockdown connection open, or the status that says why not.
struct OpenLockdown
{
    Device* device { nullptr };
    std::unique_lock<std::mutex> lock;
    MDStatus status { AMDStatus::Success };

    explicit operator bool() const { return device != nullptr; }
    lockdownd_client_t client() const { return device->lockdown; }
};

/// The opening every lockdown exchange shares: find our handle, take its lock, and check that
/// AMDeviceConnect has been called.
OpenLockdown openLockdown(const AMDeviceRef& ref)
{
    OpenLockdown held;
    Device* device = deviceOf(ref);
    if (!device) {
        held.status = AMDStatus::InvalidArgumentError;
        return held;
    }
    held.lock = std::unique_lock(device->mutex);
    if (!device->lockdown) {
        held.status = AMDStatus::NoConnectionError;
        return held;
    }
    held.device = device;
    return held;
}

struct ServiceDescriptorFree
{
    void operator()(lockdownd_service_descriptor_t descriptor) const { lockdownd_service_descriptor_free(descriptor); }
};
using ServiceDescriptor = std::unique_ptr<lockdownd_service_descriptor, ServiceDescriptorFree>;

/// Asks lockdown to start `service`: its port and whether it speaks TLS, or null with `status`
/// saying why not.
ServiceDescriptor startLockdownService(const OpenLockdown& held, const char* service, MDStatus& status)
{
    lockdownd_service_descriptor_t descriptor = nullptr;
    const lockdownd_error_t error = lockdownd_start_service(held.client(), service, &descriptor);
    ServiceDescriptor started(descriptor);
    if (error != LOCKDOWN_E_SUCCESS || !started) {
        status = error != LOCKDOWN_E_SUCCESS ? statusFromLockdown(error) : AMDStatus::InvalidResponseError;
        return nullptr;
    }
    return started;
}

/// The HostID of the pair record usbmuxd keeps for `udid`: a record may hold nothing else.
/// Nothing when there is no record; an empty text when there is one without a HostID.
/// The pair record usbmuxd keeps for `udid`; nothing when there is none or it is unreadable.
std::optional<PlistValue> readPairRecord(const std::string& udid)
{
    char* data = nullptr;
    uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) < 0 || !data) {
        return std::nullopt;
    }
    std::optional<PlistValue> record = PlistCodec::fromAny(std::string_view(data, size));
    free(data);
    return record; // unreadable counts as none, as libimobiledevice treats it
}

std::optional<std::string> readHostId(const std::string& udid)
{
    const std::optional<PlistValue> record = readPairRecord(udid);
    if (!record) {
        return std::nullopt;
    }
    return record->stringForKey("HostID");
}

std::string recordData(const PlistValue& record, const char* key)
{
    const PlistValue* value = record.find(key);
    const PlistData* data = value ? value->asData() : nullptr;
    return data ? std::string(data->begin(), data->end()) : std::string();
}

// How long a service's TLS handshake may take.
constexpr std::chrono::seconds SERVICE_HANDSHAKE_WAIT { 30 };

} // namespace

// ---- Device events ----------------------------------------------------------------------------

class LibimobiledeviceMobileDevice::Events
{
public:
    ~Events()
    {
        std::lock_guard libraryLock(m_libraryMutex);
        bool listening;
        {
            std::lock_guard lock(m_mutex);
            listening = m_libraryListening;
            m_libraryListening = false;
            for (auto& subscriber : m_subscribers) {
                subscriber.alive->store(false);
            }
            m_subscribers.clear();
        }
        if (listening) {
            idevice_event_unsubscribe();
        }
    }

    MDStatus subscribe(AMDeviceNotificationCallback callback, AMDeviceNotificationRef* token)
    {
        RunLoop* loop = RunLoop::current() ? RunLoop::current() : RunLoop::main();
        if (!loop) {
            return AMDStatus::NoRunLoopError;
        }
        if (!callback || !token) {
            return AMDStatus::InvalidArgumentError;
        }
        std::lock_guard libraryLock(m_libraryMutex);
        bool startLibrary = false;
        {
            std::lock_guard lock(m_mutex);
            Subscriber subscriber { m_nextToken++, loop, std::move(callback),
                std::make_shared<std::atomic<bool>>(true) };
            *token = subscriber.token;
            // Devices already known come first, each once, in the order they arrived.
            for (const auto& device : m_attachedOrder) {
                post(subscriber, device, AMDeviceNotificationKind::Attached);
            }
            m_subscribers.push_back(std::move(subscriber));
            startLibrary = !m_libraryListening;
            m_libraryListening = true;
        }
        if (startLibrary) {
            // Without inotify, libusbmuxd polls for a daemon that went away, so one restarted at a
            // custom socket path (torvane-simd, a relaunched usbmuxd) is found again.
            libusbmuxd_set_use_inotify(0);
            // May call back at once, on this thread, for devices libusbmuxd already knows: no lock
            // of ours is held here except the one that orders subscribe/unsubscribe calls.
            if (idevice_event_subscribe(&Events::onEvent, this) != IDEVICE_E_SUCCESS) {
                std::lock_guard lock(m_mutex);
                m_libraryListening = false;
                std::erase_if(m_subscribers, [&](const Subscriber& s) { return s.token == *token; });
                *token = 0;
                return AMDStatus::MuxError;
            }
        }
        return AMDStatus::Success;
    }

    MDStatus unsubscribe(AMDeviceNotificationRef token)
    {
        std::lock_guard libraryLock(m_libraryMutex);
        bool stopLibrary = false;
        {
            std::lock_guard lock(m_mutex);
            const auto found = std::find_if(
                m_subscribers.begin(), m_subscribers.end(), [&](const Subscriber& s) { return s.token == token; });
            if (found == m_subscribers.end()) {
                return AMDStatus::InvalidSubscriptionError;
            }
            found->alive->store(false);
            m_subscribers.erase(found);
            if (m_subscribers.empty() && m_libraryListening) {
                // A later subscription starts discovery afresh from the library's own report.
                stopLibrary = true;
                m_libraryListening = false;
                m_attached.clear();
                m_attachedOrder.clear();
            }
        }
        if (stopLibrary) {
            idevice_event_unsubscribe();
        }
        return AMDStatus::Success;
    }

private:
    struct Subscriber
    {
        AMDeviceNotificationRef token;
        RunLoop* loop;
        AMDeviceNotificationCallback callback;
        // Cleared on unsubscribe: records already queued on the loop are then dropped.
        std::shared_ptr<std::atomic<bool>> alive;
    };

    static void post(const Subscriber& subscriber, const std::shared_ptr<Device>& device, AMDeviceNotificationKind kind)
    {
        AMDeviceNotificationRecord record { device, std::uint32_t(kind), subscriber.token };
        subscriber.loop->post([alive = subscriber.alive, callback = subscriber.callback, record] {
            if (alive->load()) {
                callback(record);
            }
        });
    }

    static void onEvent(const idevice_event_t* event, void* userData)
    {
        static_cast<Events*>(userData)->handle(*event);
    }

    // Runs on libusbmuxd's event thread (or inside idevice_event_subscribe).
    void handle(const idevice_event_t& event)
    {
        if (!event.udid || (event.event != IDEVICE_DEVICE_ADD && event.event != IDEVICE_DEVICE_REMOVE)) {
            return; // "paired" needs no record: the next session start finds the new pair record
        }
        const bool isUsb = event.conn_type == CONNECTION_USBMUXD;
        std::lock_guard lock(m_mutex);
        if (!m_libraryListening) {
            return;
        }
        const std::string udid = event.udid;
        auto found = m_attached.find(udid);
        if (event.event == IDEVICE_DEVICE_ADD) {
            if (found != m_attached.end()) {
                // The same phone on a second path (USB and Wi-Fi): still one device.
                std::lock_guard deviceLock(found->second->mutex);
                (isUsb ? found->second->usb : found->second->network) = true;
                return;
            }
            auto device = std::make_shared<Device>(udid);
            (isUsb ? device->usb : device->network) = true;
            m_attached.emplace(udid, device);
            m_attachedOrder.push_back(device);
            for (const auto& subscriber : m_subscribers) {
                post(subscriber, device, AMDeviceNotificationKind::Attached);
            }
            return;
        }
        if (found == m_attached.end()) {
            return;
        }
        const std::shared_ptr<Device> device = found->second;
        {
            std::lock_guard deviceLock(device->mutex);
            (isUsb ? device->usb : device->network) = false;
            if (device->usb || device->network) {
                return;
            }
            device->attached = false;
        }
        m_attached.erase(found);
        std::erase(m_attachedOrder, device);
        for (const auto& subscriber : m_subscribers) {
            post(subscriber, device, AMDeviceNotificationKind::Detached);
        }
    }

    std::mutex m_libraryMutex; // orders subscribe and unsubscribe calls into the library
    std::mutex m_mutex; // guards everything below; never held while calling the library
    bool m_libraryListening { false };
    std::vector<Subscriber> m_subscribers;
    std::map<std::string, std::shared_ptr<Device>> m_attached;
    std::vector<std::shared_ptr<Device>> m_attachedOrder;
    AMDeviceNotificationRef m_nextToken { 1 };
};

// ---- The library --------------------------------------------------------------------------------

namespace {
std::atomic<MobileDevice*> s_sharedOverride { nullptr };
}

MobileDevice& MobileDevice::shared()
{
    if (MobileDevice* library = s_sharedOverride.load()) {
        return *library;
    }
    static LibimobiledeviceMobileDevice production;
    return production;
}

void MobileDevice::setShared(MobileDevice* library)
{
    s_sharedOverride.store(library);
}

LibimobiledeviceMobileDevice::LibimobiledeviceMobileDevice()
    : m_events(std::make_unique<Events>())
{
}

LibimobiledeviceMobileDevice::~LibimobiledeviceMobileDevice() = default;

MDStatus LibimobiledeviceMobileDevice::AMDeviceNotificationSubscribe(
    AMDeviceNotificationCallback callback, AMDeviceNotificationRef* subscription)
{
    return m_events->subscribe(std::move(callback), subscription);
}

MDStatus LibimobiledeviceMobileDevice::AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef subscription)
{
    return m_events->unsubscribe(subscription);
}

MDStatus LibimobiledeviceMobileDevice::AMDeviceMuxStatus()
{
    // The cheapest request usbmuxd answers; it fails only when nothing serves the socket.
    char* buid = nullptr;
    const int result = usbmuxd_read_buid(&buid);
    free(buid);
    return result < 0 ? AMDStatus::MuxError : AMDStatus::Success;
}

MDStatus LibimobiledeviceMobileDevice::AMDeviceConnect(const AMDeviceRef& ref)
{
    Device* device = deviceOf(ref);
    if (!device) {
        return AMDStatus::InvalidArgumentError;
    }
    std::lock_guard lock(device->mutex);
    if (device->lockdown) {
        return AMDStatus::Success;
    }
    if (!device->attached) {
        return AMDStatus::DeviceDetachedError;
    }
    // Over the cable whenever there is one; Wi-Fi only for a phone reachable no other way.
    const auto lookup = device->usb ? IDEVICE_LOOKUP_USBMUX : IDEVICE_LOOKUP_NETWORK;
    idevice_t idevice = nullptr;
    const idevice_error_t error = idevice_new_with_options(&idevice, device->udid.c_str(), lookup);
    if (error != IDEVICE_E_SUCCESS || !idevice) {
        return error == IDEVICE_E_NO_DEVICE ? AMDStatus::DeviceDetachedError : AMDStatus::MuxError;
    }
    SharedIdevice shared(idevice, IdeviceDeleter());
    lockdownd_client_t client = nullptr;
    const lockdownd_error_t lockdownError = lockdownd_client_new(idevice, &client, LOCKDOWN_LABEL);
    if (lockdownError != LOCKDOWN_E_SUCCESS) {
        return statusFromLockdown(lockdownError);
    }
    device->idevice = std::move(shared);
    device->lockdown = client;
    return AMDStatus::Success;
}

MDStatus LibimobiledeviceMobileDevice::AMDeviceStartSession(const AMDeviceRef& ref)
{
    const OpenLockdown held = openLockdown(ref);
    if (!held) {
        return held.status;
    }
    Device* device = held.device;
    if (!device->sessionId.empty()) {
        return AMDStatus::SessionActiveError;
    }
    // The steps of libimobiledevice's own handshake, kept apart so the session can be stopped
    // while the connection stays open.
    char* type = nullptr;
    lockdownd_error_t error = lockdownd_query_type(device->lockdown, &type);
    free(type);
    if (error != LOCKDOWN_E_SUCCESS) {
        return statusFromLockdown(error);
    }
    int majorVersion = 0;
    plist_t versionNode = nullptr;
    if (lockdownd_get_value(device->lockdown, nullptr, "ProductVersion", &versionNode) == LOCKDOWN_E_SUCCESS) {
        if (const auto version = toValue(versionNode); version && version->isString()) {
            majorVersion = std::atoi(version->asString()->c_str());
        }
    }
    plist_free(versionNode);
    device->majorVersion = majorVersion;

    std::optional<std::string> hostId = readHostId(device->udid);
    if (hostId && hostId->empty()) {
        return AMDStatus::MissingHostIDError;
    }
    bool pairedHere = false;
    const bool mayPair = pairingAllowed();
    const auto pair = [&]() -> MDStatus {
        if (!mayPair) {
            return hostId ? AMDStatus::InvalidHostIDError : AMDStatus::MissingHostIDError;
        }
        // The phone shows its trust dialog; the record is saved through usbmuxd.
        const lockdownd_error_t pairError = lockdownd_pair(device->lockdown, nullptr);
        if (pairError != LOCKDOWN_E_SUCCESS) {
            return statusFromLockdown(pairError);
        }
        pairedHere = true;
        hostId = readHostId(device->udid);
        return hostId && !hostId->empty() ? AMDStatus::Success : AMDStatus::SavePairRecordError;
    };
    // A record the phone no longer knows (it was erased, or its pairings were reset) can never
    // start a session, so pair again, which asks the user to trust this computer. The phone says
    // InvalidHostID also while it is locked or its trust question is unanswered or was denied;
    // pairing is refused then, and the record stays as it was: it is saved over only when the
    // phone accepts the new pairing.
    const auto replaceStaleRecord = [&]() -> MDStatus {
        if (mayPair) {
            logLine(LOG_DEVICE, "The device %s does not accept this computer's pairing; pairing again",
                device->udid.c_str());
        }
        return pair();
    };
    if (!hostId) {
        if (const MDStatus status = pair(); status != AMDStatus::Success) {
            return status;
        }
    }
    if (majorVersion < 7) {
        // Devices before iOS 7 (or of unknown version) want the pairing validated first.
        error = lockdownd_validate_pair(device->lockdown, nullptr);
        if (error == LOCKDOWN_E_INVALID_HOST_ID && !pairedHere) {
            if (const MDStatus status = replaceStaleRecord(); status != AMDStatus::Success) {
                return status;
            }
            error = lockdownd_validate_pair(device->lockdown, nullptr);
        }
        if (error == LOCKDOWN_E_INVALID_HOST_ID) {
            return AMDStatus::SessionRefusedError;
        }
        if (error != LOCKDOWN_E_SUCCESS) {
            return statusFromLockdown(error);
        }
    }
    char* sessionId = nullptr;
    int sslEnabled = 0;
    error = lockdownd_start_session(device->lockdown, hostId->c_str(), &sessionId, &sslEnabled);
    if (error == LOCKDOWN_E_INVALID_HOST_ID && !pairedHere) {
        free(sessionId);
        sessionId = nullptr;
        if (const MDStatus status = replaceStaleRecord(); status != AMDStatus::Success) {
            return status;
        }
        error = lockdownd_start_session(device->lockdown, hostId->c_str(), &sessionId, &sslEnabled);
    }
    if (error != LOCKDOWN_E_SUCCESS) {
        free(sessionId);
        return error == LOCKDOWN_E_INVALID_HOST_ID ? AMDStatus::SessionRefusedError : statusFromLockdown(error);
    }
    // A device that answers without a session id has no session to stop; remember one anyway so
    // the session state is tracked.
    device->sessionId = sessionId ? sessionId : "-";
    free(sessionId);
    return AMDStatus::Success;
}

MDStatus LibimobiledeviceMobileDevice::AMDeviceStopSession(const AMDeviceRef& ref)
{
    const OpenLockdown held = openLockdown(ref);
    if (!held) {
        return held.status;
    }
    Device* device = held.device;
    if (device->sessionId.empty()) {
        return AMDStatus::SessionInactiveError;
    }
    const std::string sessionId = std::exchange(device->sessionId, std::string());
    if (sessionId == "-") {
        return AMDStatus::Success;
    }
    return statusFromLockdown(lockdownd_stop_session(device->lockdown, sessionId.c_str()));
}

MDStatus LibimobiledeviceMobileDevice::AMDeviceDisconnect(const AMDeviceRef& ref)
{
    Device* device = deviceOf(ref);
    if (!device) {
        return AMDStatus::InvalidArgumentError;
    }
    std::lock_guard lock(device->mutex);
    device->closeLockdown();
    return AMDStatus::Success;
}

std::optional<PlistValue> LibimobiledeviceMobileDevice::AMDeviceCopyValue(
    const AMDeviceRef& ref, const std::optional<std::string>& domain, const std::optional<std::string>& key)
{
    const OpenLockdown held = openLockdown(ref);
    if (!held) {
        return std::nullopt;
    }
    plist_t node = nullptr;
    if (lockdownd_get_value(held.client(), domain ? domain->c_str() : nullptr, key ? key->c_str() : nullptr, &node)
        != LOCKDOWN_E_SUCCESS) {
        plist_free(node);
        return std::nullopt;
    }
    std::optional<PlistValue> value = toValue(node);
    plist_free(node);
    return value;
}

std::optional<std::string> LibimobiledeviceMobileDevice::AMDeviceCopyDeviceIdentifier(const AMDeviceRef& ref)
{
    const Device* device = deviceOf(ref);
    if (!device) {
        return std::nullopt;
    }
    return device->udid; // set at creation and never changed: no lock needed
}

AMDeviceInterfaceType LibimobiledeviceMobileDevice::AMDeviceGetInterfaceType(const AMDeviceRef& ref)
{
    Device* device = deviceOf(ref);
    if (!device) {
        return AMDeviceInterfaceType::Unknown;
    }
    std::lock_guard lock(device->mutex);
    if (device->usb) {
        return AMDeviceInterfaceType::Usb;
    }
    return device->network ? AMDeviceInterfaceType::Network : AMDeviceInterfaceType::Unknown;
}

MDStatus LibimobiledeviceMobileDevice::AMDeviceStartService(
    const AMDeviceRef& ref, const std::string& serviceName, std::unique_ptr<AMServiceConnection>* connection)
{
    if (!connection) {
        return AMDStatus::InvalidArgumentError;
    }
    const OpenLockdown held = openLockdown(ref);
    if (!held) {
        return held.status;
    }
    Device* device = held.device;
    MDStatus status = AMDStatus::Success;
    const ServiceDescriptor descriptor = startLockdownService(held, serviceName.c_str(), status);
    if (!descriptor) {
        return status;
    }
    const uint16_t port = descriptor->port;
    const bool ssl = descriptor->ssl_enabled != 0;
    if (port == 0) {
        return AMDStatus::InvalidResponseError;
    }
    idevice_connection_t raw = nullptr;
    if (idevice_connect(device->idevice.get(), port, &raw) != IDEVICE_E_SUCCESS || !raw) {
        return AMDStatus::ServiceConnectError;
    }
    // The service's stream is the usbmuxd socket: keep our own descriptor of it and let
    // libimobiledevice's connection object go, so the stream outlives the device connection and
    // is read with the same code as every other socket.
    int fd = -1;
    const int own = idevice_connection_get_fd(raw, &fd) == IDEVICE_E_SUCCESS && fd >= 0 ? ::dup(fd) : -1;
    idevice_disconnect(raw);
    if (own < 0) {
        return AMDStatus::ServiceConnectError;
    }
    if (!ssl) {
        *connection = std::make_unique<AMSocketConnection>(own);
        return AMDStatus::Success;
    }
    // TLS as the host library runs it (the root certificate as the client's, TLS 1.0 only below
    // 10.0), but on our own connection: libimobiledevice 1.3.0's timed read loses the bytes of a
    // record that is still arriving when its time-out fires.
    const PlistValue record = readPairRecord(device->udid).value_or(PlistValue());
    std::string problem;
    std::unique_ptr<AMTlsConnection> tls
        = AMTlsConnection::handshake(own, recordData(record, "RootCertificate"), recordData(record, "RootPrivateKey"),
            device->majorVersion >= 10 ? TLS1_3_VERSION : TLS1_VERSION, SERVICE_HANDSHAKE_WAIT, &problem);
    if (!tls) {
        logLine(LOG_DEVICE, "TLS for %s failed: %s", serviceName.c_str(), problem.c_str());
        return AMDStatus::CryptoError;
    }
    *connection = std::move(tls);
    return AMDStatus::Success;
}

MDStatus LibimobiledeviceMobileDevice::AMDeviceLookupApplications(
    const AMDeviceRef& ref, const PlistDictionary& options, PlistDictionary* applications)
{
    if (!deviceOf(ref) || !applications) {
        return AMDStatus::InvalidArgumentError;
    }
    PlistDictionary clientOptions = options;
    // Results are keyed by bundle identifier, so it must come back with every record.
    if (auto found = clientOptions.find("ReturnAttributes"); found != clientOptions.end()) {
        if (PlistArray* names = found->second.asArray();
            names && std::find(names->begin(), names->end(), PlistValue("CFBundleIdentifier")) == names->end()) {
            names->push_back("CFBundleIdentifier");
        }
    }
    PlistNode optionsNode = toNode(PlistValue(clientOptions));
    if (!optionsNode) {
        return AMDStatus::InvalidArgumentError;
    }
    const OpenLockdown held = openLockdown(ref);
    if (!held) {
        return held.status;
    }
    Device* device = held.device;
    MDStatus status = AMDStatus::Success;
    const ServiceDescriptor descriptor = startLockdownService(held, "com.apple.mobile.installation_proxy", status);
    if (!descriptor) {
        return status;
    }
    instproxy_client_t proxy = nullptr;
    const instproxy_error_t proxyError = instproxy_client_new(device->idevice.get(), descriptor.get(), &proxy);
    if (proxyError != INSTPROXY_E_SUCCESS || !proxy) {
        return AMDStatus::ServiceConnectError;
    }
    plist_t result = nullptr;
    const instproxy_error_t browseError = instproxy_browse(proxy, optionsNode.get(), &result);
    instproxy_client_free(proxy);
    std::optional<PlistValue> list = toValue(result);
    plist_free(result);
    if (browseError != INSTPROXY_E_SUCCESS || !list || !list->isArray()) {
        return AMDStatus::InvalidResponseError;
    }
    applications->clear();
    for (const PlistValue& app : *list->asArray()) {
        const std::string identifier = app.stringForKey("CFBundleIdentifier");
        if (!identifier.empty() && app.isDictionary()) {
            (*applications)[identifier] = app;
        }
    }
    return AMDStatus::Success;
}
