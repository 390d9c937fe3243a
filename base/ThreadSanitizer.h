#pragma once

// Hand-over points ThreadSanitizer cannot see by itself. Qt is not instrumented, so when one thread
// posts work through Qt's event queue and another runs it, the lock that orders the two is
// invisible and the receiver's reads look raced with the sender's writes. The sender releases the
// object it hands over and the receiver acquires it before touching it. Both are empty in builds
// without ThreadSanitizer.

#if defined(__SANITIZE_THREAD__)
#define TORVANE_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TORVANE_TSAN 1
#endif
#endif

#ifdef TORVANE_TSAN
#include <sanitizer/tsan_interface.h>
#endif

/// Everything this thread wrote before is ordered before a later `tsanAcquire(address)`.
inline void tsanRelease([[maybe_unused]] const void* address)
{
#ifdef TORVANE_TSAN
    __tsan_release(const_cast<void*>(address));
#endif
}

/// Orders what follows on this thread after the last `tsanRelease(address)`.
inline void tsanAcquire([[maybe_unused]] const void* address)
{
#ifdef TORVANE_TSAN
    __tsan_acquire(const_cast<void*>(address));
#endif
}
