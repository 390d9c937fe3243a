#include "device/AMDevice.h"

#include "base/Log.h"

std::shared_ptr<AMDevice> AMDevice::deviceFrom(const AMDeviceRef& device, MobileDevice& library)
{
    std::string error;
    std::shared_ptr<AMDevice> result = initWithDevice(device, &error, library);
    if (!result) {
        logLine(LOG_DEVICE, "Failed to create AMDevice: %s", error.c_str());
    }
    return result;
}

std::shared_ptr<AMDevice> AMDevice::initWithDevice(
    const AMDeviceRef& device, std::string* orBust, MobileDevice& library)
{
    std::shared_ptr<AMDevice> result(new AMDevice(device, library));
    if (!result->deviceConnect()) {
        if (orBust) {
            *orBust = result->lasterror().value_or(std::string());
        }
        result->forgetDevice();
        return nullptr;
    }
    // Each read brackets its own session, so a device that refuses sessions (an untrusted
    // computer) still comes to exist, only without name and identifier.
    if (auto name = result->deviceValueForKey("DeviceName"); name && name->isString()) {
        result->m_deviceName = *name->asString();
    }
    if (auto udid = result->deviceValueForKey("UniqueDeviceID"); udid && udid->isString()) {
        result->m_udid = *udid->asString();
    }
    (void)result->deviceDisconnect(); // a failed disconnect leaves nothing open that we could close
    if (!library.AMDeviceCopyDeviceIdentifier(device) && result->m_udid) {
        // The library could not name the phone before: the identifier just read does. Nobody
        // else has the object yet, so the lock can still change.
        result->m_lock = AMDeviceLock::forPhone(*result->m_udid);
    }
    return result;
}

AMDevice::AMDevice(const AMDeviceRef& device, MobileDevice& library)
    : m_library(library)
    , m_lock(AMDeviceLock::forPhone(library.AMDeviceCopyDeviceIdentifier(device).value_or(std::string())))
    , m_device(device)
{
}

AMDevice::~AMDevice()
{
    applicationWillTerminate();
}

bool AMDevice::isDevice(const AMDeviceRef& device) const
{
    const AMDeviceRef held = this->device();
    return held && held == device;
}

void AMDevice::forgetDevice()
{
    std::lock_guard lock(m_deviceMutex);
    m_device.reset();
}

AMDeviceRef AMDevice::device() const
{
    std::lock_guard lock(m_deviceMutex);
    return m_device;
}

std::string AMDevice::description() const
{
    return stringWithFormat("AMDevice('%s')", m_deviceName ? m_deviceName->c_str() : "(null)");
}

AMDeviceInterfaceType AMDevice::interfaceType() const
{
    const AMDeviceRef held = device();
    return held ? m_library.AMDeviceGetInterfaceType(held) : AMDeviceInterfaceType::Unknown;
}

bool AMDevice::checkStatus(MDStatus status, const char* callName)
{
    m_lastStatus = status;
    if (status == AMDStatus::Success) {
        clearLastError();
        return true;
    }
    setLastError(stringWithFormat("%s failed: %x", callName, status));
    return false;
}

bool AMDevice::deviceConnect()
{
    const AMDeviceRef held = device();
    if (!checkStatus(held ? m_library.AMDeviceConnect(held) : AMDStatus::DeviceDetachedError, "AMDeviceConnect")) {
        return false;
    }
    const int open = ++m_openConnections;
    int most = m_maxOpenConnections.load();
    while (open > most && !m_maxOpenConnections.compare_exchange_weak(most, open)) { }
    m_connected = true;
    return true;
}

bool AMDevice::deviceDisconnect()
{
    const AMDeviceRef held = device();
    // Counted as closed even when the library fails: nothing more is sent on it.
    int open = m_openConnections.load();
    while (open > 0 && !m_openConnections.compare_exchange_weak(open, open - 1)) { }
    if (!checkStatus(
            held ? m_library.AMDeviceDisconnect(held) : AMDStatus::DeviceDetachedError, "AMDeviceDisconnect")) {
        return false;
    }
    m_connected = false;
    return true;
}

bool AMDevice::startSession()
{
    const AMDeviceRef held = device();
    if (!checkStatus(
            held ? m_library.AMDeviceStartSession(held) : AMDStatus::DeviceDetachedError, "AMDeviceStartSession")) {
        return false;
    }
    m_insession = true;
    return true;
}

