#include "device/AMDeviceLock.h"

#include "base/Log.h"

#include <cstdlib>
#include <map>

std::shared_ptr<AMDeviceLock> AMDeviceLock::forPhone(const std::string& udid)
{
    if (udid.empty()) {
        return std::make_shared<AMDeviceLock>();
    }
    // Weak entries: a phone's lock lives as long as some device object for it does. Entries of
    // phones gone for good are dropped on the way, so the map stays as small as the phones seen.
    static std::mutex registryMutex;
    static std::map<std::string, std::weak_ptr<AMDeviceLock>> registry;
    std::lock_guard guard(registryMutex);
    std::erase_if(registry, [&](const auto& entry) { return entry.first != udid && entry.second.expired(); });
    std::weak_ptr<AMDeviceLock>& entry = registry[udid];
    std::shared_ptr<AMDeviceLock> lock = entry.lock();
    if (!lock) {
        lock = std::make_shared<AMDeviceLock>();
        entry = lock;
    }
    return lock;
}

void AMDeviceLock::lock()
{
    std::unique_lock guard(m_mutex);
    refuseRecursion();
    const bool waited = m_held;
    if (waited) {
        ++m_statistics.waiting;
        m_changed.notify_all(); // waitForWaiters() counts us
        m_changed.wait(guard, [this] { return !m_held; });
        --m_statistics.waiting;
    }
    acquire(waited);
}

bool AMDeviceLock::try_lock()
{
    std::lock_guard guard(m_mutex);
    if (m_held) {
        return false;
    }
    acquire(false);
    return true;
}

void AMDeviceLock::unlock()
{
    {
        std::lock_guard guard(m_mutex);
        m_held = false;
        m_holder = std::thread::id();
    }
    m_changed.notify_all();
}

bool AMDeviceLock::lockUnless(const std::function<bool()>& giveUp)
{
    std::unique_lock guard(m_mutex);
    refuseRecursion();
    bool waited = false;
    // giveUp is asked under m_mutex, and wakeWaiters() takes m_mutex before it notifies: a flag
    // set before wakeWaiters() is never missed.
    while (m_held) {
        if (giveUp && giveUp()) {
            return false;
        }
        waited = true;
        ++m_statistics.waiting;
        m_changed.notify_all();
        const std::uint64_t wakeups = m_wakeups;
        m_changed.wait(guard, [&] { return !m_held || m_wakeups != wakeups; });
        --m_statistics.waiting;
    }
    acquire(waited);
    return true;
}

void AMDeviceLock::wakeWaiters()
{
    {
        std::lock_guard guard(m_mutex);
        ++m_wakeups;
    }
    m_changed.notify_all();
}

bool AMDeviceLock::heldByCurrentThread() const
{
    std::lock_guard guard(m_mutex);
    return m_held && m_holder == std::this_thread::get_id();
}

bool AMDeviceLock::heldByAnotherThread() const
{
    std::lock_guard guard(m_mutex);
    return m_held && m_holder != std::this_thread::get_id();
}

AMDeviceLock::Statistics AMDeviceLock::statistics() const
{
    std::lock_guard guard(m_mutex);
    return m_statistics;
}

bool AMDeviceLock::waitForWaiters(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock guard(m_mutex);
    return m_changed.wait_for(guard, timeout, [&] { return m_statistics.waiting >= count; });
}

void AMDeviceLock::acquire(bool waited)
{
    m_held = true;
    m_holder = std::this_thread::get_id();
    ++m_statistics.acquisitions;
    if (waited) {
        ++m_statistics.contended;
    }
}

void AMDeviceLock::refuseRecursion() const
{
    if (m_held && m_holder == std::this_thread::get_id()) {
        logLine(LOG_DEVICE, "The device lock was taken twice on one thread");
        std::abort();
    }
}
