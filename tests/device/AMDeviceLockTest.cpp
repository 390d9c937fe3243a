#include "device/AMDeviceLock.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

namespace {

constexpr std::chrono::seconds TIMEOUT { 10 };

TEST(AMDeviceLockTest, AWaiterGivesUpWhenWokenAndTheOtherGetsTheLockOnRelease)
{
    AMDeviceLock lock;
    lock.lock();
    std::atomic<bool> stop { false };
    std::atomic<int> gaveUp { 0 };
    std::atomic<int> got { 0 };
    std::thread stopping([&] { (lock.lockUnless([&] { return stop.load(); }) ? got : gaveUp)++; });
    std::thread staying([&] {
        if (lock.lockUnless([] { return false; })) {
            ++got;
            lock.unlock();
        }
    });
    ASSERT_TRUE(lock.waitForWaiters(2, TIMEOUT));
    EXPECT_FALSE(lock.heldByAnotherThread());
    EXPECT_TRUE(lock.heldByCurrentThread());

    // Woken without its flag, a waiter waits on; with it, it leaves without the lock.
    lock.wakeWaiters();
    EXPECT_TRUE(lock.waitForWaiters(2, TIMEOUT));
    stop = true;
    lock.wakeWaiters();
    stopping.join();
    EXPECT_EQ(gaveUp.load(), 1);
    EXPECT_EQ(got.load(), 0);

    lock.unlock();
    staying.join();
    EXPECT_EQ(got.load(), 1);
    const AMDeviceLock::Statistics statistics = lock.statistics();
    EXPECT_EQ(statistics.acquisitions, 2u);
    EXPECT_EQ(statistics.contended, 1u);
    EXPECT_EQ(statistics.waiting, 0u);
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

TEST(AMDeviceLockTest, EveryoneAskingForOnePhoneGetsItsOneLockWhileItIsHeld)
{
    const std::shared_ptr<AMDeviceLock> first = AMDeviceLock::forPhone("phone-a");
    EXPECT_EQ(AMDeviceLock::forPhone("phone-a"), first);
    EXPECT_NE(AMDeviceLock::forPhone("phone-b"), first);
    // Without an identifier nothing can be shared: each asker is alone.
    EXPECT_NE(AMDeviceLock::forPhone(""), AMDeviceLock::forPhone(""));

    // Held through the first, it is held for the second.
    const std::shared_ptr<AMDeviceLock> second = AMDeviceLock::forPhone("phone-a");
    first->lock();
    EXPECT_FALSE(second->try_lock());
    std::thread other([&] {
        EXPECT_TRUE(second->heldByAnotherThread());
        second->lock(); // waits for the first
        second->unlock();
    });
    ASSERT_TRUE(second->waitForWaiters(1, TIMEOUT));
    first->unlock();
    other.join();
    EXPECT_EQ(first->statistics().contended, 1u);
}

TEST(AMDeviceLockTest, TakingItTwiceOnOneThreadAbortsInsteadOfHanging)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            AMDeviceLock lock;
            lock.lock();
            lock.lock();
        },
        "");
}

} // namespace
