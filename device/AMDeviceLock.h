#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

/// The one lock of one phone: every module and the controller hold it while they talk to the
/// phone, so their exchanges never overlap. It belongs to the phone, not to a device object: every
/// object for one unique device identifier shares it (forPhone()), so objects made by a new device
/// manager and older ones a module still holds exclude each other. Plain and non-recursive; taking it twice on
/// one thread is a programming error that would hang that thread for good, so it is logged and
/// the process aborts instead. Usable with std::lock_guard and std::unique_lock.
///
/// Someone may hold it for long and wait for the main thread meanwhile (a deletion loop), so a
/// waiter that must stay stoppable uses lockUnless() and is woken with wakeWaiters().
class AMDeviceLock
{
public:
    /// What the lock has seen, for tests and diagnostics.
    struct Statistics
    {
        std::uint64_t acquisitions { 0 };
        /// Acquisitions that had to wait for another holder.
        std::uint64_t contended { 0 };
        /// Threads waiting right now.
        std::size_t waiting { 0 };
    };

    /// The lock of the phone `udid`, shared by everyone who asks for it while anyone holds it.
    /// An empty identifier gets a lock of its own. Any thread.
    static std::shared_ptr<AMDeviceLock> forPhone(const std::string& udid);

    AMDeviceLock() = default;
    AMDeviceLock(const AMDeviceLock&) = delete;
    AMDeviceLock& operator=(const AMDeviceLock&) = delete;

    void lock();
    bool try_lock();
    void unlock();

    /// Waits for the lock until it is free or `giveUp()` answers true; false (not holding it) in
    /// the latter case. `giveUp` is asked before waiting and after each wakeWaiters().
    [[nodiscard]] bool lockUnless(const std::function<bool()>& giveUp);
    /// Makes every waiter in lockUnless() ask its `giveUp` again.
    void wakeWaiters();

    /// Whether the calling thread holds the lock.
    bool heldByCurrentThread() const;
    /// Whether a thread other than the calling one holds the lock.
    bool heldByAnotherThread() const;
    Statistics statistics() const;
    /// Blocks until at least `count` threads wait for the lock or `timeout` passes; answers
    /// whether they did. For tests that line waiters up behind a holder.
    bool waitForWaiters(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    /// Takes the lock for the calling thread; m_mutex is held.
    void acquire(bool waited);
    void refuseRecursion() const;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_held { false };
    std::thread::id m_holder;
    Statistics m_statistics;
    std::uint64_t m_wakeups { 0 };
};
