#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AMNotificationProxyMessage.h"
#include "device/AMServiceFrame.h"
#include "device/mobile_device.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

// The notification proxy: the host sends {Command: ObserveNotification|PostNotification, Name} and
// {Command: Shutdown}, with no reply except the device's {Command: ProxyDeath} to a Shutdown; the
// device sends {Command: RelayNotification, Name} for each observed notification that fires.

namespace {

// How often a listener that waits for data looks at its stop flag.
constexpr std::chrono::milliseconds LISTENER_POLL { 200 };
// How long a shutdown waits for the proxy's farewell before it stops listening anyway.
constexpr std::chrono::seconds SHUTDOWN_WAIT { 3 };

MDStatus sendCommand(AMServiceConnection& service, PlistDictionary message)
{
    const std::optional<std::string> body = PlistCodec::toXml(PlistValue(std::move(message)));
    if (!body) {
        return AMDStatus::InvalidArgumentError;
    }
    std::string frame = encodeServiceFrameHeader(static_cast<std::uint32_t>(body->size()));
    frame += *body;
    const AMIOResult sent = service.send(frame.data(), frame.size(), std::chrono::seconds(30));
    if (sent.ok()) {
        return AMDStatus::Success;
    }
    return sent.status == AMIOStatus::TimedOut ? AMDStatus::TimeOutError : AMDStatus::WriteError;
}

} // namespace

struct MobileDevice::NotificationListeners
{
    struct Listener
    {
        std::thread thread;
        std::atomic<bool> stop { false };
        std::atomic<bool> ended { false };
        bool sawFarewell { false };
        std::mutex mutex;
        std::condition_variable endedChanged;
        // Shared with the closures queued on the caller's run loop, so relays still queued when
        // the listener stops are dropped instead of reaching a callback that may be gone.
        std::shared_ptr<std::atomic<bool>> deliver { std::make_shared<std::atomic<bool>>(true) };
    };

    std::mutex mutex;
    std::map<AMServiceConnection*, std::shared_ptr<Listener>> listeners;

    ~NotificationListeners()
    {
        for (auto& [service, listener] : listeners) {
            stopListener(*listener);
        }
    }

    static void stopListener(Listener& listener)
    {
        listener.deliver->store(false);
        listener.stop.store(true);
        if (listener.thread.joinable()) {
            listener.thread.join();
        }
    }

    static void run(AMServiceConnection& service, Listener& listener, RunLoop& loop, AMDNotificationCallback callback)
    {
        AMServiceFrameAssembler frames;
        std::vector<char> chunk(4096);
        auto deliver = [&](std::string name) {
            loop.post([alive = listener.deliver, callback, name = std::move(name)] {
                if (alive->load()) {
                    callback(name);
                }
            });
        };
        bool farewell = false;
        while (!listener.stop.load()) {
            const AMIOResult received = service.receive(chunk.data(), chunk.size(), LISTENER_POLL);
            if (received.status == AMIOStatus::TimedOut) {
                continue;
            }
            if (!received.ok()) {
                logLine(LOG_DEVICE, "Notification proxy connection ended");
                farewell = received.status == AMIOStatus::Closed;
                deliver({});
                break;
            }
            frames.append(chunk.data(), received.bytes);
            std::string body;
            AMServiceFrameAssembler::Outcome outcome;
            bool finished = false;
            while ((outcome = frames.next(body)) == AMServiceFrameAssembler::Outcome::Frame) {
                AMNotificationProxyMessage message = readNotificationProxyMessage(body);
                if (message.kind == AMNotificationProxyMessage::Kind::Relay) {
                    deliver(std::move(message.name));
                    continue;
                }
                // ProxyDeath, or anything the proxy should not send: it is going away.
                if (message.kind == AMNotificationProxyMessage::Kind::Unexpected) {
                    logLine(LOG_DEVICE, "Unexpected notification proxy message: %s",
                        message.command.empty() ? "(no command)" : message.command.c_str());
                }
                farewell = message.kind == AMNotificationProxyMessage::Kind::ProxyDeath;
                deliver({});
                finished = true;
                break;
            }
            if (outcome == AMServiceFrameAssembler::Outcome::Oversized) {
                logLine(LOG_DEVICE, "Notification proxy frame exceeds %u bytes", AM_MAX_FRAME_BODY_SIZE);
                deliver({});
                finished = true;
            }
            if (finished) {
                break;
            }
        }
        std::lock_guard lock(listener.mutex);
        listener.sawFarewell = farewell;
        listener.ended.store(true);
        listener.endedChanged.notify_all();
    }
};

