#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

/// The speed of one phone's cable: a token bucket shared by every connection of the device, so
/// that several connections divide the link between them as on one USB link. Unlimited (0) by
/// default. Thread-safe.
class SimLinkRate
{
public:
    using Clock = std::chrono::steady_clock;

    /// Writes larger than this are paced in pieces of it, so that connections sharing the link
    /// interleave and no single wait is long.
    static constexpr std::size_t QUANTUM = 64 * 1024;
    /// How much unused link time an idle link may spend at once (the bucket's depth), so that a
    /// sender that wakes late catches up instead of losing the time.
    static constexpr std::chrono::milliseconds BURST { 10 };

    /// 0 = unlimited. Wakes every waiting sender, which then goes at the new rate.
    void setBytesPerSecond(std::uint64_t bytesPerSecond);
    std::uint64_t bytesPerSecond() const { return m_rate.load(std::memory_order_relaxed); }
    bool isLimited() const { return bytesPerSecond() != 0; }

    /// Books `bytes` of the link as of `now` and returns when they may be sent (at or before
    /// `now` when the bucket holds enough); `now` itself when unlimited. The clock is a parameter
    /// so that the pacing can be checked without waiting.
    Clock::time_point reserve(std::size_t bytes, Clock::time_point now);

    /// Blocks until `bytes` (at most QUANTUM for a short wait) may be sent. Returns early when
    /// the rate changes or the link is released.
    void acquire(std::size_t bytes);
    /// Ends every wait for good (daemon shutdown).
    void release();

private:
    Clock::time_point reserveLocked(std::size_t bytes, Clock::time_point now);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::atomic<std::uint64_t> m_rate { 0 };
    /// The time up to which the link is booked.
    Clock::time_point m_bookedUntil {};
    std::uint64_t m_generation { 0 };
    bool m_released { false };
};
