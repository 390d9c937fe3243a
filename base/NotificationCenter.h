#pragma once

#include "base/PlistValue.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

/// A process-wide notification centre: post a name with a sender and a dictionary; observers
/// registered for that name are called synchronously on the posting thread. Handlers may add or
/// remove observers and post from inside a handler. An observer removed while a post is under
/// way on another thread may still be called once by that post.
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
        ObserverToken token { 0 };
        std::string name;
        const void* sender { nullptr };
        Handler handler;
        std::atomic<bool> removed { false };
    };
    std::mutex m_mutex;
    // Shared so a post can call its snapshot of observers after releasing the lock.
    std::vector<std::shared_ptr<Observer>> m_observers;
    ObserverToken m_nextToken { 1 };
};
