#include "device/AMNotificationProxy.h"

#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AMDevice.h"

#include <algorithm>

AMNotificationObserver::AMNotificationObserver(std::string className)
    : m_className(std::move(className))
{
}

AMNotificationObserver::~AMNotificationObserver() = default;

bool AMNotificationObserver::perform(const std::string& selector, const std::string& notificationName) const
{
    const auto found = m_handlers.find(selector);
    if (found == m_handlers.end() || !found->second) {
        return false;
    }
    found->second(notificationName);
    return true;
}

std::string AMNotificationObserver::description() const
{
    return stringWithFormat("<%s: %p>", m_className.c_str(), static_cast<const void*>(this));
}

std::unique_ptr<AMNotificationProxy> AMNotificationProxy::initWithAMDevice(AMDevice& device)
{
    auto connection = device.startService(SERVICE_NAME);
    return connection ? std::make_unique<AMNotificationProxy>(std::move(connection), device.library()) : nullptr;
}

AMNotificationProxy::AMNotificationProxy(std::unique_ptr<AMServiceConnection> connection, MobileDevice& library)
    : AMService(std::move(connection))
    , m_library(library)
{
    // Registered from the main thread so the relays arrive on the main run loop.
    runOnMainThread(
        [this] {
            const MDStatus status
                = m_library.AMDListenForNotifications(inputStreamFromSocket(), [this](const std::string& name) {
                      if (!name.empty()) { // empty: the proxy went away
                          deliverNotification(name);
                      }
                  });
            if (status != AMDStatus::Success) {
                logLine(LOG_DEVICE, "AMDListenForNotifications returned %d", int(status));
            }
        },
        true);
}

AMNotificationProxy::~AMNotificationProxy()
{
    // Also stops the listener and drops relays still queued for this object.
    (void)m_library.AMDShutdownNotificationProxy(inputStreamFromSocket());
}

namespace {

/// A selector that takes exactly the notification name: one colon, at the end.
bool takesOneArgument(const std::string& selector)
{
    return selector.size() > 1 && std::count(selector.begin(), selector.end(), ':') == 1 && selector.back() == ':';
}

} // namespace

void AMNotificationProxy::addObserver(
    AMNotificationObserver* observer, const std::string& selector, const std::string& name)
{
    if (!observer) {
        return;
    }
    if (!takesOneArgument(selector)) {
        logLine(LOG_DEVICE, "%s.%s defined incorrectly for AMNotificationCenter.addObserver:selector:name:",
            observer->className().c_str(), selector.c_str());
        logLine(LOG_DEVICE, "It should be:");
        logLine(LOG_DEVICE, "-(void)%s: (id)notificationname;", selector.c_str());
        return;
    }
    if (!observer->respondsToSelector(selector)) {
        logLine(LOG_DEVICE, "%s does not respond to %s", observer->description().c_str(), selector.c_str());
        return;
    }
    auto list = m_messages.find(name);
    if (list != m_messages.end()) {
        const bool listed = std::any_of(
            list->second.begin(), list->second.end(), [&](const Entry& entry) { return entry.observer == observer; });
        if (listed) {
            return; // one entry per observer and name; the first selector stays
        }
    } else {
        const MDStatus status = m_library.AMDObserveNotification(inputStreamFromSocket(), name);
        if (status != AMDStatus::Success) {
            logLine(LOG_DEVICE, "AMDObserveNotification returned %d", int(status));
        }
        list = m_messages.emplace(name, std::vector<Entry>()).first;
    }
    list->second.push_back(Entry { observer, selector });
}

void AMNotificationProxy::removeObserver(AMNotificationObserver* observer, const std::string& name)
{
    const auto list = m_messages.find(name);
    if (list == m_messages.end()) {
        return;
    }
    const auto entry = std::find_if(list->second.begin(), list->second.end(),
        [&](const Entry& candidate) { return candidate.observer == observer; });
    if (entry != list->second.end()) {
        list->second.erase(entry);
    }
}

void AMNotificationProxy::removeObserver(AMNotificationObserver* observer)
{
    for (auto& [name, entries] : m_messages) {
        removeObserver(observer, name);
    }
}

void AMNotificationProxy::postNotification(const std::string& name)
{
    (void)m_library.AMDPostNotification(inputStreamFromSocket(), name); // no result, by design of the call
}

void AMNotificationProxy::deliverNotification(const std::string& name)
{
    const auto list = m_messages.find(name);
    if (list == m_messages.end()) {
        return;
    }
    // A copy: an observer may add or remove observers from its handler. One removed by an
    // earlier handler (and perhaps destroyed) is not called.
    const std::vector<Entry> entries = list->second;
    for (const Entry& entry : entries) {
        const std::vector<Entry>& current = m_messages[name];
        const bool stillListed = std::any_of(current.begin(), current.end(),
            [&](const Entry& candidate) { return candidate.observer == entry.observer; });
        if (stillListed) {
            entry.observer->perform(entry.selector, name);
        }
    }
}

std::size_t AMNotificationProxy::observerCount(const std::string& name) const
{
    const auto list = m_messages.find(name);
    return list == m_messages.end() ? 0 : list->second.size();
}

std::unique_ptr<AMNotificationProxy> AMDevice::newAMNotificationProxy()
{
    return newServiceClient<AMNotificationProxy>([this] { return AMNotificationProxy::initWithAMDevice(*this); });
}
