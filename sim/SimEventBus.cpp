#include "sim/SimEventBus.h"

#include <memory>
#include <vector>

std::uint64_t SimEventBus::subscribe(Handler handler)
{
    std::lock_guard lock(m_mutex);
    const std::uint64_t token = m_nextToken++;
    m_handlers.emplace(token, std::make_shared<Handler>(std::move(handler)));
    return token;
}

void SimEventBus::unsubscribe(std::uint64_t token)
{
    std::lock_guard lock(m_mutex);
    m_handlers.erase(token);
}

void SimEventBus::postSyslog(const std::string& process, int pid, const std::string& level, const std::string& message)
{
    post({ Event::Kind::SyslogLine, process + "[" + std::to_string(pid) + "] <" + level + ">: " + message });
}

void SimEventBus::postNotification(const std::string& name)
{
    post({ Event::Kind::Notification, name });
}

void SimEventBus::post(const Event& event)
{
    std::vector<std::shared_ptr<Handler>> handlers;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [token, handler] : m_handlers) {
            handlers.push_back(handler);
        }
    }
    for (const auto& handler : handlers) {
        (*handler)(event);
    }
}
