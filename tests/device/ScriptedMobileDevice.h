#pragma once

#include "base/PlistValue.h"
#include "device/mobile_device.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// A service connection whose receives hand out scripted chunks, one chunk (or the part asked
/// for) per call, then report the connection closed. Sends are collected in `sent`; with
/// `sendLimit` set, sending stops after that many bytes in total and reports a failure.
class ScriptedServiceConnection final : public AMServiceConnection
{
public:
    AMIOResult send(const void* data, std::size_t length, std::chrono::milliseconds timeout) override;
    AMIOResult receive(void* buffer, std::size_t length, std::chrono::milliseconds timeout) override;
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }

    /// Queues bytes that one receive may return (a receive never spans two chunks).
    void addChunk(std::string bytes) { chunks.push_back(std::move(bytes)); }
    /// Queues one whole frame (4-byte big-endian length + body) as a single chunk.
    void addFrame(const std::string& body);
    /// Queues `value` as an XML frame.
    void addReply(const PlistValue& value);

    std::deque<std::string> chunks;
    std::string sent;
    std::size_t sendLimit { std::size_t(-1) };
    /// After the chunks run out: Closed (default) or TimedOut.
    AMIOStatus whenEmpty { AMIOStatus::Closed };
    /// Sizes asked for by each receive call, in order.
    std::vector<std::size_t> receiveRequests;

private:
    bool m_open { true };
};

/// A client over a scripted connection that the test keeps a view of.
template <typename Client> struct ScriptedClient
{
    ScriptedClient()
    {
        auto connection = std::make_unique<ScriptedServiceConnection>();
        wire = connection.get();
        client = std::make_unique<Client>(std::move(connection));
    }
    ScriptedServiceConnection* wire;
    std::unique_ptr<Client> client;
};

/// The frames in `bytes` (what a client sent), decoded; a cut-off frame is a test failure.
std::vector<PlistValue> sentMessages(const std::string& bytes);

/// A MobileDevice whose answers a test sets: statuses per operation, device values, attach and
/// detach records sent on demand, and service connections from a factory. Records reach each
/// subscriber on the run loop of the thread that subscribed, like the real library's.
class ScriptedMobileDevice final : public MobileDevice
{
public:
    class Handle final : public MobileDeviceHandle
    {
    public:
        explicit Handle(std::string deviceUdid)
            : udid(std::move(deviceUdid))
        {
        }
        std::string udid;
        /// Values of the default domain; other domains by name.
        PlistDictionary values;
        std::map<std::string, PlistDictionary> domains;
        AMDeviceInterfaceType interfaceType { AMDeviceInterfaceType::Usb };
        bool connected { false };
        bool inSession { false };
    };

    ScriptedMobileDevice();
    ~ScriptedMobileDevice() override;

    /// A device with "DeviceName" and "UniqueDeviceID" set.
    std::shared_ptr<Handle> makeDevice(const std::string& udid, const std::string& name);
    /// Sends an attach (kind 1) record to every subscriber; later subscribers get it first thing.
    void attach(const AMDeviceRef& device);
    /// Sends a detach (kind 2) record to every subscriber.
    void detach(const AMDeviceRef& device);
    /// Sends a record of any kind to every subscriber.
    void sendRecord(const AMDeviceRef& device, std::uint32_t kind);

    /// The status an operation answers (by its library name, e.g. "AMDeviceConnect",
    /// "AMDeviceStartService"); 0 unless set.
    void setStatus(const std::string& operation, MDStatus status) { m_statuses[operation] = status; }
    MDStatus statusOf(const std::string& operation) const;
    /// Every call made, by library name, in order.
    std::vector<std::string> calls;
    int countOf(const std::string& operation) const;

    /// Makes the connection AMDeviceStartService hands out; default: a ScriptedServiceConnection
    /// that is kept in `lastService` (not owned) for the test to script.
    std::function<std::unique_ptr<AMServiceConnection>(const std::string& serviceName)> serviceFactory;
    ScriptedServiceConnection* lastService { nullptr };

    MDStatus AMDeviceNotificationSubscribe(
        AMDeviceNotificationCallback callback, AMDeviceNotificationRef* subscription) override;
    MDStatus AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef subscription) override;
    MDStatus AMDeviceConnect(const AMDeviceRef& device) override;
    MDStatus AMDeviceStartSession(const AMDeviceRef& device) override;
    MDStatus AMDeviceStopSession(const AMDeviceRef& device) override;
    MDStatus AMDeviceDisconnect(const AMDeviceRef& device) override;
    std::optional<PlistValue> AMDeviceCopyValue(const AMDeviceRef& device,
        const std::optional<std::string>& domain,
        const std::optional<std::string>& key) override;
    AMDeviceInterfaceType AMDeviceGetInterfaceType(const AMDeviceRef& device) override;
    MDStatus AMDeviceStartService(const AMDeviceRef& device,
        const std::string& serviceName,
        std::unique_ptr<AMServiceConnection>* connection) override;
    MDStatus AMDeviceLookupApplications(
        const AMDeviceRef& device, const PlistDictionary& options, PlistDictionary* applications) override;
    PlistDictionary applications;

private:
    struct Subscriber;
    MDStatus record(const std::string& operation);
    void post(const Subscriber& subscriber, const AMDeviceRef& device, std::uint32_t kind);

    std::map<std::string, MDStatus> m_statuses;
    std::vector<Subscriber> m_subscribers;
    std::vector<AMDeviceRef> m_attached;
    AMDeviceNotificationRef m_nextToken { 1 };
};
