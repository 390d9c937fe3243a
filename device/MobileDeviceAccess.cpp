#include "device/MobileDeviceAccess.h"

#include "base/Log.h"
#include "base/OperationQueue.h"
#include "base/RunLoop.h"
#include "device/AFCWireClient.h"
#include "device/AMDevice.h"

#include <algorithm>
#include <csignal>

MobileDeviceAccessListener::~MobileDeviceAccessListener() = default;
void MobileDeviceAccessListener::deviceConnected(const std::shared_ptr<AMDevice>&)
{
}
void MobileDeviceAccessListener::deviceDisconnected(const std::shared_ptr<AMDevice>&)
{
}
void MobileDeviceAccessListener::deviceConnecting(const AMDeviceRef&, const std::optional<std::string>&)
{
}
void MobileDeviceAccessListener::deviceConnectAbandoned(const AMDeviceRef&)
{
}

namespace {

/// The name a device gives on a bare lockdown connection, before any pairing or session: cheap,
/// and enough to say whom we are waiting for while pairing takes its time.
std::optional<std::string> nameBeforePairing(MobileDevice& library, const AMDeviceRef& device)
{
    if (library.AMDeviceConnect(device) != AMDStatus::Success) {
        return std::nullopt;
    }
    std::optional<PlistValue> name = library.AMDeviceCopyValue(device, std::nullopt, std::string("DeviceName"));
    (void)library.AMDeviceDisconnect(device); // nothing is left open that we could close
    if (name && name->isString()) {
        return *name->asString();
    }
    return std::nullopt;
}

} // namespace

MobileDeviceAccess::MobileDeviceAccess(MobileDevice& library)
    : m_library(library)
{
    // libimobiledevice writes its TLS records through OpenSSL's socket BIO, without MSG_NOSIGNAL:
    // a phone unplugged during a lockdown write would end the whole program with SIGPIPE instead
    // of failing that one call. A handler the program installed itself is left alone.
    struct sigaction current
    {
    };
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        std::signal(SIGPIPE, SIG_IGN);
    }
    m_terminateObserver = NotificationCenter::defaultCenter().addObserver(APPLICATION_WILL_TERMINATE_NOTIFICATION,
        nullptr, [this](const std::string&, const void*, const PlistDictionary&) { applicationWillTerminate(); });
}

MobileDeviceAccess::~MobileDeviceAccess()
{
    *m_self = nullptr; // connects under way finish on their queue; their results are dropped
    // A connect cancelled on its queue may be waiting for its phone's lock: it looks again.
    for (const AMDeviceRef& device : m_connecting) {
        if (const auto udid = m_library.AMDeviceCopyDeviceIdentifier(device)) {
            AMDeviceLock::forPhone(*udid)->wakeWaiters();
        }
    }
    NotificationCenter::defaultCenter().removeObserver(m_terminateObserver);
    if (m_subscribed) {
        // The library would otherwise call back into a dead manager.
        (void)m_library.AMDeviceNotificationUnsubscribe(m_notification);
    }
    if (m_waitingInRunLoop && m_waitingLoop) {
        m_waitingLoop->quit();
    }
}

void MobileDeviceAccess::setListener(MobileDeviceAccessListener* listener)
{
    m_listener = listener;
    if (!listener || m_subscribed) {
        return;
    }
    const MDStatus status = m_library.AMDeviceNotificationSubscribe(
        [this](const AMDeviceNotificationRecord& record) { Notify(record); }, &m_notification);
    if (status != AMDStatus::Success) {
        logLine(LOG_DEVICE, "AMDeviceNotificationSubscribe failed: %d", int(status));
        return;
    }
    m_subscribed = true;
}

std::shared_ptr<AMDevice> MobileDeviceAccess::device(const std::string& udid) const
{
    const auto found
        = std::find_if(m_devices.begin(), m_devices.end(), [&](const auto& device) { return device->udid() == udid; });
    return found == m_devices.end() ? nullptr : *found;
}

void MobileDeviceAccess::detachDevice(const std::shared_ptr<AMDevice>& device)
{
    std::erase(m_devices, device);
}

void MobileDeviceAccess::applicationWillTerminate()
{
    for (const auto& device : m_devices) {
        device->applicationWillTerminate();
    }
}

bool MobileDeviceAccess::waitForConnection()
{
    if (!m_subscribed) {
        return false;
    }
    auto* loop = dynamic_cast<PlainRunLoop*>(RunLoop::current());
    if (!loop) {
        // An application event loop cannot be nested from here; its records arrive anyway.
        logLine(LOG_DEVICE, "waitForConnection needs a plain run loop on the calling thread");
        return false;
    }
    logLine(LOG_DEVICE, "calling CFRunLoopRun(), plug iPod in now!!!");
    m_waitingInRunLoop = true;
    m_waitingLoop = loop;
    loop->run();
    m_waitingInRunLoop = false;
    m_waitingLoop = nullptr;
    logLine(LOG_DEVICE, "back from calling CFRunLoopRun()");
    return true;
}

