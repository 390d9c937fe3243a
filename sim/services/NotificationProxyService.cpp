#include "sim/ServiceCatalog.h"
#include "sim/SimDevice.h"
#include "sim/SimStream.h"
#include "sim/services/DeviceServices.h"
#include "sim/services/PlistChannel.h"
#include "sim/services/SyslogFormat.h"

#include <ctime>
#include <deque>
#include <mutex>
#include <set>
#include <utility>

namespace {

/// Subscribes for the connection's lifetime and hands events to the service thread.
class EventQueue
{
public:
    EventQueue(SimEventBus& bus, SimEventBus::Event::Kind kind)
        : m_bus(bus)
    {
        m_token = bus.subscribe([this, kind](const SimEventBus::Event& event) {
            if (event.kind != kind) {
                return;
            }
            std::lock_guard lock(m_mutex);
            if (m_items.size() < 10'000) { // a host that never reads must not grow us without end
                m_items.push_back(event.text);
            }
        });
    }
    ~EventQueue() { m_bus.unsubscribe(m_token); }
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    std::deque<std::string> take()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_items, {});
    }

private:
    SimEventBus& m_bus;
    std::uint64_t m_token = 0;
    std::mutex m_mutex;
    std::deque<std::string> m_items;
};

} // namespace

void runNotificationProxy(SimServiceContext& context)
{
    PlistChannel channel(context.stream);
    EventQueue queue(context.device.events(), SimEventBus::Event::Kind::Notification);
    std::set<std::string> observed;
    while (!context.shouldStop()) {
        for (const std::string& name : queue.take()) {
            if (observed.count(name) != 0
                && !channel.send(
                    PlistDictionary { { "Command", PlistValue("RelayNotification") }, { "Name", PlistValue(name) } })) {
                return;
            }
        }
        const int ready = channel.waitReadable(50);
        if (ready < 0) {
            return;
        }
        if (ready == 0) {
            continue;
        }
        const auto message = channel.receive();
        if (!message) {
            return;
        }
        const std::string command = message->stringForKey("Command");
        const std::string name = message->stringForKey("Name");
        if (command == "ObserveNotification" && !name.empty()) {
            observed.insert(name);
        } else if (command == "PostNotification" && !name.empty()) {
            context.device.events().postSyslog("notification_proxy", 112, "Notice", "Posting " + name);
            context.device.events().postNotification(name);
        } else if (command == "Shutdown") {
            (void)channel.send(PlistDictionary { { "Command", PlistValue("ProxyDeath") } });
            return;
        }
        // Host messages get no reply; unknown ones are ignored as on a device.
    }
}

void runSyslogRelay(SimServiceContext& context)
{
    SimStream& stream = context.stream;
    EventQueue queue(context.device.events(), SimEventBus::Event::Kind::SyslogLine);
    // Devices start the stream with an empty record.
    if (!stream.writeAll("\0", 1)) {
        return;
    }
    auto record = [&](const std::string& text) {
        const std::string line = SyslogFormat::record(std::time(nullptr), context.device.deviceName(), text);
        return stream.writeAll(line.data(), line.size());
    };
    if (!record("syslog_relay[63] <Notice>: Relay client connected")) {
        return;
    }
    int idleTicks = 0;
    while (!context.shouldStop()) {
        for (const std::string& text : queue.take()) {
            if (!record(text)) {
                return;
            }
            idleTicks = 0;
        }
        // A device is never silent for long.
        if (++idleTicks >= 100) {
            idleTicks = 0;
            if (!record("locationd[59] <Notice>: Client com.apple.springboard disconnected from location services")) {
                return;
            }
        }
        const int ready = stream.waitReadable(50);
        if (ready < 0) {
            return;
        }
        if (ready > 0) {
            char discard[256];
            if (stream.readSome(discard, sizeof discard) == 0) {
                return; // the host closed
            }
        }
    }
}
