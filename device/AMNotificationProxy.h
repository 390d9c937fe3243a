#pragma once

#include "device/AMService.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

/// Something that can be told about device notifications. It answers to named selectors, each
/// registered with respondTo(); a selector that takes the notification name is written like
/// "deviceNotified:" (one colon, at the end). Not copyable: the proxy keeps its address.
class AMNotificationObserver
{
public:
    using Handler = std::function<void(const std::string& notificationName)>;

    explicit AMNotificationObserver(std::string className = "AMNotificationObserver");
    virtual ~AMNotificationObserver();
    AMNotificationObserver(const AMNotificationObserver&) = delete;
    AMNotificationObserver& operator=(const AMNotificationObserver&) = delete;

    /// Makes `selector` call `handler`.
    void respondTo(const std::string& selector, Handler handler) { m_handlers[selector] = std::move(handler); }
    bool respondsToSelector(const std::string& selector) const { return m_handlers.count(selector) > 0; }
    /// Calls the handler of `selector`; false when there is none.
    bool perform(const std::string& selector, const std::string& notificationName) const;
    const std::string& className() const { return m_className; }
    /// "<className: 0x...>", as observers appear in log lines.
    std::string description() const;

private:
    std::string m_className;
    std::map<std::string, Handler> m_handlers;
};

/// Client of "com.apple.mobile.notification_proxy": observes and posts the device's system
/// notifications. Observers are called on the main run loop (RunLoop::main()), in the order they
/// were added. Create and destroy it on the main thread or a thread other than the main loop's
/// while that loop runs.
class AMNotificationProxy : public AMService
{
public:
    static constexpr const char* SERVICE_NAME = "com.apple.mobile.notification_proxy";

    /// Starts the service on `device` (connected and in session) and starts listening; null when
    /// the service does not start.
    static std::unique_ptr<AMNotificationProxy> initWithAMDevice(AMDevice& device);
    /// Over a started connection; `library` runs the notification-proxy operations.
    AMNotificationProxy(std::unique_ptr<AMServiceConnection> connection, MobileDevice& library);
    ~AMNotificationProxy() override;

    /// Adds (observer, selector) for `name` unless the selector is malformed (three log lines),
    /// the observer does not respond to it, or the observer is already listed for the name. The
    /// device is asked to observe a name once, when its first observer is added.
    void addObserver(AMNotificationObserver* observer, const std::string& selector, const std::string& name);
    /// Removes the first entry for `name` whose observer is `observer`; the device keeps observing.
    void removeObserver(AMNotificationObserver* observer, const std::string& name);
    /// Removes `observer` from every name.
    void removeObserver(AMNotificationObserver* observer);
    /// Posts `name` on the device.
    void postNotification(const std::string& name);

    /// Calls each observer of `name`, in order. What the library's relay callback runs.
    void deliverNotification(const std::string& name);
    /// Entries listed for `name`, for inspection.
    std::size_t observerCount(const std::string& name) const;

private:
    struct Entry
    {
        AMNotificationObserver* observer;
        std::string selector;
    };

    MobileDevice& m_library;
    std::map<std::string, std::vector<Entry>> m_messages;
};
