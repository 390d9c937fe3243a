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

class ScriptedAFCConnection final : public AFCConnection
{
};

class ScriptedKeyValues final : public AFCKeyValues
{
public:
    std::vector<std::pair<std::string, std::string>> pairs;
    std::size_t next { 0 };
};

class ScriptedDirectory final : public AFCDirectory
{
public:
    std::vector<std::string> names;
    std::size_t next { 0 };
};

class ScriptedOperation final : public AFCOperation
{
public:
    MDStatus result { 0 };
};

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
    calls.push_back("AMDeviceCopyValue");
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
    afcArguments.push_back("AMDeviceStartService " + serviceName);
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

MDStatus ScriptedMobileDevice::AFCConnectionOpen(
    AMServiceConnection&, std::uint32_t, std::unique_ptr<AFCConnection>* connection)
{
    if (const MDStatus status = record("AFCConnectionOpen")) {
        return status;
    }
    *connection = std::make_unique<ScriptedAFCConnection>();
    return AFCStatus::Success;
}

MDStatus ScriptedMobileDevice::AFCConnectionClose(std::unique_ptr<AFCConnection>)
{
    return record("AFCConnectionClose");
}

MDStatus ScriptedMobileDevice::AFCDeviceInfoOpen(AFCConnection&, std::unique_ptr<AFCKeyValues>* pairs)
{
    if (const MDStatus status = record("AFCDeviceInfoOpen")) {
        return status;
    }
    auto values = std::make_unique<ScriptedKeyValues>();
    values->pairs = afcKeyValues;
    *pairs = std::move(values);
    return AFCStatus::Success;
}

MDStatus ScriptedMobileDevice::AFCFileInfoOpen(
    AFCConnection&, const std::string& path, std::unique_ptr<AFCKeyValues>* pairs)
{
    afcArguments.push_back("AFCFileInfoOpen " + path);
    if (const MDStatus status = record("AFCFileInfoOpen")) {
        return status;
    }
    auto values = std::make_unique<ScriptedKeyValues>();
    values->pairs = afcKeyValues;
    *pairs = std::move(values);
    return AFCStatus::Success;
}

MDStatus ScriptedMobileDevice::AFCKeyValueRead(
    AFCKeyValues& pairs, std::optional<std::string>* key, std::optional<std::string>* value)
{
    if (const MDStatus status = record("AFCKeyValueRead")) {
        return status;
    }
    auto& values = dynamic_cast<ScriptedKeyValues&>(pairs);
    if (values.next >= values.pairs.size()) {
        key->reset();
        value->reset();
    } else {
        *key = values.pairs[values.next].first;
        *value = values.pairs[values.next].second;
        ++values.next;
    }
    return AFCStatus::Success;
}

MDStatus ScriptedMobileDevice::AFCKeyValueClose(std::unique_ptr<AFCKeyValues>)
{
    return record("AFCKeyValueClose");
}

MDStatus ScriptedMobileDevice::AFCDirectoryOpen(
    AFCConnection&, const std::string& path, std::unique_ptr<AFCDirectory>* directory)
{
    afcArguments.push_back("AFCDirectoryOpen " + path);
    if (const MDStatus status = record("AFCDirectoryOpen")) {
        return status;
    }
    auto listing = std::make_unique<ScriptedDirectory>();
    listing->names = afcDirectoryEntries;
    *directory = std::move(listing);
    return AFCStatus::Success;
}

MDStatus ScriptedMobileDevice::AFCDirectoryRead(
    AFCConnection&, AFCDirectory& directory, std::optional<std::string>* name)
{
    if (const MDStatus status = record("AFCDirectoryRead")) {
        return status;
    }
    auto& listing = dynamic_cast<ScriptedDirectory&>(directory);
    if (listing.next >= listing.names.size()) {
        name->reset();
    } else {
        *name = listing.names[listing.next++];
    }
    return AFCStatus::Success;
}

MDStatus ScriptedMobileDevice::AFCDirectoryClose(AFCConnection&, std::unique_ptr<AFCDirectory>)
{
    return record("AFCDirectoryClose");
}

MDStatus ScriptedMobileDevice::AFCDirectoryCreate(AFCConnection&, const std::string& path)
{
    afcArguments.push_back("AFCDirectoryCreate " + path);
    return record("AFCDirectoryCreate");
}

MDStatus ScriptedMobileDevice::AFCRemovePath(AFCConnection&, const std::string& path)
{
    afcArguments.push_back("AFCRemovePath " + path);
    return record("AFCRemovePath");
}

MDStatus ScriptedMobileDevice::AFCRenamePath(AFCConnection&, const std::string& oldPath, const std::string& newPath)
{
    afcArguments.push_back("AFCRenamePath " + oldPath + " " + newPath);
    return record("AFCRenamePath");
}

