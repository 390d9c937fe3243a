#include "tests/device/ScriptedMobileDevice.h"

#include "base/RunLoop.h"
#include "device/AMServiceFrame.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include <gtest/gtest.h>

// ---- ScriptedServiceConnection ------------------------------------------------------------------

AMIOResult ScriptedServiceConnection::send(const void* data, std::size_t length, std::chrono::milliseconds)
{
    if (!m_open) {
        return { AMIOStatus::Closed, 0 };
    }
    const std::size_t room = sendLimit > sent.size() ? sendLimit - sent.size() : 0;
    const std::size_t count = std::min(room, length);
    sent.append(static_cast<const char*>(data), count);
    return { count == length ? AMIOStatus::Ok : AMIOStatus::Failed, count };
}

AMIOResult ScriptedServiceConnection::receive(void* buffer, std::size_t length, std::chrono::milliseconds)
{
    receiveRequests.push_back(length);
    if (!m_open) {
        return { AMIOStatus::Closed, 0 };
    }
    if (chunks.empty()) {
        return { whenEmpty, 0 };
    }
    std::string& chunk = chunks.front();
    const std::size_t count = std::min(length, chunk.size());
    std::memcpy(buffer, chunk.data(), count);
    chunk.erase(0, count);
    if (chunk.empty()) {
        chunks.pop_front();
    }
    return { AMIOStatus::Ok, count };
}

void ScriptedServiceConnection::addFrame(const std::string& body)
{
    addChunk(encodeServiceFrameHeader(static_cast<std::uint32_t>(body.size())) + body);
}

void ScriptedServiceConnection::addReply(const PlistValue& value)
{
    addFrame(PlistCodec::toXml(value).value());
}

// ---- ScriptedMobileDevice ------------------------------------------------------------------------

namespace {

ScriptedMobileDevice::Handle* handleOf(const AMDeviceRef& device)
{
    return dynamic_cast<ScriptedMobileDevice::Handle*>(device.get());
}

} // namespace

struct ScriptedMobileDevice::Subscriber
{
    AMDeviceNotificationRef token;
    RunLoop* loop;
    AMDeviceNotificationCallback callback;
    std::shared_ptr<std::atomic<bool>> alive;
};

ScriptedMobileDevice::ScriptedMobileDevice() = default;

ScriptedMobileDevice::~ScriptedMobileDevice()
{
    for (auto& subscriber : m_subscribers) {
        subscriber.alive->store(false);
    }
}

std::shared_ptr<ScriptedMobileDevice::Handle> ScriptedMobileDevice::makeDevice(
    const std::string& udid, const std::string& name)
{
    auto device = std::make_shared<Handle>(udid);
    device->values["DeviceName"] = name;
    device->values["UniqueDeviceID"] = udid;
    return device;
}

void ScriptedMobileDevice::post(const Subscriber& subscriber, const AMDeviceRef& device, std::uint32_t kind)
{
    AMDeviceNotificationRecord record { device, kind, subscriber.token };
    subscriber.loop->post([alive = subscriber.alive, callback = subscriber.callback, record] {
        if (alive->load()) {
            callback(record);
        }
    });
}

void ScriptedMobileDevice::attach(const AMDeviceRef& device)
{
    m_attached.push_back(device);
    sendRecord(device, std::uint32_t(AMDeviceNotificationKind::Attached));
}

void ScriptedMobileDevice::detach(const AMDeviceRef& device)
{
    std::erase(m_attached, device);
    sendRecord(device, std::uint32_t(AMDeviceNotificationKind::Detached));
}

void ScriptedMobileDevice::sendRecord(const AMDeviceRef& device, std::uint32_t kind)
{
    for (const auto& subscriber : m_subscribers) {
        post(subscriber, device, kind);
    }
}

MDStatus ScriptedMobileDevice::statusOf(const std::string& operation) const
{
    const auto found = m_statuses.find(operation);
    return found == m_statuses.end() ? 0 : found->second;
}

int ScriptedMobileDevice::countOf(const std::string& operation) const
{
    return int(std::count(calls.begin(), calls.end(), operation));
}

MDStatus ScriptedMobileDevice::record(const std::string& operation)
{
    calls.push_back(operation);
    return statusOf(operation);
}

