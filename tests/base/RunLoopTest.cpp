#include "base/RunLoop.h"

#include "tests/support/TestSupport.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(PlainRunLoop, RunsFunctionsPostedFromOtherThreadsInOrder)
{
    PlainRunLoop loop;
    constexpr int THREADS = 4;
    constexpr int POSTS = 200;
    std::vector<std::vector<int>> seen(THREADS);
    int total = 0;
    bool allOnLoopThread = true;
    std::vector<std::thread> threads;
    threads.reserve(THREADS);
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < POSTS; ++i) {
                loop.post([&, t, i] {
                    allOnLoopThread = allOnLoopThread && loop.isLoopThread();
                    seen[t].push_back(i);
                    ++total;
                });
            }
        });
    }
    EXPECT_TRUE(loop.runUntil([&] { return total == THREADS * POSTS; }, 10s));
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(allOnLoopThread);
    for (int t = 0; t < THREADS; ++t) {
        ASSERT_EQ(seen[t].size(), std::size_t(POSTS));
        for (int i = 0; i < POSTS; ++i) {
            EXPECT_EQ(seen[t][std::size_t(i)], i);
        }
    }
}

TEST(PlainRunLoop, PostAndWaitFromAnotherThreadReturnsAfterTheFunctionRan)
{
    PlainRunLoop loop;
    std::atomic<bool> ran { false };
    std::atomic<bool> returned { false };
    bool ranOnLoopThread = false;
    std::thread other([&] {
        loop.postAndWait([&] {
            ranOnLoopThread = loop.isLoopThread();
            ran = true;
        });
        // The function's effects are visible once postAndWait returns.
        EXPECT_TRUE(ran);
        returned = true;
    });
    EXPECT_TRUE(loop.runUntil([&] { return returned.load(); }, 10s));
    other.join();
    EXPECT_TRUE(ranOnLoopThread);
}

TEST(PlainRunLoop, PostAndWaitOnTheLoopThreadRunsDirectly)
{
    PlainRunLoop loop;
    bool ran = false;
    loop.postAndWait([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(loop.processPending(), 0);

    // From inside a function the loop is running, too.
    bool nestedRan = false;
    loop.post([&] { loop.postAndWait([&] { nestedRan = true; }); });
    EXPECT_EQ(loop.processPending(), 1);
    EXPECT_TRUE(nestedRan);
}

TEST(PlainRunLoop, PostAndWaitReturnsWhenTheLoopEndsWithoutRunningIt)
{
    auto loop = std::make_unique<PlainRunLoop>();
    std::atomic<bool> returned { false };
    bool ran = false;
    std::thread other([&] {
        loop->postAndWait([&] { ran = true; });
        returned = true;
    });
    ASSERT_TRUE(waitUntil([&] { return loop->pendingCount() == 1; }));
    EXPECT_FALSE(returned);
    loop.reset();
    other.join();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(ran);
}

TEST(PlainRunLoop, RunUntilGivesUpAfterTheTimeout)
{
    PlainRunLoop loop;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.runUntil([] { return false; }, 30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

    // A condition that holds already returns at once, without running anything.
    loop.post([] {});
    EXPECT_TRUE(loop.runUntil([] { return true; }, 0ms));
    EXPECT_EQ(loop.pendingCount(), 1u);

    // A condition changed by another thread without posting is noticed before the timeout.
    std::atomic<bool> flag { false };
    std::thread setter([&] { flag = true; });
    EXPECT_TRUE(loop.runUntil([&] { return flag.load(); }, 10s));
    setter.join();
}

TEST(PlainRunLoop, RunReturnsAfterQuit)
{
    PlainRunLoop loop;
    std::vector<int> order;
    loop.post([&] { order.push_back(1); });
    loop.post([&] {
        order.push_back(2);
        loop.quit();
    });
    std::thread other([&] { loop.post([&] { order.push_back(3); }); });
    other.join();
    loop.run();
    EXPECT_EQ(order, (std::vector<int> { 1, 2 }));
    EXPECT_EQ(loop.processPending(), 1);
    EXPECT_EQ(order, (std::vector<int> { 1, 2, 3 }));

    std::thread quitter([&] { loop.quit(); });
    loop.run(); // returns once the other thread quits
    quitter.join();
}

TEST(RunLoop, CurrentAndMainDispatch)
{
    EXPECT_EQ(RunLoop::current(), nullptr);
    // Without a main loop the function runs directly.
    bool direct = false;
    runOnMainThread([&] { direct = true; }, false);
    EXPECT_TRUE(direct);

    PlainRunLoop loop;
    EXPECT_EQ(RunLoop::current(), &loop);
    RunLoop::setMain(&loop);
    std::thread::id ranOn;
    std::atomic<bool> done { false };
    std::thread worker([&] {
        EXPECT_EQ(RunLoop::current(), nullptr);
        runOnMainThread([&] { ranOn = std::this_thread::get_id(); }, true);
        runOnMainThread([&] { done = true; }, false);
    });
    EXPECT_TRUE(loop.runUntil([&] { return done.load(); }, 10s));
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    RunLoop::setMain(nullptr);
}

TEST(RunLoop, DestroyedLoopIsNoLongerMain)
{
    {
        PlainRunLoop loop;
        RunLoop::setMain(&loop);
    }
    EXPECT_EQ(RunLoop::main(), nullptr);
    EXPECT_EQ(RunLoop::current(), nullptr);
}