bool MobileDeviceAccess::usbServiceRunning()
{
    return m_library.AMDeviceMuxStatus() == AMDStatus::Success;
}

std::string MobileDeviceAccess::clientVersion()
{
    return AFCWireClient::VERSION;
}

void MobileDeviceAccess::Notify(const AMDeviceNotificationRecord& record)
{
    switch (record.kind) {
    case std::uint32_t(AMDeviceNotificationKind::Attached):
        if (m_connectQueue && RunLoop::current()) {
            connectInBackground(record.device);
            return;
        }
        if (std::shared_ptr<AMDevice> device = AMDevice::deviceFrom(record.device, m_library)) {
            m_devices.push_back(device);
            if (m_listener) {
                m_listener->deviceConnected(device);
            }
        }
        break;
    case std::uint32_t(AMDeviceNotificationKind::Detached): {
        if (const auto connecting = std::find(m_connecting.begin(), m_connecting.end(), record.device);
            connecting != m_connecting.end()) {
            // Gone before its connection was made: the device created for it will be dropped.
            m_connecting.erase(connecting);
            if (m_listener) {
                m_listener->deviceConnectAbandoned(record.device);
            }
            break;
        }
        const auto found = std::find_if(m_devices.begin(), m_devices.end(),
            [&](const std::shared_ptr<AMDevice>& device) { return device->isDevice(record.device); });
        if (found != m_devices.end()) {
            // Forget first: while the listener runs, the departing device is still listed but
            // every operation on it fails, so it no longer counts as usable.
            const std::shared_ptr<AMDevice> device = *found;
            device->forgetDevice();
            if (m_listener) {
                m_listener->deviceDisconnected(device);
            }
            std::erase(m_devices, device);
        }
        break;
    }
    case std::uint32_t(AMDeviceNotificationKind::Unsubscribed):
        return;
    default:
        logLine(LOG_DEVICE, "Ignoring unknown message: %d", int(record.kind));
        return;
    }
    deviceListChanged();
}

void MobileDeviceAccess::deviceListChanged()
{
    if (m_waitingInRunLoop && m_waitingLoop) {
        m_waitingLoop->quit();
    }
}

void MobileDeviceAccess::connectInBackground(const AMDeviceRef& device)
{
    m_connecting.push_back(device);
    if (m_listener) {
        m_listener->deviceConnecting(device, std::nullopt); // its name follows when it gives it
    }
    RunLoop* loop = RunLoop::current();
    m_connectQueue->addOperation([self = m_self, loop, &library = m_library, device](const Operation& operation) {
        // The library keeps one lockdown connection per phone, which a module may be using
        // through a device object from an earlier manager: the phone's lock keeps the two apart.
        // A holder that runs long is waited for unless the connect is cancelled (and woken).
        const std::shared_ptr<AMDeviceLock> phoneLock
            = AMDeviceLock::forPhone(library.AMDeviceCopyDeviceIdentifier(device).value_or(std::string()));
        if (!phoneLock->lockUnless([&operation] { return operation.isCancelled(); })) {
            loop->post([self, device] {
                if (MobileDeviceAccess* manager = *self) {
                    manager->finishConnect(device, nullptr);
                }
            });
            return;
        }
        const std::lock_guard held(*phoneLock, std::adopt_lock);
        const std::optional<std::string> name = nameBeforePairing(library, device);
        loop->post([self, device, name] {
            MobileDeviceAccess* manager = *self;
            const bool pending = manager
                && std::find(manager->m_connecting.begin(), manager->m_connecting.end(), device)
                    != manager->m_connecting.end();
            if (pending && manager->m_listener) {
                manager->m_listener->deviceConnecting(device, name);
            }
        });
        std::shared_ptr<AMDevice> created = operation.isCancelled() ? nullptr : AMDevice::deviceFrom(device, library);
        loop->post([self, device, created] {
            if (MobileDeviceAccess* manager = *self) {
                manager->finishConnect(device, created);
            } else if (created) {
                created->forgetDevice(); // no manager lists it; nothing may use it any more
            }
        });
    });
}

void MobileDeviceAccess::finishConnect(const AMDeviceRef& device, const std::shared_ptr<AMDevice>& created)
{
    const auto found = std::find(m_connecting.begin(), m_connecting.end(), device);
    if (found == m_connecting.end()) {
        // It detached while the connection was being made; its detach has been told already.
        if (created) {
            created->forgetDevice();
        }
        return;
    }
    m_connecting.erase(found);
    if (!created) {
        if (m_listener) {
            m_listener->deviceConnectAbandoned(device);
        }
        deviceListChanged();
        return;
    }
    m_devices.push_back(created);
    if (m_listener) {
        m_listener->deviceConnected(created);
    }
    deviceListChanged();
}
