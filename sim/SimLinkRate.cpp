#include "sim/SimLinkRate.h"

#include <algorithm>

void SimLinkRate::setBytesPerSecond(std::uint64_t bytesPerSecond)
{
    {
        std::lock_guard lock(m_mutex);
        m_rate.store(bytesPerSecond, std::memory_order_relaxed);
        m_bookedUntil = {};
        ++m_generation;
    }
    m_changed.notify_all();
}

SimLinkRate::Clock::time_point SimLinkRate::reserve(std::size_t bytes, Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    return reserveLocked(bytes, now);
}

SimLinkRate::Clock::time_point SimLinkRate::reserveLocked(std::size_t bytes, Clock::time_point now)
{
    const std::uint64_t rate = m_rate.load(std::memory_order_relaxed);
    if (rate == 0) {
        return now;
    }
    // Bytes go in the order they were booked: a sender starts where the link is free, or where
    // an idle link's credit begins.
    const Clock::time_point start = std::max(m_bookedUntil, now - BURST);
    const auto nanoseconds = std::uint64_t(bytes) * 1'000'000'000ULL / rate;
    m_bookedUntil = start + std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanoseconds));
    return start;
}

void SimLinkRate::acquire(std::size_t bytes)
{
    if (!isLimited()) {
        return;
    }
    std::unique_lock lock(m_mutex);
    if (m_released) {
        return;
    }
    const Clock::time_point at = reserveLocked(bytes, Clock::now());
    const std::uint64_t generation = m_generation;
    // Bounded by the bytes booked ahead of this sender: a few quanta per connection.
    m_changed.wait_until(lock, at, [&] { return m_released || m_generation != generation; });
}

void SimLinkRate::release()
{
    {
        std::lock_guard lock(m_mutex);
        m_released = true;
    }
    m_changed.notify_all();
}
