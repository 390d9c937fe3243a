#include "device/MobileDeviceAccess.h"

#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AMDevice.h"

#include <algorithm>

MobileDeviceAccessListener::~MobileDeviceAccessListener() = default;
void MobileDeviceAccessListener::deviceConnected(const std::shared_ptr<AMDevice>&)
{
}
void MobileDeviceAccessListener::deviceDisconnected(const std::shared_ptr<AMDevice>&)
{
}

MobileDeviceAccess::MobileDeviceAccess(MobileDevice& library)
    : m_library(library)
{
    m_terminateObserver = NotificationCenter::defaultCenter().addObserver(APPLICATION_WILL_TERMINATE_NOTIFICATION,
        nullptr, [this](const std::string&, const void*, const PlistDictionary&) { applicationWillTerminate(); });
}

MobileDeviceAccess::~MobileDeviceAccess()
{
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
    return m_library.AFCGetClientVersionString();
}

void MobileDeviceAccess::Notify(const AMDeviceNotificationRecord& record)
{
    switch (record.kind) {
    case std::uint32_t(AMDeviceNotificationKind::Attached):
        if (std::shared_ptr<AMDevice> device = AMDevice::deviceFrom(record.device, m_library)) {
            m_devices.push_back(device);
            if (m_listener) {
                m_listener->deviceConnected(device);
            }
        }
        break;
    case std::uint32_t(AMDeviceNotificationKind::Detached): {
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
    if (m_waitingInRunLoop && m_waitingLoop) {
        m_waitingLoop->quit();
    }
}