bool AMDevice::stopSession()
{
    const AMDeviceRef held = device();
    if (!checkStatus(
            held ? m_library.AMDeviceStopSession(held) : AMDStatus::DeviceDetachedError, "AMDeviceStopSession")) {
        return false;
    }
    m_insession = false;
    return true;
}

std::optional<PlistValue> AMDevice::deviceValueForKey(
    const std::optional<std::string>& key, const std::optional<std::string>& domain)
{
    const bool connectedHere = !m_connected;
    if (connectedHere && !deviceConnect()) {
        return std::nullopt;
    }
    const bool sessionHere = !m_insession;
    if (sessionHere && !startSession()) {
        if (connectedHere) {
            disconnectKeepingError();
        }
        return std::nullopt;
    }
    const AMDeviceRef held = device();
    std::optional<PlistValue> value = held ? m_library.AMDeviceCopyValue(held, domain, key) : std::nullopt;
    if (sessionHere) {
        (void)stopSession(); // the value is read; a failed stop is in the last error
    }
    if (connectedHere) {
        (void)deviceDisconnect();
    }
    return value;
}

void AMDevice::disconnectKeepingError()
{
    std::optional<std::string> reason = lasterror();
    const MDStatus status = m_lastStatus;
    (void)deviceDisconnect(); // the earlier failure is the one to report
    setLastError(std::move(reason));
    m_lastStatus = status;
}

std::optional<PlistValue> AMDevice::allDeviceValuesForDomain(const std::string& domain)
{
    return deviceValueForKey(std::nullopt, domain);
}

namespace {

std::optional<std::string> textOf(const std::optional<PlistValue>& value)
{
    if (value && value->isString()) {
        return *value->asString();
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> AMDevice::productType()
{
    return textOf(deviceValueForKey("ProductType"));
}

std::optional<std::string> AMDevice::deviceClass()
{
    return textOf(deviceValueForKey("DeviceClass"));
}

std::optional<std::string> AMDevice::serialNumber()
{
    return textOf(deviceValueForKey("SerialNumber"));
}

std::unique_ptr<AMServiceConnection> AMDevice::startService(const std::string& serviceName, MDStatus* answer)
{
    const AMDeviceRef held = device();
    std::unique_ptr<AMServiceConnection> connection;
    const MDStatus status
        = held ? m_library.AMDeviceStartService(held, serviceName, &connection) : AMDStatus::DeviceDetachedError;
    if (answer) {
        *answer = status == AMDStatus::Success && !connection ? AMDStatus::ServiceConnectError : status;
    }
    if (status != AMDStatus::Success || !connection) {
        // Printed as a Mach error number: system, subsystem, code.
        logLine(LOG_DEVICE, "AMDeviceStartService failed: %#x,%#x,%#x", status >> 26, (status >> 14) & 0xFFF,
            status & 0x3FFF);
        return nullptr;
    }
    return connection;
}

AMDeviceState AMDevice::checkUsable()
{
    if (interfaceType() == AMDeviceInterfaceType::Network) {
        return AMDeviceState::NetworkOnly;
    }
    const bool connectedHere = !m_connected;
    if (connectedHere && !deviceConnect()) {
        return deviceStateForSessionStatus(m_lastStatus);
    }
    const bool sessionHere = !m_insession;
    if (sessionHere && !startSession()) {
        const AMDeviceState state = deviceStateForSessionStatus(m_lastStatus);
        if (connectedHere) {
            disconnectKeepingError();
        }
        return state;
    }
    MDStatus status = AMDStatus::Success;
    std::unique_ptr<AMServiceConnection> media = startService("com.apple.afc", &status);
    if (media) {
        media->close();
    }
    if (sessionHere) {
        (void)stopSession(); // the answer is in; a failed stop is in the last error
    }
    if (connectedHere) {
        (void)deviceDisconnect();
    }
    return deviceStateForServiceStatus(status);
}

void AMDevice::applicationWillTerminate()
{
    if (!device()) {
        return;
    }
    std::unique_lock<AMDeviceLock> hold;
    if (!m_lock->heldByCurrentThread()) {
        hold = std::unique_lock(*m_lock, std::try_to_lock);
        if (!hold) {
            return;
        }
    }
    if (m_insession) {
        (void)stopSession(); // ending anyway; nothing to do about a failure
    }
    if (m_connected) {
        (void)deviceDisconnect();
    }
}
