#include "platform/QtRunLoop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Spins Qt's event loop until `condition` holds or five seconds pass.
bool processEventsUntil(const std::function<bool()>& condition)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > 5000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class QtRunLoopTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "qtrunloop_test";
        static char* argv[] = { name, nullptr };
        if (!QCoreApplication::instance()) {
            s_app = new QCoreApplication(argc, argv);
        }
    }
    static inline QCoreApplication* s_app = nullptr;
};

TEST_F(QtRunLoopTest, PostedFunctionsRunOnTheLoopThreadInOrder)
{
    QtRunLoop loop;
    RunLoop::setMain(&loop);
    std::vector<int> order;
    std::atomic<int> wrongThread { 0 };
    const QThread* mainThread = QThread::currentThread();
    std::vector<std::thread> posters;
    // Each poster thread posts its numbers in order; every function runs on the loop's thread.
    posters.reserve(3);
    for (int t = 0; t < 3; ++t) {
        posters.emplace_back([&, t] {
            EXPECT_FALSE(loop.isLoopThread());
            for (int i = 0; i < 100; ++i) {
                loop.post([&, t, i] {
                    if (QThread::currentThread() != mainThread) {
                        ++wrongThread;
                    }
                    order.push_back(t * 1000 + i);
                });
            }
        });
    }
    for (auto& poster : posters) {
        poster.join();
    }
    EXPECT_TRUE(loop.isLoopThread());
    EXPECT_EQ(RunLoop::current(), &loop);
    ASSERT_TRUE(processEventsUntil([&] { return order.size() == 300; }));
    EXPECT_EQ(wrongThread.load(), 0);
    for (int t = 0; t < 3; ++t) {
        int last = -1;
        for (int value : order) {
            if (value / 1000 == t) {
                EXPECT_GT(value % 1000, last);
                last = value % 1000;
            }
        }
    }
}

TEST_F(QtRunLoopTest, PostAndWaitFromAnotherThreadReturnsAfterRunning)
{
    QtRunLoop loop;
    RunLoop::setMain(&loop);
    std::atomic<bool> ran { false };
    std::atomic<bool> returned { false };
    std::thread waiter([&] {
        runOnMainThread([&] { ran = true; }, true);
        EXPECT_TRUE(ran.load());
        returned = true;
    });
    EXPECT_TRUE(processEventsUntil([&] { return returned.load(); }));
    waiter.join();
}

TEST_F(QtRunLoopTest, NeverRunsInlineAndDropsWorkAfterDestruction)
{
    int runs = 0;
    {
        QtRunLoop loop;
        loop.post([&] { ++runs; });
        EXPECT_EQ(runs, 0);
        ASSERT_TRUE(processEventsUntil([&] { return runs == 1; }));
        loop.post([&] { ++runs; });
    }
    EXPECT_EQ(RunLoop::main(), nullptr);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(runs, 1);
}

} // namespace