MobileDevice::MobileDevice()
    : m_notificationListeners(std::make_unique<NotificationListeners>())
{
}

MobileDevice::~MobileDevice() = default;

MDStatus MobileDevice::AMDListenForNotifications(AMServiceConnection& service, AMDNotificationCallback callback)
{
    if (!callback || !service.isOpen()) {
        return AMDStatus::InvalidArgumentError;
    }
    RunLoop* loop = RunLoop::current() ? RunLoop::current() : RunLoop::main();
    if (!loop) {
        return AMDStatus::NoRunLoopError;
    }
    std::lock_guard lock(m_notificationListeners->mutex);
    auto& slot = m_notificationListeners->listeners[&service];
    if (slot && !slot->ended.load()) {
        return AMDStatus::BusyError;
    }
    if (slot) {
        NotificationListeners::stopListener(*slot);
    }
    slot = std::make_shared<NotificationListeners::Listener>();
    auto* listener = slot.get();
    listener->thread = std::thread([&service, listener, loop, callback = std::move(callback)] {
        NotificationListeners::run(service, *listener, *loop, callback);
    });
    return AMDStatus::Success;
}

MDStatus MobileDevice::AMDObserveNotification(AMServiceConnection& service, const std::string& name)
{
    if (name.empty()) {
        return AMDStatus::InvalidArgumentError;
    }
    return sendCommand(service, { { "Command", "ObserveNotification" }, { "Name", name } });
}

MDStatus MobileDevice::AMDPostNotification(AMServiceConnection& service, const std::string& name)
{
    if (name.empty()) {
        return AMDStatus::InvalidArgumentError;
    }
    return sendCommand(service, { { "Command", "PostNotification" }, { "Name", name } });
}

MDStatus MobileDevice::AMDShutdownNotificationProxy(AMServiceConnection& service)
{
    std::shared_ptr<NotificationListeners::Listener> listener;
    {
        std::lock_guard lock(m_notificationListeners->mutex);
        if (auto found = m_notificationListeners->listeners.find(&service);
            found != m_notificationListeners->listeners.end()) {
            listener = found->second;
            m_notificationListeners->listeners.erase(found);
        }
    }
    const MDStatus sent = sendCommand(service, { { "Command", "Shutdown" } });
    bool farewell = false;
    if (listener) {
        // The listener sees the farewell (or the closed connection) and ends by itself; stop it
        // anyway when the proxy does not answer.
        if (sent == AMDStatus::Success) {
            std::unique_lock lock(listener->mutex);
            listener->endedChanged.wait_for(lock, SHUTDOWN_WAIT, [&] { return listener->ended.load(); });
            farewell = listener->sawFarewell;
        }
        NotificationListeners::stopListener(*listener);
    } else if (sent == AMDStatus::Success) {
        // Nobody listens: read what is left until the farewell, a closed connection or the deadline.
        AMServiceFrameAssembler frames;
        std::vector<char> chunk(4096);
        const auto deadline = std::chrono::steady_clock::now() + SHUTDOWN_WAIT;
        while (!farewell) {
            const auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            const AMIOResult received = service.receive(chunk.data(), chunk.size(), left);
            if (!received.ok()) {
                // A proxy that closes without a word has gone away all the same.
                farewell = received.status == AMIOStatus::Closed;
                break;
            }
            frames.append(chunk.data(), received.bytes);
            std::string body;
            while (!farewell && frames.next(body) == AMServiceFrameAssembler::Outcome::Frame) {
                const std::optional<PlistValue> message = PlistCodec::fromAny(body);
                farewell = message && message->stringForKey("Command") == "ProxyDeath";
            }
        }
    }
    if (sent != AMDStatus::Success) {
        return sent;
    }
    return farewell ? AMDStatus::Success : AMDStatus::TimeOutError;
}
