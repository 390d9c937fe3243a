#include "base/NotificationCenter.h"

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(
    const std::string& name, const void* sender, Handler handler)
{
    std::lock_guard lock(m_mutex);
    const ObserverToken token = m_nextToken++;
    auto observer = std::make_shared<Observer>();
    observer->token = token;
    observer->name = name;
    observer->sender = sender;
    observer->handler = std::move(handler);
    m_observers.push_back(std::move(observer));
    return token;
}

void NotificationCenter::removeObserver(ObserverToken token)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_observers.begin(); it != m_observers.end(); ++it) {
        if ((*it)->token == token) {
            (*it)->removed = true;
            m_observers.erase(it);
            return;
        }
    }
}

void NotificationCenter::postNotification(const std::string& name, const void* sender, const PlistDictionary& info)
{
    // Handlers run without the lock, so they may add or remove observers or post themselves.
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& observer : m_observers) {
            if (observer->name == name && (!observer->sender || observer->sender == sender)) {
                matching.push_back(observer);
            }
        }
    }
    for (const auto& observer : matching) {
        // One removed by an earlier handler of this same post is not called any more.
        if (observer->removed) {
            continue;
        }
        if (observer->handler) {
            observer->handler(name, sender, info);
        }
    }
}
