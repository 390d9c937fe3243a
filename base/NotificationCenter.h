#pragma once

#include "base/PlistValue.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

/// A process-wide notification centre: post a name with a sender and a dictionary; observers
/// registered for that name are called synchronously on the posting thread.
class NotificationCenter
{
public:
    using ObserverToken = std::uint64_t;
    using Handler = std::function<void(const std::string& name, const void* sender, const PlistDictionary& info)>;

    static NotificationCenter& defaultCenter();

    /// `sender` may be null to observe every sender. Returns a token for removeObserver().
    ObserverToken addObserver(const std::string& name, const void* sender, Handler handler);
    void removeObserver(ObserverToken token);
    void postNotification(const std::string& name, const void* sender, const PlistDictionary& info = {});

private:
    struct Observer
    {
        ObserverToken token;
        std::string name;
        const void* sender;
        Handler handler;
    };
    std::mutex m_mutex;
    std::vector<Observer> m_observers;
    ObserverToken m_nextToken { 1 };
};