MDStatus ScriptedMobileDevice::AFCLinkPath(
    AFCConnection&, AFCLinkType type, const std::string& target, const std::string& link)
{
    afcArguments.push_back("AFCLinkPath " + std::to_string(std::uint32_t(type)) + " " + target + " " + link);
    return record("AFCLinkPath");
}

MDStatus ScriptedMobileDevice::AFCFileRefOpen(
    AFCConnection&, const std::string& path, AFCFileMode mode, AFCFileRef* file)
{
    afcArguments.push_back("AFCFileRefOpen " + path + " " + std::to_string(std::uint32_t(mode)));
    if (const MDStatus status = record("AFCFileRefOpen")) {
        return status;
    }
    *file = m_nextFile++;
    m_position = 0;
    return AFCStatus::Success;
}

MDStatus ScriptedMobileDevice::AFCFileRefRead(AFCConnection&, AFCFileRef, void* buffer, std::uint32_t* length)
{
    if (const MDStatus status = record("AFCFileRefRead")) {
        return status;
    }
    const std::size_t left = m_position < afcFileContents.size() ? afcFileContents.size() - m_position : 0;
    const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(*length, left));
    std::memcpy(buffer, afcFileContents.data() + m_position, count);
    m_position += count;
    *length = count;
    return AFCStatus::Success;
}

MDStatus ScriptedMobileDevice::AFCFileRefWrite(AFCConnection&, AFCFileRef, const void* data, std::uint32_t length)
{
    if (const MDStatus status = record("AFCFileRefWrite")) {
        return status;
    }
    afcWritten.append(static_cast<const char*>(data), length);
    m_position += length;
    return AFCStatus::Success;
}

MDStatus ScriptedMobileDevice::AFCFileRefSeek(AFCConnection&, AFCFileRef, std::int64_t offset, AFCSeekOrigin origin)
{
    if (const MDStatus status = record("AFCFileRefSeek")) {
        return status;
    }
    const std::int64_t base = origin == AFCSeekOrigin::Start ? 0
        : origin == AFCSeekOrigin::Current                   ? std::int64_t(m_position)
                                                             : std::int64_t(afcFileContents.size());
    m_position = std::uint64_t(std::max<std::int64_t>(0, base + offset));
    return AFCStatus::Success;
}

MDStatus ScriptedMobileDevice::AFCFileRefTell(AFCConnection&, AFCFileRef, std::uint64_t* position)
{
    if (const MDStatus status = record("AFCFileRefTell")) {
        return status;
    }
    *position = m_position;
    return AFCStatus::Success;
}

MDStatus ScriptedMobileDevice::AFCFileRefSetFileSize(AFCConnection&, AFCFileRef, std::uint64_t size)
{
    afcArguments.push_back("AFCFileRefSetFileSize " + std::to_string(size));
    return record("AFCFileRefSetFileSize");
}

MDStatus ScriptedMobileDevice::AFCFileRefClose(AFCConnection&, AFCFileRef)
{
    return record("AFCFileRefClose");
}

std::unique_ptr<AFCOperation> ScriptedMobileDevice::AFCOperationCreateSetModTime(
    const std::string& path, std::uint64_t nanosecondsSince1970)
{
    afcArguments.push_back("AFCOperationCreateSetModTime " + path + " " + std::to_string(nanosecondsSince1970));
    if (record("AFCOperationCreateSetModTime")) {
        return nullptr;
    }
    auto operation = std::make_unique<ScriptedOperation>();
    operation->result = statusOf("AFCOperationGetResultStatus");
    return operation;
}

double ScriptedMobileDevice::AFCConnectionGetIOTimeout(AFCConnection&)
{
    calls.push_back("AFCConnectionGetIOTimeout");
    return afcIOTimeout;
}

MDStatus ScriptedMobileDevice::AFCConnectionProcessOperation(AFCConnection&, AFCOperation&, double)
{
    return record("AFCConnectionProcessOperation");
}

MDStatus ScriptedMobileDevice::AFCOperationGetResultStatus(AFCOperation& operation)
{
    calls.push_back("AFCOperationGetResultStatus");
    return dynamic_cast<ScriptedOperation&>(operation).result;
}

std::optional<PlistDictionary> ScriptedMobileDevice::AFCConnectionCopyLastErrorInfo(AFCConnection&)
{
    calls.push_back("AFCConnectionCopyLastErrorInfo");
    return afcLastErrorInfo;
}

std::string ScriptedMobileDevice::AFCGetClientVersionString()
{
    return "Scripted AFC 1.0";
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