MDStatus ScriptedMobileDevice::AMDeviceNotificationSubscribe(
    AMDeviceNotificationCallback callback, AMDeviceNotificationRef* subscription)
{
    if (const MDStatus status = record("AMDeviceNotificationSubscribe")) {
        return status;
    }
    RunLoop* loop = RunLoop::current() ? RunLoop::current() : RunLoop::main();
    if (!loop) {
        return AMDStatus::NoRunLoopError;
    }
    Subscriber subscriber { m_nextToken++, loop, std::move(callback), std::make_shared<std::atomic<bool>>(true) };
    *subscription = subscriber.token;
    for (const auto& device : m_attached) {
        post(subscriber, device, std::uint32_t(AMDeviceNotificationKind::Attached));
    }
    m_subscribers.push_back(std::move(subscriber));
    return AMDStatus::Success;
}

MDStatus ScriptedMobileDevice::AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef subscription)
{
    if (const MDStatus status = record("AMDeviceNotificationUnsubscribe")) {
        return status;
    }
    const auto found = std::find_if(
        m_subscribers.begin(), m_subscribers.end(), [&](const Subscriber& s) { return s.token == subscription; });
    if (found == m_subscribers.end()) {
        return AMDStatus::InvalidSubscriptionError;
    }
    found->alive->store(false);
    m_subscribers.erase(found);
    return AMDStatus::Success;
}

MDStatus ScriptedMobileDevice::AMDeviceConnect(const AMDeviceRef& device)
{
    const MDStatus status = record("AMDeviceConnect");
    if (status == 0) {
        handleOf(device)->connected = true;
    }
    return status;
}

MDStatus ScriptedMobileDevice::AMDeviceStartSession(const AMDeviceRef& device)
{
    const MDStatus status = record("AMDeviceStartSession");
    if (status == 0) {
        handleOf(device)->inSession = true;
    }
    return status;
}

MDStatus ScriptedMobileDevice::AMDeviceStopSession(const AMDeviceRef& device)
{
    const MDStatus status = record("AMDeviceStopSession");
    if (status == 0) {
        handleOf(device)->inSession = false;
    }
    return status;
}

MDStatus ScriptedMobileDevice::AMDeviceDisconnect(const AMDeviceRef& device)
{
    const MDStatus status = record("AMDeviceDisconnect");
    if (status == 0) {
        handleOf(device)->connected = false;
    }
    return status;
}

std::optional<PlistValue> ScriptedMobileDevice::AMDeviceCopyValue(
    const AMDeviceRef& device, const std::optional<std::string>& domain, const std::optional<std::string>& key)
{
    calls.emplace_back("AMDeviceCopyValue");
    Handle* handle = handleOf(device);
    if (!handle->connected) {
        return std::nullopt;
    }
    const PlistDictionary* values = &handle->values;
    if (domain) {
        const auto found = handle->domains.find(*domain);
        if (found == handle->domains.end()) {
            return std::nullopt;
        }
        values = &found->second;
    }
    if (!key) {
        return PlistValue(*values);
    }
    const auto found = values->find(*key);
    return found == values->end() ? std::nullopt : std::optional<PlistValue>(found->second);
}

AMDeviceInterfaceType ScriptedMobileDevice::AMDeviceGetInterfaceType(const AMDeviceRef& device)
{
    return handleOf(device)->interfaceType;
}

MDStatus ScriptedMobileDevice::AMDeviceStartService(
    const AMDeviceRef&, const std::string& serviceName, std::unique_ptr<AMServiceConnection>* connection)
{
    if (const MDStatus status = record("AMDeviceStartService")) {
        return status;
    }
    if (serviceFactory) {
        *connection = serviceFactory(serviceName);
    } else {
        auto scripted = std::make_unique<ScriptedServiceConnection>();
        lastService = scripted.get();
        *connection = std::move(scripted);
    }
    return AMDStatus::Success;
}

MDStatus ScriptedMobileDevice::AMDeviceLookupApplications(
    const AMDeviceRef&, const PlistDictionary&, PlistDictionary* result)
{
    if (const MDStatus status = record("AMDeviceLookupApplications")) {
        return status;
    }
    *result = applications;
    return AMDStatus::Success;
}

std::vector<PlistValue> sentMessages(const std::string& bytes)
{
    std::vector<PlistValue> messages;
    std::size_t at = 0;
    while (bytes.size() - at >= AM_FRAME_HEADER_SIZE) {
        const std::uint32_t length = decodeServiceFrameLength(reinterpret_cast<const std::uint8_t*>(bytes.data() + at));
        at += AM_FRAME_HEADER_SIZE;
        if (bytes.size() - at < length) {
            ADD_FAILURE() << "truncated frame";
            break;
        }
        messages.push_back(PlistCodec::fromAny(bytes.substr(at, length)).value_or(PlistValue()));
        at += length;
    }
    return messages;
}
