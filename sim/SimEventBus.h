#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

/// One device's stream of happenings that services relay to the host: syslog lines (for
/// com.apple.syslog_relay) and named notifications (for com.apple.mobile.notification_proxy).
/// Any thread may post or subscribe; handlers run on the posting thread, outside the bus's lock,
/// so they must be quick and must not block (queue the item and wake your own thread).
class SimEventBus
{
public:
    struct Event
    {
        enum class Kind {
            SyslogLine, // `text` is "process[pid] <Level>: message"; the relay adds date and device name
            Notification, // `text` is the notification name, e.g. "com.apple.mobile.application_installed"
        };
        Kind kind;
        std::string text;
    };
    using Handler = std::function<void(const Event&)>;

    /// Returns a token for unsubscribe(). The handler may be called until unsubscribe() returns.
    std::uint64_t subscribe(Handler handler);
    void unsubscribe(std::uint64_t token);

    void postSyslog(const std::string& process, int pid, const std::string& level, const std::string& message);
    void postNotification(const std::string& name);
    void post(const Event& event);

private:
    std::mutex m_mutex;
    std::map<std::uint64_t, std::shared_ptr<Handler>> m_handlers;
    std::uint64_t m_nextToken { 1 };
};
